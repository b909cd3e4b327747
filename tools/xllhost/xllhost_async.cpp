// xllhost's asynchronous functions, after Excel's published C API
// documentation ("Asynchronous User-Defined Functions", "xlAsyncReturn",
// "xlEventRegister" in the Excel XLL SDK reference):
// - a function registered with ">" as its result and an "X" argument is
//   asynchronous; Excel passes an xltypeBigData handle in the X position and
//   ignores what the entry point returns;
// - xlAsyncReturn(handle, value) is the one callback Excel accepts from a
//   thread other than its calculation thread; it answers TRUE, or FALSE when
//   it fails; the add-in frees the value's memory itself (Excel copies it);
// - a calculation completes once every asynchronous call of it returned;
// - xleventCalculationCanceled is raised when the user interrupts a
//   calculation and xleventCalculationEnded right after it; Ended is also
//   raised when a calculation completes.
// Where the documentation is silent the host chose: a handle's bytes are the
// host's own number for the call (lpbData holds it, cbData is 0); a handle
// that is unknown, already returned or forgotten by a cancel answers FALSE
// (counted, never printed: it may come from any thread); the batch form
// (arrays of handles and values) answers xlretInvXloper, as the add-in never
// uses it; xlEventRegister answers the handler's number from 1 as xltypeInt.
#include "xllhost_async.h"

#include <condition_variable>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

#ifdef _WIN32
#include <windows.h>
#include <tlhelp32.h>
#else
#include <dirent.h>
#endif

namespace {

struct host_event_handler {
    std::string procedure;
    int event;
};

struct host_async_state {
    std::mutex lock;                         // guards everything below but `handlers`
    std::condition_variable returned;        // a pending handle returned
    std::map<long, host_async_target> pending;  // handles Excel waits for
    std::map<long, std::unique_ptr<host_async_result>> arrived;  // returned, not yet settled
    long next_id = 0;
    long refused = 0;
    long timed_calls = 0;      // the script's thread only, like the two below
    double timed_us = 0;
    std::vector<host_event_handler> handlers;  // the script's thread only
};
host_async_state async_host;

// Copies `v` (and every text and element it holds) into `r`'s storage.
void copy_value(const XLOPER12 &v, host_async_result *r) {
    r->value = v;
    r->value.xltype = v.xltype & 0x0FFF;  // the copy is the host's; no free bits
    auto keep_text = [r](const XCHAR *s) -> XCHAR * {
        size_t n = s ? (unsigned short)s[0] : 0;
        std::basic_string<XCHAR> t(1, (XCHAR)n);
        if (n) t.append(s + 1, n);
        r->texts.push_back(t);
        return &r->texts.back()[0];
    };
    if (r->value.xltype == xltypeStr) {
        r->texts.reserve(1);
        r->value.val.str = keep_text(v.val.str);
    } else if (r->value.xltype == xltypeMulti && v.val.array.lparray && v.val.array.rows > 0 &&
               v.val.array.columns > 0) {
        size_t n = (size_t)v.val.array.rows * (size_t)v.val.array.columns;
        r->items.assign(v.val.array.lparray, v.val.array.lparray + n);
        r->texts.reserve(n);  // no reallocation: the pointers into it stay valid
        for (XLOPER12 &item : r->items) {
            item.xltype &= 0x0FFF;
            if (item.xltype == xltypeStr) item.val.str = keep_text(item.val.str);
        }
        r->value.val.array.lparray = r->items.data();
    } else if (r->value.xltype == xltypeMulti) {
        r->value.val.array.lparray = nullptr;
    }
}

}  // namespace

XLOPER12 host_async_handle(const host_async_target &target, long *id) {
    std::lock_guard<std::mutex> hold(async_host.lock);
    long n = ++async_host.next_id;
    async_host.pending[n] = target;
    XLOPER12 h;
    memset(&h, 0, sizeof h);
    h.xltype = xltypeBigData;
    h.val.bigdata.h.lpbData = reinterpret_cast<uint8_t *>((intptr_t)n);
    h.val.bigdata.cbData = 0;
    if (id) *id = n;
    return h;
}

int host_async_handle_position(const std::string &type_text) {
    if (type_text.empty() || type_text[0] != '>') return -1;
    size_t x = type_text.find('X', 1);
    return x == std::string::npos ? -1 : (int)x - 1;
}

