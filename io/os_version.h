// What the library asks of the platform's version.
#pragma once

// NT 4.0 (platform id 2, major version 4): no HID class library, DOS device names only.
bool IsNt4();
