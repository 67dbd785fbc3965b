// Scenarios: a simulated machine described in JSON, so that one file drives a unit test, the
// command-line tool's --simulate and a bug report.
//
//   {"os": {"platformId": 2, "major": 10},
//    "tokens": [{"mode": "hid", "version": "0230", "deviceType": "05"},
//               {"mode": "usb", "faults": {"refuseTransact": true}}],
//    "otherHidDevices": [{"hardwareId": "HID\\VID_1234&PID_0001"}]}
//
// Every field is checked before the machine is touched; a bad document leaves it as it was
// and yields one message that names the field, e.g. `tokens[1].deviceType: expected a hex
// byte, got "1G"`. Nothing throws.
#pragma once

#include <string>

#include "platform/sim/sim_machine.h"

// The machine --simulate runs on without a file: one token in HID mode, version 0230, device
// type byte 05 (type 0), that re-attaches by itself in its new mode 1.5 s after a switch.
extern const char kDefaultScenario[];

// Sets up `machine` (OS version, tokens, other HID devices) from a JSON document. False with
// *error set when the document is not a valid scenario.
bool LoadScenario(const std::string& jsonText, SimMachine& machine, std::string* error);

// As LoadScenario, reading the document from a file; the message names the file.
bool LoadScenarioFile(const std::string& path, SimMachine& machine, std::string* error);
