// The queue of main-thread jobs: a fixed table under one lock, drained by the
// tick's hook on Excel's main thread.
#include "excel_jobs.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "xll_log.h"
#include "xll_tick.h"
#include "platform/platform.h"

namespace {

typedef std::chrono::steady_clock jobs_clock;

// After the last job the tick keeps its busy pace (20 runs a second) for
// this long: an agent's requests come in bursts (read, compute, write), and
// the next one should not wait for the tick's one-second pace.
constexpr auto EXCEL_JOBS_LINGER = std::chrono::milliseconds(2000);

enum jobs_entry_state {
    JOBS_FREE = 0,  // unused
    JOBS_QUEUED,    // waiting for the main thread
    JOBS_RUNNING,   // its run is under way on the main thread
    JOBS_ENDED      // ran or was failed by the close; waits for its waiter
};

// One job of the table. Every field is read and written under jobs.lock,
// except that the main thread calls task.run without it while the job is
// JOBS_RUNNING (nobody frees a running entry).
struct jobs_entry {
    long id;               // the waiter's handle; 0 when free
    int state;             // a jobs_entry_state
    int outcome;           // EXCEL_JOBS_RAN or EXCEL_JOBS_CLOSED once ended
    int abandoned;         // the waiter gave up: whoever ends the job releases it
    excel_jobs_task task;  // what to run, and its context
};

struct excel_jobs_state {
    std::mutex lock;                           // guards open, next_id, jobs
    std::condition_variable ended;             // notified after a job ends; waiters wait on it with `lock`
    int open;                                  // any thread reads, main thread writes; under `lock`
    long next_id;                              // submitting threads, under `lock`
    jobs_entry jobs[EXCEL_JOBS_MAX];           // all threads, under `lock` (see jobs_entry)
    std::atomic<std::thread::id> main_thread;  // written by the main thread at open, read by submitters
    jobs_clock::time_point last_job;           // main thread only: when the latest job ended
    int hooked;                                // main thread only: the drain is a tick hook
};
plat_forever<excel_jobs_state> jobs_record;
excel_jobs_state &jobs = jobs_record.value;

// Ends an entry's life: its context released, the entry free. Lock held.
void jobs_discard(jobs_entry *e) {
    if (e->task.release) e->task.release(e->task.context);
    *e = jobs_entry{};
}

jobs_entry *jobs_find(long id) {
    if (id <= 0) return nullptr;
    for (jobs_entry &e : jobs.jobs)
        if (e.id == id) return &e;
    return nullptr;
}

// The tick's hook. Runs jobs within the budget; asks for the busy pace while
// jobs wait or one ended a moment ago.
int jobs_tick_hook(void) {
    try {
        if (excel_jobs_drain(EXCEL_JOBS_TICK_BUDGET_MS)) return 1;
        return jobs_clock::now() - jobs.last_job < EXCEL_JOBS_LINGER;
    } catch (...) {
        xll_log("excel_jobs: unexpected C++ exception in the tick");
        return 0;
    }
}

}  // namespace

void excel_jobs_open(void) {
    jobs.main_thread.store(std::this_thread::get_id());
    if (!jobs.hooked) jobs.hooked = xll_tick_add_hook(jobs_tick_hook);
    std::lock_guard<std::mutex> hold(jobs.lock);
    jobs.open = 1;
}

void excel_jobs_close(void) {
    int failed = 0;
    {
        std::lock_guard<std::mutex> hold(jobs.lock);
        jobs.open = 0;
        for (jobs_entry &e : jobs.jobs) {
            if (e.state != JOBS_QUEUED) continue;
            failed++;
            if (e.abandoned) {
                jobs_discard(&e);
                continue;
            }
            e.state = JOBS_ENDED;
            e.outcome = EXCEL_JOBS_CLOSED;
        }
        // Logged before the lock is let go: a waiter sees its job closed
        // only under the lock, so the cause is in the log before anything a
        // waiter logs about it.
        if (failed) xll_logf(xll_log, 96, "excel_jobs: %d waiting request(s) failed: the add-in is closing", failed);
    }
    jobs.ended.notify_all();
}

