// The devices' client speaks to a booted device over its door, and knows nothing of the session
// behind it: this include must not compile.
#include "cli/live/session.h"
