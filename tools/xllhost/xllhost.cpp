// xllhost: plays Excel for the add-in. It exports MdCallBack12, loads an add-in
// by path through the platform layer and runs a script of commands, printing
// one line per result (the language is described in README.md beside this
// file). Every line is flushed at once: tests read the output while it runs.
#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cmath>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

#include "platform/platform.h"
#include "text_utf16.h"
#include "xlcall.h"
#include "xllhost_formula.h"
#include "xllhost_async.h"

#ifdef _WIN32
#define HOST_EXPORT extern "C" __declspec(dllexport)
#else
#define HOST_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace {

typedef std::basic_string<XCHAR> xstring;
typedef int (*xll_entry)(void);
typedef void (*xll_free_fn)(LPXLOPER12);
typedef LPXLOPER12 (*xll_slot_fn)(LPXLOPER12, LPXLOPER12, LPXLOPER12, LPXLOPER12, LPXLOPER12, LPXLOPER12,
                                  LPXLOPER12, LPXLOPER12, LPXLOPER12, LPXLOPER12);

constexpr int HOST_SLOT_ARGS = 10;  // Excel hands every registered function ten records
constexpr int HOST_MAX_TEXT = 32767;  // longest text Excel holds in a cell
constexpr long long HOST_MAX_SERIES = 16777216;  // elements of one `g:` array (512 MiB of records)

struct host_registration {
    std::string proc;  // procedure (export name)
    std::string type;  // type text
    std::string name;  // function text, the name a formula uses
    double id;         // the registration id answered to the add-in
    // Arguments 5 on, as the function wizard reads them: argument text,
    // macro type, category, shortcut, help topic, function help, argument
    // helps. UTF-8 of a text; "" for anything else (a missing one).
    std::vector<std::string> wizard;
};

struct host_refusal {
    std::string name;  // function text, or "*" for every name
    int code;          // return code answered instead of success
};

// A command scheduled with xlcOnTime.
struct host_timer {
    double when;       // serial time (days since 1899-12-30) at which it is due
    std::string name;  // the command's function text
    long seq;          // order of scheduling; a run started now only runs earlier ones
    double made;       // the host's time when it was scheduled
};

struct host_state {
    plat_module addin;                        // the loaded add-in; null after `unload`
    const wchar_t *addin_path = nullptr;      // its path as the loader takes it, for `load`
    std::vector<host_registration> registered; // accepted registrations, in order
    std::vector<host_refusal> refusals;       // registrations to refuse
    std::vector<std::string> kept;            // function texts whose xlfUnregister answers FALSE ("*": all)
    bool free_results = true;                 // hand DLL-owned results to xlAutoFree12
    double next_id = 1;                       // next registration id
    std::thread::id main_thread;              // the only thread allowed to call Excel
    std::atomic<int> input_closed{0};         // standard input reached its end
    bool input_taken = false;                 // `wait` has taken over standard input
    std::vector<host_timer> timers;           // pending xlcOnTime schedules
    long next_seq = 0;                        // seq of the next schedule
    double clock_offset = 0;                  // days added to the real clock (`advance`)
    bool clock_stopped = false;               // `clock stop`: the clock stands still
    double clock_stopped_at = 0;              // the stopped clock's time
    int command_depth = 0;                    // > 0 while a command or lifecycle export runs
    bool quiet_runs = false;                  // during `wait` and `idle`: scheduled runs are counted, not printed
    long quiet_count = 0;                     // runs counted while quiet
    long schedules = 0;                       // xlcOnTime calls that scheduled a run, since the start
    // The cell whose formula is being computed (sheet -1: none), what
    // xlfCaller answers, and how often the add-in asked.
    int caller_sheet = -1;
    long caller_row = 0;
    long caller_col = 0;
    long caller_asks = 0;
};
host_state host;

// Standard input read by a thread of its own (from `wait` or `idle on` on),
// so that the script's thread can run due commands while no line comes.
struct host_input_state {
    std::mutex lock;                  // guards lines
    std::condition_variable arrived;  // a line came, or the input ended
    std::deque<std::string> lines;    // lines read and not yet run
    bool reader = false;              // script thread only: the reader runs
    bool from_stdin = false;          // script thread only: the script comes from standard input
    bool idle = false;                // script thread only: `idle on`
};
host_input_state input;

volatile std::sig_atomic_t host_signalled = 0;  // SIGINT or SIGTERM not yet consumed by `wait`

// One result line on standard output, flushed at once.
void host_line(const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    vfprintf(stdout, format, ap);
    va_end(ap);
    fputc('\n', stdout);
    fflush(stdout);
}

[[noreturn]] void host_exit(int code) {
    fflush(stdout);
    fflush(stderr);
    // No static destructors: the add-in may still run a thread of its own, as
    // it may when Excel ends.
    std::_Exit(code);
}

// Reports a fault of the script, the add-in file or its exports, and ends.
[[noreturn]] void host_fail(const char *format, ...) {
    fflush(stdout);
    fputs("error ", stderr);
    va_list ap;
    va_start(ap, format);
    vfprintf(stderr, format, ap);
    va_end(ap);
    fputc('\n', stderr);
    host_exit(2);
}

// UTF-16 units to UTF-8 for the output; by text_utf16's rule an unpaired
// surrogate shows as U+FFFD.
std::string utf16_to_utf8(const XCHAR *s, size_t n) {
    std::string out;
    int replaced = 0;
    for (size_t i = 0; i < n;) {
        char bytes[4];
        int k = text_utf16_put_utf8(text_utf16_next(s, n, &i), bytes, &replaced);
        out.append(bytes, (size_t)k);
    }
    return out;
}

// UTF-8 to UTF-16 units; 0 when the bytes are not UTF-8 (a script's text must
// arrive exactly as written).
int utf8_append_utf16(const char *s, size_t n, xstring *out) {
    const unsigned char *p = (const unsigned char *)s;
    int replaced = 0;
    for (size_t i = 0; i < n;) {
        unsigned long c;
        i += (size_t)text_utf16_get_utf8(p + i, n - i, &c, &replaced);
        if (replaced) return 0;
        XCHAR units[2];
        int k = text_utf16_put(c, units);
        out->append(units, (size_t)k);
    }
    return 1;
}

// The UTF-8 content of a counted text record, or "-" when it is not text.
std::string record_text(const XLOPER12 *x) {
    if (!x || (x->xltype & 0x0FFF) != xltypeStr || !x->val.str) return "-";
    std::string s = utf16_to_utf8(x->val.str + 1, (unsigned short)x->val.str[0]);
    return s.empty() ? "-" : s;
}

bool same_name(const std::string &a, const std::string &b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); i++) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = (char)(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = (char)(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

int refusal_code(const std::string &name) {
    for (const host_refusal &r : host.refusals)
        if (r.name == "*" || same_name(r.name, name)) return r.code;
    return xlretSuccess;
}

host_registration *find_registration(const std::string &name) {
    for (host_registration &r : host.registered)
        if (same_name(r.name, name)) return &r;
    return nullptr;
}

std::string json_string(const std::string &s);
std::string number_text(double v);

// One xlfRegister argument as JSON: a text as a string, a number as a
// number, a missing argument as null, anything else by its type.
std::string register_arg_json(const XLOPER12 *x) {
    if (!x) return "null";
    switch (x->xltype & 0x0FFF) {
    case xltypeStr: return x->val.str ? json_string(utf16_to_utf8(x->val.str + 1, (unsigned short)x->val.str[0])) : "null";
    case xltypeNum: return number_text(x->val.num);
    case xltypeMissing:
    case xltypeNil: return "null";
    default: return "{\"xltype\":" + std::to_string(x->xltype & 0x0FFF) + "}";
    }
}

std::string register_arg_text(const XLOPER12 *x) {
    if (!x || (x->xltype & 0x0FFF) != xltypeStr || !x->val.str) return "";
    return utf16_to_utf8(x->val.str + 1, (unsigned short)x->val.str[0]);
}

int host_register(int count, LPXLOPER12 *opers, LPXLOPER12 result) {
    std::string proc = count > 1 ? record_text(opers[1]) : "-";
    std::string type = count > 2 ? record_text(opers[2]) : "-";
    std::string name = count > 3 ? record_text(opers[3]) : "-";
    int rc = refusal_code(name);
    if (rc == xlretSuccess && (count < 2 || proc == "-")) rc = xlretInvXloper;
    if (rc == xlretSuccess) {
        // Excel binds a function text to its latest registration.
        host_registration *r = name == "-" ? nullptr : find_registration(name);
        if (!r) {
            host.registered.push_back(host_registration());
            r = &host.registered.back();
            r->name = name;
            r->id = host.next_id++;
        }
        r->proc = proc;
        r->type = type;
        r->wizard.clear();
        for (int i = 4; i < count; i++) r->wizard.push_back(register_arg_text(opers[i]));
        if (result) {
            result->xltype = xltypeNum;
            result->val.num = r->id;
        }
    } else if (result) {
        result->xltype = xltypeErr;
        result->val.err = xlerrValue;
    }
    host_line("register %d %s %s %s", rc, proc.c_str(), type.c_str(), name.c_str());
    // Every argument the add-in passed, the module text included, in order.
    std::string all = "[";
    for (int i = 0; i < count; i++) all += (i ? "," : "") + register_arg_json(opers[i]);
    host_line("register-args %s %d %s]", name.c_str(), count, all.c_str());
    return rc;
}

// Shortest text that reads back as the same double.
std::string number_text(double v) {
    char buf[40];
    snprintf(buf, sizeof buf, "%.15g", v);
    if (strtod(buf, nullptr) != v) snprintf(buf, sizeof buf, "%.17g", v);
    return buf;
}

std::string json_string(const std::string &s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20) {
                char buf[8];
                snprintf(buf, sizeof buf, "\\u%04x", c);
                out += buf;
            } else {
                out += (char)c;
            }
        }
    }
    return out + "\"";
}

// A value inside an array result, JSON-like.
std::string element_text(const XLOPER12 &x) {
    switch (x.xltype & 0x0FFF) {
    case xltypeNum: return number_text(x.val.num);
    case xltypeStr: return x.val.str ? json_string(utf16_to_utf8(x.val.str + 1, (unsigned short)x.val.str[0])) : "null";
    case xltypeBool: return x.val.xbool ? "true" : "false";
    case xltypeErr: return "{\"err\":" + std::to_string(x.val.err) + "}";
    case xltypeInt: return std::to_string(x.val.w);
    case xltypeNil: return "null";
    case xltypeMissing: return "\"missing\"";
    default: return "\"?\"";
    }
}

