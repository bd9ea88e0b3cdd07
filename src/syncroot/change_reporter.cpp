#include "syncroot/change_reporter.h"

#include "common/emitter.h"
#include "common/text.h"
#include "platform/platform.h"

#include <boost/json/object.hpp>

#include <exception>

namespace zcf {

namespace json = boost::json;

namespace {

json::value named_event(std::string_view name, std::string path) {
    json::object event;
    event["event"] = name;
    event["path"] = std::move(path);
    return event;
}

}  // namespace

ChangeReporter::ChangeReporter(ReportedRoot root, StateReader read_state, ChangeClock& clock)
    : root_(std::move(root)), read_state_(read_state), clock_(clock) {}

void ChangeReporter::report(const std::vector<ChangeRecord>& records) {
    const TimePoint now = clock_.now();
    for (const ChangeRecord& record : records) {
        std::string name = utf16_to_utf8_lossy(record.name);
        if (name.empty()) continue;  // the root itself, which Windows never reports either
        if (old_name_ && record.action != change_action::RENAMED_NEW_NAME) {
            write_deleted(old_name_->name);
            old_name_.reset();
        }
        switch (record.action) {
            case change_action::ADDED:
                write_created(name, record.attributes);
                break;
            case change_action::REMOVED:
                write_deleted(name);
                break;
            case change_action::MODIFIED:
                note_changed(name, now + COALESCE_INTERVAL);
                break;
            case change_action::RENAMED_OLD_NAME:
                old_name_ = Due{now + COALESCE_INTERVAL, std::move(name)};
                break;
            case change_action::RENAMED_NEW_NAME:
                if (!old_name_) {
                    write_created(name, record.attributes);
                    break;
                }
                move_below(old_name_->name, name);
                {
                    json::value event = named_event("renamed", event_path(name));
                    event.as_object()["from"] = event_path(old_name_->name);
                    if (record.replaced_identity)
                        event.as_object()["replacedIdentity"] =
                            decode_utf8_lossy(record.replaced_identity->data(), record.replaced_identity->size());
                    old_name_.reset();
                    emit(std::move(event));
                }
                break;
            default:
                break;  // actions of kernel mode only (streams, tunnelled ids)
        }
    }
}

void ChangeReporter::report_overflow() {
    // The parent reads the whole tree again: a rename half seen is part of what it finds.
    old_name_.reset();
    emit(named_event("rescan", root_.event_path));
}

std::optional<ChangeClock::TimePoint> ChangeReporter::write_due() {
    const TimePoint now = clock_.now();
    if (old_name_ && old_name_->at <= now) {
        const std::string name = std::move(old_name_->name);
        old_name_.reset();
        write_deleted(name);
    }
    while (!due_.empty() && due_.top().at <= now) {
        Due next = due_.top();
        due_.pop();
        const auto it = waiting_.find(next.name);
        if (it == waiting_.end() || it->second != next.at) continue;  // moved, dropped or noted again
        waiting_.erase(it);
        write_changed(next.name);
    }
    std::optional<TimePoint> next;
    if (!due_.empty()) next = due_.top().at;
    if (old_name_ && (!next || old_name_->at < *next)) next = old_name_->at;
    return next;
}

void ChangeReporter::note_changed(const std::string& name, TimePoint at) {
    // A path already waiting keeps its time: the burst's event comes one interval after its first change.
    if (waiting_.emplace(name, at).second) due_.push(Due{at, name});
}

bool ChangeReporter::within(const std::string& name, const std::string& folder) const {
    return name.size() > folder.size() && name.compare(0, folder.size(), folder) == 0 &&
           name[folder.size()] == root_.separator;
}

void ChangeReporter::forget_below(const std::string& name) {
    waiting_.erase(name);
    std::erase_if(waiting_, [&](const auto& entry) { return within(entry.first, name); });
}

void ChangeReporter::move_below(const std::string& from, const std::string& to) {
    std::vector<std::pair<std::string, TimePoint>> moved;
    for (auto it = waiting_.begin(); it != waiting_.end();) {
        if (it->first == from || within(it->first, from)) {
            moved.emplace_back(to + it->first.substr(from.size()), it->second);
            it = waiting_.erase(it);
        } else {
            ++it;
        }
    }
    for (const auto& [name, at] : moved) {
        const auto [it, added] = waiting_.emplace(name, at);
        if (!added && at < it->second) it->second = at;
        due_.push(Due{it->second, name});
    }
}

std::string ChangeReporter::full_path(const std::string& name) const {
    std::string path = root_.path;
    if (path.empty() || path.back() != root_.separator) path += root_.separator;
    return path + name;
}

std::string ChangeReporter::event_path(const std::string& name) const {
    std::string path = root_.event_path;
    if (path.empty() || path.back() != root_.separator) path += root_.separator;
    return path + name;
}

void ChangeReporter::write_created(const std::string& name, std::uint32_t attributes) {
    // Read now when the system did not say: a name created and gone again reads as no folder.
    if (attributes == INVALID_FILE_ATTRIBUTES_WORD) attributes = platform().file_attributes(wide(full_path(name)).c_str());
    const bool folder = attributes != INVALID_FILE_ATTRIBUTES_WORD && (attributes & attr::DIRECTORY) != 0;
    json::value event = named_event("created", event_path(name));
    event.as_object()["folder"] = folder;
    emit(std::move(event));
}

void ChangeReporter::write_deleted(const std::string& name) {
    forget_below(name);
    emit(named_event("deleted", event_path(name)));
}

void ChangeReporter::write_changed(const std::string& name) {
    json::value state = read_state_(full_path(name));
    if (!state.is_object()) return;
    json::object& event = state.as_object();
    event["event"] = "changed";
    event["path"] = event_path(name);
    emit(std::move(state));
}

// ---- WatchSession --------------------------------------------------------------------------

Expected<std::unique_ptr<WatchSession>> WatchSession::start(std::string_view root, StateReader read_state) {
    try {
        std::unique_ptr<WatchSession> session(new WatchSession());
        const std::u16string name = wide(root);
        WatchedRoot names;
        const Hresult status = directory_watcher().watch(name.c_str(), *session, session->watch_, names);
        if (status < 0) return error_from_hresult(status);
        ReportedRoot reported{utf16_to_utf8_lossy(names.path), utf16_to_utf8_lossy(names.event_path),
                              static_cast<char>(platform().path_separator())};
        session->reporter_.emplace(std::move(reported), read_state, session->clock_);
        session->thread_ = std::thread([s = session.get()] { s->run(); });
        return session;
    } catch (const std::exception&) {
        // No memory or no thread to be had; whatever had started has ended again.
        return PlatformError{hr::E_OUTOFMEMORY_CODE, nullptr};
    }
}

WatchSession::~WatchSession() {
    watch_.reset();  // no record arrives after this
    {
        std::lock_guard<std::mutex> guard(lock_);
        stopping_ = true;
    }
    wake_.notify_one();
    if (thread_.joinable()) thread_.join();
}

void WatchSession::on_changes(std::vector<ChangeRecord>&& records) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (queued_ + records.size() > QUEUE_LIMIT) {
            items_.clear();
            items_.push_back(Item{{}, true});
            queued_ = 0;
        } else {
            queued_ += records.size();
            items_.push_back(Item{std::move(records), false});
        }
    }
    wake_.notify_one();
}

void WatchSession::on_overflow() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        items_.push_back(Item{{}, true});
    }
    wake_.notify_one();
}

void WatchSession::run() {
    bool waiting = false;  // an event is due at `next`
    ChangeClock::TimePoint next{};
    for (;;) {
        std::deque<Item> items;
        {
            std::unique_lock<std::mutex> guard(lock_);
            const auto ready = [&] { return stopping_ || !items_.empty(); };
            if (waiting) wake_.wait_until(guard, next, ready);
            else wake_.wait(guard, ready);
            if (stopping_) return;
            items.swap(items_);
            queued_ = 0;
        }
        try {
            for (const Item& item : items) {
                if (item.overflow) reporter_->report_overflow();
                else reporter_->report(item.records);
            }
            const std::optional<ChangeClock::TimePoint> due = reporter_->write_due();
            waiting = due.has_value();
            if (waiting) next = *due;
        } catch (...) {
            // Out of memory: these events are lost; the next records start afresh.
            waiting = false;
        }
    }
}

}  // namespace zcf
