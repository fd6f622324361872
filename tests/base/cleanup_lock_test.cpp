// The cleanup lock as the console control handlers take it: a handler may still
// run when the entry deletes the lock at the end of the run.
#include "base/cleanup_lock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

bool wait_until(const std::atomic<bool> &flag, int ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!flag.load()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

TEST(CleanupLock, DeletionWaitsForAHandlerInsideAndLaterHandlersFindItGone) {
    ASSERT_EQ(0, create_cleanup_lock());
    std::atomic<bool> inside{false}, release{false}, deleted{false};
    std::thread handler([&] {
        ASSERT_TRUE(enter_cleanup_lock_in_handler());
        inside = true;
        while (!release.load()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        leave_cleanup_lock_in_handler();
    });
    ASSERT_TRUE(wait_until(inside, 10000));
    std::thread entry([&] {
        delete_cleanup_lock();
        deleted = true;
    });
    // Not deleted under the handler's feet, however long the handler takes.
    EXPECT_FALSE(wait_until(deleted, 500));
    release = true;
    EXPECT_TRUE(wait_until(deleted, 10000));
    handler.join();
    entry.join();

    // A handler that comes after the deletion touches nothing.
    EXPECT_FALSE(enter_cleanup_lock_in_handler());

    // A new lock serves handlers again.
    ASSERT_EQ(0, create_cleanup_lock());
    ASSERT_TRUE(enter_cleanup_lock_in_handler());
    leave_cleanup_lock_in_handler();
    delete_cleanup_lock();
}

}  // namespace
