// Must not compile: the device makes runtimes with makeProcessRuntime(), never naming a backend.
#include "sim/runtime/objc_runtime.h"
