// http_server: the exec worker. The Python part of a request runs here, off
// the server's I/O thread, so /ping and /config are answered while it runs;
// a watchdog thread interrupts it when its time limit runs out or the server
// stops. One request at a time: a second is refused as busy, never queued
// behind a call that may not end.
//
// A hard bound: a call that has not ended HTTP_EXEC_GRACE_MS after its
// interrupt is blocked where the interrupt cannot reach it (a C call). Its
// worker is abandoned: the client is answered at once, the thread is left to
// end on its own and its answer dropped, and a fresh worker takes the next
// request. The threads of a runner share one `exec_core`, owned jointly, so
// an abandoned thread that outlives the runner, the transport and the server
// still finds its record; it never reaches anything else of theirs.
//
// Lock order: a core's mutex, then worker_state.guard. Neither is held while
// taking the interpreter lock, so the I/O thread never waits on Python.
#include <chrono>
#include <condition_variable>
#if defined(__x86_64__) || defined(_M_X64)
#include <immintrin.h>
#endif
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <thread>

#include "http_server.h"
#include "http_server_exec.h"
#include "platform/platform.h"
#include "xll_log.h"

namespace {

using clock_type = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr char BODY_NO_WORKER[] = "{\"ok\":false,\"error\":\"internal error\"}\n";
constexpr char BODY_OUT_OF_MEMORY[] = "{\"ok\":false,\"error\":\"out of memory\"}\n";
constexpr char BODY_CLOSING[] =
    "{\"ok\":false,\"kind\":\"interrupted\",\"error\":\"the add-in closed while the request ran\"}\n";
// The answers of an abandoned call whose Python side reported none of its own.
constexpr char BODY_ABANDONED_TIMEOUT[] =
    "{\"ok\":false,\"kind\":\"timeout\",\"abandoned\":true,\"error\":\"the request ran past its time limit and did "
    "not stop when interrupted (blocked in a C call); it was abandoned and its code may still be running\"}\n";
constexpr char BODY_ABANDONED_CLOSING[] =
    "{\"ok\":false,\"kind\":\"interrupted\",\"abandoned\":true,\"error\":\"the add-in closed while the request ran "
    "and the request did not stop when interrupted (blocked in a C call); its code may still be running\"}\n";
constexpr char BODY_TOO_MANY_ABANDONED[] =
    "{\"ok\":false,\"error\":\"too many abandoned requests: 4 requests that did not stop at their time limit are "
    "still running; no new request runs until one of them ends\"}\n";
static_assert(HTTP_EXEC_MAX_ABANDONED == 4, "BODY_TOO_MANY_ABANDONED names the cap");

// How a stop waits for the threads of a runner once its last call has been
// answered: a thread still waiting for the interpreter lock then is left.
constexpr milliseconds EXIT_WAIT{1000};

// "/exec request 12: exec (id 7)": the path, the request's number and what
// Python said it does.
constexpr size_t NAME_CAP = HTTP_EXEC_LABEL_CAP + 40;
// Whether the channel's threads wait for each other awake; see
// HTTP_EXEC_SPIN_US.
const bool spin_allowed = std::thread::hardware_concurrency() > 1;

// One step of a busy wait: tells the processor so (a sibling hyperthread
// gets the core meanwhile).
inline void spin_pause() {
#if defined(__x86_64__) || defined(_M_X64)
    _mm_pause();
#else
    std::this_thread::yield();
#endif
}

// Requests inside their Python call at once: one per live runner (one runs
// at a time) plus the abandoned ones; the spare covers a runner that is
// ending while the next starts.
constexpr int CALLS_CAP = HTTP_EXEC_MAX_ABANDONED + 3;

enum runner_slot { SLOT_FREE, SLOT_QUEUED, SLOT_RUNNING, SLOT_DONE };

struct exec_worker;

// One request inside its Python call, for the worksheet path's log line.
struct call_entry {
    const exec_worker *owner;      // null: the entry is free
    char name[NAME_CAP];
    clock_type::time_point started;
    int abandoned;
};

// Process-wide: what outlives every runner.
struct http_worker_state {
    std::atomic<int> abandoned{0};                // abandoned workers whose thread still runs
    std::atomic<unsigned long long> requests{0};  // numbers the requests, across servers
    std::atomic<int> in_python{0};                // requests inside their Python call
    std::mutex guard;                             // the two fields below
    call_entry calls[CALLS_CAP];                  // requests inside their Python call
    char last[NAME_CAP];                          // the last request that left its call, "" before one did
};
plat_forever<http_worker_state> worker_state_record;
http_worker_state &worker_state = worker_state_record.value;

// One worker thread and the call it runs. Shared by its thread and, while it
// takes requests, the core.
struct exec_worker {
    http_exec_watch watch;  // the call's interrupt state
    std::thread thread;     // joined or detached by the core's owner; detached when abandoned
    int abandoned = 0;      // under the core's mutex: the call's answer is dropped, the thread ends after it
    int exited = 0;         // under the core's mutex: the thread body is over (a join is quick)
    int reported = 0;       // under the core's mutex: Python reported this call's limit
    std::string on_timeout; // under the core's mutex: Python's answer for an abandoned call, "" for the fixed one
    std::string on_close;   // the same for a call abandoned at a stop
    char name[NAME_CAP] = "";  // the abandoned call's name, for the line its end logs; worker thread
    clock_type::time_point started;  // the same call's start
};

// What a runner's threads share; freed by whoever lets go last.
struct exec_core {
    std::mutex m;
    std::condition_variable work_cv;   // the worker: a request or the end; finish: a reply
    std::condition_variable watch_cv;  // the watchdog: a call starting, a sooner limit, the stop
    std::condition_variable exit_cv;   // destroy: a thread ended
    std::shared_ptr<exec_worker> current;  // the worker that takes requests; null before one is needed
    std::thread watchdog;
    int watchdog_made = 0;
    int watchdog_exited = 0;
    int ending = 0;  // the server stops: interrupt, take nothing more
    clock_type::time_point ending_at;
    int slot = SLOT_FREE;
    const http_exec_target *target = nullptr;
    std::string body;
    int body_backslash = 1;  // 0: no byte of body is a backslash
    unsigned long long seq = 0;  // the latest request's number
    char name[NAME_CAP] = "";    // the latest request's name
    clock_type::time_point started;   // when the latest call started
    clock_type::time_point deadline;  // when its limit runs out
    // When the watchdog wakes by itself next (max: only when woken). A call
    // whose deadline is no sooner leaves it asleep: it finds the call then.
    clock_type::time_point watch_until = clock_type::time_point::max();
    unsigned limit_ms = HTTP_EXEC_DEFAULT_MS;
    int interrupt_kind = 0;  // HTTP_EXEC_* the watchdog interrupts the call for, 0 before it did
    int interrupted = 0;     // 1 once an interrupt of that kind got through
    clock_type::time_point interrupted_at;  // when it did
    http_reply reply{};              // the finished reply while SLOT_DONE
    void (*done)(void *) = nullptr;  // null once the transport has let go
    void *done_arg = nullptr;
    int awaited = 0;  // the I/O thread waits for this reply itself: done is not called
    // Hints for the busy waits, read without the mutex; the state itself is
    // read under it once a hint says it has changed.
    std::atomic<int> queued_hint{0};  // a request waits for the worker
    std::atomic<int> done_hint{0};    // the reply is ready
};

// The reply is ready (SLOT_DONE set): tells whoever waits for it. Core
// mutex held.
void core_reply_ready(exec_core *c) {
    c->done_hint.store(1, std::memory_order_release);
    if (c->done && !c->awaited) c->done(c->done_arg);
    c->work_cv.notify_all();
}

// The worker thread's own records, for tindral_xl._native.exec_limit.
thread_local exec_worker *worker_self;
thread_local exec_core *worker_core;

double seconds_since(clock_type::time_point t) {
    return std::chrono::duration<double>(clock_type::now() - t).count();
}

// Copies a name Python gave into dst (cap bytes, terminated): control
// characters become spaces, so a log line stays one line, and a cut never
// splits a UTF-8 sequence.
void label_copy(char *dst, size_t cap, const char *src) {
    size_t n = 0;
    while (src[n] && n + 1 < cap) {
        unsigned char ch = (unsigned char)src[n];
        dst[n] = ch < 0x20 || ch == 0x7f ? ' ' : (char)ch;
        n++;
    }
    if (src[n]) {
        // Cut: drop a sequence left incomplete at the end.
        size_t lead = n;
        while (lead > 0 && ((unsigned char)dst[lead - 1] & 0xC0) == 0x80) lead--;
        if (lead > 0 && ((unsigned char)dst[lead - 1] & 0x80)) {
            unsigned char b = (unsigned char)dst[lead - 1];
            size_t need = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 1;
            if (n - (lead - 1) < need) n = lead - 1;
        }
    }
    dst[n] = 0;
}

// --- the process-wide list of calls ---------------------------------------

void calls_enter(const exec_worker *w, const char *name, clock_type::time_point started) {
    std::lock_guard<std::mutex> lock(worker_state.guard);
    for (call_entry &e : worker_state.calls) {
        if (e.owner) continue;
        e.owner = w;
        snprintf(e.name, sizeof e.name, "%s", name);
        e.started = started;
        e.abandoned = 0;
        break;
    }
    worker_state.in_python.fetch_add(1);
}

void calls_leave(const exec_worker *w) {
    std::lock_guard<std::mutex> lock(worker_state.guard);
    for (call_entry &e : worker_state.calls) {
        if (e.owner != w) continue;
        e.owner = nullptr;
        memcpy(worker_state.last, e.name, sizeof e.name);
        break;
    }
    worker_state.in_python.fetch_sub(1);
}

// Updates the entry of `w`: its name, or marks it abandoned.
void calls_update(const exec_worker *w, const char *name, int abandoned) {
    std::lock_guard<std::mutex> lock(worker_state.guard);
    for (call_entry &e : worker_state.calls) {
        if (e.owner != w) continue;
        if (name) snprintf(e.name, sizeof e.name, "%s", name);
        if (abandoned) e.abandoned = 1;
        break;
    }
}

// --- the runner's threads ---------------------------------------------------

// Answers the running call for its client and lets go of its worker: the
// thread goes on alone and its answer is dropped. Core mutex held.
void exec_abandon(exec_core *c, int kind) {
    if (c->slot != SLOT_RUNNING || !c->current) return;
    std::shared_ptr<exec_worker> w = std::move(c->current);
    w->abandoned = 1;
    if (w->thread.joinable()) w->thread.detach();
    memcpy(w->name, c->name, sizeof w->name);
    w->started = c->started;
    int count = worker_state.abandoned.fetch_add(1) + 1;
    calls_update(w.get(), nullptr, 1);

    http_reply reply{};
    const std::string &own = kind == HTTP_EXEC_TIMEOUT ? w->on_timeout : w->on_close;
    char *text = own.empty() ? nullptr : (char *)malloc(own.size() + 1);
    if (text) {
        memcpy(text, own.c_str(), own.size() + 1);
        reply.status = 200;
        reply.body = text;
        reply.body_len = own.size();
        reply.add_newline = 1;
        reply.owned = text;
    } else {
        http_server_reply_fixed(&reply, 200, kind == HTTP_EXEC_TIMEOUT ? BODY_ABANDONED_TIMEOUT : BODY_ABANDONED_CLOSING);
    }
    if (kind == HTTP_EXEC_TIMEOUT)
        xll_logf(xll_log, 320,
                 "http_server: %s ran past its time limit of %g s and did not stop within %u s of the interrupt; "
                 "its worker is abandoned (%d of at most %d)",
                 c->name, c->limit_ms / 1000.0, HTTP_EXEC_GRACE_MS / 1000, count, HTTP_EXEC_MAX_ABANDONED);
    else
        xll_logf(xll_log, 320,
                 "http_server: %s did not stop within %u s of the close; its worker is abandoned (%d of at most %d)",
                 c->name, HTTP_EXEC_GRACE_MS / 1000, count, HTTP_EXEC_MAX_ABANDONED);
    c->reply = reply;
    c->slot = SLOT_DONE;
    core_reply_ready(c);
}

// Serves requests until the runner ends or the worker is abandoned.
void worker_serve(exec_core *c, exec_worker *w, http_exec_session *session) {
    std::unique_lock<std::mutex> lock(c->m);
    auto has_work = [c, w] {
        return w->abandoned || c->ending || (c->slot == SLOT_QUEUED && c->current.get() == w);
    };
    for (;;) {
        if (spin_allowed && !has_work()) {
            // Awake a little longer: the next request of an agent that sends
            // them one after another is taken without a wake-up.
            lock.unlock();
            clock_type::time_point until = clock_type::now() + std::chrono::microseconds(HTTP_EXEC_SPIN_US);
            while (!c->queued_hint.load(std::memory_order_acquire) && clock_type::now() < until) spin_pause();
            lock.lock();
        }
        c->work_cv.wait(lock, has_work);
        if (w->abandoned || c->slot != SLOT_QUEUED || c->current.get() != w) return;
        c->queued_hint.store(0, std::memory_order_relaxed);
        http_reply reply{};
        if (c->ending) {
            http_server_reply_fixed(&reply, 200, BODY_CLOSING);
        } else {
            // The default limit, armed here; Python narrows or widens it once
            // it has read the body.
            c->slot = SLOT_RUNNING;
            c->started = clock_type::now();
            c->limit_ms = HTTP_EXEC_DEFAULT_MS;
            c->deadline = c->started + milliseconds(HTTP_EXEC_DEFAULT_MS);
            c->interrupt_kind = 0;
            c->interrupted = 0;
            w->reported = 0;
            w->on_timeout.clear();
            w->on_close.clear();
            w->watch.delivered.store(0);
            unsigned long long seq = c->seq;
            const http_exec_target *target = c->target;
            std::string body;
            body.swap(c->body);
            int has_backslash = c->body_backslash;
            char name[NAME_CAP];
            memcpy(name, c->name, sizeof name);
            clock_type::time_point started = c->started;
            // Requests one after another find the watchdog waiting for an
            // earlier call's deadline, which comes first: it is woken only
            // when this one's would otherwise pass unseen.
            if (c->deadline < c->watch_until) c->watch_cv.notify_all();
            lock.unlock();
            calls_enter(w, name, started);
            http_server_exec_call(target, body.data(), body.size() - HTTP_EXEC_BODY_PAD, has_backslash, &reply, session,
                                  &w->watch, seq);
            calls_leave(w);
            body = std::string();
            lock.lock();
            if (w->abandoned) {
                // Its client was answered when it was abandoned.
                http_server_reply_release(&reply);
                return;
            }
        }
        c->reply = reply;
        c->slot = SLOT_DONE;
        // Under the lock: once finish has seen the reply, done has been
        // called, so the transport's loop is still there to hear of it.
        core_reply_ready(c);
        // The watchdog is not woken for the end of a call: waiting for its
        // deadline, it finds the call over when that comes, and a new call
        // wakes it as it starts if it must. Waking it here cost every
        // request a thread switch.
    }
}

void worker_main(std::shared_ptr<exec_core> core, std::shared_ptr<exec_worker> self) {
    exec_core *c = core.get();
    exec_worker *w = self.get();
    worker_self = w;
    worker_core = c;
    http_exec_session session{};
    // Nothing may leave a thread body inside Excel: std::terminate would end
    // the process.
    try {
        worker_serve(c, w, &session);
    } catch (...) {
        xll_log("http_server: the exec worker failed and ends");
    }
    worker_self = nullptr;
    worker_core = nullptr;
    http_server_exec_session_end(&session);
    int abandoned = 0;
    try {
        std::lock_guard<std::mutex> lock(c->m);
        abandoned = w->abandoned;
        w->exited = 1;
    } catch (...) {
    }
    c->exit_cv.notify_all();
    if (abandoned) {
        int left = worker_state.abandoned.fetch_sub(1) - 1;
        xll_logf(xll_log, 320, "http_server: the abandoned %s ended after %.1f s (%d abandoned still running)",
                 w->name, seconds_since(w->started), left);
    }
}

void watchdog_serve(exec_core *c) {
    std::unique_lock<std::mutex> lock(c->m);
    for (;;) {
        if (c->slot != SLOT_RUNNING) {
            if (c->ending) return;
            c->watch_until = clock_type::time_point::max();
            c->watch_cv.wait(lock);
            continue;
        }
        clock_type::time_point now = clock_type::now();
        int kind = c->ending ? HTTP_EXEC_CLOSING : now >= c->deadline ? HTTP_EXEC_TIMEOUT : 0;
        if (!kind) {
            c->watch_until = c->deadline;
            c->watch_cv.wait_until(lock, c->deadline);
            continue;
        }
        if (c->interrupt_kind != kind) {
            c->interrupt_kind = kind;
            c->interrupted = 0;
        }
        // The grace counts from the first interrupt that got through: code
        // that held the interpreter lock until now has only just received it.
        clock_type::time_point give_up = c->interrupted_at + milliseconds(HTTP_EXEC_GRACE_MS);
        if (c->interrupted && now >= give_up) {
            exec_abandon(c, kind);
            continue;
        }
        unsigned long long seq = c->seq;
        const http_exec_target *target = c->target;
        std::shared_ptr<exec_worker> w = c->current;  // kept alive while its watch is used
        lock.unlock();
        // Takes the interpreter lock: code holding it in one long C call
        // holds this thread too (a stop then gives up on it by itself).
        http_server_exec_interrupt(target, &w->watch, seq, kind);
        lock.lock();
        now = clock_type::now();
        if (c->seq == seq && c->interrupt_kind == kind && !c->interrupted) {
            c->interrupted = 1;
            c->interrupted_at = now;
            give_up = now + milliseconds(HTTP_EXEC_GRACE_MS);
        }
        // Code that catches the interrupt and goes on gets it again; the end
        // of the call, or a stop after a timeout, wakes this wait at once.
        clock_type::time_point next = now + milliseconds(HTTP_EXEC_REPEAT_MS);
        c->watch_until = next < give_up ? next : give_up;
        c->watch_cv.wait_until(lock, c->watch_until, [&] {
            return c->slot != SLOT_RUNNING || c->seq != seq || (c->ending && kind != HTTP_EXEC_CLOSING);
        });
    }
}

void watchdog_main(std::shared_ptr<exec_core> core) {
    exec_core *c = core.get();
    try {
        watchdog_serve(c);
    } catch (...) {
        xll_log("http_server: the exec watchdog failed and ends");
    }
    try {
        std::lock_guard<std::mutex> lock(c->m);
        c->watchdog_exited = 1;
    } catch (...) {
    }
    c->exit_cv.notify_all();
}

void reply_busy(http_reply *out, const char *name, double seconds) {
    http_server_exec_busy_body(name, seconds, out->text, sizeof out->text);
    out->status = 503;
    out->body = out->text;
    out->body_len = strlen(out->text);
    out->add_newline = 0;
    out->owned = nullptr;
    out->exec = nullptr;
}

}  // namespace

