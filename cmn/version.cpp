// The version the library was built as (see vorl/version.h).
#include "vorl/version.h"

const char* VORL_version(void) { return VORL_VERSION_STRING; }
