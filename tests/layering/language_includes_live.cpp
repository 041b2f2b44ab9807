// Must not compile: the scenario language knows nothing of the live session that runs it.
#include "cli/live/session.h"
