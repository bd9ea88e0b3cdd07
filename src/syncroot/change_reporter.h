// The events of a watched sync root: the platform's raw change records in, "changed", "created",
// "deleted", "renamed" and "rescan" events out.
//
// ChangeReporter is the translation, driven by whoever holds it and by a clock it is given, so
// that tests step through it without threads or sleeps. WatchSession runs it for one connection:
// the platform's watch hands it records on the watch's thread, and a thread of the session's own
// translates them and writes the events.
#pragma once

#include "common/outcome.h"
#include "platform/watch.h"

#include <boost/json/value.hpp>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <queue>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

namespace zcf {

// What "attrs" answers for a path. The dispatcher supplies it: it belongs to the placeholder
// commands, which this directory does not reach.
using StateReader = boost::json::value (*)(std::string_view path);

class ChangeClock {
public:
    using TimePoint = std::chrono::steady_clock::time_point;
    virtual ~ChangeClock() = default;
    virtual TimePoint now() = 0;
};

// Changes to one path within this interval of the first of them make one "changed" event, written
// when the interval ends, with the state the path has then.
inline constexpr std::chrono::milliseconds COALESCE_INTERVAL{100};

// The watched root, UTF-8: as the file API opens it, and as events name it.
struct ReportedRoot {
    std::string path;
    std::string event_path;
    char separator = '/';
};

class ChangeReporter {
public:
    ChangeReporter(ReportedRoot root, StateReader read_state, ChangeClock& clock);

    // Writes the events that `records` make at once ("created", "deleted", "renamed") and notes
    // the paths whose "changed" waits for the interval.
    void report(const std::vector<ChangeRecord>& records);
    // Writes "rescan".
    void report_overflow();
    // Writes the events whose time has come; returns when the next one is due, if one waits.
    std::optional<ChangeClock::TimePoint> write_due();

private:
    using TimePoint = ChangeClock::TimePoint;
    struct Due {
        TimePoint at;
        std::string name;
        bool operator>(const Due& other) const { return at > other.at; }
    };

    void note_changed(const std::string& name, TimePoint at);
    // Drops the waiting "changed" of `name` and of everything below it.
    void forget_below(const std::string& name);
    // Moves the waiting "changed" of `from` and of everything below it to `to`.
    void move_below(const std::string& from, const std::string& to);
    bool within(const std::string& name, const std::string& folder) const;
    std::string full_path(const std::string& name) const;
    std::string event_path(const std::string& name) const;

    void write_created(const std::string& name, std::uint32_t attributes);
    void write_deleted(const std::string& name);
    void write_changed(const std::string& name);

    ReportedRoot root_;
    StateReader read_state_;
    ChangeClock& clock_;
    // Paths whose "changed" waits, with when it is due; `due_` orders them (entries no longer in
    // `waiting_` with that time are skipped).
    std::unordered_map<std::string, TimePoint> waiting_;
    std::priority_queue<Due, std::vector<Due>, std::greater<>> due_;
    // A RENAMED_OLD_NAME whose RENAMED_NEW_NAME has not come yet: a move out of the tree when
    // none comes within the interval.
    std::optional<Due> old_name_;
};

// The watch of one connection. Destroying it ends the watch: every event it writes has been
// written when the destructor returns.
class WatchSession final : public ChangeSink {
public:
    // Starts watching `root`; the platform's error when the watch cannot start.
    static Expected<std::unique_ptr<WatchSession>> start(std::string_view root, StateReader read_state);
    ~WatchSession() override;

    void on_changes(std::vector<ChangeRecord>&& records) override;
    void on_overflow() override;

    // Records queued and not yet translated beyond which the queue is dropped for one "rescan":
    // what a parent that stops reading the output can make the program hold.
    static constexpr std::size_t QUEUE_LIMIT = 1 << 16;

private:
    struct SteadyClock final : ChangeClock {
        TimePoint now() override { return std::chrono::steady_clock::now(); }
    };
    struct Item {
        std::vector<ChangeRecord> records;
        bool overflow = false;
    };

    WatchSession() = default;
    void run();

    SteadyClock clock_;
    std::optional<ChangeReporter> reporter_;
    std::mutex lock_;
    std::condition_variable wake_;
    std::deque<Item> items_;
    std::size_t queued_ = 0;
    bool stopping_ = false;
    std::unique_ptr<DirectoryWatch> watch_;
    std::thread thread_;
};

}  // namespace zcf