void print_result(const XLOPER12 *x) {
    if (!x) {
        host_line("result null");
        return;
    }
    std::string v;
    switch (x->xltype & 0x0FFF) {
    case 0: v = "none"; break;
    case xltypeNum: v = "num " + number_text(x->val.num); break;
    case xltypeStr:
        v = x->val.str ? "str " + json_string(utf16_to_utf8(x->val.str + 1, (unsigned short)x->val.str[0]))
                       : "str null";
        break;
    case xltypeBool: v = "bool " + std::to_string(x->val.xbool); break;
    case xltypeErr: v = "err " + std::to_string(x->val.err); break;
    case xltypeInt: v = "int " + std::to_string(x->val.w); break;
    case xltypeNil: v = "nil"; break;
    case xltypeMissing: v = "missing"; break;
    case xltypeMulti: {
        long rows = x->val.array.rows, cols = x->val.array.columns;
        v = "multi " + std::to_string(rows) + " " + std::to_string(cols) + " [";
        // Every element of a shape that fits Excel's grid; nothing of any other.
        if (x->val.array.lparray && rows > 0 && cols > 0 && rows <= 1048576 && cols <= 16384) {
            for (long long i = 0; i < (long long)rows * cols; i++) {
                if (i) v += ",";
                v += element_text(x->val.array.lparray[i]);
            }
        }
        v += "]";
        break;
    }
    default: v = "other"; break;
    }
    host_line("result %s xltype=0x%04X", v.c_str(), (unsigned)x->xltype);
}

// The add-in's export `name`, or an error that ends the script.
void *addin_export(const char *name) {
    if (!host.addin) host_fail("the add-in is unloaded: %s needs a `load` first", name);
    void *p = plat.library_symbol(host.addin, name);
    if (!p) host_fail("add-in exports no %s", name);
    return p;
}

// --- the clock and xlcOnTime ----------------------------------------------------

constexpr double HOST_DAY_MS = 86400000.0;
constexpr double HOST_UNIX_EPOCH_SERIAL = 25569.0;  // 1970-01-01 in Excel's serial time
constexpr double HOST_QUICK_RUN = 500.0 / HOST_DAY_MS;  // a schedule this close is counted, not printed

// Excel's serial time as xlfNow answers it: the real clock (UTC; the host has
// no time zone) plus what `advance` added, or the stopped clock.
double host_now(void) {
    if (host.clock_stopped) return host.clock_stopped_at;
    using namespace std::chrono;
    double ms = (double)duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
    return HOST_UNIX_EPOCH_SERIAL + ms / HOST_DAY_MS + host.clock_offset;
}

bool is_missing(const XLOPER12 *x) { return !x || (x->xltype & 0x0FFF) == xltypeMissing; }

// xlcOnTime(time, command[, tolerance[, schedule]]): schedule FALSE withdraws
// the schedule of that exact time and command.
int host_ontime(int count, LPXLOPER12 *opers, LPXLOPER12 result) {
    // Excel runs commands only in command context; a worksheet function
    // calling this is refused.
    if (host.command_depth == 0) {
        host_line("ontime refused outside a command");
        return xlretFailed;
    }
    if (count < 2 || (opers[0]->xltype & 0x0FFF) != xltypeNum || record_text(opers[1]) == "-") return xlretInvXloper;
    double when = opers[0]->val.num;
    std::string name = record_text(opers[1]);
    bool schedule = true;
    if (count >= 4 && !is_missing(opers[3])) {
        if ((opers[3]->xltype & 0x0FFF) != xltypeBool) return xlretInvXloper;
        schedule = opers[3]->val.xbool != 0;
    }
    bool done = true;
    if (schedule) {
        host.schedules++;
        host.timers.push_back(host_timer{when, name, host.next_seq++, host_now()});
    } else {
        done = false;
        for (size_t i = 0; i < host.timers.size(); i++) {
            if (host.timers[i].when == when && same_name(host.timers[i].name, name)) {
                host.timers.erase(host.timers.begin() + (long)i);
                done = true;
                break;
            }
        }
    }
    if (result) {
        // As the macro function answers: TRUE, or #VALUE! for no such schedule.
        if (done) {
            result->xltype = xltypeBool;
            result->val.xbool = 1;
        } else {
            result->xltype = xltypeErr;
            result->val.err = xlerrValue;
        }
    }
    return xlretSuccess;
}

// Runs a registered command by name the way Excel does: in command context.
int host_run_command(host_registration *r) {
    xll_entry fn = reinterpret_cast<xll_entry>(addin_export(r->proc.c_str()));
    host.command_depth++;
    int rc = fn();
    host.command_depth--;
    return rc;
}

// Runs every command whose time has come, earliest first, each once; what
// they schedule while running waits for the next call. Returns how many ran.
int host_run_due(void) {
    long before = host.next_seq;
    int ran = 0;
    for (;;) {
        double now = host_now();
        long best = -1;
        for (size_t i = 0; i < host.timers.size(); i++) {
            const host_timer &t = host.timers[i];
            if (t.seq >= before || t.when > now) continue;
            if (best < 0 || t.when < host.timers[(size_t)best].when) best = (long)i;
        }
        if (best < 0) return ran;
        host_timer t = host.timers[(size_t)best];
        host.timers.erase(host.timers.begin() + best);
        ran++;
        host_registration *r = find_registration(t.name);
        if (!r) {
            host_line("ontime %s unknown", t.name.c_str());
            continue;
        }
        int rc = host_run_command(r);
        // A command that asked to run again within a moment would fill the
        // output: runs scheduled less than half a second after they were
        // asked for, and all during `wait` and `idle`, are counted instead.
        if (host.quiet_runs || t.when - t.made < HOST_QUICK_RUN)
            host.quiet_count++;
        else
            host_line("ontime %s %d", t.name.c_str(), rc);
    }
}

// Starts the thread that reads standard input line by line.
void input_start_reader(void) {
    if (input.reader) return;
    input.reader = true;
    std::thread([] {
        std::string line;
        char buf[4096];
        while (fgets(buf, sizeof buf, stdin)) {
            line += buf;
            if (line.back() != '\n') continue;
            std::lock_guard<std::mutex> hold(input.lock);
            input.lines.push_back(std::move(line));
            line.clear();
            input.arrived.notify_all();
        }
        std::lock_guard<std::mutex> hold(input.lock);
        if (!line.empty()) input.lines.push_back(std::move(line));
        host.input_closed = 1;
        input.arrived.notify_all();
    }).detach();
}

// Waits until the earliest schedule falls due, at most `cap`; with
// `on_input`, also until a line arrives or the input ends. A schedule due
// already (made for "as soon as Excel is ready") is run after a short
// breath, as Excel runs it between its own messages.
void host_pause(std::chrono::microseconds cap, bool on_input) {
    using namespace std::chrono;
    microseconds wait = cap;
    double now = host_now();
    for (const host_timer &t : host.timers) {
        microseconds until = t.when <= now ? microseconds(250) : microseconds((long long)((t.when - now) * HOST_DAY_MS * 1000.0) + 1);
        if (until < wait) wait = until;
    }
    std::unique_lock<std::mutex> hold(input.lock);
    if (on_input)
        input.arrived.wait_for(hold, wait, [] { return !input.lines.empty() || host.input_closed; });
    else
        input.arrived.wait_for(hold, wait, [] { return false; });
}

// Sleeps `ms` milliseconds of real time, running due commands meanwhile.
void host_sleep(long ms) {
    using namespace std::chrono;
    auto deadline = steady_clock::now() + milliseconds(ms);
    for (;;) {
        host_run_due();
        auto left = duration_cast<microseconds>(deadline - steady_clock::now());
        if (left <= microseconds::zero()) return;
        host_pause(std::min<microseconds>(left, milliseconds(10)), false);
    }
}

bool unregister_kept(const std::string &name) {
    for (const std::string &k : host.kept)
        if (k == "*" || same_name(k, name)) return true;
    return false;
}

// xlfUnregister(register id), form 1: withdraws that registration. Excel
// documents the answer as TRUE (xltypeBool) when it succeeded and FALSE
// otherwise, with the call itself succeeding; a registration held by
// `refuse-unregister` stays and is answered FALSE that way.
int host_unregister(int count, LPXLOPER12 *opers, LPXLOPER12 result) {
    if (count != 1 || (opers[0]->xltype & 0x0FFF) != xltypeNum) return xlretInvXloper;
    double id = opers[0]->val.num;
    std::string name = "-";
    bool done = false;
    for (size_t i = 0; i < host.registered.size(); i++) {
        if (host.registered[i].id == id) {
            name = host.registered[i].name;
            done = !unregister_kept(name);
            if (done) host.registered.erase(host.registered.begin() + (long)i);
            break;
        }
    }
    host_line("unregister %s %s%s", number_text(id).c_str(), name.c_str(), name != "-" && !done ? " kept" : "");
    if (result) {
        result->xltype = xltypeBool;
        result->val.xbool = done;
    }
    return xlretSuccess;
}

// Words of a command, split on runs of spaces.
std::vector<std::string> split_words(const std::string &line) {
    std::vector<std::string> words;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && line[i] == ' ') i++;
        size_t start = i;
        while (i < line.size() && line[i] != ' ') i++;
        if (i > start) words.push_back(line.substr(start, i - start));
    }
    return words;
}

bool parse_double(const std::string &s, double *out) {
    if (s.empty()) return false;
    char *end = nullptr;
    *out = strtod(s.c_str(), &end);
    return *end == 0;
}

// `long` is 32 bits on Windows: parse wide, then check the range.
bool parse_long(const std::string &s, long lo, long hi, long *out) {
    if (s.empty()) return false;
    char *end = nullptr;
    errno = 0;
    long long v = strtoll(s.c_str(), &end, 10);
    if (*end != 0 || errno == ERANGE || v < lo || v > hi) return false;
    *out = (long)v;
    return true;
}

// Keeps the memory of one call's arguments until the call has returned.
// Deques: growing them moves no element that a record already points into.
struct arg_storage {
    std::deque<xstring> texts;                // counted texts, unit 0 the length
    std::deque<std::vector<XLOPER12>> arrays; // array elements
};

// `s:` text: UTF-8 with \s (space), \\ and \uHHHH escapes, into a counted text.
bool parse_text(const std::string &s, arg_storage *store, XLOPER12 *x) {
    xstring units(1, (XCHAR)0);
    for (size_t i = 0; i < s.size();) {
        size_t j = i;
        while (j < s.size() && s[j] != '\\') j++;
        if (!utf8_append_utf16(s.data() + i, j - i, &units)) return false;
        if (j >= s.size()) break;
        if (j + 1 >= s.size()) return false;
        char e = s[j + 1];
        if (e == 's') {
            units.push_back((XCHAR)' ');
            i = j + 2;
        } else if (e == '\\') {
            units.push_back((XCHAR)'\\');
            i = j + 2;
        } else if (e == 'u' && j + 6 <= s.size()) {
            char hex[5] = {s[j + 2], s[j + 3], s[j + 4], s[j + 5], 0};
            char *end = nullptr;
            unsigned long v = strtoul(hex, &end, 16);
            if (*end != 0 || strlen(hex) != 4) return false;
            units.push_back((XCHAR)v);
            i = j + 6;
        } else {
            return false;
        }
    }
    if (units.size() - 1 > (size_t)HOST_MAX_TEXT) return false;
    units[0] = (XCHAR)(units.size() - 1);
    store->texts.push_back(units);
    x->xltype = xltypeStr;
    x->val.str = &store->texts.back()[0];
    return true;
}

bool parse_arg(const std::string &a, arg_storage *store, XLOPER12 *x, bool in_array);

