// Must not compile: the device makes runtimes with makeProcessRuntime(), never naming a backend.
#include "sim/fast_runtime/objc_runtime.h"
