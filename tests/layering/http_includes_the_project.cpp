// Must not compile: the HTTP server is a leaf, and sees nothing else of the project.
#include "platform/value.h"
