#include "common/worker_pool.h"

#include <system_error>
#include <thread>
#include <utility>

namespace zcf {

WorkerPool::WorkerPool(std::size_t max_threads, std::size_t max_queued)
    : max_threads_(max_threads), max_queued_(max_queued) {}

WorkerPool::Submitted WorkerPool::submit(std::function<void()> job) {
    std::unique_lock<std::mutex> guard(lock_);
    if (queue_.size() >= max_queued_) return Submitted::queue_full;
    queue_.push_back(std::move(job));
    // Every idle worker may already have been woken for a job queued before this one.
    if (idle_ > queue_.size() - 1) {
        ready_.notify_one();
        return Submitted::queued;
    }
    if (threads_ < max_threads_) {
        try {
            std::thread(&WorkerPool::work, this).detach();
            ++threads_;
        } catch (const std::system_error&) {
            // A thread that cannot be started leaves the job to the workers there are, if any.
            if (threads_ == 0) {
                queue_.pop_back();
                return Submitted::no_thread;
            }
        }
    }
    return Submitted::queued;
}

std::size_t WorkerPool::threads() {
    std::lock_guard<std::mutex> guard(lock_);
    return threads_;
}

void WorkerPool::work() {
    std::unique_lock<std::mutex> guard(lock_);
    for (;;) {
        ++idle_;
        ready_.wait(guard, [this] { return !queue_.empty(); });
        --idle_;
        std::function<void()> job = std::move(queue_.front());
        queue_.pop_front();
        guard.unlock();
        job();
        job = nullptr;  // the job's captures go before the lock is taken again
        guard.lock();
    }
}

}  // namespace zcf
