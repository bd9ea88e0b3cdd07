// Changes the parent makes to placeholders it already has: "update" (new metadata, identity or
// in-sync state from the remote side, dropping stale content), "insync" (after an upload) and
// "revert" (back to an ordinary file or folder).
#include "common/args.h"
#include "common/outcome.h"
#include "common/text.h"
#include "placeholders/create.h"
#include "placeholders/handles.h"
#include "placeholders/placeholders.h"
#include "platform/platform.h"

#include <boost/json/object.hpp>

#include <optional>

namespace zcf {

namespace json = boost::json;

namespace {

json::value usn_result(std::int64_t usn) {
    json::object result;
    result["usn"] = usn;
    return result;
}

bool is_true(const json::value& request, std::string_view key) {
    const json::value* v = find_arg(request, key);
    return v != nullptr && v->is_bool() && v->get_bool();
}

// The pin state the attribute word shows (pinned wins when both bits are set, as in "attrs").
std::uint32_t pin_state_of_word(std::uint32_t word) {
    if ((word & attr::PINNED) != 0) return pin_state::PINNED;
    if ((word & attr::UNPINNED) != 0) return pin_state::UNPINNED;
    return pin_state::UNSPECIFIED;
}

// What an "update" request asks for, read once.
struct UpdateRequest {
    const json::value* size = nullptr;   // "size", null when absent
    const json::value* mtime = nullptr;  // "mtimeMs", null when absent
    std::optional<std::string_view> identity;  // a string "identity"
    std::optional<bool> populated;              // a boolean "populated" (folders only)
    std::uint32_t flags = 0;
    std::int64_t usn = 0;  // 0: no condition

