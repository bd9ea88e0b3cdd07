// platform/linux/cloud: the hydration engine: provider connections, the threads that run
// callbacks, outstanding fetches, the road of a read and its waits, data transfers (CfExecute),
// CfHydratePlaceholder, and the clock of time-outs. POSIX calls are allowed here and only under
// platform/linux.
#include "platform/linux/cloud/front_end.h"
#include "platform/linux/cloud/linux_platform.h"
#include "platform/linux/registry/registry.h"
#include "platform/linux/cloud/engine.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <deque>
#include <fcntl.h>
#include <functional>
#include <map>
#include <sys/file.h>
#include <thread>
#include <unistd.h>
#include <unordered_map>

namespace zcf::linux_platform {

// ---- The clock of time-outs ----------------------------------------------------------------

namespace {
std::atomic<bool> MANUAL{false};
std::atomic<Clock::rep> MANUAL_NOW{0};  // the manual clock's time since the steady clock's epoch
std::atomic<std::uint64_t> TICKS{0};    // changed under the state lock
}  // namespace

Clock::time_point engine_now() {
    if (MANUAL.load()) return Clock::time_point(Clock::duration(MANUAL_NOW.load()));
    return Clock::now();
}

bool manual_clock() { return MANUAL.load(); }
std::uint64_t clock_ticks() { return TICKS.load(); }

namespace {

// ---- Callback threads ----------------------------------------------------------------------

thread_local bool ON_CALLBACK_THREAD = false;

// Runs callbacks on threads of its own: an idle thread takes the next one, and a new thread starts
// whenever all are busy, so any number of callbacks run at once and none waits for another.
class CallbackRunner {
public:
    void post(std::function<void()> task) {
        std::lock_guard lock(mutex_);
        queue_.push_back(std::move(task));
        if (queue_.size() > idle_) {
            std::thread(&CallbackRunner::work, this).detach();
        } else {
            ready_.notify_one();
        }
    }

private:
    void work() {
        ON_CALLBACK_THREAD = true;
        std::unique_lock lock(mutex_);
        for (;;) {
            while (queue_.empty()) {
                ++idle_;
                const bool woken = ready_.wait_for(lock, std::chrono::seconds(30), [&] { return !queue_.empty(); });
                --idle_;
                if (!woken) return;  // idle long enough: the thread ends
            }
            auto task = std::move(queue_.front());
            queue_.pop_front();
            lock.unlock();
            task();
            lock.lock();
        }
    }

    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<std::function<void()>> queue_;
    std::size_t idle_ = 0;
};

CallbackRunner& runner() {
    static CallbackRunner* const RUNNER = new CallbackRunner();
    return *RUNNER;
}

// ---- Connections and fetches ---------------------------------------------------------------

struct Connection {
    ConnectionKey key = 0;
    std::string root;
    std::uint32_t flags = 0;
    const void* context = nullptr;
    CallbackFunction fetch = nullptr;
    CallbackFunction cancel = nullptr;
    CallbackFunction open = nullptr;
    Settings settings;  // read when the provider connected
    UniqueFd lock_fd;
    std::unique_ptr<MountedRoot> mount;  // the front end over the root while connected, where it can be
    // Guarded by the state lock.
    bool active = true;
    int running = 0;  // callbacks of this connection running now
    Clock::time_point last_activity;
};

}  // namespace

// A read waiting for content: listed under its file (Node::waiting) and named by its current
// fetch, so that a transfer or the end of a fetch wakes this read alone.
struct Reader {
    std::int64_t begin = 0;
    std::int64_t end = 0;
    std::int64_t transfer_key = 0;  // its stream's
    std::condition_variable wake;
    // Guarded by the state lock.
    bool covered = false;          // a transfer made [begin, end) present
    std::uint32_t aborted = 0;     // why its stream gave it up (a read waiting on another's fetch)
    std::uint64_t seen_ticks = 0;  // the manual clock's moves this read has looked at
};

namespace {

struct Fetch {
    std::int64_t request_key = 0;
    std::shared_ptr<Connection> connection;
    std::int64_t transfer_key = 0;
    std::shared_ptr<OpenFile> file;
    // The range asked for: whole 4 KiB units around a run of missing content, [need_begin,
    // need_end). It completes when the range (up to the end of the file) is on the disk.
    std::int64_t offset = 0;
    std::int64_t length = 0;
    std::int64_t required_end = 0;  // offset + length, at most the file size
    std::int64_t need_begin = 0;
    std::int64_t need_end = 0;
    std::chrono::milliseconds timeout{60000};
    bool sync_transfers = false;
    // Guarded by the state lock.
    Clock::time_point issued;
    Clock::time_point progressed;  // the provider's last progress report for its transfer
    RangeSet received;
    bool ended = false;
    std::uint32_t error = 0;   // why it ended, when not by its transfers
    Reader* reader = nullptr;  // the read that issued it, until that read returns
};

struct Hydration {
    std::map<ConnectionKey, std::shared_ptr<Connection>> connections;
    std::unordered_map<std::int64_t, std::shared_ptr<Fetch>> fetches;
    std::vector<Reader*> readers;  // every read waiting for content
};

Hydration& hydration() {  // guarded by the state lock
    static Hydration* const H = new Hydration();
    return *H;
}

std::atomic<std::int64_t> NEXT_KEY{1};

std::int64_t fresh_key() {
    // Keys are unique in the process and differ between processes.
    return (static_cast<std::int64_t>(::getpid()) << 32) | NEXT_KEY.fetch_add(1, std::memory_order_relaxed);
}

// The active connection whose root holds `path`; under the state lock.
std::shared_ptr<Connection> connection_for(const std::string& path) {
    for (const auto& [key, c] : hydration().connections)
        if (c->active && path_within(path, c->root)) return c;
    return nullptr;
}

// Set (under the state lock) when a callback has returned or was dropped.
struct Completion {
    bool done = false;
    std::condition_variable changed;
};

// One callback with copies of everything its information points at.
struct CallbackCall {
    std::shared_ptr<Connection> connection;
    CallbackFunction function = nullptr;
    std::int64_t file_size = 0;
    std::vector<std::uint8_t> identity;
    std::u16string path;
    std::int64_t transfer_key = 0;
    std::int64_t request_key = 0;
    std::uint32_t process_id = 0;
    std::u16string image_path;
    std::int64_t offset = 0;
    std::int64_t length = 0;
    std::shared_ptr<Completion> completion;  // for a caller that waits for the callback
};

void complete(CallbackCall& call) {  // under the state lock
    if (!call.completion) return;
    call.completion->done = true;
    call.completion->changed.notify_one();
}

void run_call(const std::shared_ptr<CallbackCall>& call) {
    bool run = false;
    {
        std::lock_guard lock(state_mutex());
        run = call->connection->active;
        if (run) ++call->connection->running;
        else complete(*call);
    }
    if (!run) return;
    ProcessInfo process{call->process_id, call->image_path.c_str()};
    CallbackInfo info;
    info.connection_key = call->connection->key;
    info.file_size = call->file_size;
    info.file_identity = call->identity.empty() ? nullptr : call->identity.data();
    info.file_identity_length = static_cast<std::uint32_t>(call->identity.size());
    info.normalized_path = call->path.c_str();
    info.transfer_key = call->transfer_key;
    info.process_info = (call->connection->flags & connect_flag::REQUIRE_PROCESS_INFO) != 0 ? &process : nullptr;
    info.request_key = call->request_key;
    CallbackParameters parameters;
    parameters.required_file_offset = call->offset;
    parameters.required_length = call->length;
    call->function(&info, &parameters);
    std::lock_guard lock(state_mutex());
    // A disconnect waits for the connection's last running callback.
    if (--call->connection->running == 0 && !call->connection->active) state_changed().notify_all();
    complete(*call);
}

void post_call(std::shared_ptr<CallbackCall> call) {
    runner().post([call = std::move(call)] { run_call(call); });
}

std::int64_t file_size_of(int fd) {
    struct stat st{};
    return ::fstat(fd, &st) == 0 ? st.st_size : 0;
}

std::shared_ptr<CallbackCall> make_call(const std::shared_ptr<Connection>& connection, CallbackFunction function,
                                        const OpenFile& file, const StreamIdentity& stream) {
    auto call = std::make_shared<CallbackCall>();
    call->connection = connection;
    call->function = function;
    call->file_size = file_size_of(file.fd.get());
    call->identity = read_identity(MetaTarget{file.fd.get(), nullptr});
    call->path = wide_from_utf8(file.path);
    call->transfer_key = stream.transfer_key;
    call->process_id = stream.process_id;
    call->image_path = stream.image_path;
    return call;
}

// Ends a fetch that did not complete (under the state lock) and wakes its read; returns its
// cancel callback, if any.
std::shared_ptr<CallbackCall> end_fetch(const std::shared_ptr<Fetch>& fetch, std::uint32_t error, bool cancel,
                                        const StreamIdentity* stream) {
    fetch->ended = true;
    fetch->error = error;
    hydration().fetches.erase(fetch->request_key);
    // Its own read, and the reads waiting for it.
    for (Reader* r : fetch->file->node->waiting) r->wake.notify_one();
    const auto& c = fetch->connection;
    if (!cancel || c->cancel == nullptr || !c->active) return nullptr;
    auto call = std::make_shared<CallbackCall>();
    call->connection = c;
    call->function = c->cancel;
    call->path = wide_from_utf8(fetch->file->path);
    call->transfer_key = fetch->transfer_key;
    call->request_key = fetch->request_key;
    call->offset = fetch->offset;
    call->length = fetch->length;
    if (stream != nullptr) {
        call->process_id = stream->process_id;
        call->image_path = stream->image_path;
    }
    return call;
}

Clock::time_point deadline_of(const Fetch& fetch) {  // under the state lock
    return std::max({fetch.issued, fetch.progressed, fetch.connection->last_activity}) + fetch.timeout;
}

// The outstanding fetch of the file `node` that brings [missing.first, missing.second) (a
// progressive one on its way), if any; under the state lock.
std::shared_ptr<Fetch> fetch_bringing(const Node& node, std::pair<std::int64_t, std::int64_t> missing) {
    for (const auto& [key, f] : hydration().fetches) {
        if (f->ended || !f->connection->active || f->file->node.get() != &node) continue;
        if (f->need_begin <= missing.first && f->need_end >= missing.second) return f;
    }
    return nullptr;
}

// Fetches whose reader has gone (its read was satisfied by other transfers) still time out as on
// Windows: the provider gets CANCEL_FETCH_DATA. Under the state lock; the cancels are posted.
void reap_expired_fetches() {
    const auto now = engine_now();
    std::vector<std::shared_ptr<Fetch>> expired;
    for (const auto& [key, f] : hydration().fetches)
        if (f->reader == nullptr && !f->ended && now >= deadline_of(*f)) expired.push_back(f);
    for (const auto& f : expired)
        if (auto call = end_fetch(f, win32::ERROR_CLOUD_FILE_REQUEST_TIMEOUT, true, nullptr)) post_call(std::move(call));
}

std::uint32_t read_bytes(int fd, std::int64_t offset, std::int64_t end, std::vector<std::uint8_t>* out) {
    if (out == nullptr) return 0;
    out->assign(static_cast<std::size_t>(end - offset), 0);
    std::size_t done = 0;
    while (done < out->size()) {
        const ssize_t n = ::pread(fd, out->data() + done, out->size() - done, offset + static_cast<std::int64_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return win32_from_errno(errno);
        if (n == 0) break;  // the file shrank: what is there is returned
        done += static_cast<std::size_t>(n);
    }
    out->resize(done);
    return 0;
}

}  // namespace

// ---- Settings ------------------------------------------------------------------------------

Settings load_settings() {
    Settings settings;
    const std::string dir = state_directory();
    if (dir.empty()) return settings;
    const auto text = read_file(dir + "/sim.json");
    if (!text) return settings;
    const auto json = parse_state_json(*text);
    if (!json || !json->is_object()) return settings;
    const boost::json::object& members = json->get_object();
    if (const auto* t = members.if_contains("fetchTimeoutMs"); t != nullptr && t->is_int64() && t->get_int64() > 0)
        settings.fetch_timeout_ms = std::min<std::int64_t>(t->get_int64(), 1'000'000'000'000);
    if (const auto* s = members.if_contains("syncTransfers"); s != nullptr && s->is_bool())
        settings.sync_transfers = s->get_bool();
    if (const auto* f = members.if_contains("frontEnd"); f != nullptr && f->is_string())
        settings.fuse = f->get_string() != "simulated";
    if (const auto* q = members.if_contains("watchQueueLimit"); q != nullptr && q->is_int64() && q->get_int64() > 0)
        settings.watch_queue_limit = q->get_int64();
    return settings;
}

std::int64_t new_transfer_key() { return fresh_key(); }

// ---- The manual clock (engine.h) ----------------------------------------------------------

void use_manual_clock(bool manual) {
    std::lock_guard lock(state_mutex());
    if (manual == MANUAL.load()) return;
    if (manual) MANUAL_NOW = Clock::now().time_since_epoch().count();
    MANUAL = manual;
    // Reads waiting without a deadline wait with one again.
    for (const auto& [key, f] : hydration().fetches)
        if (f->reader != nullptr) f->reader->wake.notify_one();
}

void advance_clock(std::chrono::milliseconds by) {
    std::unique_lock lock(state_mutex());
    if (!MANUAL.load()) return;
    MANUAL_NOW += std::chrono::duration_cast<Clock::duration>(by).count();
    const std::uint64_t ticks = ++TICKS;
    reap_expired_fetches();
    for (const auto& [key, f] : hydration().fetches)
        if (f->reader != nullptr) f->reader->wake.notify_one();
    // Every waiting read looks at the new time before this returns (a timed-out one has ended).
    state_changed().wait(lock, [&] {
        for (const auto& [key, f] : hydration().fetches)
            if (f->reader != nullptr && f->reader->seen_ticks != ticks) return false;
        return true;
    });
}

// ---- Opens and reads -----------------------------------------------------------------------

void notify_open(const OpenFile& file, const StreamIdentity& stream) {
    if (file.directory || file.link) return;
    std::shared_ptr<Connection> connection;
    {
        std::lock_guard lock(state_mutex());
        connection = connection_for(file.path);
        if (!connection || connection->open == nullptr) return;
    }
    if (!read_state(MetaTarget{file.fd.get(), nullptr})) return;
    auto call = make_call(connection, connection->open, file, stream);
    call->request_key = fresh_key();
    auto completion = std::make_shared<Completion>();
    call->completion = completion;
    post_call(call);
    std::unique_lock lock(state_mutex());
    completion->changed.wait(lock, [&] { return completion->done; });
}

namespace {

// The state a read decides by. A file another program changed since the platform's last change
// (written beneath the mount while nothing served it) has that change taken in first, under the
// metadata lock, so that what the program wrote counts as present and is never fetched.
std::optional<PlaceholderState> state_for_read(const OpenFile& file, std::int64_t begin, std::int64_t end,
                                               const PlaceholderState* known) {
    auto state = known != nullptr ? std::optional<PlaceholderState>(*known) : read_state(MetaTarget{file.fd.get(), nullptr});
    if (!state || state->present.covers(begin, end) || !changed_outside(file)) return state;
    const MetadataLock meta(*file.node, file);
    Hresult error = S_OK_CODE;
    if (auto settled = settled_state(meta, error)) return settled;
    return state;
}

// Brings [me.begin, me.end) of `file` onto the disk: 0 when it is present, or the Win32 failure.
// One fetch at a time, each for one run of missing content: it starts at the first byte the read
// lacks and ends where content on the disk begins (a progressive read's run goes on past the read,
// to the next present byte or the end of the file), so nothing on the disk is asked for again. The
// caller holds the reader lock, so nothing is removed meanwhile, and `me` is listed under the
// file's node.
std::uint32_t fetch_missing(const std::shared_ptr<OpenFile>& file, const StreamIdentity& stream, Reader& me,
                            std::int64_t size, const PlaceholderState* known) {
    // Each round fills one run; a file keeps at most STORED_RANGES of them, so a read that needs
    // more rounds than that is not getting anywhere.
    for (std::size_t round = 0; round < 2 * STORED_RANGES + 2; ++round) {
        // What is missing is decided from the state on disk as it is now.
        const auto state = state_for_read(*file, me.begin, me.end, round == 0 ? known : nullptr);
        if (!state || state->present.covers(me.begin, me.end)) return 0;
        const auto gap = *state->present.first_gap(me.begin, me.end);
        const std::int64_t need_end = stream.progressive ? state->present.first_gap(gap.first, size)->second : gap.second;

        std::unique_lock lock(state_mutex());
        if (me.covered) return 0;  // a transfer since the state was read
        if (me.aborted != 0) return me.aborted;
        auto connection = connection_for(file->path);
        if (!connection) return win32::ERROR_CLOUD_FILE_PROVIDER_NOT_RUNNING;
        if (connection->fetch == nullptr) return win32::ERROR_CLOUD_FILE_NOT_SUPPORTED;

        std::shared_ptr<Fetch> fetch = stream.progressive ? fetch_bringing(*file->node, gap) : nullptr;
        const bool own = !fetch;
        if (own) {
            // Whole 4 KiB units around the run (the last may reach past the end of the file), but
            // for a run that ends where content on the disk begins: it ends there, so that the
            // provider is asked for no byte the file has (a program's, past what the store gave).
            fetch = std::make_shared<Fetch>();
            fetch->request_key = fresh_key();
            fetch->connection = connection;
            fetch->transfer_key = stream.transfer_key;
            fetch->file = file;
            fetch->need_begin = gap.first;
            fetch->need_end = need_end;
            fetch->offset = gap.first / CHUNK_ALIGNMENT * CHUNK_ALIGNMENT;
            const std::int64_t aligned_end = (need_end + CHUNK_ALIGNMENT - 1) / CHUNK_ALIGNMENT * CHUNK_ALIGNMENT;
            const bool before_present = need_end < size && state->present.covers(need_end, need_end + 1);
            fetch->length = (before_present ? need_end : aligned_end) - fetch->offset;
            fetch->required_end = std::min(fetch->offset + fetch->length, size);
            // What of its range is on the disk already (a program's bytes beside the run) is never
            // sent: it counts as received.
            for (const auto& [b, e] : state->present.ranges())
                fetch->received.add(std::max(b, fetch->offset), std::min(e, fetch->required_end));
            fetch->timeout = std::chrono::milliseconds(connection->settings.fetch_timeout_ms);
            fetch->sync_transfers = connection->settings.sync_transfers;
            fetch->issued = engine_now();
            fetch->reader = &me;
            hydration().fetches.emplace(fetch->request_key, fetch);
            lock.unlock();

            auto call = make_call(connection, connection->fetch, *file, stream);
            call->request_key = fetch->request_key;
            call->offset = fetch->offset;
            call->length = fetch->length;
            post_call(call);

            lock.lock();
        }
        std::uint32_t result = 0;
        bool next = false;
        std::shared_ptr<CallbackCall> cancel;
        for (;;) {
            me.seen_ticks = clock_ticks();
            if (me.covered) break;
            if (me.aborted != 0) {
                result = me.aborted;
                break;
            }
            if (fetch->ended) {
                // Its run arrived: the read goes on with the next one it lacks, if any. A failed or
                // timed-out fetch fails every read waiting for it; only one whose reader gave it up
                // leaves the others to ask for themselves.
                result = fetch->error;
                next = result == 0 || (!own && result == win32::ERROR_CLOUD_FILE_REQUEST_ABORTED);
                if (next) result = 0;
                break;
            }
            const auto deadline = deadline_of(*fetch);
            if (engine_now() >= deadline) {
                result = win32::ERROR_CLOUD_FILE_REQUEST_TIMEOUT;
                cancel = end_fetch(fetch, result, true, &stream);
                break;
            }
            if (manual_clock()) {
                state_changed().notify_all();  // advance_clock waits until this read has looked
                me.wake.wait(lock);
            } else {
                me.wake.wait_until(lock, deadline);
            }
        }
        if (own) fetch->reader = nullptr;
        if (manual_clock()) state_changed().notify_all();
        lock.unlock();
        if (cancel) post_call(std::move(cancel));
        if (result != 0) return result;
        if (!next) return 0;
    }
    return win32::ERROR_CLOUD_FILE_UNSUCCESSFUL;
}

}  // namespace

std::uint32_t read_range(const std::shared_ptr<OpenFile>& file, const StreamIdentity& stream, std::int64_t offset,
                         std::int64_t length, std::vector<std::uint8_t>* out, const PlaceholderState* known) {
    if (out != nullptr) out->clear();
    if (offset < 0) return win32::ERROR_INVALID_PARAMETER;
    if (file->directory || file->link) return win32::ERROR_ACCESS_DENIED;
    Node& node = *file->node;
    const ReadInProgress reading(node, *file);
    if (reading.error() != 0) return win32_from_errno(reading.error());
    const std::int64_t size = file_size_of(file->fd.get());
    Reader me;
    me.begin = std::min(offset, size);
    me.end = (length < 0 || length > size - me.begin) ? size : me.begin + length;
    me.transfer_key = stream.transfer_key;
    {
        std::lock_guard lock(state_mutex());
        node.waiting.push_back(&me);
        hydration().readers.push_back(&me);
        reap_expired_fetches();
    }
    const std::uint32_t error = fetch_missing(file, stream, me, size, known);
    {
        std::lock_guard lock(state_mutex());
        std::erase(node.waiting, &me);
        std::erase(hydration().readers, &me);
    }
    if (error != 0) return error;
    return read_bytes(file->fd.get(), me.begin, me.end, out);
}

std::size_t cancel_stream(std::int64_t transfer_key, std::uint32_t error) {
    std::vector<std::shared_ptr<CallbackCall>> cancels;
    std::size_t count = 0;
    {
        std::lock_guard lock(state_mutex());
        std::vector<std::shared_ptr<Fetch>> matching;
        for (const auto& [key, f] : hydration().fetches)
            if (f->transfer_key == transfer_key && !f->ended) matching.push_back(f);
        for (const auto& f : matching) {
            ++count;
            if (auto call = end_fetch(f, error, true, nullptr)) cancels.push_back(std::move(call));
        }
        // Its reads that wait for the fetch of another stream give up alone.
        for (Reader* r : hydration().readers) {
            if (r->transfer_key != transfer_key || r->covered) continue;
            r->aborted = error;
            r->wake.notify_one();
        }
    }
    for (auto& call : cancels) post_call(std::move(call));
    return count;
}

// ---- Connections ---------------------------------------------------------------------------

namespace {

std::string connection_lock_path(const std::string& dir, const std::string& root) {
    std::uint64_t hash = 0xcbf29ce484222325ull;  // FNV-1a
    for (const unsigned char c : root) hash = (hash ^ c) * 0x100000001b3ull;
    char name[32];
    std::snprintf(name, sizeof name, "%016llx.lock", static_cast<unsigned long long>(hash));
    return dir + "/connections/" + name;
}

}  // namespace

std::optional<bool> connected_root_mounted() {
    std::lock_guard lock(state_mutex());
    const auto& connections = hydration().connections;
    // Keys grow with each connection of this process: the last is the newest.
    for (auto it = connections.rbegin(); it != connections.rend(); ++it)
        if (it->second->active) return it->second->mount != nullptr;
    return std::nullopt;
}

Hresult LinuxPlatform::connect_sync_root(const char16_t* root_text, const CallbackRegistration* table,
                                       const void* context, std::uint32_t flags, ConnectionKey* key) {
    if (table == nullptr || key == nullptr) return hr::E_INVALIDARG_CODE;
    std::string path;
    if (const std::uint32_t err = path_from_wide(root_text, path); err != 0) return hresult_from_win32(err);
    std::string root;
    int err = canonical_path(path, root);
    // A front end left by a process that ended answers nothing: it goes first.
    if (err == ENOTCONN && front_end_ != nullptr && front_end_->recover_stale(path)) err = canonical_path(path, root);
    if (err != 0) return hresult_from_win32(win32_from_path_errno(err, path));
    const auto registered = sync_root_containing(root);
    if (!registered) return hresult_from_win32(win32::ERROR_CLOUD_FILE_NOT_UNDER_SYNC_ROOT);
    if (registered->path != root) return hresult_from_win32(win32::ERROR_NOT_A_CLOUD_SYNC_ROOT);

    auto connection = std::make_shared<Connection>();
    connection->root = root;
    connection->flags = flags;
    connection->context = context;
    for (int i = 0; i < 64 && table[i].type != callback_type::NONE; ++i) {
        if (table[i].type == callback_type::FETCH_DATA) connection->fetch = table[i].callback;
        if (table[i].type == callback_type::CANCEL_FETCH_DATA) connection->cancel = table[i].callback;
        if (table[i].type == callback_type::NOTIFY_FILE_OPEN_COMPLETION) connection->open = table[i].callback;
        // Deletes and renames that wait for the provider's word are not simulated: a provider that
        // asks to confirm them is refused rather than left believing it is asked. (The listing
        // callbacks are accepted: no folder here is ever filled on demand.)
        if (table[i].type == callback_type::NOTIFY_DELETE || table[i].type == callback_type::NOTIFY_RENAME)
            return hresult_from_win32(win32::ERROR_NOT_SUPPORTED);
    }

    // One provider per sync root, whatever process it runs in: the root's lock file says who.
    const std::string dir = state_directory();
    if (dir.empty()) return hr_from_errno(EACCES);
    ::mkdir((dir + "/connections").c_str(), 0700);
    const std::string lock_path = connection_lock_path(dir, root);
    connection->lock_fd = UniqueFd(::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (!connection->lock_fd) return hr_from_errno(errno);
    if (::flock(connection->lock_fd.get(), LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        return err == EWOULDBLOCK ? hresult_from_win32(win32::ERROR_CLOUD_FILE_ALREADY_CONNECTED) : hr_from_errno(err);
    }
    // The system settings, once per connection: its fetches keep them.
    connection->settings = load_settings();
    // Holding the lock, this process is the root's only provider: a front end still mounted there
    // was left by one that ended, and goes (programs' files on it see their reads fail).
    if (front_end_ != nullptr) front_end_->recover_stale(root);
    connection->key = fresh_key();
    connection->last_activity = engine_now();
    {
        std::lock_guard lock(state_mutex());
        hydration().connections.emplace(connection->key, connection);
    }
    // Every program's reads go through the front end from now on; where it cannot be mounted, the
    // connection works on as the platform alone.
    if (connection->settings.fuse && front_end_ != nullptr && front_end_->usable()) {
        auto mount = front_end_->mount(root);
        std::lock_guard lock(state_mutex());
        connection->mount = std::move(mount);
    }
    *key = connection->key;
    return S_OK_CODE;
}

Hresult LinuxPlatform::disconnect_sync_root(ConnectionKey key) {
    std::shared_ptr<Connection> connection;
    std::unique_ptr<MountedRoot> mount;
    {
        std::unique_lock lock(state_mutex());
        auto& connections = hydration().connections;
        const auto it = connections.find(key);
        if (it == connections.end()) return hr::E_INVALIDARG_CODE;
        connection = it->second;
        connections.erase(it);
        connection->active = false;
        // Outstanding fetches end: their readers fail as when a provider goes away.
        std::vector<std::shared_ptr<Fetch>> ending;
        for (const auto& [k, f] : hydration().fetches)
            if (f->connection == connection) ending.push_back(f);
        for (const auto& f : ending) end_fetch(f, win32::ERROR_CLOUD_FILE_PROVIDER_TERMINATED, false, nullptr);
        // Callbacks already running finish before the disconnect returns (unless it is called from
        // one of them, which would wait for itself).
        if (!ON_CALLBACK_THREAD) state_changed().wait(lock, [&] { return connection->running == 0; });
        mount = std::move(connection->mount);
    }
    if (mount) mount->unmount();
    connection->lock_fd.reset();
    return S_OK_CODE;
}

// ---- Transfers -----------------------------------------------------------------------------

Hresult LinuxPlatform::execute(const OperationInfo* info, OperationParameters* parameters) {
    if (info == nullptr || parameters == nullptr) return hr::E_INVALIDARG_CODE;
    // Only transfers of content are simulated (no listings on demand, no acknowledgements).
    if (info->type != OPERATION_TYPE_TRANSFER_DATA) return hresult_from_win32(win32::ERROR_NOT_SUPPORTED);
    if (info->struct_size < OPERATION_INFO_SIZE || parameters->param_size < TRANSFER_DATA_PARAM_SIZE)
        return hr::E_INVALIDARG_CODE;
    const Hresult invalid = hresult_from_win32(win32::ERROR_CLOUD_FILE_INVALID_REQUEST);
    const auto& transfer = parameters->transfer_data;

    std::shared_ptr<Fetch> fetch;
    {
        std::lock_guard lock(state_mutex());
        const auto it = hydration().fetches.find(info->request_key);
        if (it == hydration().fetches.end()) return invalid;
        fetch = it->second;
        if (fetch->ended || !fetch->connection->active || fetch->connection->key != info->connection_key ||
            fetch->transfer_key != info->transfer_key)
            return invalid;
        if (transfer.completion_status < 0) {
            // A failed transfer fails the request and its reader.
            fetch->connection->last_activity = engine_now();
            end_fetch(fetch, win32_from_transfer_status(transfer.completion_status), false, nullptr);
            return S_OK_CODE;
        }
    }

    const std::int64_t offset = transfer.offset, length = transfer.length;
    Node& node = *fetch->file->node;
    std::optional<PlaceholderState> present;
    {
        // Content and its mark are written under the metadata lock, against the state on disk as
        // it is now: a dehydration in any process comes wholly before or wholly after.
        const MetadataLock meta(node, *fetch->file);
        if (meta.error() != 0) return hr_from_errno(meta.error());
        struct stat before{};
        if (::fstat(meta.fd(), &before) != 0) return hr_from_errno(errno);
        // A change by another program since the last one recorded is taken in first: it clears the
        // in-sync state, and what it wrote is present. Content on the disk is never overwritten:
        // only the bytes of the transfer that are missing are written.
        const MetaTarget target{meta.fd(), nullptr};
        present = read_state(target);
        if (present) {
            if (const int e = settle_outside_change(target, *present); e != 0) return hr_from_errno(e);
        }
        // Whole 4 KiB units, but for the last of the file and one that ends where content on the
        // disk begins (a program's own bytes past what the store gave). A file that a program
        // made shorter since the fetch takes what still fits of a transfer within the fetch's
        // range; the rest went with the bytes it was for.
        const std::int64_t size = before.st_size;
        const bool within_fetch = offset >= fetch->offset && length <= fetch->offset + fetch->length - offset;
        if (length <= 0 || offset < 0 || (!within_fetch && (offset > size || length > size - offset))) return invalid;
        if (offset % CHUNK_ALIGNMENT != 0) return invalid;
        if (length % CHUNK_ALIGNMENT != 0 && offset + length != size && !(within_fetch && offset + length > size) &&
            !(present && present->present.covers(offset + length, offset + length + 1)))
            return invalid;
        const std::int64_t end = std::min(offset + length, std::max(size, offset));
        if (transfer.buffer == nullptr) return hr::E_INVALIDARG_CODE;
        {
            std::lock_guard lock(state_mutex());
            if (fetch->ended || !fetch->connection->active) return invalid;
            fetch->connection->last_activity = engine_now();
        }
        RangeSet missing;
        missing.add(offset, end);
        if (present)
            for (const auto& [b, e] : present->present.ranges()) missing.subtract(b, e);
        const auto* bytes = static_cast<const std::uint8_t*>(transfer.buffer);
        int write_error = 0;
        for (const auto& [b, e] : missing.ranges()) {
            for (std::int64_t done = b; done < e && write_error == 0;) {
                const ssize_t n = ::pwrite(meta.fd(), bytes + (done - offset), static_cast<std::size_t>(e - done), done);
                if (n < 0 && errno == EINTR) continue;
                if (n <= 0) write_error = n < 0 ? errno : EIO;
                else done += n;
            }
        }
        keep_mtime(meta.fd(), before);  // hydration leaves the file's times as they are
        if (write_error != 0) return hr_from_errno(write_error);
        // The content reaches the disk before the metadata says it is present.
        if (fetch->sync_transfers && ::fdatasync(meta.fd()) != 0) return hr_from_errno(errno);
        if (present) {
            present->present.add(offset, end);
            if (const int e = write_state(target, *present); e != 0) return hr_from_errno(e);
            if (const int e = record_change(target, nullptr); e != 0) return hr_from_errno(e);
        }
        publish_change(before, false);  // its blocks on disk changed
    }

    std::lock_guard lock(state_mutex());
    fetch->connection->last_activity = engine_now();
    fetch->received.add(offset, offset + length);
    if (!fetch->ended && fetch->received.covers(fetch->offset, fetch->required_end)) {
        fetch->ended = true;
        hydration().fetches.erase(fetch->request_key);
        if (fetch->reader != nullptr) fetch->reader->wake.notify_one();
    }
    // Only the reads of this file whose whole range is present now are woken.
    if (present) {
        for (Reader* r : node.waiting) {
            if (r->covered || !present->present.covers(r->begin, r->end)) continue;
            r->covered = true;
            r->wake.notify_one();
        }
    }
    return S_OK_CODE;
}

Hresult LinuxPlatform::report_provider_progress(ConnectionKey connection_key, std::int64_t transfer_key,
                                             std::int64_t total, std::int64_t completed) {
    if (total < 0 || completed < 0 || completed > total) return hr::E_INVALIDARG_CODE;
    std::lock_guard lock(state_mutex());
    const auto& connections = hydration().connections;
    const auto it = connections.find(connection_key);
    if (it == connections.end()) return hr::E_INVALIDARG_CODE;
    // Every outstanding fetch of the transfer starts its time-out again.
    const auto now = engine_now();
    bool pending = false;
    for (const auto& [key, f] : hydration().fetches) {
        if (f->connection != it->second || f->transfer_key != transfer_key || f->ended) continue;
        f->progressed = now;
        pending = true;
    }
    return pending ? S_OK_CODE : hresult_from_win32(win32::ERROR_CLOUD_FILE_INVALID_REQUEST);
}

Hresult LinuxPlatform::hydrate_placeholder(Handle handle, std::int64_t offset, std::int64_t length, std::uint32_t flags) {
    const auto file = lookup_file(handle);
    if (!file) return hresult_from_win32(win32::ERROR_INVALID_HANDLE);
    if (flags != 0 || offset < 0 || length < CF_EOF_LENGTH) return hr::E_INVALIDARG_CODE;
    if (file->link || !read_state(MetaTarget{file->fd.get(), nullptr}))
        return hresult_from_win32(win32::ERROR_NOT_A_CLOUD_FILE);
    if (file->directory || length == 0) return S_OK_CODE;
    StreamIdentity stream{0, static_cast<std::uint32_t>(::getpid()), own_image_path()};
    {
        std::lock_guard lock(state_mutex());
        if (file->transfer_key == 0) file->transfer_key = new_transfer_key();
        stream.transfer_key = file->transfer_key;
    }
    const std::uint32_t error = read_range(file, stream, offset, length, nullptr);
    return error == 0 ? S_OK_CODE : hresult_from_win32(error);
}

}  // namespace zcf::linux_platform
