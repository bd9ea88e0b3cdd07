// A fixed number of worker threads behind a bounded queue, for commands whose answers come later.
// Threads start on demand up to the limit and then stay, waiting for work; they are never joined
// (the process ends when its input ends, whatever they are doing).
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>

namespace zcf {

class WorkerPool {
public:
    WorkerPool(std::size_t max_threads, std::size_t max_queued);
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    enum class Submitted { queued, queue_full, no_thread };
    // Queues `job` for a worker. `queue_full`: `max_queued` jobs already wait; `no_thread`: no
    // worker exists and none could be started. In both cases `job` is not kept. A job must not
    // throw. May throw std::bad_alloc (nothing is queued then).
    Submitted submit(std::function<void()> job);

    // Worker threads started so far (never more than `max_threads`).
    std::size_t threads();

private:
    void work();

    const std::size_t max_threads_;
    const std::size_t max_queued_;
    std::mutex lock_;
    std::condition_variable ready_;
    std::deque<std::function<void()>> queue_;
    std::size_t threads_ = 0;
    std::size_t idle_ = 0;
};

}  // namespace zcf
