// Marks a function that Excel calls by name. The Windows build exports exactly
// the names of exports.def; the Linux build hides every other symbol.
#pragma once

#ifdef _WIN32
#define XLL_EXPORT extern "C"
#else
#define XLL_EXPORT extern "C" __attribute__((visibility("default")))
#endif
