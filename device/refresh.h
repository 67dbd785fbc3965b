// Bringing the registry up to date with the tokens attached now.
#pragma once

#include <cstdint>

#include "device/device.h"

struct DevicePathEntry;

// Discovers both kinds (HID first) and merges each whose discovery succeeded.
void RefreshRegistry();

// Frees slots of `kind` whose paths vanished, registers new paths in the lowest free slots
// and fetches every such slot's answer-to-reset. 0, or -1 when a new path found no slot.
int32_t MergeDiscoveredPaths(DevicePathEntry** list, int32_t count, DeviceKind kind);
