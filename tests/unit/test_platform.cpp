// The platform table itself: every default entry set, and a swapped entry
// restored by plat_reset.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "platform/platform.h"

namespace {

std::atomic<int> exit_done{0};

// Every entry of the table is a pointer to a function; none may be left null.
TEST(plat_table, every_default_entry_is_set) {
    constexpr size_t count = sizeof(plat_api) / sizeof(void (*)(void));
    static_assert(count * sizeof(void (*)(void)) == sizeof(plat_api), "plat_api holds only function pointers");
    void (*entries[count])(void);
    std::memcpy(entries, &plat_defaults, sizeof plat_defaults);
    for (size_t i = 0; i < count; i++) EXPECT_NE(entries[i], nullptr) << "entry " << i;
}

TEST(plat_table, reset_restores_a_swapped_entry_and_leaves_the_defaults_alone) {
    plat.lock_enter = plat_defaults.lock_leave;
    EXPECT_NE(std::memcmp(&plat, &plat_defaults, sizeof plat), 0);
    plat_reset();
    EXPECT_EQ(std::memcmp(&plat, &plat_defaults, sizeof plat), 0);
}

// The four lock calls share one signature: filled by position they could
// trade places and still compile. Entered twice by its owner and left twice,
// the lock must be free for another thread.
TEST(plat_table, lock_calls_do_what_their_names_say) {
    plat_lock lock;
    plat.lock_init(&lock);
    plat.lock_enter(&lock);
    plat.lock_enter(&lock);
    plat.lock_leave(&lock);
    plat.lock_leave(&lock);
    static plat_lock *shared;
    shared = &lock;
    static plat_event entered;
    entered = plat.event_create();
    plat_thread t = plat.thread_create([]() -> unsigned {
        plat.lock_enter(shared);
        plat.event_set(entered);
        plat.lock_leave(shared);
        return 0;
    });
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(plat.event_wait(entered, 5000), PLAT_WAIT_OBJECT_0);
    EXPECT_EQ(plat.thread_wait(t, 5000), PLAT_WAIT_OBJECT_0);
    plat.thread_close(t);
    plat.event_close(entered);
    plat.lock_delete(&lock);
}

// A thread's exit that takes its time: the destructor of a thread-local
// object, which runs after the thread's function has returned.
struct slow_exit {
    bool armed = false;
    ~slow_exit() {
        if (!armed) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        exit_done.store(1);
    }
};
thread_local slow_exit slow_ending;

// WaitForSingleObject on a thread returns once the thread has ended, its exit
// included. The Linux build's wait returned when the thread's function did,
// while the thread still ran its exit: a close could return, and the add-in
// be unloaded, with code of the add-in still running on it.
TEST(plat_table, thread_wait_returns_once_the_thread_has_ended_its_exit_included) {
    exit_done.store(0);
    plat_thread t = plat.thread_create([]() -> unsigned {
        slow_ending.armed = true;
        return 0;
    });
    ASSERT_NE(t, nullptr);
    ASSERT_EQ(plat.thread_wait(t, 5000), PLAT_WAIT_OBJECT_0);
    EXPECT_EQ(exit_done.load(), 1) << "the wait returned while the thread was still ending";
    EXPECT_EQ(plat.thread_wait(t, 0), PLAT_WAIT_OBJECT_0) << "a second wait";
    plat.thread_close(t);
}

}  // namespace
