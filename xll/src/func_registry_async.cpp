// Asynchronous worksheet functions: an `async def` registered through the
// same slots with the type text ">Q...X". Excel passes a handle as the last
// argument; the call converts its arguments on Excel's thread, hands the
// coroutine to tindral_xl._async (one event loop on a thread of its own) and
// returns at once. When the coroutine ends, the loop's thread converts the
// result and gives it to Excel with xlAsyncReturn, the one callback Excel
// accepts from a thread other than its own.
//
// Threads and locks: the pending table (call id -> Excel's handle) is guarded
// by `lock`, which is also held across each xlAsyncReturn. A cancel or a close
// empties the table under it, so once either has returned no result of a
// forgotten call can reach Excel: a return in progress finishes first, a later
// one finds its id gone. The GIL and `lock` are never held together by a
// thread that waits for the other: the return path lets the GIL go before it
// takes `lock`, the cancel path lets `lock` go before it takes the GIL.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "excel_gateway.h"
#include "func_registry_internal.h"
#include "platform/platform.h"
#include "python_runtime.h"

namespace {

// The code flag Python sets on the code of an `async def` (CO_COROUTINE).
constexpr long ASYNC_CODE_FLAG = 0x0080;
// How long a close waits for the loop's thread: a coroutine that blocks the
// loop (time.sleep instead of asyncio.sleep) must not hang Excel's exit.
constexpr double ASYNC_CLOSE_WAIT_SECONDS = 5.0;
// Call ids run from 1 and wrap before they leave a 32-bit long (Windows').
constexpr long ASYNC_LAST_ID = 0x7FFFFFFF;

struct async_call {
    XLOPER12 handle;  // Excel's handle, copied: Excel frees its argument when the entry point returns
    int slot;         // the slot called, for the log
};

struct async_state {
    std::mutex lock;                                // guards `pending` and `next_id`; see above
    std::unordered_map<long, async_call> pending;   // calls Excel waits for
    long next_id = 0;
    // tindral_xl._async and its submit, owned; null until the first
    // asynchronous call imports them (asyncio is not loaded at open). GIL.
    PyObject *module = nullptr;
    PyObject *submit = nullptr;
    // The loop's thread, the add-in's own so that a close can wait for the
    // thread itself (a Python-level join returns before the thread is gone).
    // Started by Excel's thread at the first asynchronous call after each
    // open; `loop_ended` is set by the thread as its last step, under
    // `ended_lock`. `loop_thread` and `loop_running`: Excel's thread only.
    std::thread loop_thread;
    bool loop_running = false;
    std::mutex ended_lock;
    std::condition_variable ended;
    bool loop_ended = false;
};
plat_forever<async_state> async_record;
async_state &async = async_record.value;

void async_set_error(XLOPER12 *x, int32_t err) {
    memset(x, 0, sizeof *x);
    x->xltype = xltypeErr;
    x->val.err = err;
}

// Takes call `id` out of the table and hands `value` to Excel for it, both
// under the lock. 0 when the id was no longer pending (cancelled, closed):
// nothing is sent. Any thread; never with the GIL held by a caller that is
// not Excel's thread (the cancel path takes the lock on Excel's thread).
int async_deliver(long id, XLOPER12 *value) {
    std::lock_guard<std::mutex> hold(async.lock);
    auto it = async.pending.find(id);
    if (it == async.pending.end()) return 0;
    XLOPER12 handle = it->second.handle;
    async.pending.erase(it);
    XLOPER12 answer;
    memset(&answer, 0, sizeof answer);
    Excel12(xlAsyncReturn, &answer, 2, &handle, value);
    return 1;
}

// Hands `value` back for a call that never reached the loop, on Excel's
// thread, and frees what the value owns. Excel's thread.
void async_deliver_now(long id, XLOPER12 *value) {
    async_deliver(id, value);
    if (value->xltype & xlbitDLLFree) func_registry_release_result(value);
}

// Logs the pending Python error of slot `slot`'s call as the slot call path
// does, and clears it. GIL held.
void async_log_error(int slot) {
    PyObject *taken[3];  // new references
    func_registry_take_call_error(slot, taken);
    for (PyObject *o : taken)
        if (o) pyapi.Py_DecRef(o);
}

PyObject *async_module_call(const char *name, PyObject *arg);

// The body of the loop's thread: tindral_xl._async.run(loop) until a close
// stops the loop. `loop` is a new reference, released here. Nothing thrown
// leaves it.
void async_loop_body(PyObject *loop) {
    try {
        pyapi_gil gil;
        PyObject *done = async_module_call("run", loop);  // new reference
        if (done) pyapi.Py_DecRef(done);
        pyapi.Py_DecRef(loop);
    } catch (...) {
        xll_log("func_registry: unexpected C++ exception on the event loop's thread");
    }
    std::lock_guard<std::mutex> hold(async.ended_lock);
    async.loop_ended = true;
    async.ended.notify_all();
}

// tindral_xl._async and its submit, imported at the first asynchronous call,
// and the loop's thread, started at the first call after each open. 1 when
// calls can be submitted. Excel's thread, GIL held.
int async_load(void) {
    if (!async.submit) {
        PyObject *module = pyapi.PyImport_ImportModule("tindral_xl._async");  // new reference, kept
        PyObject *submit = module ? pyapi.PyObject_GetAttrString(module, "submit") : nullptr;  // new reference, kept
        if (!submit) {
            if (pyapi.PyErr_Occurred()) pyapi.PyErr_Print();
            xll_logf(func_registry.log, 128, "func_registry: cannot load tindral_xl._async");
            if (module) pyapi.Py_DecRef(module);
            return 0;
        }
        async.module = module;
        async.submit = submit;
    }
    if (async.loop_running) return 1;
    PyObject *loop = async_module_call("new_loop", nullptr);  // new reference, handed to the thread
    if (!loop) return 0;
    {
        std::lock_guard<std::mutex> hold(async.ended_lock);
        async.loop_ended = false;
    }
    try {
        async.loop_thread = std::thread(async_loop_body, loop);
    } catch (...) {
        pyapi.Py_DecRef(loop);
        xll_logf(func_registry.log, 128, "func_registry: cannot start the event loop's thread");
        return 0;
    }
    async.loop_running = true;
    xll_logf(func_registry.log, 128, "func_registry: event loop started for asynchronous functions");
    return 1;
}

// A new call id, listed with Excel's handle.
long async_listen(int slot, const XLOPER12 *handle) {
    std::lock_guard<std::mutex> hold(async.lock);
    if (++async.next_id > ASYNC_LAST_ID) async.next_id = 1;
    async.pending[async.next_id] = async_call{*handle, slot};
    return async.next_id;
}

// Runs slot `slot`'s function with its arguments and hands the coroutine to
// the loop. Fills `now` and returns 0 when the call ends here (an error, a
// function that is not a coroutine function any more); 1 when the loop has
// it. GIL held.
int async_start(int slot, long id, LPXLOPER12 *args, XLOPER12 *now) {
    async_set_error(now, xlerrValue);
    PyObject *callable = func_registry.slots[slot].callable;
    if (!callable) {
        if (func_registry.slots[slot].removed != FUNC_SLOT_BOUND) async_set_error(now, xlerrName);
        return 0;
    }
    if (!async_load()) return 0;
    pyapi.Py_IncRef(callable);  // a rebinding pass must not free it mid-call
    int arity = func_registry.slots[slot].arity;
    PyObject *argv[1 + FUNC_MAX_ARGS];
    bool refused = false;  // `now` then holds the cell's error, the reason logged
    int filled = func_registry_slot_arguments(slot, args, argv + 1, now, &refused);
    PyObject *coroutine = nullptr;  // new reference
    if (filled == arity)
        coroutine = pyapi.PyObject_Vectorcall(callable, argv + 1,
                                              (size_t)arity | PYAPI_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    while (filled > 0) pyapi.Py_DecRef(argv[filled--]);
    pyapi.Py_DecRef(callable);
    int started = 0;
    if (coroutine) {
        PyObject *submit_args[3];
        submit_args[1] = pyapi.PyLong_FromLong(id);  // new reference
        submit_args[2] = coroutine;
        PyObject *taken = submit_args[1] ? pyapi.PyObject_Vectorcall(
                                               async.submit, submit_args + 1,
                                               2 | PYAPI_VECTORCALL_ARGUMENTS_OFFSET, nullptr)
                                         : nullptr;  // new reference
        if (submit_args[1]) pyapi.Py_DecRef(submit_args[1]);
        if (taken == pyapi._Py_TrueStruct) {
            started = 1;
        } else if (taken) {
            // Not a coroutine: a function rebound from `async def` to `def`
            // while Excel still calls it asynchronously. Its value is the answer.
            if (!func_registry_py_to_xloper(coroutine, now)) async_set_error(now, xlerrValue);
        }
        if (taken) pyapi.Py_DecRef(taken);
        pyapi.Py_DecRef(coroutine);
    }
    if (pyapi.PyErr_Occurred()) async_log_error(slot);
    return started;
}

// tindral_xl._native.async_return(call_id, value, failed): the end of a
// coroutine, on the loop's thread. `failed` true makes `value` an exception
// (logged, #VALUE!); otherwise `value` converts by the usual rules. A call
// that was cancelled or closed meanwhile is dropped without a word to Excel.
PyObject *native_async_return(PyObject *, PyObject *args) {
    PyObject *id_object = pyapi.PyTuple_GetItem(args, 0);  // borrowed
    PyObject *value = pyapi.PyTuple_GetItem(args, 1);      // borrowed
    PyObject *failed = pyapi.PyTuple_GetItem(args, 2);     // borrowed
    if (!id_object || !value || !failed) return nullptr;
    long id = pyapi.PyLong_AsLong(id_object);
    if (id == -1 && pyapi.PyErr_Occurred()) return nullptr;
    int slot = -1;
    {
        std::lock_guard<std::mutex> hold(async.lock);
        auto it = async.pending.find(id);
        if (it != async.pending.end()) slot = it->second.slot;
    }
    if (slot < 0) {
        pyapi.Py_IncRef(pyapi._Py_FalseStruct);
        return pyapi._Py_FalseStruct;
    }
    XLOPER12 out;
    if (failed == pyapi._Py_TrueStruct) {
        PyObject *text = pyapi.PyObject_Str(value);  // new reference
        const char *utf8 = text ? pyapi.PyUnicode_AsUTF8(text) : nullptr;
        if (utf8) xll_logf(func_registry.log, 512, "Python error in %s: %s", func_registry.slots[slot].name, utf8);
        if (text) pyapi.Py_DecRef(text);
        if (pyapi.PyErr_Occurred()) pyapi.PyErr_Clear();
        async_set_error(&out, xlerrValue);
    } else if (!func_registry_py_to_xloper(value, &out)) {
        async_log_error(slot);
        async_set_error(&out, xlerrValue);
    }
    // Excel is not waited for with the GIL held: Excel's thread may want it.
    PyThreadState *saved = pyapi.PyEval_SaveThread();
    int sent = async_deliver(id, &out);
    // Excel copied the value: what the add-in allocated for it is freed here.
    if (out.xltype & xlbitDLLFree) func_registry_release_result(&out);
    pyapi.PyEval_RestoreThread(saved);
    PyObject *answer = sent ? pyapi._Py_TrueStruct : pyapi._Py_FalseStruct;
    pyapi.Py_IncRef(answer);
    return answer;
}

// Forgets every pending call (Excel hears of none of them again) and returns
// how many there were. Waits at most for one xlAsyncReturn in progress.
int async_forget_all(void) {
    std::lock_guard<std::mutex> hold(async.lock);
    int n = (int)async.pending.size();
    async.pending.clear();
    return n;
}

// Calls tindral_xl._async.NAME(arg) (no argument when `arg` is null) when the
// module was loaded; the answer (new reference) or null. GIL held; leaves no
// error behind.
PyObject *async_module_call(const char *name, PyObject *arg) {
    if (!async.module) return nullptr;
    PyObject *fn = pyapi.PyObject_GetAttrString(async.module, name);  // new reference
    PyObject *argv[2] = {nullptr, arg};
    PyObject *answer = fn ? pyapi.PyObject_Vectorcall(fn, argv + 1, (arg ? 1 : 0) | PYAPI_VECTORCALL_ARGUMENTS_OFFSET,
                                                      nullptr)
                          : nullptr;  // new reference
    if (fn) pyapi.Py_DecRef(fn);
    if (!answer && pyapi.PyErr_Occurred()) {
        pyapi.PyErr_Print();
        xll_logf(func_registry.log, 160, "func_registry: tindral_xl._async.%s failed", name);
    }
    return answer;
}

// Forgets the pending calls and cancels their coroutines. `why` names the
// event for the log. Excel's main thread, without the GIL.
void async_cancel(const char *why) {
    int forgotten = async_forget_all();
    // Nothing was ever started: no Python to run.
    if (!python_runtime_ready()) return;
    {
        pyapi_gil gil;
        if (!async.module) return;
        PyObject *done = async_module_call("cancel_all", nullptr);
        if (done) pyapi.Py_DecRef(done);
    }
    if (forgotten)
        xll_logf(func_registry.log, 160, "func_registry: %s: %d pending asynchronous call(s) cancelled", why,
                 forgotten);
}

// Live as long as the process: the function object points at it.
PyMethodDef async_methods[] = {
    {"async_return", native_async_return, PYAPI_METH_VARARGS,
     "Hands an asynchronous call's result (or exception, when failed) to Excel. False when the call was cancelled."},
};

}  // namespace

int func_registry_is_async(PyObject *function) {
    PyObject *code = pyapi.PyObject_GetAttrString(function, "__code__");  // new reference
    PyObject *flags = code ? pyapi.PyObject_GetAttrString(code, "co_flags") : nullptr;  // new reference
    long value = flags ? pyapi.PyLong_AsLong(flags) : 0;
    if (flags) pyapi.Py_DecRef(flags);
    if (code) pyapi.Py_DecRef(code);
    if (pyapi.PyErr_Occurred()) {
        pyapi.PyErr_Clear();
        return 0;
    }
    return value != -1 && (value & ASYNC_CODE_FLAG) ? 1 : 0;
}

void func_registry_async_call(int slot, LPXLOPER12 *args) {
    // Excel passes the handle after the function's arguments; it is copied
    // here, for Excel frees its arguments when the entry point returns.
    int arity = func_registry.slots[slot].arity;  // written on this thread only (registration)
    const XLOPER12 *handle = arity <= FUNC_ASYNC_MAX_ARGS ? args[arity] : nullptr;
    if (!handle || (handle->xltype & 0x0FFF) != xltypeBigData) {
        xll_logf(func_registry.log, 512, "func_registry: %s was called without Excel's asynchronous handle",
                 func_registry.slots[slot].name);
        return;
    }
    XLOPER12 now;
    async_set_error(&now, xlerrValue);
    long id;
    try {
        id = async_listen(slot, handle);
    } catch (...) {
        // No room to list it: Excel hears #VALUE! at once rather than never.
        XLOPER12 copy = *handle, answer;
        memset(&answer, 0, sizeof answer);
        Excel12(xlAsyncReturn, &answer, 2, &copy, &now);
        return;
    }
    try {
        if (python_runtime_ready()) {
            pyapi_gil gil;
            if (async_start(slot, id, args, &now)) return;
        }
    } catch (...) {
        // The call ends here; Excel still hears of it below.
        xll_logf(func_registry.log, 256, "xll_slot_%d: unexpected C++ exception \xE2\x80\x94 #VALUE!", slot);
        async_set_error(&now, xlerrValue);
    }
    async_deliver_now(id, &now);
}

int func_registry_async_install(PyObject *native) {
    int ok = 1;
    for (PyMethodDef &def : async_methods) {
        PyObject *fn = pyapi.PyCFunction_NewEx(&def, nullptr, nullptr);  // new reference
        if (!fn || pyapi.PyObject_SetAttrString(native, def.ml_name, fn) != 0) ok = 0;
        if (fn) pyapi.Py_DecRef(fn);
    }
    return ok;
}

int func_registry_async_pending(void) {
    std::lock_guard<std::mutex> hold(async.lock);
    return (int)async.pending.size();
}

void func_registry_async_close(void) {
    int forgotten = async_forget_all();
    if (!async.loop_running) return;
    async.loop_running = false;
    {
        pyapi_gil gil;
        PyObject *done = async_module_call("stop", nullptr);  // new reference
        if (done) pyapi.Py_DecRef(done);
    }
    // Waited for without the GIL: the thread needs it to unwind.
    bool ended;
    {
        std::unique_lock<std::mutex> hold(async.ended_lock);
        ended = async.ended.wait_for(hold, std::chrono::duration<double>(ASYNC_CLOSE_WAIT_SECONDS),
                                     [] { return async.loop_ended; });
    }
    if (ended) {
        async.loop_thread.join();
        xll_logf(func_registry.log, 160, "func_registry: event loop stopped; %d pending asynchronous call(s) cancelled",
                 forgotten);
    } else {
        // A coroutine blocks the loop (time.sleep rather than asyncio.sleep):
        // Excel's exit must not hang on it. Its results find no call.
        async.loop_thread.detach();
        xll_logf(func_registry.log, 200,
                 "func_registry: the event loop's thread did not end within %.0f s (a coroutine blocks it); "
                 "its results are dropped",
                 ASYNC_CLOSE_WAIT_SECONDS);
    }
}

XLL_EXPORT int xll_calc_cancelled(void) {
    return xll_export_guard(
        "xll_calc_cancelled", "cancel abandoned",
        [] {
            async_cancel("calculation cancelled");
            return 1;
        },
        [] { return 0; });
}

XLL_EXPORT int xll_calc_ended(void) {
    return xll_export_guard(
        "xll_calc_ended", "abandoned",
        [] {
            // Excel ends a calculation only once every asynchronous call of
            // it has returned; a call still pending now belongs to none, and
            // its handle would never be accepted again.
            if (func_registry_async_pending() > 0) async_cancel("calculation ended");
            return 1;
        },
        [] { return 0; });
}
