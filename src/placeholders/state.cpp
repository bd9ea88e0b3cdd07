// Placeholder state of one path: "pin", "dehydrate", "attrs", and the placeholder query.
#include "common/args.h"
#include "common/open.h"
#include "common/outcome.h"
#include "common/text.h"
#include "placeholders/handles.h"
#include "placeholders/placeholder_info.h"
#include "placeholders/placeholders.h"
#include "platform/platform.h"

#include <boost/json/object.hpp>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>

namespace zcf {

namespace json = boost::json;

namespace {

std::uint32_t pin_state_of(std::string_view state) {
    if (state == "pinned") return pin_state::PINNED;
    if (state == "unpinned") return pin_state::UNPINNED;
    return pin_state::UNSPECIFIED;
}

// A call's status as an outcome: its error (with the error information taken now, before the
// handle is closed), or the empty result.
Outcome done_or_error(Hresult status) {
    if (status < 0) return error_from_hresult(status);
    return json::value(json::object());
}

}  // namespace

std::optional<PlaceholderInfo> placeholder_info_wide(const char16_t* path) {
    FileHandle file(platform().create_file(path, access::FILE_READ_ATTRIBUTES, SHARE_ALL,
                                           OPEN_EXISTING_DISPOSITION, FLAG_BACKUP_SEMANTICS));
    if (!handle_valid(file.get())) return std::nullopt;
    alignas(8) std::array<unsigned char, PLACEHOLDER_INFO_BUFFER_SIZE> buffer{};
    const Hresult status = platform().get_placeholder_info(file.get(), PLACEHOLDER_INFO_BASIC, buffer.data(),
                                                           PLACEHOLDER_INFO_BUFFER_SIZE, nullptr);
    file.reset();  // a failed close changes nothing here
    if (status < 0) return std::nullopt;

    std::uint32_t in_sync_state = 0;
    std::uint32_t identity_length = 0;
    std::memcpy(&in_sync_state, buffer.data() + offsetof(PlaceholderBasicInfo, in_sync_state), sizeof in_sync_state);
    std::memcpy(&identity_length, buffer.data() + offsetof(PlaceholderBasicInfo, file_identity_length),
                sizeof identity_length);
    // Never read past the buffer: a length beyond what it holds behind the fixed part is cut
    // to what it holds.
    identity_length = std::min(identity_length, PLACEHOLDER_INFO_BUFFER_SIZE - PLACEHOLDER_BASIC_INFO_IDENTITY_OFFSET);
    PlaceholderInfo info;
    info.in_sync = in_sync_state == IN_SYNC_STATE_IN_SYNC;
    info.identity = decode_utf8_lossy(buffer.data() + PLACEHOLDER_BASIC_INFO_IDENTITY_OFFSET, identity_length);
    return info;
}

std::optional<PlaceholderInfo> placeholder_info(std::string_view path) {
    // Request text is valid UTF-8, so its UTF-16 form holds no unpaired surrogate.
    const std::u16string name = wide(path);
    return placeholder_info_wide(name.c_str());
}

json::value attrs(std::string_view path) {
    const std::u16string name = wide(path);
    const std::uint32_t word = platform().file_attributes(name.c_str());
    // A path whose attributes cannot be read has no pin or online state: the failure value has
    // every bit set and must not read as pinned, unpinned and online-only at once.
    const bool known = word != INVALID_FILE_ATTRIBUTES_WORD;
    json::object result;
    result["attributes"] = word;
    result["pinned"] = known && (word & attr::PINNED) != 0;
    result["unpinned"] = known && (word & attr::UNPINNED) != 0;
    result["onlineOnly"] = known && (word & attr::ONLINE_ONLY_MASK) != 0;
    // Two independent queries, one for each member.
    const std::optional<PlaceholderInfo> first = placeholder_info_wide(name.c_str());
    result["inSync"] = first.has_value() && first->in_sync;
    const std::optional<PlaceholderInfo> second = placeholder_info_wide(name.c_str());
    result["identity"] = second ? json::value(json::string(second->identity)) : json::value(nullptr);
    return result;
}

Outcome cmd_pin(const json::value& request) {
    const std::uint32_t state = pin_state_of(text_arg(request, "state"));
    return on_opened_path(text_arg(request, "path"), [state](Handle file) {
        return done_or_error(platform().set_pin_state(file, state, SET_PIN_FLAG_RECURSE));
    });
}

Outcome cmd_dehydrate(const json::value& request) {
    return on_opened_path(text_arg(request, "path"), [](Handle file) {
        return done_or_error(platform().dehydrate_placeholder(file, 0, CF_EOF_LENGTH, 0));
    });
}

Outcome cmd_attrs(const json::value& request) { return attrs(text_arg(request, "path")); }

}  // namespace zcf
