// The tool's two commands over the device library. The backend is installed and the
// registry initialised before either runs; each returns the program's exit code.
#pragma once

#include <cstdio>

#include "cli/args.h"

enum ExitCode : int {
  kExitSuccess = 0,
  kExitUsage = 1,  // also a bad scenario file
  kExitNoToken = 2,
  kExitSeveralTokens = 3,
  kExitNotSupported = 4,
  kExitFailed = 5,
  kExitWaitTimedOut = 6,
};

struct Console {
  std::FILE* out;  // results: the table, the success message, or the JSON document
  std::FILE* err;  // errors, notes and progress
  bool progress;   // err is a terminal: show a progress indicator while waiting
  // Why no token could be opened, when the backend knows ("" or null otherwise).
  const char* (*openHint)() = nullptr;
};

// Adds the backend's hint, when it has one, to a report that no token was found.
void PrintOpenHint(const Console& console);

int RunList(const CliOptions& options, const Console& console);
int RunSet(const CliOptions& options, const Console& console);