// The `R,C:` head of an array argument, within Excel's grid; `*rest` is what
// follows the colon.
bool parse_shape(const std::string &text, long *rows, long *cols, std::string *rest) {
    size_t comma = text.find(','), colon = text.find(':');
    if (comma == std::string::npos || colon == std::string::npos || comma > colon) return false;
    if (!parse_long(text.substr(0, comma), 1, 1048576, rows) ||
        !parse_long(text.substr(comma + 1, colon - comma - 1), 1, 16384, cols))
        return false;
    *rest = text.substr(colon + 1);
    return true;
}

// `m:R,C:v;v;...`: an R x C array, row by row. An element is a number, empty
// (an empty cell, nil) or any other typed argument except a nested array.
bool parse_array(const std::string &text, arg_storage *store, XLOPER12 *x) {
    long rows = 0, cols = 0;
    std::string rest;
    if (!parse_shape(text, &rows, &cols, &rest) || (long long)rows * cols > 1048576) return false;
    std::vector<std::string> items;
    size_t start = 0;
    for (;;) {
        size_t semi = rest.find(';', start);
        items.push_back(rest.substr(start, semi == std::string::npos ? std::string::npos : semi - start));
        if (semi == std::string::npos) break;
        start = semi + 1;
    }
    if ((long)items.size() != rows * cols) return false;
    std::vector<XLOPER12> elements(items.size());
    for (size_t i = 0; i < items.size(); i++) {
        double v;
        if (items[i].empty()) {
            elements[i].xltype = xltypeNil;
        } else if (parse_double(items[i], &v)) {
            elements[i].xltype = xltypeNum;
            elements[i].val.num = v;
        } else if (!parse_arg(items[i], store, &elements[i], true)) {
            return false;
        }
    }
    store->arrays.push_back(std::move(elements));
    x->xltype = xltypeMulti;
    x->val.array.lparray = store->arrays.back().data();
    x->val.array.rows = (RW)rows;
    x->val.array.columns = (COL)cols;
    return true;
}

// `g:R,C:FIRST,STEP`: an R x C array of numbers made here, element k (row by
// row) FIRST + k * STEP: a large range without a giant command line.
bool parse_series(const std::string &text, arg_storage *store, XLOPER12 *x) {
    long rows = 0, cols = 0;
    std::string rest;
    double first = 0, step = 0;
    if (!parse_shape(text, &rows, &cols, &rest) || (long long)rows * cols > HOST_MAX_SERIES) return false;
    size_t comma = rest.find(',');
    if (comma == std::string::npos || !parse_double(rest.substr(0, comma), &first) ||
        !parse_double(rest.substr(comma + 1), &step))
        return false;
    std::vector<XLOPER12> elements((size_t)rows * (size_t)cols);
    for (size_t k = 0; k < elements.size(); k++) {
        elements[k].xltype = xltypeNum;
        elements[k].val.num = first + (double)k * step;
    }
    store->arrays.push_back(std::move(elements));
    x->xltype = xltypeMulti;
    x->val.array.lparray = store->arrays.back().data();
    x->val.array.rows = (RW)rows;
    x->val.array.columns = (COL)cols;
    return true;
}

bool parse_arg(const std::string &a, arg_storage *store, XLOPER12 *x, bool in_array) {
    memset(x, 0, sizeof *x);
    if (a == "missing") {
        x->xltype = xltypeMissing;
        return true;
    }
    if (a == "nil") {
        x->xltype = xltypeNil;
        return true;
    }
    if (a.size() < 2 || a[1] != ':') return false;
    std::string v = a.substr(2);
    long n;
    switch (a[0]) {
    case 'n':
        x->xltype = xltypeNum;
        return parse_double(v, &x->val.num);
    case 's': return parse_text(v, store, x);
    case 'b':
        if (v != "0" && v != "1") return false;
        x->xltype = xltypeBool;
        x->val.xbool = v == "1";
        return true;
    case 'i':
        if (!parse_long(v, -2147483647L - 1, 2147483647L, &n)) return false;
        x->xltype = xltypeInt;
        x->val.w = (int32_t)n;
        return true;
    case 'e':
        if (!parse_long(v, 0, 2147483647L, &n)) return false;
        x->xltype = xltypeErr;
        x->val.err = (int32_t)n;
        return true;
    case 'm':
        if (in_array) return false;
        return parse_array(v, store, x);
    case 'g':
        if (in_array) return false;
        return parse_series(v, store, x);
    default: return false;
    }
}

// Raises a calculation event: runs each handler the add-in named to
// xlEventRegister for it, as a command, printing `event KIND PROC RC`.
void raise_event(int event) {
    for (const std::string &proc : host_event_handlers(event)) {
        xll_entry fn = reinterpret_cast<xll_entry>(addin_export(proc.c_str()));
        host.command_depth++;
        int rc = fn();
        host.command_depth--;
        host_line("event %s %s %d", event == xleventCalculationCanceled ? "cancelled" : "ended", proc.c_str(), rc);
    }
}

std::vector<host_async_result> calculation_settle(void);

// An asynchronous registration (">...X"): puts a new handle into the X
// position of `args`, calls the function and, unless `detached` (`acall`,
// which prints `pending ID`), waits for the calculation to end and prints the
// returned value as `call` prints a result. False for any other registration.
bool async_call_started(const host_registration *r, XLOPER12 *args, bool detached) {
    int at = host_async_handle_position(r->type);
    if (at < 0 || at >= HOST_SLOT_ARGS) return false;
    long id = 0;
    args[at] = host_async_handle(host_async_target{-1, 0, 0}, &id);
    xll_slot_fn fn = reinterpret_cast<xll_slot_fn>(addin_export(r->proc.c_str()));
    // Excel ignores what an asynchronous entry point returns. Timed: the
    // time Excel's thread spends in the call (`asynctime`).
    std::chrono::steady_clock::time_point t0 = std::chrono::steady_clock::now();
    fn(&args[0], &args[1], &args[2], &args[3], &args[4], &args[5], &args[6], &args[7], &args[8], &args[9]);
    host_async_time_add(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count());
    if (detached) {
        host_line("pending %ld", id);
        return true;
    }
    for (const host_async_result &done : calculation_settle()) print_result(&done.value);
    return true;
}

void command_call(const std::vector<std::string> &w) {
    if (w.size() < 2) host_fail("call needs a function name");
    if (w.size() - 2 > (size_t)HOST_SLOT_ARGS) host_fail("call %s: more than %d arguments", w[1].c_str(), HOST_SLOT_ARGS);
    host_registration *r = find_registration(w[1]);
    if (!r) host_fail("unknown function %s", w[1].c_str());
    arg_storage store;
    XLOPER12 args[HOST_SLOT_ARGS];
    for (int i = 0; i < HOST_SLOT_ARGS; i++) {
        memset(&args[i], 0, sizeof args[i]);
        args[i].xltype = xltypeMissing;
        size_t k = (size_t)i + 2;
        if (k < w.size() && !parse_arg(w[k], &store, &args[i], false))
            host_fail("call %s: bad argument '%s'", w[1].c_str(), w[k].c_str());
    }
    xll_slot_fn fn = reinterpret_cast<xll_slot_fn>(addin_export(r->proc.c_str()));
    if (async_call_started(r, args, w[0] == "acall")) return;
    LPXLOPER12 result = fn(&args[0], &args[1], &args[2], &args[3], &args[4], &args[5], &args[6], &args[7],
                           &args[8], &args[9]);
    print_result(result);
    if (result && (result->xltype & xlbitDLLFree) && host.free_results) {
        xll_free_fn free_fn = reinterpret_cast<xll_free_fn>(addin_export("xlAutoFree12"));
        free_fn(result);
    }
}

void command_lifecycle(const char *word, const char *export_name) {
    xll_entry fn = reinterpret_cast<xll_entry>(addin_export(export_name));
    // A closing add-in's pending asynchronous calls belong to no calculation
    // any more (the docs are silent; the host's choice): forgotten before
    // xlAutoClose, so a return from then on is refused and counted.
    if (strcmp(export_name, "xlAutoClose") == 0) host_async_forget();
    // Excel calls the lifecycle exports in command context.
    host.command_depth++;
    int rc = fn();
    host.command_depth--;
    host_line("%s %d", word, rc);
}

// The user unticks the add-in in the Add-In Manager. Excel then calls
// xlAutoRemove ("whenever the user deactivates the XLL during an Excel
// session by using the Add-In Manager") and xlAutoClose ("whenever the XLL is
// deactivated, that is, unloaded from memory"); what the add-in left
// registered Excel unregisters itself after xlAutoClose, and the file is
// unloaded (FreeLibrary: Excel's one reference goes). Excel's documentation
// is silent on an xlcOnTime schedule naming a command of the unloaded add-in:
// the host drops it with the registrations. Prints `unload N`, N the
// registrations the host removed after xlAutoClose.
void command_unload(void) {
    command_lifecycle("remove", "xlAutoRemove");
    command_lifecycle("close", "xlAutoClose");
    size_t left = host.registered.size();
    for (const host_registration &r : host.registered)
        host_line("unregister %s %s", number_text(r.id).c_str(), r.name.c_str());
    host.registered.clear();
    host.timers.clear();
    host_event_clear();
    plat.library_free(host.addin);
    host.addin = nullptr;
    host_line("unload %zu", left);
}

// The user ticks it again: Excel loads the file and calls xlAutoAdd
// ("whenever the user activates the XLL during an Excel session by using the
// Add-In Manager") and xlAutoOpen. Prints `load`, then the two calls' lines.
void command_load(void) {
    if (host.addin) host_fail("load: the add-in is loaded already");
    host.addin = plat.library_load(host.addin_path);
    if (!host.addin) host_fail("load: cannot load the add-in again (error %lu)", plat.last_error());
    host_line("load");
    command_lifecycle("add", "xlAutoAdd");
    command_lifecycle("open", "xlAutoOpen");
}

// --- the workbook ----------------------------------------------------------------
//
// One workbook ("Book1") of sheets whose cells hold constants or formula
// text, an active sheet and a selection: what xlfTextref, xlCoerce, xlSet,
// xlcFormula, xlcCalculateNow, xlfGetWorkbook, xlfSelection and xlfReftext
// see. A formula is evaluated only when it calls a registered function with
// literal arguments (through the function's export, as Excel recalculates);
// any other formula holds #N/A. Results with memory (texts, arrays,
// references) are the host's until the add-in hands them back with xlFree.

constexpr long HOST_ROWS = 1048576;
constexpr long HOST_COLS = 16384;
constexpr long HOST_SHOW_MAX = 1048576;  // cells one `show` or `seed` may cover

struct host_cell {
    DWORD_XL type;        // xltypeNum, xltypeStr, xltypeBool or xltypeErr
    double num;           // xltypeNum
    int32_t code;         // xltypeBool (0/1) or xltypeErr
    xstring text;         // xltypeStr: counted, unit 0 the length
    std::string formula;  // UTF-8 "=..." for a formula cell, else empty
};

struct host_sheet {
    std::string name;
    std::map<long long, host_cell> cells;  // key row * HOST_COLS + column (both from 0)
};

