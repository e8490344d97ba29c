// File, file-mapping, path, drive and directory services.
#ifndef VORL_PWFILE_H
#define VORL_PWFILE_H

#include "pwbase.h"

#endif
