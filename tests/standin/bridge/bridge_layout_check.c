/* Compiles only when the bridge's Windows offsets (bridge_config_fields.h) and
   record size are those of Python 3.12's own header compiled for Windows x64.
   Part of the cross build; the bridge itself is built on Linux, where the
   Windows layout cannot be read off the header. */
#include "pyconfig_shim.h"

#define BRIDGE_CONFIG_INT(name, off) _Static_assert(offsetof(PyConfig, name) == (off), #name);
#define BRIDGE_CONFIG_PATH(name, off) _Static_assert(offsetof(PyConfig, name) == (off), #name);
#define BRIDGE_CONFIG_PATH_LIST(name, off) _Static_assert(offsetof(PyConfig, name) == (off), #name);
#include "bridge_config_fields.h"

/* BRIDGE_WINDOWS_PYCONFIG_SIZE in bridge_python.c */
_Static_assert(sizeof(PyConfig) == 432, "sizeof(PyConfig) on Windows x64");