    bool dehydrate() const { return (flags & UPDATE_FLAG_DEHYDRATE) != 0; }
};

UpdateRequest read_update(const json::value& request) {
    UpdateRequest u;
    u.size = find_arg(request, "size");
    u.mtime = find_arg(request, "mtimeMs");
    if (const json::value* identity = find_arg(request, "identity"); identity != nullptr && identity->is_string())
        u.identity = std::string_view(identity->get_string().data(), identity->get_string().size());
    if (const json::value* in_sync = find_arg(request, "inSync"); in_sync != nullptr && in_sync->is_bool())
        u.flags |= in_sync->get_bool() ? UPDATE_FLAG_MARK_IN_SYNC : UPDATE_FLAG_CLEAR_IN_SYNC;
    if (is_true(request, "ifInSync")) u.flags |= UPDATE_FLAG_VERIFY_IN_SYNC;
    if (is_true(request, "dehydrate")) u.flags |= UPDATE_FLAG_DEHYDRATE;
    if (const json::value* populated = find_arg(request, "populated"); populated != nullptr && populated->is_bool())
        u.populated = populated->get_bool();
    // An empty identity removes the one the placeholder has (the platform then ignores the buffer).
    if (u.identity && u.identity->empty()) u.flags |= UPDATE_FLAG_REMOVE_FILE_IDENTITY;
    u.usn = i64_arg(request, "usn");
    return u;
}

// The update of the opened `file`; `word` is its attribute word from before the open.
//
// Pin state survives: the platform may drop it on an update, and refuses to dehydrate a pinned
// file, so a pinned file is unpinned for a dehydrating update, and whatever pin state the
// attributes show afterwards is set back to the one from before (without recursion). A pin change
// is itself a change of the file's USN, so
// - a USN condition is checked by an update that only checks (no metadata, identity or flags but
//   the in-sync condition) before the unpin, and the update proper then carries none;
// - after a pin change of its own, the program learns the file's final USN from an update that
//   changes nothing.
Outcome update_opened(Handle file, const char16_t* path, std::uint32_t word, const UpdateRequest& u) {
    Platform& os = platform();
    const bool known = word != INVALID_FILE_ATTRIBUTES_WORD;
    const bool folder = known && (word & attr::DIRECTORY) != 0;

    // Metadata only when a metadata key is given; zero times and attributes leave them as they
    // are. A file's size has no such value (0 truncates), so a size not given is the current one.
    std::optional<FsMetadata> metadata;
    if (u.size != nullptr || u.mtime != nullptr) {
        FsMetadata& m = metadata.emplace();
        const std::int64_t time = u.mtime != nullptr ? file_time_from_ms(u.mtime) : 0;
        m.basic_info = FileBasicInfo{time, time, time, time, 0};
        if (folder) m.file_size = 0;
        else if (u.size != nullptr) m.file_size = size_from_json(u.size);
        else if (!os.file_size(file, &m.file_size)) return error_from_last_error();
    }
    const void* identity = nullptr;
    std::uint32_t identity_length = 0;
    if (u.identity && !u.identity->empty()) {
        identity = u.identity->data();
        identity_length = static_cast<std::uint32_t>(u.identity->size());
    }

    // A folder is marked filled, or its next listing asks for its children again; files have no
    // such state.
    std::uint32_t flags = u.flags;
    if (folder && u.populated)
        flags |= *u.populated ? UPDATE_FLAG_DISABLE_ON_DEMAND_POPULATION : UPDATE_FLAG_ENABLE_ON_DEMAND_POPULATION;

    const std::optional<std::uint32_t> pin_before =
        known ? std::optional<std::uint32_t>(pin_state_of_word(word)) : std::nullopt;
    const bool unpin_first = u.dehydrate() && pin_before == pin_state::PINNED;
    std::int64_t usn = u.usn;
    if (unpin_first) {
        if (usn != 0) {
            const Hresult checked = os.update_placeholder(file, nullptr, nullptr, 0, nullptr, 0,
                                                          u.flags & UPDATE_FLAG_VERIFY_IN_SYNC, &usn);
            if (checked < 0) return error_from_hresult(checked);
            usn = 0;
        }
        const Hresult unpinned = os.set_pin_state(file, pin_state::UNSPECIFIED, 0);
        if (unpinned < 0) return error_from_hresult(unpinned);
    }

    std::optional<PlatformError> failure;
    const Hresult status = os.update_placeholder(file, metadata ? &*metadata : nullptr, identity, identity_length,
                                                 nullptr, 0, flags, &usn);
    if (status < 0) failure = error_from_hresult(status);

    bool pin_changed = false;
    if (pin_before) {
        const std::uint32_t after = os.file_attributes(path);
        if (after == INVALID_FILE_ATTRIBUTES_WORD || pin_state_of_word(after) != *pin_before) {
            const Hresult restored = os.set_pin_state(file, *pin_before, 0);
            if (restored < 0 && !failure) failure = error_from_hresult(restored);
            pin_changed = true;
        }
    }
    if (pin_changed && !failure) {
        usn = 0;
        const Hresult read = os.update_placeholder(file, nullptr, nullptr, 0, nullptr, 0, 0, &usn);
        if (read < 0) failure = error_from_hresult(read);
    }
    if (failure) return std::move(*failure);
    return usn_result(usn);
}

}  // namespace

Outcome cmd_update(const json::value& request) {
    const std::string_view path = text_arg(request, "path");
    const std::u16string name = wide(path);
    const UpdateRequest u = read_update(request);
    const std::uint32_t word = platform().file_attributes(name.c_str());
    // Dehydration needs an exclusive handle (the platform does not check); anything else is done
    // through a handle that other openers do not notice.
    if (u.dehydrate()) {
        ExclusiveFile file;
        if (std::optional<PlatformError> failure = file.open(name.c_str())) return std::move(*failure);
        return update_opened(file.win32(), name.c_str(), word, u);
    }
    return on_opened_path(path, [&](Handle file) { return update_opened(file, name.c_str(), word, u); });
}

Outcome cmd_insync(const json::value& request) {
    const json::value* in_sync = find_arg(request, "inSync");
    if (in_sync == nullptr || !in_sync->is_bool()) return PlatformError{hr::E_INVALIDARG_CODE, nullptr};
    const std::uint32_t state = in_sync->get_bool() ? IN_SYNC_STATE_IN_SYNC : IN_SYNC_STATE_NOT_IN_SYNC;
    std::int64_t usn = i64_arg(request, "usn");
    return on_opened_path(text_arg(request, "path"), [&](Handle file) -> Outcome {
        const Hresult status = platform().set_in_sync_state(file, state, SET_IN_SYNC_FLAG_NONE, &usn);
        if (status < 0) return error_from_hresult(status);
        return usn_result(usn);
    });
}

Outcome cmd_revert(const json::value& request) {
    const std::string_view path = text_arg(request, "path");
    const std::u16string name = wide(path);
    // The platform would fetch the missing content first, from this process, whose main thread
    // would be waiting in the call and could not read the parent's answers: refused as the
    // platform refuses a revert whose content cannot be brought in.
    const std::uint32_t word = platform().file_attributes(name.c_str());
    if (word != INVALID_FILE_ATTRIBUTES_WORD && (word & attr::DIRECTORY) == 0 && (word & attr::ONLINE_ONLY_MASK) != 0)
        return PlatformError{hresult_from_win32(win32::ERROR_CLOUD_FILE_ACCESS_DENIED), nullptr};
    return on_opened_path(path, [](Handle file) -> Outcome {
        const Hresult status = platform().revert_placeholder(file, REVERT_FLAG_NONE);
        if (status < 0) return error_from_hresult(status);
        return json::value(json::object());
    });
}

}  // namespace zcf
