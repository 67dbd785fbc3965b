// The machines the window's test variant can run on, named by TOKENMODE_SCENARIO.
#pragma once

#include <string>

class SimMachine;

// Sets `machine` up as `scenario` names: one of the built-in names below, or the path of a
// JSON scenario file. False, with a reason in *error, for anything else.
//   none             no token attached
//   one-hid-token    one switchable token in HID mode (device type 05, version 0230)
//   one-usb-token    the same token on the maker's USB driver
//   refusing-token   one HID token whose device type (C0) does not allow the switch
//   two-tokens       two switchable HID tokens
bool SetUpScenario(const std::string& scenario, SimMachine& machine, std::string* error);
