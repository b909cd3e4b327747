// Diagnostic log: one line per message in tindralxl.log in the temp folder.
#pragma once

#include <cstddef>

// A log callback: one terminated narrow text without line end. A null
// callback means silence.
//
// Who holds it: a module is handed its callback by the lifecycle, at its init
// (kept in the module's state record) or with the call that logs; the
// lifecycle and the control server, which nobody hands one, write to the file
// through xll_log and xll_log_raw themselves. Every formatted line goes
// through xll_logf.
typedef void (*log_fn)(const char *message);

// The largest line buffer a producer may ask xll_logf for.
constexpr size_t XLL_LOG_LINE_MAX = 1024;

// printf-style checking of a format argument; MinGW's GCC needs the GNU
// flavour to accept %zu, which clang does not name.
#if defined(__clang__)
#define XLL_LOG_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define XLL_LOG_PRINTF(fmt, args) __attribute__((format(gnu_printf, fmt, args)))
#endif

// Formats into a buffer of `cap` bytes (at most XLL_LOG_LINE_MAX), cut to fit
// and always terminated, and hands the line to `log`. Each producer names the
// buffer size of its message, so a long message is cut where it always was.
// A null `log` means silence: nothing is formatted. Any thread.
void xll_logf(log_fn log, size_t cap, const char *format, ...) XLL_LOG_PRINTF(3, 4);

// Appends `message` and a line end to the log file. Takes no lock, so any
// thread may call it at any time; a file that cannot be opened, or is refused
// (see plat.open_append), loses the message, and the log remembers why (see
// xll_log_off_reason). The only log_fn the add-in hands out.
void xll_log(const char *message);

// A pass that logs a line per item (the registration of every function) keeps
// the file open instead of opening it for each line: between
// xll_log_hold_begin and the matching xll_log_hold_end, this thread's lines
// go through one handle, opened at the first line and closed at the end.
// Each line is flushed as it is written, so a crash loses none of them.
// Other threads open the file for each line as always. Nested holds count.
void xll_log_hold_begin(void);
void xll_log_hold_end(void);

// Holds the log open for this thread for the length of a scope.
struct xll_log_hold {
    xll_log_hold() { xll_log_hold_begin(); }
    ~xll_log_hold() { xll_log_hold_end(); }
    xll_log_hold(const xll_log_hold &) = delete;
    xll_log_hold &operator=(const xll_log_hold &) = delete;
};

// Writes `text` to the log as it stands, with no line end added: for writers
// whose texts carry their own newline (the control server). Same rules.
void xll_log_raw(const char *text);

// Where a user finds the log, for messages that send them there: on Windows
// "%TEMP%\tindralxl.log", as Windows users name the folder; elsewhere the
// log's own path. Always terminated; the path cut to `cap`.
void xll_log_where(char *out, size_t cap);

// Why logging is off, when the last attempt to open the log failed: a line
// such as "logging is off: /tmp/tindralxl.log belongs to another user" into
// `text` (cut to `cap`, terminated). 1 when off, 0 when the last open worked
// or none was tried yet. Any thread; for the session file.
int xll_log_off_reason(char *text, size_t cap);