std::vector<host_async_result> host_async_settle(void) {
    std::unique_lock<std::mutex> hold(async_host.lock);
    async_host.returned.wait(hold, [] { return async_host.pending.empty(); });
    std::vector<host_async_result> out;
    for (auto &kv : async_host.arrived) out.push_back(std::move(*kv.second));
    async_host.arrived.clear();
    return out;
}

int host_async_forget(void) {
    std::lock_guard<std::mutex> hold(async_host.lock);
    int n = (int)async_host.pending.size();
    async_host.pending.clear();
    async_host.arrived.clear();
    return n;
}

int host_async_pending(void) {
    std::lock_guard<std::mutex> hold(async_host.lock);
    return (int)async_host.pending.size();
}

long host_async_refused(void) {
    std::lock_guard<std::mutex> hold(async_host.lock);
    return async_host.refused;
}

int host_async_return(int count, LPXLOPER12 *opers, LPXLOPER12 result) {
    if (count != 2 || !opers || !opers[0] || !opers[1]) return xlretInvCount;
    if ((opers[0]->xltype & 0x0FFF) != xltypeBigData) return xlretInvXloper;
    long id = (long)reinterpret_cast<intptr_t>(opers[0]->val.bigdata.h.lpbData);
    bool accepted = false;
    {
        std::lock_guard<std::mutex> hold(async_host.lock);
        auto it = async_host.pending.find(id);
        if (it == async_host.pending.end()) {
            async_host.refused++;
        } else {
            std::unique_ptr<host_async_result> r(new host_async_result());
            r->id = id;
            r->target = it->second;
            copy_value(*opers[1], r.get());
            async_host.arrived[id] = std::move(r);
            async_host.pending.erase(it);
            accepted = true;
        }
    }
    if (accepted) async_host.returned.notify_all();
    if (result) {
        result->xltype = xltypeBool;
        result->val.xbool = accepted ? 1 : 0;
    }
    return xlretSuccess;
}

int host_event_register(int count, LPXLOPER12 *opers, LPXLOPER12 result, std::string *procedure, int *event) {
    if (count != 2 || !opers[0] || !opers[1] || (opers[0]->xltype & 0x0FFF) != xltypeStr || !opers[0]->val.str)
        return xlretInvXloper;
    int kind;
    switch (opers[1]->xltype & 0x0FFF) {
    case xltypeInt: kind = opers[1]->val.w; break;
    case xltypeNum: kind = (int)opers[1]->val.num; break;
    default: return xlretInvXloper;
    }
    std::string name;
    const XCHAR *s = opers[0]->val.str;
    for (size_t i = 1; i <= (unsigned short)s[0]; i++) name += (char)(s[i] < 0x80 ? s[i] : '?');
    bool known = kind == xleventCalculationEnded || kind == xleventCalculationCanceled;
    if (known) async_host.handlers.push_back(host_event_handler{name, kind});
    if (result) {
        result->xltype = xltypeInt;
        result->val.w = known ? (int32_t)async_host.handlers.size() : 0;
    }
    *procedure = name;
    *event = kind;
    return xlretSuccess;
}

std::vector<std::string> host_event_handlers(int event) {
    std::vector<std::string> out;
    for (const host_event_handler &h : async_host.handlers)
        if (h.event == event) out.push_back(h.procedure);
    return out;
}

void host_event_clear(void) { async_host.handlers.clear(); }

void host_async_time_add(double microseconds) {
    async_host.timed_calls++;
    async_host.timed_us += microseconds;
}

void host_async_time(long *calls, double *microseconds) {
    *calls = async_host.timed_calls;
    *microseconds = async_host.timed_us;
}

int host_thread_count(void) {
#ifdef _WIN32
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snap == INVALID_HANDLE_VALUE) return -1;
    THREADENTRY32 entry;
    entry.dwSize = sizeof entry;
    DWORD self = GetCurrentProcessId();
    int n = 0;
    for (BOOL more = Thread32First(snap, &entry); more; more = Thread32Next(snap, &entry))
        if (entry.th32OwnerProcessID == self) n++;
    CloseHandle(snap);
    return n;
#else
    DIR *dir = opendir("/proc/self/task");
    if (!dir) return -1;
    int n = 0;
    while (struct dirent *e = readdir(dir))
        if (e->d_name[0] != '.') n++;
    closedir(dir);
    return n;
#endif
}