struct http_exec_runner {
    std::shared_ptr<exec_core> core;
};

http_exec_runner *http_server_exec_runner_create(void (*done)(void *), void *arg) {
    http_exec_runner *r = new (std::nothrow) http_exec_runner();
    if (!r) return nullptr;
    try {
        r->core = std::make_shared<exec_core>();
    } catch (...) {
        delete r;
        return nullptr;
    }
    r->core->done = done;
    r->core->done_arg = arg;
    return r;
}

int http_server_exec_runner_submit(http_exec_runner *r, const http_exec_target *target, std::string &body,
                                   int has_backslash, int awaited, http_reply *refusal) {
    // Within the memory the transport reserved for it.
    try {
        body.append(HTTP_EXEC_BODY_PAD, '\0');
    } catch (...) {
        http_server_reply_fixed(refusal, 500, BODY_OUT_OF_MEMORY);
        return 0;
    }
    exec_core *c = r->core.get();
    std::lock_guard<std::mutex> lock(c->m);
    if (c->slot != SLOT_FREE) {
        reply_busy(refusal, c->name, c->slot == SLOT_QUEUED ? 0.0 : seconds_since(c->started));
        return 0;
    }
    if (c->ending) {
        http_server_reply_fixed(refusal, 200, BODY_CLOSING);
        return 0;
    }
    if (!c->current) {
        // A fresh worker, unless the abandoned ones are at their cap: then
        // nothing new runs until one of them ends.
        if (worker_state.abandoned.load() >= HTTP_EXEC_MAX_ABANDONED) {
            http_server_reply_fixed(refusal, 503, BODY_TOO_MANY_ABANDONED);
            return 0;
        }
        try {
            std::shared_ptr<exec_worker> w = std::make_shared<exec_worker>();
            w->thread = std::thread(worker_main, r->core, w);
            c->current = std::move(w);
        } catch (...) {
            xll_log("http_server: the exec worker could not be started");
            http_server_reply_fixed(refusal, 500, BODY_NO_WORKER);
            return 0;
        }
    }
    if (!c->watchdog_made) {
        try {
            c->watchdog = std::thread(watchdog_main, r->core);
            c->watchdog_made = 1;
        } catch (...) {
            // Without it no limit holds: run nothing.
            xll_log("http_server: the exec watchdog could not be started");
            http_server_reply_fixed(refusal, 500, BODY_NO_WORKER);
            return 0;
        }
    }
    c->target = target;
    c->body.swap(body);
    c->body_backslash = has_backslash;
    c->seq = worker_state.requests.fetch_add(1) + 1;
    snprintf(c->name, sizeof c->name, "%s request %llu", target->path, c->seq);
    c->slot = SLOT_QUEUED;
    // Set with the request, under the lock, so the worker never calls done
    // for a reply that http_server_exec_runner_await takes.
    c->awaited = awaited;
    c->done_hint.store(0, std::memory_order_relaxed);
    c->queued_hint.store(1, std::memory_order_release);
    // Only the worker: the watchdog has nothing to time until the call runs,
    // and the worker wakes it then. A worker still awake is not waiting on
    // the condition, and the notify then makes no system call.
    c->work_cv.notify_all();
    return 1;
}

