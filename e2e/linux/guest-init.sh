#!/bin/busybox sh
# /init of the test guest: loads the HID and USB gadget stacks, then proves the Linux
# backend (and the tokenmode tool, when the image has it) against a uhid token and a
# FunctionFS token in both personalities. One "PASS name" or "FAIL name: why" line per
# check goes to the second serial port; the last line is "DONE".
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc none /proc
mount -t sysfs none /sys
mount -t devtmpfs none /dev
mkdir -p /tmp /run && mount -t tmpfs none /tmp
export XDG_RUNTIME_DIR=/run

R=/dev/ttyS1
FAILED=0
pass() { echo "PASS $1" >"$R"; }
fail() { echo "FAIL $1: $2" >"$R"; FAILED=1; }
# check NAME COMMAND...: passes when the command succeeds.
check() { name=$1; shift; if "$@" >/tmp/out 2>&1; then pass "$name"; else fail "$name" "$(head -c 300 /tmp/out | tr '\n' ' ')"; fi; }
# expect NAME WANT COMMAND...: passes when the command prints exactly WANT.
expect() {
  name=$1; want=$2; shift 2
  got=$("$@" 2>&1)
  if [ "$got" = "$want" ]; then pass "$name"; else fail "$name" "want '$want', got '$got'"; fi
}
# expect_error NAME CODES MAX_MS COMMAND...: the request fails with one of CODES (a|b)
# within MAX_MS.
expect_error() {
  name=$1; codes=$2; max=$3; shift 3
  got=$("$@" 2>&1)
  set -- $got
  if [ "$1" = error ] && echo "|$codes|" | grep -q "|$2|" && [ "$4" -le "$max" ]; then
    pass "$name (error $2, $4 ms)"
  else fail "$name" "want error $codes within $max ms, got '$got'"; fi
}
logged() { grep -q -F "$2" "$1"; }
stop() { kill "$1" 2>/dev/null; wait "$1" 2>/dev/null; }
have_cli() { [ -x /bin/tokenmode ]; }
have_library() { [ -x /bin/library_client ]; }
have_hammer() { [ -x /bin/lock_hammer ]; }
uptime_cs() { tr -d . </proc/uptime | cut -d' ' -f1; }  # centiseconds since boot
unpaired() { sed -n 's/.* unpaired //p' /tmp/stats; }

for m in hid hid-generic uhid usb-common usbcore udc-core configfs libcomposite usb_f_fs \
         dummy_hcd usbhid; do
  insmod /lib/modules/$m.ko 2>/tmp/insmod || echo "insmod $m: $(cat /tmp/insmod)"
done
mount -t configfs none /sys/kernel/config

# --- a virtual HID token on uhid -----------------------------------------------------
uhid_token --log /tmp/uhid.log & TOKEN=$!
P=$(backend_probe wait hid 5)
check "uhid: hidraw node found" test -n "$P"
ATR=$(sed -n 's/^atr //p' /tmp/uhid.log)
check "uhid: listed with the hardware ID Windows gives" \
  sh -c "backend_probe list | grep -q -F 'hid $P HID\\VID_0471&PID_485E&REV_0000'"
expect "uhid: answer-to-reset through feature reports 128 and 1" "reply $ATR" backend_probe hid "$P" 2
check "uhid: report 128 reached the device whole" \
  logged /tmp/uhid.log "set 80 09 02 00 00 00 00 00 00 00 00 00"
expect "uhid: mode request answered" "reply " backend_probe hid "$P" 7 00
check "uhid: mode byte reached the device" logged /tmp/uhid.log "set 80 02 07 00 00 00"
if have_library; then
  check "uhid: the library lists the token" library_client list
  before=$(grep -c -F "set 80 02 07 00" /tmp/uhid.log)
  check "uhid: the library switches it" library_client set usb
  check "uhid: the library's mode request reached the device" \
    test "$(grep -c -F "set 80 02 07 00" /tmp/uhid.log)" -gt "$before"
fi
if have_cli; then
  check "uhid: tokenmode list" tokenmode list
  before=$(grep -c -F "set 80 02 07 00" /tmp/uhid.log)
  check "uhid: tokenmode set usb" tokenmode set usb
  check "uhid: tokenmode's mode request reached the device" \
    test "$(grep -c -F "set 80 02 07 00" /tmp/uhid.log)" -gt "$before"
fi
stop $TOKEN

