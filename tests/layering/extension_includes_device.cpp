// Must not compile: the extension sees nothing of the device.
#include "sim/device/process.h"
