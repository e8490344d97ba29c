// setenv and unsetenv for Windows's C runtime, which has _putenv_s.
#ifndef VORL_TESTS_ENVVARS_H
#define VORL_TESTS_ENVVARS_H

#include <stdlib.h>

#ifdef _WIN32
inline int setenv(const char* name, const char* value, int overwrite)
{
    return !overwrite && getenv(name) != nullptr ? 0 : _putenv_s(name, value);
}
inline int unsetenv(const char* name) { return _putenv_s(name, ""); }  // an empty value removes it
#endif

#endif