int http_server_exec_runner_await(http_exec_runner *r, http_reply *out) {
    exec_core *c = r->core.get();
    if (spin_allowed) {
        clock_type::time_point until = clock_type::now() + std::chrono::microseconds(HTTP_EXEC_SPIN_US);
        while (!c->done_hint.load(std::memory_order_acquire) && clock_type::now() < until) spin_pause();
    }
    std::lock_guard<std::mutex> lock(c->m);
    c->awaited = 0;
    if (c->slot != SLOT_DONE) return 0;  // done is called when it is
    *out = c->reply;
    c->reply = http_reply{};
    c->slot = SLOT_FREE;
    return 1;
}

void http_server_exec_runner_take(http_exec_runner *r, http_reply *out) {
    exec_core *c = r->core.get();
    std::lock_guard<std::mutex> lock(c->m);
    if (c->slot != SLOT_DONE) {
        http_server_reply_fixed(out, 500, BODY_NO_WORKER);
        return;
    }
    *out = c->reply;
    c->reply = http_reply{};
    c->slot = SLOT_FREE;
}

void http_server_exec_runner_finish(http_exec_runner *r) {
    exec_core *c = r->core.get();
    std::unique_lock<std::mutex> lock(c->m);
    c->ending = 1;
    c->ending_at = clock_type::now();
    c->work_cv.notify_all();
    c->watch_cv.notify_all();
    // The watchdog interrupts the call; one blocked in C is given up on here
    // too, should the watchdog itself wait for the interpreter lock.
    c->work_cv.wait_for(lock, milliseconds(HTTP_EXEC_GRACE_MS),
                        [c] { return c->slot != SLOT_QUEUED && c->slot != SLOT_RUNNING; });
    if (c->slot == SLOT_RUNNING) exec_abandon(c, HTTP_EXEC_CLOSING);
    if (c->slot == SLOT_QUEUED) {
        // Never taken up (its worker is gone): answered here.
        c->body = std::string();
        http_server_reply_fixed(&c->reply, 200, BODY_CLOSING);
        c->slot = SLOT_DONE;
        core_reply_ready(c);
    }
    c->done = nullptr;
}

