// setenv and unsetenv on Windows, whose C runtime has _putenv_s instead (an
// empty value removes the variable there).
#ifndef VORL_TESTS_ENVVARS_H
#define VORL_TESTS_ENVVARS_H

#include <stdlib.h>

#ifdef _WIN32
inline int setenv(const char* name, const char* value, int overwrite)
{
    return !overwrite && getenv(name) != nullptr ? 0 : _putenv_s(name, value);
}
inline int unsetenv(const char* name) { return _putenv_s(name, ""); }
#endif

#endif
