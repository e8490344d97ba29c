/* The version of the VORL interface this header describes. VORL_version()
 * returns the version the library itself was built as, so that a program can
 * check that its headers and the library it links agree. */
#ifndef VORL_VERSION_H
#define VORL_VERSION_H

#define VORL_VERSION_MAJOR 0
#define VORL_VERSION_MINOR 2
#define VORL_VERSION_PATCH 0
#define VORL_VERSION_STRING "0.2.0"

#ifdef __cplusplus
extern "C" {
#endif

/* "MAJOR.MINOR.PATCH" of the library as built. */
const char* VORL_version(void);

#ifdef __cplusplus
}
#endif

#endif
