// http_server: an agent's JSON request read into Python objects on the
// add-in's side. json.loads walks a string one character at a time; RapidJSON
// scans sixteen bytes at a time, which takes a big /exec body (code, data) in
// a fraction of the time. Each value is made by the very conversion the json
// module uses (str from UTF-8, int() and float() of the number's text), so
// the result equals json.loads' result. What this reader cannot be sure to
// read the same way it declines, and the caller hands the text to json.loads
// as before, whose answer then stands: NaN and Infinity, a lone surrogate,
// bytes that are not UTF-8, nesting deeper than JSON_MAX_DEPTH, an integer
// longer than int() takes, and anything malformed.
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#if defined(__x86_64__) || defined(_M_X64)
#define RAPIDJSON_SSE2
#include <emmintrin.h>
#endif
#include <rapidjson/reader.h>

#include "http_server_exec.h"
#include "pyapi.h"

namespace {

// Deeper requests go to json.loads, whose recursion limit then answers them
// exactly as before; no agent request comes near this.
constexpr size_t JSON_MAX_DEPTH = 256;
// The reader works in place. The body must come out of it whole, for
// json.loads should the reader decline. Reading a string, the reader ends it
// with a NUL over its closing quote, which the builder puts back at once;
// but it also shortens a string with escapes within the string's own bytes,
// which could not be undone. So a body with a backslash anywhere (the caller
// says, having looked while the bytes were at hand) is read in a copy. The
// copy's memory is kept for the thread's next request, up to this much, so
// that a big body does not take fresh memory, and its page faults, at every
// request.
constexpr size_t JSON_SCRATCH_KEEP = 4u << 20;
thread_local std::string json_scratch;
// Below this, a str is made by PyUnicode_DecodeUTF8, whose own costs are
// small against the call (and which shares its one-character strs).
constexpr size_t JSON_ASCII_MIN = 64;

// RapidJSON's own stack does not check its allocations: this one throws, and
// the caller declines.
struct json_allocator {
    static const bool kNeedFree = true;
    void *Malloc(size_t size) {
        if (!size) return nullptr;
        void *p = std::malloc(size);
        if (!p) throw std::bad_alloc();
        return p;
    }
    void *Realloc(void *old, size_t, size_t size) {
        if (!size) {
            std::free(old);
            return nullptr;
        }
        void *p = std::realloc(old, size);
        if (!p) throw std::bad_alloc();
        return p;
    }
    static void Free(void *p) { std::free(p); }
};

// Copies `n` bytes from `from` to `to`; 1 when none has its high bit set.
// One pass, where PyUnicode_DecodeUTF8 checks eight bytes at a time and then
// copies: a long ASCII string (code, a base64 payload) costs a copy.
int json_copy_ascii(char *to, const char *from, size_t n) {
    size_t i = 0;
#ifdef RAPIDJSON_SSE2
    // Checked every 4 KiB, so text that is not ASCII is given up early.
    while (i + 16 <= n) {
        __m128i high = _mm_setzero_si128();
        size_t block = i + 4096 < n ? i + 4096 : n;
        for (; i + 16 <= block; i += 16) {
            __m128i v = _mm_loadu_si128((const __m128i *)(from + i));
            high = _mm_or_si128(high, v);
            _mm_storeu_si128((__m128i *)(to + i), v);
        }
        if (_mm_movemask_epi8(high)) return 0;
    }
#endif
    unsigned char high = 0;
    for (; i < n; i++) {
        high |= (unsigned char)from[i];
        to[i] = from[i];
    }
    return high < 0x80;
}

// Builds the value from the reader's events. Every object it holds is a new
// reference: the containers still open (with an object's pending key) and
// the finished root.
struct json_builder : rapidjson::BaseReaderHandler<rapidjson::UTF8<>, json_builder> {
    struct open_container {
        PyObject *container;  // dict or list
        PyObject *key;        // a dict's key awaiting its value
    };
    std::vector<open_container> open;
    PyObject *root = nullptr;
    char *restore = nullptr;  // the body read in place, whose quotes go back; null in a copy

    ~json_builder() {
        for (open_container &c : open) {
            if (c.key) pyapi.Py_DecRef(c.key);
            pyapi.Py_DecRef(c.container);
        }
        if (root) pyapi.Py_DecRef(root);
    }

    // Takes `value` (a new reference, null when making it failed) into the
    // innermost open container, or as the root.
    bool add(PyObject *value) {
        if (!value) return false;
        if (open.empty()) {
            root = value;
            return true;
        }
        open_container &c = open.back();
        int rc;
        if (c.key) {
            rc = pyapi.PyDict_SetItem(c.container, c.key, value);
            pyapi.Py_DecRef(c.key);
            c.key = nullptr;
        } else {
            rc = pyapi.PyList_Append(c.container, value);
        }
        pyapi.Py_DecRef(value);
        return rc == 0;
    }

