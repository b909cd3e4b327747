// Marks a function that Excel calls by name, and the firewall every such
// function runs behind. The Windows build exports exactly the names of
// exports.def; the Linux build hides every other symbol.
#pragma once

#include "xll_log.h"

#ifdef _WIN32
#define XLL_EXPORT extern "C"
#else
#define XLL_EXPORT extern "C" __attribute__((visibility("default")))
#endif

// Every export is a firewall: Excel knows nothing of C++, so nothing thrown
// below (an allocation failure in a library, say) may unwind into it.
// Returns body()'s value; on a C++ exception logs "<name>: unexpected C++
// exception — <outcome>" and returns on_failure()'s value instead, which is
// Excel's value for failure and undoes whatever must not stay half done.
// on_failure must not throw.
template <class Body, class Failure>
auto xll_export_guard(const char *name, const char *outcome, Body &&body, Failure &&on_failure) noexcept
    -> decltype(body()) {
    try {
        return body();
    } catch (...) {
        xll_logf(xll_log, 256, "%s: unexpected C++ exception \xE2\x80\x94 %s", name, outcome);
        return on_failure();
    }
}
