// Must not compile: the replacements do not reach into a sibling part of the extension.
#include "activator/dynamic_listener.h"
