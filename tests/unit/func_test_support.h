// Shared by the func_registry unit tests: a captured log, an in-process Excel
// that records every xlfRegister, and a real embedded Python started from an
// assembled home beside a temporary add-in folder.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "func_registry_internal.h"
#include "platform/platform.h"
#include "python_runtime.h"

namespace fts {

inline std::vector<std::string> &log_lines() {
    static std::vector<std::string> lines;
    return lines;
}
inline void capture_log(const char *line) { log_lines().push_back(line); }

inline bool logged(const std::string &line) {
    for (const auto &l : log_lines())
        if (l == line) return true;
    return false;
}

inline std::string log_text() {
    std::string all;
    for (const auto &l : log_lines()) all += l + "\n";
    return all;
}

// One xlfRegister as Excel saw it: the four texts as UTF-16.
struct registration {
    std::u16string module, procedure, type, function;
    int macro_type;  // 1 function (the default), 2 command
    // The function wizard's texts, when passed: argument text, category,
    // function help, then the argument helps (the trailing empty one included).
    std::vector<std::u16string> wizard;
};

struct fake_excel_state {
    std::vector<registration> registrations;  // every xlfRegister, in order
    std::map<std::u16string, int> refuse;     // function text -> code to answer
    int frees = 0;                            // xlFree calls
    int other_calls = 0;                      // any other function number
    int malformed = 0;                        // wrong counts or non-text arguments
};
inline fake_excel_state &excel() {
    static fake_excel_state s;
    return s;
}

inline std::u16string text_of(const XLOPER12 *x) {
    if (!x || (x->xltype & 0xFFF) != xltypeStr || !x->val.str) return u"<not text>";
    return std::u16string((const char16_t *)x->val.str + 1, (size_t)(uint16_t)x->val.str[0]);
}

inline std::u16string u16(const char *ascii) { return std::u16string(ascii, ascii + strlen(ascii)); }

inline int fake_callback(int xlfn, int count, LPXLOPER12 *opers, LPXLOPER12 result) {
    auto &s = excel();
    if (xlfn == xlFree) {
        if (count != 1) s.malformed++;
        s.frees++;
        return xlretSuccess;
    }
    if (xlfn != xlfRegister) {
        s.other_calls++;
        return xlretInvXlfn;
    }
    // Four texts; a command adds the argument text (missing) and its macro
    // type; a function with wizard texts passes ten and its argument helps.
    if ((count != 4 && count != 6 && count < 10) || count > 255 || !result) {
        s.malformed++;
        return xlretInvCount;
    }
    if (count == 6 && (opers[4]->xltype != xltypeMissing || opers[5]->xltype != xltypeNum)) s.malformed++;
    auto bad_text = [](const XLOPER12 *x) {
        // The count unit must match the terminated text, and Excel takes 255.
        return x->xltype != xltypeStr || (uint16_t)x->val.str[0] > 255 ||
               (uint16_t)x->val.str[0] != std::char_traits<char16_t>::length((const char16_t *)x->val.str + 1);
    };
    for (int i = 0; i < 4; i++)
        if (opers[i]->xltype != xltypeStr || (uint16_t)opers[i]->val.str[0] != std::char_traits<char16_t>::length(
                                                                                   (const char16_t *)opers[i]->val.str + 1))
            s.malformed++;  // count unit must match the terminated text
    registration r{text_of(opers[0]), text_of(opers[1]), text_of(opers[2]), text_of(opers[3]),
                   count == 6 || count >= 10 ? (int)opers[5]->val.num : 1, {}};
    if (count >= 10) {
        // argument text, macro type 1, category, no shortcut, no help topic,
        // function help, argument helps
        if (opers[5]->xltype != xltypeNum || opers[7]->xltype != xltypeMissing || opers[8]->xltype != xltypeMissing)
            s.malformed++;
        for (int i : {4, 6, 9}) {
            if (bad_text(opers[i])) s.malformed++;
            r.wizard.push_back(text_of(opers[i]));
        }
        for (int i = 10; i < count; i++) {
            if (bad_text(opers[i])) s.malformed++;
            r.wizard.push_back(text_of(opers[i]));
        }
    }
    s.registrations.push_back(r);
    auto it = s.refuse.find(r.function);
    if (it != s.refuse.end()) return it->second;
    result->xltype = xltypeNum;
    result->val.num = (double)s.registrations.size();
    return xlretSuccess;
}

inline void *symbol_with_fake_excel(plat_module module, const char *name) {
    if (strcmp(name, "MdCallBack12") == 0) return (void *)&fake_callback;
    return plat_defaults.library_symbol(module, name);
}

// Routes the add-in's Excel12 to fake_callback.
inline void install_fake_excel() { plat.library_symbol = symbol_with_fake_excel; }

// --- a temporary add-in folder with a real interpreter ------------------------

inline std::string make_temp_dir() {
    const char *base = getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/tindral_func_XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back(0);
    if (!mkdtemp(buf.data())) return "";
    return buf.data();
}

inline void write_file(const std::string &path, const std::string &text) {
    std::ofstream f(path, std::ios::binary);
    f << text;
}

inline std::wstring widen(const std::string &utf8) {
    wchar_t buf[PLAT_MAX_PATH * 4];
    mbstate_t st{};
    const char *src = utf8.c_str();
    size_t n = mbsrtowcs(buf, &src, sizeof buf / sizeof buf[0], &st);
    return n == (size_t)-1 ? std::wstring() : std::wstring(buf, n);
}

// The assembled Python home: $TINDRAL_TEST_PYTHON_HOME, else the one the
// build's python_home fixture makes.
inline std::string python_home() {
    const char *env = getenv("TINDRAL_TEST_PYTHON_HOME");
    return env && *env ? env : TINDRAL_BINARY_DIR "/python-home";
}

// An add-in folder: python -> the home, tindral_xl -> the package sources, and
// a modules folder (created only when `with_modules`).
struct addin_dir {
    std::string path;
    std::string modules() const { return path + "/modules"; }
};

inline addin_dir make_addin_dir(bool with_modules = true) {
    setlocale(LC_ALL, "C.UTF-8");
    addin_dir d{make_temp_dir()};
    symlink(python_home().c_str(), (d.path + "/python").c_str());
    symlink(TINDRAL_SOURCE_DIR "/python/tindral_xl", (d.path + "/tindral_xl").c_str());
    if (with_modules) mkdir(d.modules().c_str(), 0700);
    return d;
}

// Starts Python for `d` and gives the registry its folder and the captured
// log. The calling thread holds the GIL afterwards, as during xlAutoOpen.
inline bool start_python(const addin_dir &d) {
    struct stat st;
    if (stat((python_home() + "/" "libpython3.12.so").c_str(), &st) != 0) {
        ADD_FAILURE() << "no Python home at " << python_home()
                      << " (run the python_home fixture or set TINDRAL_TEST_PYTHON_HOME)";
        return false;
    }
    std::wstring dir = widen(d.path);
    python_runtime_set_xll_dir(dir.c_str());
    if (!python_runtime_init(capture_log)) {
        ADD_FAILURE() << "python_runtime_init failed:\n" << log_text();
        return false;
    }
    func_registry_init(dir.c_str(), plat_self_module(), capture_log);
    return true;
}

// Runs Python source in __main__; fails the test when it raises.
inline void py_run(const std::string &code) {
    if (pyapi.PyRun_SimpleString(code.c_str()) != 0) ADD_FAILURE() << "Python code raised:\n" << code;
}

// A new reference to __main__.<name>.
inline PyObject *py_main(const char *name) {
    PyObject *main = pyapi.PyImport_AddModule("__main__");  // borrowed
    return pyapi.PyObject_GetAttrString(main, name);
}

inline std::string utf8_of(PyObject *o) {
    const char *s = o ? pyapi.PyUnicode_AsUTF8(o) : nullptr;
    return s ? s : "<not str>";
}

// An XLOPER12 argument holding UTF-16 text (the record points into `units`).
struct text_arg {
    std::u16string units;
    XLOPER12 oper;
    explicit text_arg(const std::u16string &s) {
        units.push_back((char16_t)s.size());
        units += s;
        memset(&oper, 0, sizeof oper);
        oper.xltype = xltypeStr;
        oper.val.str = (XCHAR *)units.data();
    }
};

inline XLOPER12 of_type(DWORD_XL type) {
    XLOPER12 x;
    memset(&x, 0, sizeof x);
    x.xltype = type;
    return x;
}

// A temporary add-in folder with Python started in it; `ok` says whether it
// started (the failure is already reported).
struct started {
    addin_dir dir;
    bool ok;
};

inline started start() {
    started s{make_addin_dir(), false};
    s.ok = start_python(s.dir);
    return s;
}

// True when the Python expression holds in __main__; otherwise the traceback
// on stderr shows what `got` held.
inline bool py_holds(const std::string &expr) {
    std::string code = "assert (" + expr + "), 'got = %r' % (globals().get('got'),)";
    return pyapi.PyRun_SimpleString(code.c_str()) == 0;
}

// Binds __main__.<fn> to slot `slot` the way the pass does.
inline void bind(int slot, const char *fn, int arity) {
    func_slot *s = &func_registry.slots[slot];
    strncpy(s->name, fn, FUNC_NAME_CAP - 1);
    s->arity = arity;
    s->callable = py_main(fn);  // the table's own reference
    ASSERT_NE(s->callable, nullptr);
    if (func_registry.slot_count <= slot) func_registry.slot_count = slot + 1;
}

inline XLOPER12 num_arg(double v) {
    XLOPER12 x;
    memset(&x, 0, sizeof x);
    x.xltype = xltypeNum;
    x.val.num = v;
    return x;
}

}  // namespace fts
