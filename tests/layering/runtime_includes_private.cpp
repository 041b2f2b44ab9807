// Must not compile: what an object is belongs to the runtime alone.
#include "sim/fast_runtime/object.h"
