// Must not compile: the output writes what the device traced; the scenario language is above it.
#include "cli/language/scenario.h"
