// Must not compile: the platform's interfaces include no implementation of them.
#include "sim/fast_runtime/objc_runtime.h"
