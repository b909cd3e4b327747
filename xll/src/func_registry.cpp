// PLACEHOLDER: replaced by the worksheet function work.
#include "func_registry.h"
void func_registry_init(const wchar_t *, log_fn) {}
int load_modules(plat_module) { return 0; }
void func_registry_register_command(plat_module) {}
