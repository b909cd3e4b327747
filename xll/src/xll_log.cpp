#include "xll_log.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"

namespace {

// Composes the log path: the temp folder, then as much of the file name as
// fits in 259 characters, so a very long folder gets a cut file name.
// 1 when composed; 0 when the temp folder is unknown or does not fit, in which
// case the message is dropped rather than written somewhere unexpected.
int log_path(char *path) {
    unsigned len = plat.temp_path(path, PLAT_MAX_PATH);
    if (len == 0 || len >= (unsigned)PLAT_MAX_PATH) return 0;
    static const char name[] = "tindralxl.log";
    size_t room = (size_t)(PLAT_MAX_PATH - 1) - len;
    size_t take = strlen(name) < room ? strlen(name) : room;
    memcpy(path + len, name, take);
    path[len + take] = 0;
    return 1;
}

void log_write(const char *text, const char *format) {
    char path[PLAT_MAX_PATH];
    if (!text || !log_path(path)) return;
    // Text mode: the line end on disk is CR LF on Windows.
    FILE *f = plat.open_append(path);
    if (!f) return;
    fprintf(f, format, text);
    fclose(f);
}

}  // namespace

void xll_log(const char *message) { log_write(message, "%s\n"); }

void xll_log_raw(const char *text) { log_write(text, "%s"); }

void xll_log_where(char *out, size_t cap) {
    if (!out || cap == 0) return;
#ifdef _WIN32
    snprintf(out, cap, "%s", "%TEMP%\\tindralxl.log");
#else
    char path[PLAT_MAX_PATH];
    snprintf(out, cap, "%s", log_path(path) ? path : "tindralxl.log in the temporary folder");
#endif
}

void xll_logf(log_fn log, size_t cap, const char *format, ...) {
    if (!log || cap == 0) return;
    char line[XLL_LOG_LINE_MAX];
    if (cap > sizeof line) cap = sizeof line;
    va_list ap;
    va_start(ap, format);
    vsnprintf(line, cap, format, ap);
    va_end(ap);
    log(line);
}
