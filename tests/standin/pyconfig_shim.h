/* Python 3.12's configuration structs taken from its own header, without
   Python.h: that one pulls in the pyconfig.h of the platform Python was built
   for, while this must also compile for Windows with the cross compiler. The
   few names the header leans on are given here the way each target's
   pyconfig.h gives them (MS_WINDOWS, a pointer-sized Py_ssize_t). */
#ifndef TINDRAL_PYCONFIG_SHIM_H
#define TINDRAL_PYCONFIG_SHIM_H

#include <stddef.h>
#include <stdint.h>
#include <wchar.h>

#ifdef _WIN32
#define MS_WINDOWS
#endif
typedef intptr_t Py_ssize_t;
typedef struct _object PyObject;
#ifndef PyAPI_FUNC
#ifdef _WIN32
#define PyAPI_FUNC(RTYPE) __declspec(dllexport) RTYPE
#else
#define PyAPI_FUNC(RTYPE) __attribute__((visibility("default"))) RTYPE
#endif
#endif

#include "cpython/initconfig.h"

#endif
