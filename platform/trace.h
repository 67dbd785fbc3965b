// A tracing backend: forwards every platform call to another backend and writes one line per
// exchange with a token, the record a user attaches to a bug report.
//
//   <operation> <path> <bytes sent> -> ok <bytes returned>
//   <operation> <path> <bytes sent> -> fail
//
// Bytes are upper-case hex without separators, "-" for none. Operations: transact, send-setup,
// receive, read-atr (the USB driver's I/O controls), set-feature, get-feature (HID feature
// reports; a get shows the report ID asked for as its bytes sent). The path is the one the
// handle was opened on, "?" for a handle this wrapper did not see opened.
#pragma once

#include <cstdio>

#include "platform/platform.h"

// Returns the tracing ops around `inner`, writing to `out` (flushed after every line). One
// trace per process: a second call replaces the first's target and output.
const PlatformOps& TracePlatformOps(const PlatformOps& inner, std::FILE* out);