# --- processes sharing one token: its named mutex across processes ---------------------
if have_hammer; then
  uhid_token --stats /tmp/stats & TOKEN=$!
  P=$(backend_probe wait hid 5)
  got=$(timeout 60 lock_hammer exchanges 200 3 2>&1)
  if [ $? -eq 0 ]; then pass "locks: 3 processes x 200 exchanges, every reply its own ($got)"
  else fail "locks: 3 processes x 200 exchanges, every reply its own" "$got"; fi
  expect "locks: the token saw no get without its set" 0 unpaired

  # A holder killed between its set and its get, while two processes wait for the token.
  lock_hammer hold >/tmp/hold.out 2>&1 & HOLDER=$!
  for i in $(seq 50); do grep -q holding /tmp/hold.out && break; sleep 0.1; done
  check "locks: the holder took the token's mutex mid-exchange" grep -q holding /tmp/hold.out
  expect "locks: a live holder keeps the mutex from the next process" "timeout" \
    lock_hammer try "$P" 200
  timeout 30 lock_hammer exchanges 20 2 >/tmp/waiters.out 2>&1 & WAITERS=$!
  sleep 0.5
  check "locks: the next processes wait while the holder lives" kill -0 $WAITERS
  killed=$(uptime_cs)
  kill -9 $HOLDER; wait $HOLDER 2>/dev/null
  wait $WAITERS; status=$?
  ms=$(( ($(uptime_cs) - killed) * 10 ))
  if [ $status -eq 0 ] && [ $ms -le 3000 ]; then
    pass "locks: killed holder: the waiting processes go on, every reply their own, in $ms ms"
  else fail "locks: killed holder: the waiting processes go on" \
    "exit $status after $ms ms: $(cat /tmp/waiters.out)"; fi
  expect "locks: after the killed holder, the token saw no get without its set" 0 unpaired

  # The same hammer with the lock's waits and releases made to do nothing: pairs tear, and
  # the checks above would have seen it. How many is up to the scheduler, which may keep the
  # processes in step by chance, so up to three runs are made.
  for run in 1 2 3; do
    got=$(timeout 60 lock_hammer exchanges 200 3 --no-lock 2>&1)
    torn=$(echo "$got" | sed -n 's/.* torn \([0-9]*\) .*/\1/p')
    [ "${torn:-0}" -gt 0 ] && break
  done
  if [ "${torn:-0}" -gt 0 ] && [ "$(unpaired)" -gt 0 ]; then
    pass "locks: without the lock, pairs tear (run $run: $got; token: $(unpaired) gets without a set)"
  else fail "locks: without the lock, pairs tear" "$got; unpaired $(unpaired)"; fi
  stop $TOKEN
fi

uhid_token --silent & TOKEN=$!
P=$(backend_probe wait hid 5)
expect_error "uhid: a silent device fails once, after the kernel's time-out" 31 9000 \
  backend_probe hid "$P" 2
stop $TOKEN
uhid_token --fail-gets & TOKEN=$!
P=$(backend_probe wait hid 5)
expect_error "uhid: gets that fail at once are retried, then fail" 121 2000 backend_probe hid "$P" 2
stop $TOKEN
uhid_token --unplug-on-get & TOKEN=$!
P=$(backend_probe wait hid 5)
expect_error "uhid: unplugged during the exchange" "121|1167" 4000 backend_probe hid "$P" 2
stop $TOKEN

# --- a USB token on dummy_hcd, both personalities --------------------------------------
ffs_token --log /tmp/ffs.log --mode hid & TOKEN=$!
P=$(backend_probe wait hid 10)
check "usb: hidraw of the HID personality found" test -n "$P"
ATR=$(sed -n 's/^atr //p' /tmp/ffs.log)
check "usb: listed with the USB parent's revision" \
  sh -c "backend_probe list | grep -q -F 'hid $P HID\\VID_0471&PID_485E&REV_0230'"
expect "usb: answer-to-reset through usbhid" "reply $ATR" backend_probe hid "$P" 2
expect "usb: switch to vendor mode over HID" "reply " backend_probe hid "$P" 7 00
check "usb: mode byte reached the device as SET_REPORT" logged /tmp/ffs.log "set 80 02 07 00 00"
U=$(backend_probe wait usb 10)
check "usb: back in the vendor personality" test -n "$U"
check "usb: listed as the vendor device" \
  sh -c "backend_probe list | grep -q -F 'usb $U USB\\VID_0471&PID_485D&REV_0230'"
expect "usb: answer-to-reset through usbfs" "reply $ATR" backend_probe usb "$U" 2
check "usb: request and filler reached the device" \
  logged /tmp/ffs.log "request 40 01 02 00 00 00 08 00 data 00 00 00 00 00 00 00 00"
expect "usb: switch to HID mode over usbfs" "reply " backend_probe usb "$U" 7 aa
check "usb: mode byte reached the device as a vendor request" \
  logged /tmp/ffs.log "request 40 01 07 00 00 00 01 00 data aa"
P=$(backend_probe wait hid 10)
check "usb: back in the HID personality" test -n "$P"
if have_library; then
  check "library: lists the HID token" library_client list
  check "library: switches it to vendor mode" library_client set usb
  check "library: the token came back as a vendor device" backend_probe wait usb 10
  check "library: lists the vendor token" library_client list
  check "library: switches it to HID mode" library_client set hid
  check "library: the token came back as a HID device" backend_probe wait hid 10
fi
if have_cli; then
  check "cli: tokenmode list (HID)" tokenmode list
  check "cli: tokenmode set usb --wait=10" tokenmode set usb --wait=10
  check "cli: the token came back as a vendor device" backend_probe wait usb 5
  check "cli: tokenmode list (vendor)" tokenmode list
  check "cli: tokenmode set hid --wait=10" tokenmode set hid --wait=10
  check "cli: the token came back as a HID device" backend_probe wait hid 5
fi
stop $TOKEN
sleep 1

ffs_token --mode usb --stall & TOKEN=$!
U=$(backend_probe wait usb 10)
expect_error "usb: a stalling device fails the request" 31 2000 backend_probe usb "$U" 2
stop $TOKEN
sleep 1
ffs_token --mode usb --silent & TOKEN=$!
U=$(backend_probe wait usb 10)
expect_error "usb: a silent device fails after one time-out" 121 9000 backend_probe usb "$U" 2
stop $TOKEN
sleep 1
ffs_token --mode usb --unplug-on-reply & TOKEN=$!
U=$(backend_probe wait usb 10)
expect_error "usb: unplugged during the exchange" 1167 4000 backend_probe usb "$U" 2
stop $TOKEN

echo DONE >"$R"
# isa-debug-exit: QEMU exits with (status << 1) | 1.
printf "\\$(printf %o $FAILED)" | dd of=/dev/port bs=1 seek=244 count=1 2>/dev/null
poweroff -f
