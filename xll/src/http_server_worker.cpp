// http_server: the exec worker. The Python part of a request runs here, off
// the server's I/O thread, so /ping and /config are answered while it runs;
// a watchdog thread interrupts it when its time limit runs out or the server
// stops. One request at a time: a second is refused as busy, never queued
// behind a call that may not end.
//
// Lock order: the runner's mutex is never held while taking exec_lock or
// the interpreter lock, so the I/O thread never waits on Python.
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <thread>

#include "http_server_exec.h"
#include "xll_log.h"

namespace {

using clock_type = std::chrono::steady_clock;

constexpr char BODY_BUSY[] = "{\"ok\":false,\"error\":\"busy\"}\n";
constexpr char BODY_NO_WORKER[] = "{\"ok\":false,\"error\":\"internal error\"}\n";
constexpr char BODY_CLOSING[] =
    "{\"ok\":false,\"kind\":\"interrupted\",\"error\":\"the add-in closed while the request ran\"}\n";

enum runner_slot { SLOT_FREE, SLOT_QUEUED, SLOT_RUNNING, SLOT_DONE };

}  // namespace

struct http_exec_runner {
    std::mutex m;
    std::condition_variable work_cv;   // the worker: a request or the end; finish: a reply
    std::condition_variable watch_cv;  // the watchdog: a call starting, the stop
    std::thread worker;
    std::thread watchdog;
    int threads_made = 0;  // I/O thread only
    int ending = 0;        // the server stops: interrupt, take nothing more
    int slot = SLOT_FREE;
    const http_exec_target *target = nullptr;
    std::string body;
    clock_type::time_point deadline;
    unsigned long long seq = 0;  // number of the latest request
    http_reply reply{};          // the finished reply while SLOT_DONE
    void (*done)(void *) = nullptr;
    void *done_arg = nullptr;
    http_exec_watch watch;
};

namespace {

void worker_main(http_exec_runner *r) {
    http_exec_session session{};
    std::unique_lock<std::mutex> lock(r->m);
    for (;;) {
        r->work_cv.wait(lock, [r] { return r->slot == SLOT_QUEUED || r->ending; });
        if (r->slot != SLOT_QUEUED) break;
        http_reply reply{};
        if (r->ending) {
            http_server_reply_fixed(&reply, 200, BODY_CLOSING);
        } else {
            r->slot = SLOT_RUNNING;
            unsigned long long seq = r->seq;
            const http_exec_target *target = r->target;
            std::string body;
            body.swap(r->body);
            r->watch_cv.notify_all();
            lock.unlock();
            http_server_exec_call(target, body.c_str(), &reply, &session, &r->watch, seq);
            body = std::string();
            lock.lock();
        }
        r->reply = reply;
        r->slot = SLOT_DONE;
        // Under the lock: once finish has seen the reply, done has been
        // called, so the transport's loop is still there to hear of it.
        r->done(r->done_arg);
        r->work_cv.notify_all();
        // The watchdog is not woken for the end of a call: waiting for its
        // deadline, it finds the call over when that comes, and a new call
        // wakes it as it starts. Waking it here cost every request a thread
        // switch.
    }
    lock.unlock();
    http_server_exec_session_end(&session);
}

void watchdog_main(http_exec_runner *r) {
    std::unique_lock<std::mutex> lock(r->m);
    for (;;) {
        if (r->slot != SLOT_RUNNING) {
            if (r->ending && r->slot != SLOT_QUEUED) break;
            r->watch_cv.wait(lock);
            continue;
        }
        int kind = r->ending ? HTTP_EXEC_CLOSING : clock_type::now() >= r->deadline ? HTTP_EXEC_TIMEOUT : 0;
        if (!kind) {
            r->watch_cv.wait_until(lock, r->deadline);
            continue;
        }
        unsigned long long seq = r->seq;
        const http_exec_target *target = r->target;
        lock.unlock();
        http_server_exec_interrupt(target, &r->watch, seq, kind);
        lock.lock();
        // Code that catches the interrupt and goes on gets it again; the end
        // of the call, or a stop after a timeout, wakes this wait at once.
        r->watch_cv.wait_for(lock, std::chrono::milliseconds(HTTP_EXEC_REPEAT_MS), [&] {
            return r->slot != SLOT_RUNNING || r->seq != seq || (r->ending && kind != HTTP_EXEC_CLOSING);
        });
    }
}

// Starts both threads. 1 when they run; on 0 neither does.
int runner_start_threads(http_exec_runner *r) {
    try {
        r->worker = std::thread(worker_main, r);
    } catch (...) {
        return 0;
    }
    try {
        r->watchdog = std::thread(watchdog_main, r);
    } catch (...) {
        {
            std::lock_guard<std::mutex> lock(r->m);
            r->ending = 1;
        }
        r->work_cv.notify_all();
        r->worker.join();
        r->ending = 0;
        return 0;
    }
    r->threads_made = 1;
    return 1;
}

}  // namespace

http_exec_runner *http_server_exec_runner_create(void (*done)(void *), void *arg) {
    http_exec_runner *r = new (std::nothrow) http_exec_runner();
    if (!r) return nullptr;
    r->done = done;
    r->done_arg = arg;
    return r;
}

int http_server_exec_runner_submit(http_exec_runner *r, const http_exec_target *target, std::string &body,
                                   unsigned timeout_ms, http_reply *refusal) {
    {
        std::lock_guard<std::mutex> lock(r->m);
        if (r->slot != SLOT_FREE) {
            http_server_reply_fixed(refusal, 503, BODY_BUSY);
            return 0;
        }
    }
    if (!r->threads_made && !runner_start_threads(r)) {
        xll_log_raw("http_server: the exec worker could not be started\n");
        http_server_reply_fixed(refusal, 500, BODY_NO_WORKER);
        return 0;
    }
    {
        std::lock_guard<std::mutex> lock(r->m);
        if (r->ending) {
            http_server_reply_fixed(refusal, 200, BODY_CLOSING);
            return 0;
        }
        r->target = target;
        r->body.swap(body);
        r->deadline = clock_type::now() + std::chrono::milliseconds(timeout_ms);
        r->seq++;
        r->watch.delivered.store(0);
        r->slot = SLOT_QUEUED;
    }
    // Only the worker: the watchdog has nothing to time until the call runs,
    // and the worker wakes it then.
    r->work_cv.notify_all();
    return 1;
}

void http_server_exec_runner_take(http_exec_runner *r, http_reply *out) {
    std::lock_guard<std::mutex> lock(r->m);
    if (r->slot != SLOT_DONE) {
        http_server_reply_fixed(out, 500, BODY_NO_WORKER);
        return;
    }
    *out = r->reply;
    r->reply = http_reply{};
    r->slot = SLOT_FREE;
}

void http_server_exec_runner_finish(http_exec_runner *r) {
    std::unique_lock<std::mutex> lock(r->m);
    r->ending = 1;
    r->work_cv.notify_all();
    r->watch_cv.notify_all();
    // No bound: a call blocked in C ends only when it returns; this thread
    // is then the one left behind, not Excel's.
    r->work_cv.wait(lock, [r] { return r->slot != SLOT_QUEUED && r->slot != SLOT_RUNNING; });
}

void http_server_exec_runner_destroy(http_exec_runner *r) {
    {
        std::lock_guard<std::mutex> lock(r->m);
        r->ending = 1;
    }
    r->work_cv.notify_all();
    r->watch_cv.notify_all();
    if (r->threads_made) {
        r->worker.join();
        r->watchdog.join();
    }
    http_server_reply_release(&r->reply);
    delete r;
}