void http_server_exec_runner_destroy(http_exec_runner *r) {
    exec_core *c = r->core.get();
    std::thread watchdog, worker;
    {
        std::unique_lock<std::mutex> lock(c->m);
        c->ending = 1;
        c->done = nullptr;
        c->work_cv.notify_all();
        c->watch_cv.notify_all();
        std::shared_ptr<exec_worker> w = c->current;
        c->exit_cv.wait_for(lock, EXIT_WAIT, [c, &w] {
            return (!c->watchdog_made || c->watchdog_exited) && (!w || w->exited);
        });
        // An ended thread is joined; one still waiting (for the interpreter
        // lock, held by code in a long C call) is left to end on its own.
        if (c->watchdog_made && c->watchdog.joinable()) {
            if (c->watchdog_exited) watchdog = std::move(c->watchdog);
            else c->watchdog.detach();
        }
        if (w && w->thread.joinable()) {
            if (w->exited) worker = std::move(w->thread);
            else w->thread.detach();
        }
        http_server_reply_release(&c->reply);
    }
    if (watchdog.joinable()) watchdog.join();
    if (worker.joinable()) worker.join();
    delete r;
}

int http_server_exec_report_limit(unsigned ms, const char *label, const char *on_timeout, const char *on_close) {
    exec_worker *w = worker_self;
    exec_core *c = worker_core;
    if (!w || !c) return 0;
    std::lock_guard<std::mutex> lock(c->m);
    if (w->abandoned || c->current.get() != w || c->slot != SLOT_RUNNING || w->reported) return 0;
    w->reported = 1;
    try {
        w->on_timeout = on_timeout ? on_timeout : "";
        w->on_close = on_close ? on_close : "";
    } catch (...) {
        w->on_timeout.clear();
        w->on_close.clear();
    }
    if (label && label[0]) {
        char what[HTTP_EXEC_LABEL_CAP];
        label_copy(what, sizeof what, label);
        snprintf(c->name, sizeof c->name, "%s request %llu: %s", c->target->path, c->seq, what);
        calls_update(w, c->name, 0);
    }
    clock_type::time_point deadline = c->started + milliseconds(ms);
    c->limit_ms = ms;
    c->deadline = deadline;
    if (deadline < c->watch_until) c->watch_cv.notify_all();
    return 1;
}

