// The queue of main-thread jobs: waiters that give up, the close that fails
// what waits, the per-tick budget, refusals. The test's own thread plays
// Excel's main thread (it opens the queue and drains it); each case runs in
// its own process, so the queue starts closed and empty every time.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <chrono>
#include <thread>
#include <vector>

#include "excel_jobs.h"

namespace {

struct probe {
    std::atomic<int> runs{0};
    std::atomic<int> releases{0};
    int order = 0;                    // position among the runs, 1-based; 0 if it never ran
    int sleep_ms = 0;                 // how long its run takes
    std::atomic<int> *gate = nullptr;  // when set, the run waits until it is 1
    std::atomic<int> *started = nullptr;
};
std::atomic<int> run_counter{0};

int probe_run(void *context) {
    probe *p = static_cast<probe *>(context);
    if (p->started) *p->started = 1;
    if (p->gate)
        while (!p->gate->load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (p->sleep_ms) std::this_thread::sleep_for(std::chrono::milliseconds(p->sleep_ms));
    p->order = ++run_counter;
    p->runs++;
    return 1;
}

void probe_release(void *context) { static_cast<probe *>(context)->releases++; }

// Submits from another thread: the opening thread is refused as Excel's own.
long submit_off_thread(probe *p) {
    long id = 0;
    std::thread([&] {
        excel_jobs_task task = {probe_run, probe_release, p};
        id = excel_jobs_submit(&task);
    }).join();
    return id;
}

int wait_off_thread(long id, unsigned ms, void **context) {
    int seen = -1;
    std::thread([&] { seen = excel_jobs_wait(id, ms, context); }).join();
    return seen;
}

TEST(ExcelJobs, waiter_that_times_out_and_cancels_leaves_nothing_to_run) {
    excel_jobs_open();
    probe p;
    long id = submit_off_thread(&p);
    ASSERT_GT(id, 0);
    void *context = nullptr;
    EXPECT_EQ(wait_off_thread(id, 20, &context), EXCEL_JOBS_PENDING);
    EXPECT_EQ(context, nullptr);
    EXPECT_EQ(excel_jobs_cancel(id), 0) << "a job that never started";
    EXPECT_EQ(p.releases, 1) << "the queue releases what it was given up on";
    EXPECT_EQ(excel_jobs_drain(EXCEL_JOBS_TICK_BUDGET_MS), 0);
    EXPECT_EQ(p.runs, 0) << "a cancelled job must never touch the workbook";
    EXPECT_EQ(wait_off_thread(id, 0, &context), EXCEL_JOBS_UNKNOWN);
}

TEST(ExcelJobs, waiter_gets_its_context_back_once_the_job_ran) {
    excel_jobs_open();
    probe p;
    long id = submit_off_thread(&p);
    void *context = nullptr;
    int seen = -1;
    std::thread waiter([&] { seen = excel_jobs_wait(id, 60000, &context); });
    while (excel_jobs_drain(EXCEL_JOBS_TICK_BUDGET_MS) == 0 && p.runs == 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    waiter.join();
    EXPECT_EQ(seen, EXCEL_JOBS_RAN);
    EXPECT_EQ(context, &p);
    EXPECT_EQ(p.runs, 1);
    EXPECT_EQ(p.releases, 0) << "the waiter owns the context again, the queue must not free it";
    EXPECT_EQ(excel_jobs_cancel(id), 0) << "a taken job is gone";
}

TEST(ExcelJobs, close_fails_every_waiting_job_and_wakes_its_waiter) {
    excel_jobs_open();
    probe a, b;
    long ia = submit_off_thread(&a), ib = submit_off_thread(&b);
    void *ca = nullptr;
    int seen = -1;
    // Waits far longer than the test may take: only the close can end it.
    std::thread waiter([&] { seen = excel_jobs_wait(ia, 600000, &ca); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(excel_jobs_cancel(ib), 0);  // the other waiter gave up before the close
    excel_jobs_close();
    waiter.join();
    EXPECT_EQ(seen, EXCEL_JOBS_CLOSED);
    EXPECT_EQ(ca, &a);
    EXPECT_EQ(b.releases, 1);
    EXPECT_EQ(excel_jobs_drain(EXCEL_JOBS_TICK_BUDGET_MS), 0);
    EXPECT_EQ(a.runs + b.runs, 0) << "nothing runs after the close";
    probe late;
    EXPECT_EQ(submit_off_thread(&late), EXCEL_JOBS_NOT_OPEN) << "the queue must not outlive xlAutoClose";
    excel_jobs_open();
    EXPECT_GT(submit_off_thread(&late), 0) << "a later open takes requests again";
}

TEST(ExcelJobs, drain_keeps_to_its_budget_and_the_next_tick_continues_in_order) {
    excel_jobs_open();
    std::vector<probe> jobs(5);
    for (probe &p : jobs) {
        p.sleep_ms = 60;
        ASSERT_GT(submit_off_thread(&p), 0);
    }
    // 60 ms each against 100 ms: the second may start, a third never.
    EXPECT_EQ(excel_jobs_drain(100), 1) << "jobs still wait: the tick must come back at once";
    int ran = run_counter;
    EXPECT_GE(ran, 1);
    EXPECT_LE(ran, 2);
    // A budget of 0 still runs one job per tick: none can starve.
    EXPECT_EQ(excel_jobs_drain(0), 1);
    EXPECT_EQ(run_counter, ran + 1);
    while (excel_jobs_drain(0)) {
    }
    for (size_t i = 0; i < jobs.size(); i++) EXPECT_EQ(jobs[i].order, (int)i + 1) << "first submitted, first run";
}

TEST(ExcelJobs, job_submitted_on_the_main_thread_is_refused_not_deadlocked) {
    excel_jobs_open();
    probe p;
    excel_jobs_task task = {probe_run, probe_release, &p};
    EXPECT_EQ(excel_jobs_submit(&task), EXCEL_JOBS_ON_MAIN_THREAD);
    EXPECT_EQ(p.releases, 0) << "a refused context stays the caller's";
    EXPECT_NE(std::string(excel_jobs_refusal_text(EXCEL_JOBS_ON_MAIN_THREAD)).find("worksheet function"),
              std::string::npos);
}

TEST(ExcelJobs, cancel_while_running_releases_the_job_when_it_ends) {
    excel_jobs_open();
    std::atomic<int> gate{0}, started{0};
    probe p;
    p.gate = &gate;
    p.started = &started;
    long id = submit_off_thread(&p);
    int had_started = -1;
    std::thread giver_up([&] {
        while (!started) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        had_started = excel_jobs_cancel(id);
        gate = 1;
    });
    excel_jobs_drain(EXCEL_JOBS_TICK_BUDGET_MS);
    giver_up.join();
    EXPECT_EQ(had_started, 1) << "the waiter must hear that the job may take effect";
    EXPECT_EQ(p.runs, 1);
    EXPECT_EQ(p.releases, 1) << "released exactly once, by the main thread after the run";
}

TEST(ExcelJobs, queue_refuses_more_than_its_table_holds) {
    excel_jobs_open();
    std::vector<probe> jobs(EXCEL_JOBS_MAX + 1);
    for (int i = 0; i < EXCEL_JOBS_MAX; i++) ASSERT_GT(submit_off_thread(&jobs[(size_t)i]), 0);
    EXPECT_EQ(submit_off_thread(&jobs.back()), EXCEL_JOBS_FULL);
    EXPECT_EQ(excel_jobs_drain(0), 1);
    void *context = nullptr;
    EXPECT_EQ(wait_off_thread(1, 0, &context), EXCEL_JOBS_RAN);
    EXPECT_GT(submit_off_thread(&jobs.back()), 0) << "a taken job frees its place";
}

}  // namespace