    bool start(PyObject *container) {
        if (!container) return false;
        if (open.size() >= JSON_MAX_DEPTH) {
            pyapi.Py_DecRef(container);
            return false;
        }
        open.push_back({container, nullptr});
        return true;
    }

    bool end() {
        PyObject *done = open.back().container;
        open.pop_back();
        return add(done);
    }

    bool Null() {
        pyapi.Py_IncRef(pyapi._Py_NoneStruct);
        return add(pyapi._Py_NoneStruct);
    }
    bool Bool(bool b) { return add(pyapi.PyBool_FromLong(b)); }
    // `s` is a string of the body, the NUL after it the reader's, over the
    // closing quote.
    PyObject *take_string(const char *s, size_t n) {
        PyObject *str = http_server_json_str(s, n);
        if (restore) restore[s - restore + n] = '"';
        return str;
    }
    bool String(const char *s, rapidjson::SizeType n, bool) { return add(take_string(s, n)); }
    bool Key(const char *s, rapidjson::SizeType n, bool) {
        PyObject *key = take_string(s, n);
        if (!key) return false;
        open.back().key = key;
        return true;
    }
    // The number's text as the reader validated it (JSON's grammar): int()
    // of it when it has neither fraction nor exponent, else float() of it.
    bool RawNumber(const char *s, rapidjson::SizeType n, bool) {
        std::string text(s, n);  // not terminated by the reader
        if (text.find_first_of(".eE") == std::string::npos)
            return add(pyapi.PyLong_FromString(text.c_str(), nullptr, 10));
        char *end = nullptr;
        double v = pyapi.PyOS_string_to_double(text.c_str(), &end, nullptr);
        if (v == -1.0 && pyapi.PyErr_Occurred()) return false;
        if (end != text.c_str() + text.size()) return false;
        return add(pyapi.PyFloat_FromDouble(v));
    }
    // Numbers come as text (above): any other event is unexpected.
    bool Default() { return false; }
    bool StartObject() { return start(pyapi.PyDict_New()); }
    bool EndObject(rapidjson::SizeType) { return end(); }
    bool StartArray() { return start(pyapi.PyList_New(0)); }
    bool EndArray(rapidjson::SizeType) { return end(); }
};

}  // namespace

PyObject *http_server_json_str(const char *s, size_t n) {
    if (n >= JSON_ASCII_MIN && n <= (size_t)PTRDIFF_MAX) {
        PyObject *str = pyapi.PyUnicode_New((Py_ssize_t)n, 127);  // new reference
        // A compact ASCII str's UTF-8 form is its character data itself
        // (PEP 393): the pointer below is where its characters go. The str
        // is this function's alone until it returns.
        char *data = str ? (char *)pyapi.PyUnicode_AsUTF8(str) : nullptr;
        if (data && json_copy_ascii(data, s, n)) return str;
        if (str) pyapi.Py_DecRef(str);
        if (!data) pyapi.PyErr_Clear();
    }
    return pyapi.PyUnicode_DecodeUTF8(s, (Py_ssize_t)n, nullptr);
}

PyObject *http_server_json_to_python(char *text, size_t len, int has_backslash) {
    // Iterative: a deep request cannot exhaust this thread's stack. Strict
    // JSON only (no NaN, no comments), as the cases json.loads reads its own
    // way are left to it.
    constexpr unsigned flags =
        rapidjson::kParseInsituFlag | rapidjson::kParseIterativeFlag | rapidjson::kParseNumbersAsStringsFlag;
    PyObject *value = nullptr;
    try {
        json_builder builder;
        char *at = text;
        if (has_backslash) {
            json_scratch.reserve(len + HTTP_EXEC_BODY_PAD);
            json_scratch.assign(text, len);
            json_scratch.append(HTTP_EXEC_BODY_PAD, '\0');
            at = &json_scratch[0];
        } else {
            builder.restore = text;
        }
        rapidjson::GenericReader<rapidjson::UTF8<>, rapidjson::UTF8<>, json_allocator> reader;
        // The reader's vector loads read whole aligned 16-byte blocks, past
        // the text's end within the last one: the padding.
        rapidjson::InsituStringStream in(at);
        if (reader.Parse<flags>(in, builder) && builder.open.empty()) {
            value = builder.root;
            builder.root = nullptr;
        }
    } catch (...) {
        value = nullptr;
    }
    if (json_scratch.capacity() > JSON_SCRATCH_KEEP) std::string().swap(json_scratch);
    if (!value && pyapi.PyErr_Occurred()) pyapi.PyErr_Clear();
    return value;
}
