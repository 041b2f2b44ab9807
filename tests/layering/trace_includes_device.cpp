// Must not compile: the trace is below the stand-ins and the device that add to it.
#include "sim/device/device.h"
