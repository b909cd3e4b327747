// xllhost: plays Excel for the add-in. It exports MdCallBack12, loads an add-in
// by path through the platform layer and runs a script of commands, printing
// one line per result (the language is described in README.md beside this
// file). Every line is flushed at once: tests read the output while it runs.
#include <atomic>
#include <chrono>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
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
};

struct host_refusal {
    std::string name;  // function text, or "*" for every name
    int code;          // return code answered instead of success
};

struct host_state {
    plat_module addin;                        // the loaded add-in
    std::vector<host_registration> registered; // accepted registrations, in order
    std::vector<host_refusal> refusals;       // registrations to refuse
    bool free_results = true;                 // hand DLL-owned results to xlAutoFree12
    double next_id = 1;                       // next registration id
    std::thread::id main_thread;              // the only thread allowed to call Excel
    std::atomic<int> input_closed{0};         // standard input reached its end
    bool input_taken = false;                 // `wait` has taken over standard input
};
host_state host;

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
        if (result) {
            result->xltype = xltypeNum;
            result->val.num = r->id;
        }
    } else if (result) {
        result->xltype = xltypeErr;
        result->val.err = xlerrValue;
    }
    host_line("register %d %s %s %s", rc, proc.c_str(), type.c_str(), name.c_str());
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
    void *p = plat.library_symbol(host.addin, name);
    if (!p) host_fail("add-in exports no %s", name);
    return p;
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
    int rc = fn();
    host_line("%s %d", word, rc);
}

void on_stop_signal(int) { host_signalled = 1; }

// Blocks until standard input ends or a stop signal has arrived (also one that
// arrived before the wait began: a test may signal as soon as it sees the line
// before `wait`). The input is read on a thread of its own so that a signal is
// seen at once.
void command_wait(void) {
    host.input_taken = true;
    static std::atomic<int> reader_started{0};
    if (!reader_started.exchange(1)) {
        std::thread([] {
            char buf[4096];
            while (fgets(buf, sizeof buf, stdin)) {
            }
            host.input_closed = 1;
        }).detach();
    }
    while (!host.input_closed && !host_signalled) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    host_signalled = 0;
    host_line("wait done");
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
    } else if (c == "accept" && w.size() == 2) {
        for (size_t i = host.refusals.size(); i-- > 0;)
            if (w[1] == "*" || same_name(host.refusals[i].name, w[1])) host.refusals.erase(host.refusals.begin() + (long)i);
        host_line("accept %s", w[1].c_str());
    } else if (c == "call") {
        command_call(w);
    } else if (c == "free" && w.size() == 2 && (w[1] == "on" || w[1] == "off")) {
        host.free_results = w[1] == "on";
        host_line("free %s", w[1].c_str());
    } else if (c == "run" && w.size() == 2) {
        host_registration *r = find_registration(w[1]);
        if (!r) host_fail("unknown command %s", w[1].c_str());
        xll_entry fn = reinterpret_cast<xll_entry>(addin_export(r->proc.c_str()));
        int rc = fn();
        host_line("run %s %d", w[1].c_str(), rc);
    } else if (c == "sleep" && w.size() == 2) {
        long ms;
        if (!parse_long(w[1], 0, 86400000L, &ms)) host_fail("sleep: bad duration '%s'", w[1].c_str());
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        host_line("sleep %ld", ms);
    } else if (c == "wait" && w.size() == 1) {
        command_wait();
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
    // Excel serves only its main thread; any other caller is refused.
    if (std::this_thread::get_id() != host.main_thread) {
        host_line("offthread %d %d", xlfn, count);
        return xlretFailed;
    }
    if (count < 0 || count > 255 || (count > 0 && !opers)) return xlretInvCount;
    if (xlfn == xlfRegister) return host_register(count, opers, result);
    if (xlfn == xlFree) {
        // The host's results are numbers and errors: nothing to give back.
        host_line("xlfree %d", count);
        return xlretSuccess;
    }
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
    host.addin = plat.library_load(addin_path);
    if (!host.addin) host_fail("cannot load add-in %s (error %lu)", args[0].c_str(), plat.last_error());
    if (args.size() > 1) {
        for (size_t i = 1; i < args.size(); i++) run_command(args[i]);
    } else {
        static char buf[65536];
        while (!host.input_taken && fgets(buf, sizeof buf, stdin)) run_command(buf);
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
