# Shared helpers for the project's scripts: package installs and stage reporting.

# Installs the Debian packages given that are not installed yet (apt-get; root).
ensure_packages() {
  local missing=()
  for pkg in "$@"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "== installing: ${missing[*]}"
  if [ -z "${TOKENMODE_APT_UPDATED:-}" ]; then
    apt-get update -qq
    export TOKENMODE_APT_UPDATED=1
  fi
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# The packages every native build needs.
ensure_build_packages() {
  ensure_packages cmake make g++ libgtest-dev googletest libgmock-dev libbenchmark-dev \
    nlohmann-json3-dev
}

jobs() { nproc 2>/dev/null || echo 2; }

# The packages of the 32-bit Windows cross build and of running it under Wine and Xvfb.
ensure_win32_packages() {
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386  # Wine for a 32-bit program needs wine32:i386
    unset TOKENMODE_APT_UPDATED
  fi
  ensure_packages cmake make g++-mingw-w64-i686-posix googletest nlohmann-json3-dev \
    wine wine32:i386 fonts-wine xvfb xdotool imagemagick
}

# Builds the targets named in build/, configured as the test command's native stage (an
# optimised build with debug information, as the measurements in docs/performance.md use).
perf_build() {
  ensure_build_packages
  cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOKENMODE_WERROR=ON \
    -DTOKENMODE_BENCH=ON >/dev/null
  cmake --build build -j"$(jobs)" --target "$@"
}
