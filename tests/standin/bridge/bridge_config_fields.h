/* The PyConfig fields the bridge carries from the add-in's Windows record to
   the Linux record behind it, one row each, with the field's offset in
   Python 3.12's Windows x64 layout (checked against the real header by the
   cross build: bridge_layout_check.c):

   BRIDGE_CONFIG_INT(name, windows_offset)
   BRIDGE_CONFIG_PATH(name, windows_offset)       a wchar_t * holding a path
   BRIDGE_CONFIG_PATH_LIST(name, windows_offset)  a PyWideStringList of paths

   Only these may change in the Windows record between
   PyConfig_InitPythonConfig and Py_InitializeFromConfig; a write anywhere
   else means the add-in and the bridge disagree on the layout, and the start
   fails loudly. A field the add-in starts writing gets its row here. */
BRIDGE_CONFIG_INT(use_environment, 8)
BRIDGE_CONFIG_INT(install_signal_handlers, 16)
BRIDGE_CONFIG_INT(site_import, 168)
BRIDGE_CONFIG_PATH(home, 288)
BRIDGE_CONFIG_INT(module_search_paths_set, 304)
BRIDGE_CONFIG_PATH_LIST(module_search_paths, 312)
