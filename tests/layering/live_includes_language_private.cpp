// Must not compile: how the language runs a line is private to it.
#include "cli/language/runner.h"