struct host_workbook {
    std::vector<host_sheet> sheets{host_sheet{"Sheet1", {}}};
    int active = 0;                        // the active sheet
    int selection_sheet = 0;               // the selection: a sheet and a rectangle
    XLREF12 selection{0, 0, 0, 0};
    std::map<const void *, std::vector<void *>> owned;  // results not yet xlFree'd: key -> blocks
};
host_workbook book;

long long cell_key(long row, long col) { return (long long)row * HOST_COLS + col; }

int find_sheet(const std::string &name) {
    for (size_t i = 0; i < book.sheets.size(); i++)
        if (same_name(book.sheets[i].name, name)) return (int)i;
    return -1;
}

// Column index (from 0) as letters: 0 -> A, 16383 -> XFD.
std::string column_letters(long col) {
    std::string s;
    for (long c = col + 1; c > 0; c = (c - 1) / 26) s.insert(s.begin(), (char)('A' + (c - 1) % 26));
    return s;
}

// One end of an A1 range: "$B$3", "B" (a column) or "3" (a row). kind: 3
// both, 1 column only, 2 row only.
bool parse_a1_end(const std::string &s, long *row, long *col, int *kind) {
    size_t i = 0;
    long c = 0, r = 0;
    int letters = 0, digits = 0;
    if (i < s.size() && s[i] == '$') i++;
    while (i < s.size() && isalpha((unsigned char)s[i]) && letters < 4) {
        c = c * 26 + (toupper((unsigned char)s[i]) - 'A' + 1);
        i++;
        letters++;
    }
    if (i < s.size() && s[i] == '$' && letters) i++;
    while (i < s.size() && isdigit((unsigned char)s[i]) && digits < 8) {
        r = r * 10 + (s[i] - '0');
        i++;
        digits++;
    }
    if (i != s.size() || (!letters && !digits)) return false;
    if (letters && (c < 1 || c > HOST_COLS)) return false;
    if (digits && (r < 1 || r > HOST_ROWS)) return false;
    *col = letters ? c - 1 : -1;
    *row = digits ? r - 1 : -1;
    *kind = (letters ? 1 : 0) | (digits ? 2 : 0);
    return true;
}

// An A1 reference text: [[Book]Sheet!]A1[:B2], quotes around a sheet name
// ('' is one quote), whole columns (A:C) and rows (1:3). The sheet must
// exist; no sheet part means the active sheet.
bool parse_ref_text(const std::string &text, int *sheet, XLREF12 *area) {
    std::string range = text;
    *sheet = book.active;
    size_t bang = text.rfind('!');
    if (bang != std::string::npos) {
        std::string name = text.substr(0, bang);
        range = text.substr(bang + 1);
        bool quoted = name.size() >= 2 && name.front() == '\'' && name.back() == '\'';
        if (quoted) {
            std::string raw = name.substr(1, name.size() - 2);
            name.clear();
            for (size_t i = 0; i < raw.size(); i++) {
                if (raw[i] == '\'' && i + 1 < raw.size() && raw[i + 1] == '\'') i++;
                name += raw[i];
            }
        }
        if (!name.empty() && name[0] == '[') {
            size_t close = name.find(']');
            if (close == std::string::npos) return false;
            name = name.substr(close + 1);
        }
        *sheet = find_sheet(name);
        if (*sheet < 0) return false;
    }
    size_t colon = range.find(':');
    std::string first = range.substr(0, colon), last = colon == std::string::npos ? first : range.substr(colon + 1);
    long r1, c1, r2, c2;
    int k1, k2;
    if (!parse_a1_end(first, &r1, &c1, &k1) || !parse_a1_end(last, &r2, &c2, &k2) || k1 != k2) return false;
    // A lone column or row is no reference without its other end (A1 style).
    if (k1 != 3 && colon == std::string::npos) return false;
    if (k1 == 1) {
        r1 = 0;
        r2 = HOST_ROWS - 1;
    } else if (k1 == 2) {
        c1 = 0;
        c2 = HOST_COLS - 1;
    }
    area->rwFirst = (RW)std::min(r1, r2);
    area->rwLast = (RW)std::max(r1, r2);
    area->colFirst = (COL)std::min(c1, c2);
    area->colLast = (COL)std::max(c1, c2);
    return true;
}

// The sheet and rectangle of a reference record.
bool ref_area(const XLOPER12 *x, int *sheet, XLREF12 *area) {
    if (!x) return false;
    DWORD_XL type = x->xltype & 0x0FFF;
    if (type == xltypeSRef && x->val.sref.count == 1) {
        // An internal reference is to the current sheet: the one whose cell
        // is being computed, else the active one (xlSheetNm's docs).
        *sheet = host.caller_sheet >= 0 ? host.caller_sheet : book.active;
        *area = x->val.sref.ref;
    } else if (type == xltypeRef && x->val.mref.lpmref && x->val.mref.lpmref->count == 1) {
        if (x->val.mref.idSheet < 1 || x->val.mref.idSheet > book.sheets.size()) return false;
        *sheet = (int)x->val.mref.idSheet - 1;
        *area = x->val.mref.lpmref->reftbl[0];
    } else {
        return false;
    }
    return area->rwFirst >= 0 && area->rwFirst <= area->rwLast && area->rwLast < HOST_ROWS &&
           area->colFirst >= 0 && area->colFirst <= area->colLast && area->colLast < HOST_COLS;
}

long area_rows(const XLREF12 &a) { return (long)a.rwLast - a.rwFirst + 1; }
long area_cols(const XLREF12 &a) { return (long)a.colLast - a.colFirst + 1; }

void *owned_block(std::vector<void *> *blocks, size_t bytes) {
    void *p = calloc(1, bytes ? bytes : 1);
    if (!p) host_fail("out of memory");
    blocks->push_back(p);
    return p;
}

XCHAR *owned_text(std::vector<void *> *blocks, const XCHAR *units, size_t n) {
    XCHAR *t = (XCHAR *)owned_block(blocks, (n + 2) * sizeof(XCHAR));
    t[0] = (XCHAR)n;
    if (n) memcpy(t + 1, units, n * sizeof(XCHAR));
    return t;
}

XCHAR *owned_utf8(std::vector<void *> *blocks, const std::string &s) {
    xstring u;
    utf8_append_utf16(s.data(), s.size(), &u);
    if (u.size() > (size_t)HOST_MAX_TEXT) u.resize(HOST_MAX_TEXT);
    return owned_text(blocks, u.data(), u.size());
}

// A result record handed to the add-in, its blocks kept until xlFree.
void owned_keep(const void *key, std::vector<void *> *blocks) {
    if (!blocks->empty()) book.owned[key] = std::move(*blocks);
}

// xlFree: gives back what a result of ours holds.
void owned_free(const XLOPER12 *x) {
    if (!x) return;
    const void *key = nullptr;
    switch (x->xltype & 0x0FFF) {
    case xltypeStr: key = x->val.str; break;
    case xltypeMulti: key = x->val.array.lparray; break;
    case xltypeRef: key = x->val.mref.lpmref; break;
    default: return;
    }
    auto it = book.owned.find(key);
    if (it == book.owned.end()) return;
    for (void *p : it->second) free(p);
    book.owned.erase(it);
}

const host_cell *cell_at(int sheet, long row, long col) {
    auto &cells = book.sheets[(size_t)sheet].cells;
    auto it = cells.find(cell_key(row, col));
    return it == cells.end() ? nullptr : &it->second;
}

// A cell's value as a record; texts copied into `blocks` when given, else
// pointing into the cell.
XLOPER12 cell_value(const host_cell *c, std::vector<void *> *blocks) {
    XLOPER12 x;
    memset(&x, 0, sizeof x);
    if (!c) {
        x.xltype = xltypeNil;
        return x;
    }
    x.xltype = c->type;
    if (c->type == xltypeNum) x.val.num = c->num;
    if (c->type == xltypeBool) x.val.xbool = c->code;
    if (c->type == xltypeErr) x.val.err = c->code;
    if (c->type == xltypeStr)
        x.val.str = blocks ? owned_text(blocks, c->text.data() + 1, c->text.size() - 1)
                           : const_cast<XCHAR *>(c->text.data());
    return x;
}

// Stores a value (Nil or a missing one clears the cell and its formula).
// 0 for a value no cell holds.
bool cell_store(int sheet, long row, long col, const XLOPER12 &v) {
    auto &cells = book.sheets[(size_t)sheet].cells;
    host_cell c{};
    switch (v.xltype & 0x0FFF) {
    case xltypeNil:
    case xltypeMissing: cells.erase(cell_key(row, col)); return true;
    case xltypeNum: c.type = xltypeNum; c.num = v.val.num; break;
    case xltypeInt: c.type = xltypeNum; c.num = v.val.w; break;
    case xltypeBool: c.type = xltypeBool; c.code = v.val.xbool ? 1 : 0; break;
    case xltypeErr: c.type = xltypeErr; c.code = v.val.err; break;
    case xltypeStr: {
        c.type = xltypeStr;
        size_t n = v.val.str ? (unsigned short)v.val.str[0] : 0;
        c.text.assign(1, (XCHAR)n);
        if (n) c.text.append(v.val.str + 1, n);
        break;
    }
    default: return false;
    }
    cells[cell_key(row, col)] = std::move(c);
    return true;
}

// --- formulas: what a formula cell computes (xllhost_formula.cpp reads the text) ---

// Cells one reference argument may pass: a whole column of Excel's grid. A
// larger reference is passed as #VALUE! (the host's own limit).
constexpr long long FORMULA_MAX_CELLS = HOST_ROWS;

// A text of `n` units into the store, as a counted text record.
void formula_keep_text(const XCHAR *units, size_t n, arg_storage *store, XLOPER12 *x) {
    xstring t(1, (XCHAR)n);
    if (n) t.append(units, n);
    store->texts.push_back(t);
    x->xltype = xltypeStr;
    x->val.str = &store->texts.back()[0];
}

// A reference argument (B3, Sheet2!B3:C4) in position `i` of a function
// whose type text takes a reference there ("U"): the reference itself, as
// xlfRegister's type-text table promises for "U" (values, arrays and range
// references). The docs do not say when Excel passes which of the two
// reference types; the host passes a reference without a sheet part as
// xltypeSRef (the sheet being computed) and one with a sheet as xltypeRef.
// Its memory lives in `refs` until the call returns. False for anything else.
bool formula_reference_arg(const host_registration &r, int i, std::string text, std::deque<XLMREF12> *refs,
                           XLOPER12 *x) {
    if ((size_t)i + 1 >= r.type.size() || r.type[(size_t)i + 1] != 'U') return false;
    while (!text.empty() && text.front() == ' ') text.erase(text.begin());
    while (!text.empty() && text.back() == ' ') text.pop_back();
    int sheet;
    XLREF12 area;
    if (text.empty() || text[0] == '"' || !parse_ref_text(text, &sheet, &area)) return false;
    memset(x, 0, sizeof *x);
    if (text.find('!') == std::string::npos) {
        x->xltype = xltypeSRef;
        x->val.sref.count = 1;
        x->val.sref.ref = area;
        return true;
    }
    refs->push_back(XLMREF12());
    refs->back().count = 1;
    refs->back().reftbl[0] = area;
    x->xltype = xltypeRef;
    x->val.mref.lpmref = &refs->back();
    x->val.mref.idSheet = (IDSHEET)(sheet + 1);
    return true;
}