long excel_jobs_submit(const excel_jobs_task *task) {
    if (std::this_thread::get_id() == jobs.main_thread.load()) return EXCEL_JOBS_ON_MAIN_THREAD;
    std::lock_guard<std::mutex> hold(jobs.lock);
    if (!jobs.open) return EXCEL_JOBS_NOT_OPEN;
    for (jobs_entry &e : jobs.jobs) {
        if (e.state != JOBS_FREE) continue;
        e.id = ++jobs.next_id;
        e.state = JOBS_QUEUED;
        e.outcome = 0;
        e.abandoned = 0;
        e.task = *task;
        return e.id;
    }
    return EXCEL_JOBS_FULL;
}

int excel_jobs_wait(long id, unsigned ms, void **context) {
    std::unique_lock<std::mutex> hold(jobs.lock);
    jobs_entry *e = jobs_find(id);
    if (!e || e->abandoned) return EXCEL_JOBS_UNKNOWN;
    // The entry stays this job's until its waiter takes it or gives up.
    jobs.ended.wait_for(hold, std::chrono::milliseconds(ms),
                        [e, id] { return e->id != id || e->state == JOBS_ENDED; });
    if (e->id != id || e->abandoned) return EXCEL_JOBS_UNKNOWN;
    if (e->state != JOBS_ENDED) return EXCEL_JOBS_PENDING;
    int outcome = e->outcome;
    *context = e->task.context;
    *e = jobs_entry{};
    return outcome;
}

int excel_jobs_cancel(long id) {
    std::lock_guard<std::mutex> hold(jobs.lock);
    jobs_entry *e = jobs_find(id);
    if (!e || e->abandoned) return 0;
    if (e->state == JOBS_RUNNING) {
        e->abandoned = 1;
        return 1;
    }
    int started = e->state == JOBS_ENDED && e->outcome == EXCEL_JOBS_RAN;
    jobs_discard(e);
    return started;
}

int excel_jobs_drain(unsigned budget_ms) {
    jobs_clock::time_point start = jobs_clock::now();
    auto budget = std::chrono::milliseconds(budget_ms);
    for (int ran = 0;; ran++) {
        jobs_entry *next = nullptr;
        {
            std::lock_guard<std::mutex> hold(jobs.lock);
            for (jobs_entry &e : jobs.jobs)
                if (e.state == JOBS_QUEUED && (!next || e.id < next->id)) next = &e;
            if (!next) return 0;
            if (ran > 0 && jobs_clock::now() - start >= budget) return 1;
            next->state = JOBS_RUNNING;
        }
        // Run without the lock: Excel may take its time, and waiters must be
        // able to give up meanwhile. The entry is not freed while it runs.
        next->task.run(next->task.context);
        jobs.last_job = jobs_clock::now();
        {
            std::lock_guard<std::mutex> hold(jobs.lock);
            if (next->abandoned) {
                jobs_discard(next);
            } else {
                next->state = JOBS_ENDED;
                next->outcome = EXCEL_JOBS_RAN;
            }
        }
        jobs.ended.notify_all();
    }
}

const char *excel_jobs_refusal_text(long code) {
    switch (code) {
    case EXCEL_JOBS_ON_MAIN_THREAD:
        return "tindral_xl.excel cannot be used on Excel's main thread (from a worksheet function, or while the "
               "add-in opens): it waits for that very thread. Use it from agent code (/exec, MCP) or a thread "
               "of your own";
    case EXCEL_JOBS_NOT_OPEN: return "the add-in is not open: Excel's cells cannot be reached";
    case EXCEL_JOBS_FULL: return "too many requests are waiting for Excel (at most 32 at once)";
    default: return "the request was refused";
    }
}
