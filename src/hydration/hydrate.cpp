// "hydrate": brings a whole placeholder onto the disk on a worker of a small fixed pool. The
// content arrives through this process's own fetch callbacks and the parent's "data" answers,
// which the main thread goes on reading meanwhile; the worker writes the request's only answer at
// the end.
#include "common/args.h"
#include "common/emitter.h"
#include "common/open.h"
#include "common/worker_pool.h"
#include "hydration/hydration.h"
#include "platform/platform.h"

#include <boost/json/object.hpp>

#include <new>
#include <optional>
#include <string>

namespace zcf {

namespace json = boost::json;

namespace {

constexpr std::uint32_t HYDRATE_ACCESS = access::FILE_READ_DATA | access::FILE_READ_ATTRIBUTES;

// Each worker waits in the platform until its file is local, so this many files hydrate at once;
// the rest wait their turn in the queue. Enough that a parent may hold many fetches (a slow store,
// a batch it gathers before it answers) without starving the hydrations behind them; bounded, as a
// thread each costs memory.
constexpr std::size_t HYDRATE_THREADS = 64;
constexpr std::size_t HYDRATE_QUEUE = 65536;

WorkerPool& hydrate_pool() {
    // Never destroyed: workers may still run while the process exits.
    static WorkerPool* const HYDRATE_POOL = new WorkerPool(HYDRATE_THREADS, HYDRATE_QUEUE);
    return *HYDRATE_POOL;
}

// The late answer: response-shaped, but a failure carries no "code".
void answer(json::value seq, const std::optional<PlatformError>& error) {
    json::object late;
    late["seq"] = std::move(seq);
    if (error) {
        late["ok"] = false;
        late["error"] = error_message_text(*error);
    } else {
        late["ok"] = true;
        late["result"] = json::object();
    }
    emit(std::move(late));
}

void hydrate(const std::string& path, json::value seq) {
    Expected<FileHandle> file = open(path, HYDRATE_ACCESS);
    if (!file.ok()) {
        answer(std::move(seq), std::move(file.error()));
        return;
    }
    // Synchronous: returns when the file is wholly local or the hydration failed.
    const Hresult result = platform().hydrate_placeholder(file.value().get(), 0, CF_EOF_LENGTH, 0);
    std::optional<PlatformError> error;
    if (result < 0) error = error_from_hresult(result);
    file.value().reset();  // a failed close changes nothing
    answer(std::move(seq), error);
}

// A worker's job: never lets an exception out. When memory runs out on the way, the answer says
// so (once: a failure to write even that leaves the request unanswered, as a lost output would).
void hydrate_job(const std::string& path, const json::value& seq) noexcept {
    try {
        hydrate(path, seq);
    } catch (const std::bad_alloc&) {
        try {
            answer(seq, PlatformError{hr::E_OUTOFMEMORY_CODE, nullptr});
        } catch (...) {
        }
    } catch (...) {
        try {
            answer(seq, PlatformError{hr::E_FAIL_CODE, nullptr});
        } catch (...) {
        }
    }
}

}  // namespace

Outcome cmd_hydrate(const json::value& request) {
    switch (hydrate_pool().submit([path = std::string(text_arg(request, "path")), seq = seq_of(request)] {
        hydrate_job(path, seq);
    })) {
    case WorkerPool::Submitted::queued:
        return Deferred{};  // the worker's late answer is the response
    case WorkerPool::Submitted::queue_full:
        return PlatformError{hresult_from_win32(win32::ERROR_BUSY), nullptr};
    case WorkerPool::Submitted::no_thread:
        break;
    }
    return PlatformError{hr::E_OUTOFMEMORY_CODE, nullptr};
}

std::size_t hydrate_threads() { return hydrate_pool().threads(); }

}  // namespace zcf