// A value as a record of the host's own (texts and elements copied into the
// store): what Excel keeps of a function's result before it hands the
// add-in's record back with xlAutoFree12, so that a second call of the same
// function (=F(F(1))) cannot overwrite the first one's value.
void formula_keep(const XLOPER12 *v, arg_storage *store, XLOPER12 *x) {
    memset(x, 0, sizeof *x);
    DWORD_XL type = v->xltype & 0x0FFF;
    if (type == xltypeStr) {
        formula_keep_text(v->val.str ? v->val.str + 1 : nullptr, v->val.str ? (unsigned short)v->val.str[0] : 0,
                          store, x);
    } else if (type == xltypeMulti) {
        long rows = v->val.array.rows, cols = v->val.array.columns;
        if (!v->val.array.lparray || rows < 1 || cols < 1 || (long long)rows * cols > FORMULA_MAX_CELLS) {
            x->xltype = xltypeErr;
            x->val.err = xlerrValue;
            return;
        }
        store->arrays.emplace_back((size_t)rows * (size_t)cols);
        std::vector<XLOPER12> &cells = store->arrays.back();
        for (size_t i = 0; i < cells.size(); i++) {
            const XLOPER12 &e = v->val.array.lparray[i];
            if ((e.xltype & 0x0FFF) == xltypeMulti) {  // never nested in Excel
                memset(&cells[i], 0, sizeof cells[i]);
                cells[i].xltype = xltypeErr;
                cells[i].val.err = xlerrValue;
            } else {
                formula_keep(&e, store, &cells[i]);
            }
        }
        x->xltype = xltypeMulti;
        x->val.array.lparray = cells.data();
        x->val.array.rows = rows;
        x->val.array.columns = cols;
    } else if (type == xltypeNum || type == xltypeBool || type == xltypeErr || type == xltypeInt ||
               type == xltypeNil || type == xltypeMissing) {
        *x = *v;
        x->xltype = type;
    } else {
        x->xltype = xltypeErr;
        x->val.err = xlerrValue;
    }
}

void formula_value(const formula_node &n, arg_storage *store, XLOPER12 *x);

// Calls the registered worksheet function `n` names with its arguments'
// values; #N/A when the workbook knows no such function (it may be one of
// Excel's own, which the host does not compute).
// `cell` is the formula's cell when `n` is the whole formula, else null: an
// asynchronous function (">...X") is called only there, with a handle whose
// xlAsyncReturn fills that cell; the cell shows #GETTING_DATA meanwhile (the
// docs do not say what it shows). Nested in another call or from no cell the
// host does not compute it (#N/A): its value would come after the outer call.
void formula_call(const formula_node &n, arg_storage *store, XLOPER12 *x, const host_async_target *cell) {
    memset(x, 0, sizeof *x);
    x->xltype = xltypeErr;
    x->val.err = xlerrNA;
    host_registration *r = find_registration(n.text);
    // Only worksheet functions ("Q..." type texts, ">...X" for asynchronous
    // ones) are called, never a command.
    int handle_at = r ? host_async_handle_position(r->type) : -1;
    if (!r || r->type.empty() || (r->type[0] != 'Q' && handle_at < 0)) return;
    if (handle_at >= 0 && (!cell || handle_at >= HOST_SLOT_ARGS || n.items.size() > (size_t)handle_at)) return;
    XLOPER12 args[HOST_SLOT_ARGS];
    std::deque<XLMREF12> refs;  // the reference arguments' areas, until the call returns
    for (int i = 0; i < HOST_SLOT_ARGS; i++) {
        memset(&args[i], 0, sizeof args[i]);
        args[i].xltype = xltypeMissing;
        if ((size_t)i >= n.items.size()) continue;
        const formula_node &item = n.items[(size_t)i];
        if (item.kind == FORMULA_REF && formula_reference_arg(*r, i, item.text, &refs, &args[i])) continue;
        formula_value(item, store, &args[i]);
    }
    if (handle_at >= 0) args[handle_at] = host_async_handle(*cell, nullptr);
    xll_slot_fn fn = reinterpret_cast<xll_slot_fn>(addin_export(r->proc.c_str()));
    LPXLOPER12 result = fn(&args[0], &args[1], &args[2], &args[3], &args[4], &args[5], &args[6], &args[7],
                           &args[8], &args[9]);
    if (handle_at >= 0) {
        x->val.err = xlerrGettingData;
        return;
    }
    if (!result) {
        x->val.err = xlerrValue;
        return;
    }
    formula_keep(result, store, x);
    if ((result->xltype & xlbitDLLFree) && host.free_results)
        reinterpret_cast<xll_free_fn>(addin_export("xlAutoFree12"))(result);
}

// The record Excel hands a registered function's Q argument for `n`. Excel's
// C API documentation ("Data Types Used by Excel", types P and Q) says such
// an argument takes values only: a single-cell reference arrives as that
// cell's value (an empty cell as xltypeNil), a multi-cell reference as an
// xltypeMulti of its values row by row, a nested call as its result, and an
// argument left out as xltypeMissing. A reference the workbook cannot
// resolve is #REF!, as Excel shows it.
void formula_value(const formula_node &n, arg_storage *store, XLOPER12 *x) {
    memset(x, 0, sizeof *x);
    switch (n.kind) {
    case FORMULA_MISSING: x->xltype = xltypeMissing; return;
    case FORMULA_NUMBER: x->xltype = xltypeNum; x->val.num = n.num; return;
    case FORMULA_BOOL: x->xltype = xltypeBool; x->val.xbool = n.code; return;
    case FORMULA_ERROR: x->xltype = xltypeErr; x->val.err = n.code; return;
    case FORMULA_TEXT: {
        xstring units;
        utf8_append_utf16(n.text.data(), n.text.size(), &units);
        if (units.size() > (size_t)HOST_MAX_TEXT) units.resize(HOST_MAX_TEXT);
        formula_keep_text(units.data(), units.size(), store, x);
        return;
    }
    case FORMULA_CALL: formula_call(n, store, x, nullptr); return;
    case FORMULA_ARRAY: {
        store->arrays.emplace_back(n.items.size());
        std::vector<XLOPER12> &cells = store->arrays.back();
        for (size_t i = 0; i < n.items.size(); i++) formula_value(n.items[i], store, &cells[i]);
        x->xltype = xltypeMulti;
        x->val.array.lparray = cells.data();
        x->val.array.rows = (RW)n.rows;
        x->val.array.columns = (COL)n.cols;
        return;
    }
    case FORMULA_REF: break;
    }
    int sheet;
    XLREF12 area;
    if (!parse_ref_text(n.text, &sheet, &area)) {
        x->xltype = xltypeErr;
        x->val.err = xlerrRef;
        return;
    }
    long rows = area_rows(area), cols = area_cols(area);
    if (rows == 1 && cols == 1) {
        XLOPER12 v = cell_value(cell_at(sheet, area.rwFirst, area.colFirst), nullptr);
        formula_keep(&v, store, x);
        return;
    }
    if ((long long)rows * cols > FORMULA_MAX_CELLS) {
        x->xltype = xltypeErr;
        x->val.err = xlerrValue;
        return;
    }
    store->arrays.emplace_back((size_t)rows * (size_t)cols);
    std::vector<XLOPER12> &cells = store->arrays.back();
    for (long r = 0; r < rows; r++)
        for (long c = 0; c < cols; c++) {
            XLOPER12 v = cell_value(cell_at(sheet, area.rwFirst + r, area.colFirst + c), nullptr);
            formula_keep(&v, store, &cells[(size_t)r * (size_t)cols + (size_t)c]);
        }
    x->xltype = xltypeMulti;
    x->val.array.lparray = cells.data();
    x->val.array.rows = (RW)rows;
    x->val.array.columns = (COL)cols;
}

// Evaluates a formula cell as Excel recalculates it, outside command
// context and with the cell as xlfCaller's answer (for nested calls too).
// A formula the host cannot read holds #N/A.
void formula_evaluate(int sheet, long row, long col, host_cell *c) {
    c->type = xltypeErr;
    c->code = xlerrNA;
    c->text.clear();
    formula_node tree;
    std::string why;
    if (!formula_parse(c->formula, &tree, &why)) return;
    int depth = host.command_depth;
    host.command_depth = 0;
    host.caller_sheet = sheet;
    host.caller_row = row;
    host.caller_col = col;
    arg_storage store;
    XLOPER12 value;
    host_async_target target{sheet, row, col};
    if (tree.kind == FORMULA_CALL)
        formula_call(tree, &store, &value, &target);
    else
        formula_value(tree, &store, &value);
    host.caller_sheet = -1;
    host.command_depth = depth;
    const XLOPER12 *v = &value;
    if ((v->xltype & 0x0FFF) == xltypeMulti && v->val.array.lparray && v->val.array.rows > 0 &&
        v->val.array.columns > 0)
        v = &v->val.array.lparray[0];
    switch (v->xltype & 0x0FFF) {
    case xltypeNum: c->type = xltypeNum; c->num = v->val.num; break;
    case xltypeInt: c->type = xltypeNum; c->num = v->val.w; break;
    case xltypeBool: c->type = xltypeBool; c->code = v->val.xbool ? 1 : 0; break;
    case xltypeErr: c->type = xltypeErr; c->code = v->val.err; break;
    case xltypeNil: c->type = xltypeNum; c->num = 0; break;  // an empty result shows 0
    case xltypeStr: {
        size_t n = v->val.str ? (unsigned short)v->val.str[0] : 0;
        c->type = xltypeStr;
        c->text.assign(1, (XCHAR)n);
        if (n) c->text.append(v->val.str + 1, n);
        break;
    }
    default: c->code = xlerrValue; break;
    }
}

// `eval =FORMULA`: computes the formula against the workbook as a cell would
// (references, ranges, nested calls), but from no cell: xlfCaller answers
// #REF! as for `call`. Prints the value as `call` prints a result, or
// `formula refused WHY` for a formula the host cannot read.
void command_eval(std::string text) {
    while (!text.empty() && text.front() == ' ') text.erase(text.begin());
    formula_node tree;
    std::string why;
    if (!formula_parse(text, &tree, &why)) {
        host_line("formula refused %s", why.c_str());
        return;
    }
    arg_storage store;
    XLOPER12 value;
    formula_value(tree, &store, &value);
    print_result(&value);
}

