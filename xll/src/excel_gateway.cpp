#include "excel_gateway.h"

#include <cstdarg>

#include "platform/platform.h"

namespace {

constexpr int EXCEL_MAX_ARGS = 255;

struct excel_gateway_state {
    plat_module host_module;  // the process's executable; kept for the lookup
    xl_callback12 host_entry; // MdCallBack12; null until found, never reset
    int lookups;              // lookups made so far
};
excel_gateway_state gateway;

}  // namespace

int Excel12(int xlfn, LPXLOPER12 result, int count, ...) {
    if (!gateway.host_entry) {
        gateway.lookups++;
        gateway.host_module = plat.host_module();
        if (gateway.host_module)
            gateway.host_entry = (xl_callback12)plat.library_symbol(gateway.host_module, "MdCallBack12");
        // Nothing is remembered of a failure: the next call looks again.
        if (!gateway.host_entry) return xlretFailed;
    }
    if ((unsigned)count > (unsigned)EXCEL_MAX_ARGS) return xlretInvCount;
    LPXLOPER12 args[EXCEL_MAX_ARGS + 1];
    va_list ap;
    va_start(ap, count);
    for (int i = 0; i < count; i++) args[i] = va_arg(ap, LPXLOPER12);
    va_end(ap);
    return gateway.host_entry(xlfn, count, args, result);
}

int excel_gateway_lookups(void) { return gateway.lookups; }
