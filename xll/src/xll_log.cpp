#include "xll_log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"

namespace {

// What the log remembers: only why the last open failed, so that the session
// file can say why logging is off. Written by every thread that logs.
struct log_state {
    std::atomic<unsigned long> refusal;  // last_error of the last failed open; 0 after one that worked
};
log_state log_status;

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

// This thread's held log (xll_log_hold_begin): how many holds are open, and
// the file once a line opened it. Thread-local, so no other thread ever
// writes through or closes this handle.
struct log_hold {
    int depth;
    FILE *file;
};
thread_local log_hold log_held;

void log_write(const char *text, const char *format) {
    if (!text) return;
    FILE *f = log_held.depth ? log_held.file : nullptr;
    if (!f) {
        char path[PLAT_MAX_PATH];
        if (!log_path(path)) return;
        // Text mode: the line end on disk is CR LF on Windows.
        f = plat.open_append(path);
        if (!f) {
            unsigned long why = plat.last_error();
            log_status.refusal.store(why ? why : 1);
            return;
        }
        log_status.refusal.store(0);
    }
    fprintf(f, format, text);
    if (!log_held.depth) {
        fclose(f);
        return;
    }
    // Held: on to the kernel now, so a crash later in the pass keeps the line.
    fflush(f);
    log_held.file = f;
}

}  // namespace

int xll_log_off_reason(char *text, size_t cap) {
    unsigned long why = log_status.refusal.load();
    if (!why || cap == 0) return 0;
    char path[PLAT_MAX_PATH];
    if (!log_path(path)) snprintf(path, sizeof path, "tindralxl.log");
    if (why == PLAT_LOG_NOT_REGULAR)
        snprintf(text, cap, "logging is off: %s is not a regular file", path);
    else if (why == PLAT_LOG_NOT_OWNER)
        snprintf(text, cap, "logging is off: %s belongs to another user", path);
    else if (why == PLAT_LOG_SHARED)
        snprintf(text, cap, "logging is off: %s may be written by other users or has other names", path);
    else if (why == PLAT_LOG_LINK)
        snprintf(text, cap, "logging is off: %s is a symbolic link", path);
    else
        snprintf(text, cap, "logging is off: %s cannot be opened (error %lu)", path, why);
    return 1;
}

void xll_log_hold_begin(void) { log_held.depth++; }

void xll_log_hold_end(void) {
    if (log_held.depth == 0 || --log_held.depth) return;
    if (log_held.file) fclose(log_held.file);
    log_held.file = nullptr;
}

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
