// Compiles: the replacements see the settings and the platform, as the layers allow.
#include "platform/services.h"
#include "settings/settings.h"