// Enters `text` into a cell as Excel's FORMULA does: "=..." is a formula,
// anything else a constant (number, TRUE/FALSE, text; empty clears).
void cell_enter(int sheet, long row, long col, const std::string &text) {
    if (!text.empty() && text[0] == '=') {
        host_cell &c = book.sheets[(size_t)sheet].cells[cell_key(row, col)];
        c.formula = text;
        formula_evaluate(sheet, row, col, &c);
        return;
    }
    XLOPER12 v;
    memset(&v, 0, sizeof v);
    arg_storage store;
    double d;
    if (text.empty()) {
        v.xltype = xltypeNil;
    } else if (parse_double(text, &d)) {
        v.xltype = xltypeNum;
        v.val.num = d;
    } else if (same_name(text, "TRUE") || same_name(text, "FALSE")) {
        v.xltype = xltypeBool;
        v.val.xbool = same_name(text, "TRUE");
    } else {
        xstring units(1, (XCHAR)0);
        utf8_append_utf16(text.data(), text.size(), &units);
        units[0] = (XCHAR)(units.size() - 1);
        store.texts.push_back(units);
        v.xltype = xltypeStr;
        v.val.str = &store.texts.back()[0];
    }
    cell_store(sheet, row, col, v);
}

// The end of a calculation with asynchronous calls: waits for every pending
// handle, puts each value returned for a cell into it (as a formula's value
// is kept) and raises calculation-ended. Returns the values returned for
// `call`/`acall`, in handle order. Nothing when no handle was made.
std::vector<host_async_result> calculation_settle(void) {
    std::vector<host_async_result> done_calls;
    std::vector<host_async_result> all = host_async_settle();
    if (all.empty()) return done_calls;
    for (host_async_result &done : all) {
        if (done.target.sheet < 0) {
            done_calls.push_back(std::move(done));
            continue;
        }
        if ((size_t)done.target.sheet >= book.sheets.size()) continue;
        auto &cells = book.sheets[(size_t)done.target.sheet].cells;
        auto it = cells.find(cell_key(done.target.row, done.target.col));
        if (it == cells.end() || it->second.formula.empty()) continue;
        host_cell *c = &it->second;
        const XLOPER12 *v = &done.value;
        if (v->xltype == xltypeMulti && v->val.array.lparray) v = &v->val.array.lparray[0];
        c->text.clear();
        switch (v->xltype & 0x0FFF) {
        case xltypeNum: c->type = xltypeNum; c->num = v->val.num; break;
        case xltypeInt: c->type = xltypeNum; c->num = v->val.w; break;
        case xltypeBool: c->type = xltypeBool; c->code = v->val.xbool ? 1 : 0; break;
        case xltypeErr: c->type = xltypeErr; c->code = v->val.err; break;
        case xltypeNil: c->type = xltypeNum; c->num = 0; break;
        case xltypeStr: {
            size_t n = v->val.str ? (unsigned short)v->val.str[0] : 0;
            c->type = xltypeStr;
            c->text.assign(1, (XCHAR)n);
            if (n) c->text.append(v->val.str + 1, n);
            break;
        }
        default: c->type = xltypeErr; c->code = xlerrValue; break;
        }
    }
    raise_event(xleventCalculationEnded);
    return done_calls;
}

void calculate_all(void) {
    for (size_t i = 0; i < book.sheets.size(); i++)
        for (auto &kv : book.sheets[i].cells)
            if (!kv.second.formula.empty())
                formula_evaluate((int)i, (long)(kv.first / HOST_COLS), (long)(kv.first % HOST_COLS), &kv.second);
    calculation_settle();
}

XLOPER12 make_ref(int sheet, const XLREF12 &area, std::vector<void *> *blocks) {
    XLMREF12 *m = (XLMREF12 *)owned_block(blocks, sizeof(XLMREF12));
    m->count = 1;
    m->reftbl[0] = area;
    XLOPER12 x;
    memset(&x, 0, sizeof x);
    x.xltype = xltypeRef;
    x.val.mref.lpmref = m;
    x.val.mref.idSheet = (IDSHEET)(sheet + 1);
    return x;
}

void set_error(LPXLOPER12 result, int32_t err) {
    if (!result) return;
    memset(result, 0, sizeof *result);
    result->xltype = xltypeErr;
    result->val.err = err;
}

void set_true(LPXLOPER12 result) {
    if (!result) return;
    memset(result, 0, sizeof *result);
    result->xltype = xltypeBool;
    result->val.xbool = 1;
}

bool is_true(const XLOPER12 *x) {
    return x && (((x->xltype & 0x0FFF) == xltypeBool && x->val.xbool) ||
                 ((x->xltype & 0x0FFF) == xltypeNum && x->val.num != 0));
}

// xlfTextref(text, a1): the reference a text names (A1 style only).
int host_textref(int count, LPXLOPER12 *opers, LPXLOPER12 result) {
    std::string text = count >= 1 ? record_text(opers[0]) : "-";
    int sheet;
    XLREF12 area;
    if (count < 2 || !is_true(opers[1]) || text == "-" || !parse_ref_text(text, &sheet, &area)) {
        set_error(result, xlerrRef);
        return xlretSuccess;
    }
    std::vector<void *> blocks;
    XLOPER12 ref = make_ref(sheet, area, &blocks);
    owned_keep(ref.val.mref.lpmref, &blocks);
    if (result) *result = ref;
    else owned_free(&ref);
    return xlretSuccess;
}

// xlCoerce(source, types): a reference's values, as one value or an array.
int host_coerce(int count, LPXLOPER12 *opers, LPXLOPER12 result) {
    if (count < 1 || !result) return xlretInvCount;
    int sheet;
    XLREF12 area;
    if (!ref_area(opers[0], &sheet, &area)) {
        DWORD_XL type = opers[0]->xltype & 0x0FFF;
        if (type != xltypeNum && type != xltypeBool && type != xltypeErr && type != xltypeNil) return xlretInvXloper;
        *result = *opers[0];
        return xlretSuccess;
    }
    long rows = area_rows(area), cols = area_cols(area);
    bool want_multi = count >= 2 && !is_missing(opers[1]) && (opers[1]->xltype & 0x0FFF) == xltypeInt
                          ? (opers[1]->val.w & (int)xltypeMulti) != 0
                          : rows * cols > 1;
    std::vector<void *> blocks;
    if (!want_multi) {
        *result = cell_value(cell_at(sheet, area.rwFirst, area.colFirst), &blocks);
        if (result->xltype == xltypeStr) owned_keep(result->val.str, &blocks);
        return xlretSuccess;
    }
    if (rows * cols > 4 * HOST_SHOW_MAX) return xlretFailed;
    XLOPER12 *items = (XLOPER12 *)owned_block(&blocks, (size_t)(rows * cols) * sizeof(XLOPER12));
    for (long r = 0; r < rows; r++)
        for (long c = 0; c < cols; c++)
            items[r * cols + c] = cell_value(cell_at(sheet, area.rwFirst + r, area.colFirst + c), &blocks);
    memset(result, 0, sizeof *result);
    result->xltype = xltypeMulti;
    result->val.array.lparray = items;
    result->val.array.rows = (RW)rows;
    result->val.array.columns = (COL)cols;
    owned_keep(items, &blocks);
    return xlretSuccess;
}

// xlSet(reference, [value]): constants into cells, as Excel documents it: a
// value fills the range, an array fills it cell by cell (one row or column
// repeated, #N/A beyond a smaller array), Nil elements and a missing value
// clear. A command-equivalent: refused outside a command.
int host_set(int count, LPXLOPER12 *opers, LPXLOPER12 result) {
    if (host.command_depth == 0) {
        host_line("xlset refused outside a command");
        return xlretFailed;
    }
    int sheet;
    XLREF12 area;
    if (count < 1 || !ref_area(opers[0], &sheet, &area)) return xlretInvXloper;
    const XLOPER12 *v = count >= 2 ? opers[1] : nullptr;
    bool multi = v && (v->xltype & 0x0FFF) == xltypeMulti && v->val.array.lparray;
    long vr = multi ? v->val.array.rows : 1, vc = multi ? v->val.array.columns : 1;
    XLOPER12 na;
    memset(&na, 0, sizeof na);
    na.xltype = xltypeErr;
    na.val.err = xlerrNA;
    XLOPER12 nil;
    memset(&nil, 0, sizeof nil);
    nil.xltype = xltypeNil;
    for (long r = 0; r < area_rows(area); r++) {
        for (long c = 0; c < area_cols(area); c++) {
            const XLOPER12 *e = v ? v : &nil;
            if (multi) {
                long i = vr == 1 ? 0 : r, k = vc == 1 ? 0 : c;
                e = i < vr && k < vc ? &v->val.array.lparray[i * vc + k] : &na;
            }
            if (!cell_store(sheet, area.rwFirst + r, area.colFirst + c, *e)) return xlretInvXloper;
        }
    }
    set_true(result);
    return xlretSuccess;
}

// xlcFormula(text, [reference]): enters the text into each cell of the
// reference (the selection's first cell when omitted).
int host_formula(int count, LPXLOPER12 *opers, LPXLOPER12 result) {
    if (host.command_depth == 0) {
        host_line("formula refused outside a command");
        return xlretFailed;
    }
    if (count < 1 || (opers[0]->xltype & 0x0FFF) != xltypeStr || !opers[0]->val.str) return xlretInvXloper;
    int sheet = book.selection_sheet;
    XLREF12 area = {book.selection.rwFirst, book.selection.rwFirst, book.selection.colFirst, book.selection.colFirst};
    if (count >= 2 && !is_missing(opers[1]) && !ref_area(opers[1], &sheet, &area)) return xlretInvXloper;
    std::string text = utf16_to_utf8(opers[0]->val.str + 1, (unsigned short)opers[0]->val.str[0]);
    for (long r = area.rwFirst; r <= area.rwLast; r++)
        for (long c = area.colFirst; c <= area.colLast; c++) cell_enter(sheet, r, c, text);
    calculation_settle();
    set_true(result);
    return xlretSuccess;
}

int host_calculate(LPXLOPER12 result) {
    if (host.command_depth == 0) {
        host_line("calculate refused outside a command");
        return xlretFailed;
    }
    calculate_all();
    set_true(result);
    return xlretSuccess;
}

// xlfGetWorkbook(1): the sheet names, "[Book1]Sheet1", as one row.
int host_get_workbook(int count, LPXLOPER12 *opers, LPXLOPER12 result) {
    if (!result) return xlretSuccess;
    bool names = count >= 1 && (((opers[0]->xltype & 0x0FFF) == xltypeNum && opers[0]->val.num == 1) ||
                                ((opers[0]->xltype & 0x0FFF) == xltypeInt && opers[0]->val.w == 1));
    if (!names) {
        set_error(result, xlerrValue);
        return xlretSuccess;
    }
    std::vector<void *> blocks;
    size_t n = book.sheets.size();
    XLOPER12 *items = (XLOPER12 *)owned_block(&blocks, n * sizeof(XLOPER12));
    for (size_t i = 0; i < n; i++) {
        items[i].xltype = xltypeStr;
        items[i].val.str = owned_utf8(&blocks, "[Book1]" + book.sheets[i].name);
    }
    memset(result, 0, sizeof *result);
    result->xltype = xltypeMulti;
    result->val.array.lparray = items;
    result->val.array.rows = 1;
    result->val.array.columns = (COL)n;
    owned_keep(items, &blocks);
    return xlretSuccess;
}

int host_selection(LPXLOPER12 result) {
    if (!result) return xlretSuccess;
    std::vector<void *> blocks;
    *result = make_ref(book.selection_sheet, book.selection, &blocks);
    owned_keep(result->val.mref.lpmref, &blocks);
    return xlretSuccess;
}