size_t http_server_exec_busy_body(const char *name, double seconds, char *out, size_t cap) {
    if (cap == 0) return 0;
    char escaped[NAME_CAP * 6];
    http_server_json_escape(name, escaped, sizeof escaped);
    int n = snprintf(out, cap, "{\"ok\":false,\"error\":\"busy\",\"running\":\"%s\",\"seconds\":%.1f}\n", escaped,
                     seconds < 0 ? 0.0 : seconds);
    if (n < 0 || (size_t)n >= cap) n = snprintf(out, cap, "{\"ok\":false,\"error\":\"busy\"}\n");
    if (n < 0) n = 0;
    return (size_t)n < cap ? (size_t)n : cap - 1;
}

int http_server_agent_in_python(void) { return worker_state.in_python.load(std::memory_order_relaxed) > 0; }

void http_server_agent_describe(char *out, size_t cap) {
    if (cap == 0) return;
    out[0] = 0;
    std::lock_guard<std::mutex> lock(worker_state.guard);
    size_t used = 0;
    for (const call_entry &e : worker_state.calls) {
        if (!e.owner || used + 1 >= cap) continue;
        int n = snprintf(out + used, cap - used, "%s%s (running %.1f s%s)", used ? "; " : "", e.name,
                         seconds_since(e.started), e.abandoned ? ", abandoned" : "");
        if (n < 0) break;
        used += (size_t)n < cap - used ? (size_t)n : cap - used - 1;
    }
    if (used) return;
    if (worker_state.last[0]) snprintf(out, cap, "none now; the last was %s", worker_state.last);
    else snprintf(out, cap, "none");
}
