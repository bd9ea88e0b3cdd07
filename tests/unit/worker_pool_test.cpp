#include "common/worker_pool.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace zcf {
namespace {

TEST(WorkerPool, RefusesPastItsQueueAndRunsEveryQueuedJobOnce) {
    WorkerPool* pool = new WorkerPool(2, 3);  // never destroyed, as its threads are never joined
    std::mutex lock;
    std::condition_variable changed;
    int running = 0, done = 0;
    bool release = false;
    const auto job = [&] {
        std::unique_lock<std::mutex> guard(lock);
        ++running;
        changed.notify_all();
        changed.wait(guard, [&] { return release; });
        ++done;
        changed.notify_all();
    };
    for (int i = 0; i < 2; ++i) ASSERT_EQ(pool->submit(job), WorkerPool::Submitted::queued);
    {
        std::unique_lock<std::mutex> guard(lock);
        ASSERT_TRUE(changed.wait_for(guard, std::chrono::seconds(10), [&] { return running == 2; }));
    }
    // Both workers are busy: three more wait, the sixth is refused and not kept.
    for (int i = 0; i < 3; ++i) EXPECT_EQ(pool->submit(job), WorkerPool::Submitted::queued);
    EXPECT_EQ(pool->submit(job), WorkerPool::Submitted::queue_full);
    EXPECT_EQ(pool->threads(), 2u);
    {
        std::unique_lock<std::mutex> guard(lock);
        release = true;
        changed.notify_all();
        ASSERT_TRUE(changed.wait_for(guard, std::chrono::seconds(10), [&] { return done == 5; }));
    }
    // The queue has room again, and idle workers take new work without new threads.
    EXPECT_EQ(pool->submit(job), WorkerPool::Submitted::queued);
    std::unique_lock<std::mutex> guard(lock);
    ASSERT_TRUE(changed.wait_for(guard, std::chrono::seconds(10), [&] { return done == 6; }));
    EXPECT_EQ(running, 6);
    EXPECT_EQ(pool->threads(), 2u);
}

}  // namespace
}  // namespace zcf