// The A1 text of a rectangle: $A$1 or $A$1:$C$3.
std::string area_text(const XLREF12 &a) {
    std::string s = "$" + column_letters(a.colFirst) + "$" + std::to_string((long)a.rwFirst + 1);
    if (a.rwFirst != a.rwLast || a.colFirst != a.colLast)
        s += ":$" + column_letters(a.colLast) + "$" + std::to_string((long)a.rwLast + 1);
    return s;
}

// xlfReftext(reference, a1): "[Book1]Sheet1!$A$1:$B$2", quoted when the sheet
// name needs it.
int host_reftext(int count, LPXLOPER12 *opers, LPXLOPER12 result) {
    int sheet;
    XLREF12 area;
    if (!result) return xlretSuccess;
    if (count < 2 || !is_true(opers[1]) || !ref_area(opers[0], &sheet, &area)) {
        set_error(result, xlerrValue);
        return xlretSuccess;
    }
    const std::string &name = book.sheets[(size_t)sheet].name;
    bool plain = !name.empty() && !isdigit((unsigned char)name[0]);
    for (char ch : name) plain = plain && (isalnum((unsigned char)ch) || ch == '_');
    std::string quoted;
    for (char ch : name) quoted += ch == '\'' ? std::string("''") : std::string(1, ch);
    std::string text = plain ? "[Book1]" + name + "!" : "'[Book1]" + quoted + "'!";
    text += area_text(area);
    std::vector<void *> blocks;
    memset(result, 0, sizeof *result);
    result->xltype = xltypeStr;
    result->val.str = owned_utf8(&blocks, text);
    owned_keep(result->val.str, &blocks);
    return xlretSuccess;
}

// xlfCaller, as Excel documents it: from a worksheet function computing a
// single cell, a reference to that cell (an xltypeRef, the host's memory
// until xlFree: the docs name xltypeRef among the answers that need it);
// from anything not listed there (here: a `call` from the script, a command,
// a lifecycle export) #REF!. Every ask is counted for `callers`.
int host_caller(LPXLOPER12 result) {
    host.caller_asks++;
    if (!result) return xlretSuccess;
    if (host.caller_sheet < 0) {
        set_error(result, xlerrRef);
        return xlretSuccess;
    }
    XLREF12 cell{(RW)host.caller_row, (RW)host.caller_row, (COL)host.caller_col, (COL)host.caller_col};
    std::vector<void *> blocks;
    *result = make_ref(host.caller_sheet, cell, &blocks);
    owned_keep(result->val.mref.lpmref, &blocks);
    return xlretSuccess;
}

// xlSheetNm(reference): the name of the reference's sheet as Excel documents
// it, "[Book1]Sheet1"; a reference to no sheet of the workbook (or no
// reference) answers #VALUE!, where the docs are silent.
int host_sheet_name(int count, LPXLOPER12 *opers, LPXLOPER12 result) {
    if (!result) return xlretSuccess;
    int sheet;
    XLREF12 area;
    if (count < 1 || !ref_area(opers[0], &sheet, &area)) {
        set_error(result, xlerrValue);
        return xlretSuccess;
    }
    std::vector<void *> blocks;
    memset(result, 0, sizeof *result);
    result->xltype = xltypeStr;
    result->val.str = owned_utf8(&blocks, "[Book1]" + book.sheets[(size_t)sheet].name);
    owned_keep(result->val.str, &blocks);
    return xlretSuccess;
}

// `help NAME`: what Excel's function wizard shows for the registered
// function NAME, read from its xlfRegister arguments as "xlfRegister (Form
// 1)" describes them: the category (pxCategory), the syntax (pxFunctionText
// and pxArgumentText), the description (pxFunctionHelp) and per argument of
// the type text its name (pxArgumentText, split at commas) and help
// (pxArgumentHelp1 on). What Excel shows for texts not passed the docs leave
// open: they print as "". Arguments are counted as the type text's letters
// after the result's (modifiers such as # ! $ are not letters).
void command_help(const std::string &name) {
    host_registration *r = find_registration(name);
    if (!r) host_fail("help: unknown function '%s'", name.c_str());
    auto wizard = [r](size_t i) { return i < r->wizard.size() ? r->wizard[i] : std::string(); };
    std::vector<std::string> names;
    std::string argument_text = wizard(0);
    for (size_t at = 0; !argument_text.empty();) {
        size_t comma = argument_text.find(',', at);
        names.push_back(argument_text.substr(at, comma == std::string::npos ? std::string::npos : comma - at));
        if (comma == std::string::npos) break;
        at = comma + 1;
    }
    int args = 0;
    for (size_t i = 1; i < r->type.size(); i++)
        if (isalpha((unsigned char)r->type[i])) args++;
    const char *n = r->name.c_str();
    host_line("help %s category %s", n, json_string(wizard(2)).c_str());
    host_line("help %s syntax %s", n, json_string(r->name + "(" + argument_text + ")").c_str());
    host_line("help %s description %s", n, json_string(wizard(5)).c_str());
    for (int i = 0; i < args; i++)
        host_line("help %s argument %d %s %s", n, i + 1,
                  json_string(i < (int)names.size() ? names[(size_t)i] : std::string()).c_str(),
                  json_string(wizard(6 + (size_t)i)).c_str());
    host_line("help %s %d", n, args);
}

// A reference of the script, or an error that ends it.
void script_ref(const std::string &text, int *sheet, XLREF12 *area) {
    if (!parse_ref_text(text, sheet, area)) host_fail("bad reference '%s'", text.c_str());
}

// `seed REF ARG...`: constants (typed arguments or plain numbers) or
// formulas (`f:TEXT`, escapes as in `s:`) into REF, row by row; one
// argument fills every cell.
void command_seed(const std::vector<std::string> &w) {
    if (w.size() < 3) host_fail("seed needs a reference and values");
    int sheet;
    XLREF12 area;
    script_ref(w[1], &sheet, &area);
    long cells = area_rows(area) * area_cols(area);
    size_t given = w.size() - 2;
    if (cells > HOST_SHOW_MAX || (given != 1 && given != (size_t)cells))
        host_fail("seed %s: %zu values for %ld cells", w[1].c_str(), given, cells);
    for (long i = 0; i < cells; i++) {
        const std::string &a = w[2 + (given == 1 ? 0 : (size_t)i)];
        long row = area.rwFirst + i / area_cols(area), col = area.colFirst + i % area_cols(area);
        arg_storage store;
        XLOPER12 x;
        double d;
        if (a.size() > 2 && a.compare(0, 2, "f:") == 0) {
            if (!parse_text(a.substr(2), &store, &x)) host_fail("seed: bad formula '%s'", a.c_str());
            cell_enter(sheet, row, col, utf16_to_utf8(x.val.str + 1, (unsigned short)x.val.str[0]));
            continue;
        }
        memset(&x, 0, sizeof x);
        if (parse_double(a, &d)) {
            x.xltype = xltypeNum;
            x.val.num = d;
        } else if (!parse_arg(a, &store, &x, true)) {
            host_fail("seed: bad value '%s'", a.c_str());
        }
        if (!cell_store(sheet, row, col, x)) host_fail("seed: a cell cannot hold '%s'", a.c_str());
    }
    calculation_settle();
    host_line("seed %s %ld", w[1].c_str(), cells);
}

// `show REF`: the cells row by row; a formula cell as {"f":TEXT,"v":VALUE}.
void command_show(const std::string &text) {
    int sheet;
    XLREF12 area;
    script_ref(text, &sheet, &area);
    long rows = area_rows(area), cols = area_cols(area);
    if (rows * cols > HOST_SHOW_MAX) host_fail("show %s: more than %ld cells", text.c_str(), HOST_SHOW_MAX);
    std::string v = "show " + text + " " + std::to_string(rows) + " " + std::to_string(cols) + " [";
    for (long r = 0; r < rows; r++) {
        for (long c = 0; c < cols; c++) {
            if (r || c) v += ",";
            const host_cell *cell = cell_at(sheet, area.rwFirst + r, area.colFirst + c);
            std::string value = element_text(cell_value(cell, nullptr));
            v += cell && !cell->formula.empty() ? "{\"f\":" + json_string(cell->formula) + ",\"v\":" + value + "}"
                                                 : value;
        }
    }
    host_line("%s]", v.c_str());
}

void on_stop_signal(int) { host_signalled = 1; }

// Blocks until standard input ends or a stop signal has arrived (also one that
// arrived before the wait began: a test may signal as soon as it sees the line
// before `wait`). The input is read on a thread of its own so that a signal is
// seen at once.
void command_wait(void) {
    host.input_taken = true;
    input_start_reader();
    host.quiet_runs = true;
    while (!host.input_closed && !host_signalled) {
        host_run_due();
        {
            std::lock_guard<std::mutex> hold(input.lock);
            input.lines.clear();
        }
        host_pause(std::chrono::milliseconds(20), true);
    }
    host.quiet_runs = false;
    host_signalled = 0;
    host_line("wait done");
}

// The next line of a script read from standard input; false at its end.
// While `idle on`, due commands run until the line comes, as Excel runs its
// scheduled commands while nobody types.
bool next_line(std::string *line) {
    if (!input.reader) {
        static char buf[65536];
        if (!fgets(buf, sizeof buf, stdin)) return false;
        *line = buf;
        return true;
    }
    for (;;) {
        {
            std::unique_lock<std::mutex> hold(input.lock);
            if (!input.lines.empty()) {
                *line = std::move(input.lines.front());
                input.lines.pop_front();
                return true;
            }
            if (host.input_closed) return false;
            if (!input.idle) {
                input.arrived.wait(hold, [] { return !input.lines.empty() || host.input_closed; });
                continue;
            }
        }
        host.quiet_runs = true;
        host_run_due();
        host.quiet_runs = false;
        host_pause(std::chrono::milliseconds(20), true);
    }
}

