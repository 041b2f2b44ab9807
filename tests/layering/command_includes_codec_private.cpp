// Must not compile: the codec's formats are private to it.
#include "sim/plist/formats.h"