void run_command(const std::string &raw) {
    std::string line = raw;
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
    std::vector<std::string> w = split_words(line);
    if (w.empty() || w[0][0] == '#') return;
    const std::string &c = w[0];
    if (c == "open" && w.size() == 1) {
        command_lifecycle("open", "xlAutoOpen");
    } else if (c == "close" && w.size() == 1) {
        command_lifecycle("close", "xlAutoClose");
    } else if (c == "add" && w.size() == 1) {
        command_lifecycle("add", "xlAutoAdd");
    } else if (c == "remove" && w.size() == 1) {
        command_lifecycle("remove", "xlAutoRemove");
    } else if (c == "unload" && w.size() == 1) {
        command_unload();
    } else if (c == "load" && w.size() == 1) {
        command_load();
    } else if (c == "list" && w.size() == 1) {
        for (const host_registration &r : host.registered)
            host_line("function %s %s %s", r.proc.c_str(), r.type.c_str(), r.name.c_str());
        host_line("list %zu", host.registered.size());
    } else if (c == "refuse" && w.size() == 3) {
        long code;
        if (!parse_long(w[2], 1, 2147483647L, &code)) host_fail("refuse: bad code '%s'", w[2].c_str());
        for (size_t i = 0; i < host.refusals.size(); i++)
            if (host.refusals[i].name == w[1]) host.refusals.erase(host.refusals.begin() + (long)i);
        host.refusals.push_back(host_refusal{w[1], (int)code});
        host_line("refuse %s %ld", w[1].c_str(), code);
    } else if (c == "refuse-unregister" && w.size() == 2) {
        host.kept.push_back(w[1]);
        host_line("refuse-unregister %s", w[1].c_str());
    } else if (c == "accept-unregister" && w.size() == 2) {
        for (size_t i = host.kept.size(); i-- > 0;)
            if (w[1] == "*" || same_name(host.kept[i], w[1])) host.kept.erase(host.kept.begin() + (long)i);
        host_line("accept-unregister %s", w[1].c_str());
    } else if (c == "accept" && w.size() == 2) {
        for (size_t i = host.refusals.size(); i-- > 0;)
            if (w[1] == "*" || same_name(host.refusals[i].name, w[1])) host.refusals.erase(host.refusals.begin() + (long)i);
        host_line("accept %s", w[1].c_str());
    } else if (c == "call" || c == "acall") {
        command_call(w);
    } else if (c == "eval" && w.size() >= 2) {
        command_eval(line.substr(line.find(c) + c.size()));
    } else if (c == "settle" && w.size() == 1) {
        std::vector<host_async_result> done = calculation_settle();
        for (const host_async_result &d : done) {
            host_line("async %ld", d.id);
            print_result(&d.value);
        }
        host_line("settle %zu", done.size());
    } else if (c == "cancel" && w.size() == 1) {
        // The user pressed Esc: Excel raises calculation-cancelled, then
        // calculation-ended, and waits for none of the pending handles.
        int dropped = host_async_forget();
        raise_event(xleventCalculationCanceled);
        raise_event(xleventCalculationEnded);
        host_line("cancel %d", dropped);
    } else if (c == "refused" && w.size() == 1) {
        host_line("refused %ld", host_async_refused());
    } else if (c == "asynctime" && w.size() == 1) {
        long calls;
        double us;
        host_async_time(&calls, &us);
        host_line("asynctime %ld %.1f", calls, us);
    } else if (c == "stopwatch" && w.size() == 1) {
        static std::chrono::steady_clock::time_point last = std::chrono::steady_clock::now();
        std::chrono::steady_clock::time_point now = std::chrono::steady_clock::now();
        host_line("stopwatch %.0f", std::chrono::duration<double, std::micro>(now - last).count());
        last = now;
    } else if (c == "threads" && w.size() == 1) {
        host_line("threads %d", host_thread_count());
    } else if (c == "free" && w.size() == 2 && (w[1] == "on" || w[1] == "off")) {
        host.free_results = w[1] == "on";
        host_line("free %s", w[1].c_str());
    } else if (c == "run" && w.size() == 2) {
        host_registration *r = find_registration(w[1]);
        if (!r) host_fail("unknown command %s", w[1].c_str());
        int rc = host_run_command(r);
        host_line("run %s %d", w[1].c_str(), rc);
    } else if (c == "sleep" && w.size() == 2) {
        long ms;
        if (!parse_long(w[1], 0, 86400000L, &ms)) host_fail("sleep: bad duration '%s'", w[1].c_str());
        host_sleep(ms);
        host_line("sleep %ld", ms);
    } else if (c == "tick" && w.size() == 1) {
        host_line("tick %d", host_run_due());
    } else if (c == "advance" && w.size() == 2) {
        long ms;
        if (!parse_long(w[1], 0, 86400000L, &ms)) host_fail("advance: bad duration '%s'", w[1].c_str());
        if (host.clock_stopped)
            host.clock_stopped_at += (double)ms / HOST_DAY_MS;
        else
            host.clock_offset += (double)ms / HOST_DAY_MS;
        host_line("advance %ld %d", ms, host_run_due());
    } else if (c == "clock" && w.size() == 2 && (w[1] == "stop" || w[1] == "go")) {
        if (w[1] == "stop" && !host.clock_stopped) {
            host.clock_stopped_at = host_now();
            host.clock_stopped = true;
        } else if (w[1] == "go" && host.clock_stopped) {
            host.clock_stopped = false;
            host.clock_offset += host.clock_stopped_at - host_now();
        }
        host_line("clock %s", w[1].c_str());
    } else if (c == "schedules" && w.size() == 1) {
        host_line("schedules %ld", host.schedules);
    } else if (c == "timers" && w.size() == 1) {
        double now = host_now();
        std::vector<host_timer> sorted = host.timers;
        std::sort(sorted.begin(), sorted.end(),
                  [](const host_timer &a, const host_timer &b) { return a.when < b.when; });
        for (const host_timer &t : sorted)
            host_line("timer %lld %s", (long long)std::llround((t.when - now) * HOST_DAY_MS), t.name.c_str());
        host_line("timers %zu", sorted.size());
    } else if (c == "wait" && w.size() == 1) {
        command_wait();
    } else if (c == "idle" && w.size() == 2 && (w[1] == "on" || w[1] == "off")) {
        input.idle = w[1] == "on";
        if (input.idle) {
            host.quiet_count = 0;
            if (input.from_stdin) input_start_reader();
            host_line("idle on");
        } else {
            host_line("idle off %ld", host.quiet_count);
        }
    } else if (c == "sheet" && w.size() == 2) {
        int i = find_sheet(w[1]);
        if (i < 0) {
            if (w[1].size() > 31 || w[1].find_first_of("[]:*?/\\'!") != std::string::npos)
                host_fail("sheet: bad sheet name '%s'", w[1].c_str());
            book.sheets.push_back(host_sheet{w[1], {}});
            i = (int)book.sheets.size() - 1;
        }
        book.active = i;
        host_line("sheet %s %zu", book.sheets[(size_t)i].name.c_str(), book.sheets.size());
    } else if (c == "select" && w.size() == 2) {
        int sheet;
        XLREF12 area;
        script_ref(w[1], &sheet, &area);
        book.active = book.selection_sheet = sheet;
        book.selection = area;
        host_line("select %s", w[1].c_str());
    } else if (c == "seed") {
        command_seed(w);
    } else if (c == "show" && w.size() == 2) {
        command_show(w[1]);
    } else if (c == "help" && w.size() == 2) {
        command_help(w[1]);
    } else if (c == "callers" && w.size() == 1) {
        host_line("callers %ld", host.caller_asks);
    } else if (c == "xlowned" && w.size() == 1) {
        host_line("xlowned %zu", book.owned.size());
    } else if (c == "echo") {
        size_t at = line.find("echo") + 4;
        while (at < line.size() && line[at] == ' ') at++;
        host_line("echo %s", line.c_str() + at);
    } else {
        host_fail("bad command '%s'", line.c_str());
    }
}

}  // namespace

// Excel's callback entry, found by the add-in by name in this process.
HOST_EXPORT int MdCallBack12(int xlfn, int count, LPXLOPER12 *opers, LPXLOPER12 result) {
    // The one callback Excel takes from any thread (xllhost_async.cpp).
    if (xlfn == xlAsyncReturn) return host_async_return(count, opers, result);
    // Excel serves only its main thread; any other caller is refused.
    if (std::this_thread::get_id() != host.main_thread) {
        host_line("offthread %d %d", xlfn, count);
        return xlretFailed;
    }
    if (count < 0 || count > 255 || (count > 0 && !opers)) return xlretInvCount;
    if (xlfn == xlfRegister) return host_register(count, opers, result);
    if (xlfn == xlfNow) {
        if (result) {
            result->xltype = xltypeNum;
            result->val.num = host_now();
        }
        return xlretSuccess;
    }
    if (xlfn == xlcOnTime) return host_ontime(count, opers, result);
    if (xlfn == xlfUnregister) return host_unregister(count, opers, result);
    if (xlfn == xlFree) {
        // Texts, arrays and references the host answered are given back.
        for (int i = 0; i < count; i++) owned_free(opers[i]);
        host_line("xlfree %d", count);
        return xlretSuccess;
    }
    if (xlfn == xlfTextref) return host_textref(count, opers, result);
    if (xlfn == xlCoerce) return host_coerce(count, opers, result);
    if (xlfn == xlSet) return host_set(count, opers, result);
    if (xlfn == xlcFormula) return host_formula(count, opers, result);
    if (xlfn == xlcCalculateNow) return host_calculate(result);
    if (xlfn == xlfGetWorkbook) return host_get_workbook(count, opers, result);
    if (xlfn == xlfSelection) return host_selection(result);
    if (xlfn == xlEventRegister) {
        std::string proc;
        int event = 0;
        int rc = host_event_register(count, opers, result, &proc, &event);
        if (rc == xlretSuccess) host_line("eventregister %d %s", event, proc.c_str());
        return rc;
    }
    if (xlfn == xlfReftext) return host_reftext(count, opers, result);
    if (xlfn == xlfCaller) return host_caller(result);
    if (xlfn == xlSheetNm) return host_sheet_name(count, opers, result);
    host_line("xlcall %d %d", xlfn, count);
    return xlretInvXlfn;
}

namespace {

// `args` are the command line after the program name, in UTF-8; `addin_path`
// is the add-in's path as the loader takes it.
[[noreturn]] void host_main(const std::vector<std::string> &args, const wchar_t *addin_path) {
    host.main_thread = std::this_thread::get_id();
    std::signal(SIGINT, on_stop_signal);
    std::signal(SIGTERM, on_stop_signal);
    host.addin_path = addin_path;
    host.addin = plat.library_load(addin_path);
    if (!host.addin) host_fail("cannot load add-in %s (error %lu)", args[0].c_str(), plat.last_error());
    if (args.size() > 1) {
        for (size_t i = 1; i < args.size(); i++) run_command(args[i]);
    } else {
        input.from_stdin = true;
        std::string line;
        while (!host.input_taken && next_line(&line)) run_command(line);
    }
    host_exit(0);
}

}  // namespace

#ifdef _WIN32
// The wide command line: a narrow argv would hold only the ANSI code page.
int wmain(int argc, wchar_t **argv) {
    // The same bytes on both builds: no CR added before each line feed.
    _setmode(_fileno(stdout), _O_BINARY);
    if (argc < 2) host_fail("usage: xllhost ADDIN [COMMAND ...]");
    std::vector<std::string> args;
    for (int i = 1; i < argc; i++) {
        static char utf8[65536];
        if (!plat.wide_to_utf8(argv[i], -1, utf8, (int)sizeof utf8)) host_fail("argument %d is not text", i);
        args.push_back(utf8);
    }
    host_main(args, argv[1]);
}
#else
int main(int argc, char **argv) {
    if (argc < 2) host_fail("usage: xllhost ADDIN [COMMAND ...]");
    std::vector<std::string> args(argv + 1, argv + argc);
    std::string path = argv[1];
    // Without a slash the loader would search the library path, not the folder.
    if (path.find('/') == std::string::npos) path = "./" + path;
    static wchar_t wide[PLAT_MAX_PATH * 4];
    if (!plat.ansi_to_wide(path.c_str(), wide, PLAT_MAX_PATH * 4)) host_fail("bad add-in path %s", argv[1]);
    host_main(args, wide);
}
#endif
