#include "common/placeholder_items.h"

#include "common/args.h"
#include "common/text.h"
#include "platform/file_types.h"

#include <cmath>
#include <limits>

namespace zcf {

namespace json = boost::json;

namespace {

bool is_literal(const json::value& item, std::string_view key, bool literal) {
    const json::value* v = find_arg(item, key);
    return v != nullptr && v->is_bool() && v->get_bool() == literal;
}

}  // namespace

std::int64_t file_time_from_ms(const json::value* mtime_ms) {
    if (mtime_ms == nullptr || !mtime_ms->is_number()) return FILETIME_UNIX_EPOCH;
    double ms;
    if (mtime_ms->is_uint64()) ms = static_cast<double>(mtime_ms->get_uint64());
    else if (mtime_ms->is_int64()) ms = static_cast<double>(mtime_ms->get_int64());
    else ms = mtime_ms->get_double();
    std::int64_t whole;
    if (std::isnan(ms)) whole = 0;
    else if (ms >= 9223372036854775808.0) whole = std::numeric_limits<std::int64_t>::max();
    else if (ms < -9223372036854775808.0) whole = std::numeric_limits<std::int64_t>::min();
    else whole = static_cast<std::int64_t>(ms);  // truncates toward zero
    // Wrapping arithmetic, done unsigned so overflow is defined.
    const std::uint64_t time =
        static_cast<std::uint64_t>(whole) * 10000u + static_cast<std::uint64_t>(FILETIME_UNIX_EPOCH);
    return static_cast<std::int64_t>(time);
}

std::int64_t size_from_json(const json::value* size) {
    if (size == nullptr) return 0;
    if (size->is_int64()) return size->get_int64();
    if (size->is_uint64() && size->get_uint64() <= std::uint64_t(std::numeric_limits<std::int64_t>::max()))
        return static_cast<std::int64_t>(size->get_uint64());
    return 0;
}

void PlaceholderBatch::clear() {
    names_.clear();
    name_at_.clear();
    records_.clear();
}

void PlaceholderBatch::add(const json::value& item) {
    name_at_.push_back(names_.size());
    append_wide(names_, text_arg(item, "name"));
    names_.push_back(u'\0');

    const std::string_view identity = text_arg(item, "identity");
    const bool folder = is_literal(item, "folder", true);
    const std::int64_t time = file_time_from_ms(find_arg(item, "mtimeMs"));
    PlaceholderCreateInfo& record = records_.emplace_back(PlaceholderCreateInfo{});
    record.fs_metadata.basic_info.creation_time = time;
    record.fs_metadata.basic_info.last_access_time = time;
    record.fs_metadata.basic_info.last_write_time = time;
    record.fs_metadata.basic_info.change_time = time;
    record.fs_metadata.basic_info.file_attributes = folder ? attr::DIRECTORY : attr::NORMAL;
    record.fs_metadata.file_size = folder ? 0 : size_from_json(find_arg(item, "size"));
    // An empty identity still gets a valid pointer, with length 0.
    record.file_identity = identity.empty() ? NO_IDENTITY : identity.data();
    record.file_identity_length = static_cast<std::uint32_t>(identity.size());
    record.flags = placeholder_create_flag::MARK_IN_SYNC;
    // A folder is filled unless the parent says otherwise: without the flag, its first listing
    // asks for its children (where the sync root's population policy lets it).
    if (folder && !is_literal(item, "populated", false))
        record.flags |= placeholder_create_flag::DISABLE_ON_DEMAND_POPULATION;
}

PlaceholderCreateInfo* PlaceholderBatch::records() {
    // The names buffer is complete: it no longer moves, so the records may point into it.
    for (std::size_t k = 0; k < records_.size(); ++k) records_[k].relative_file_name = names_.data() + name_at_[k];
    return records_.data();
}

json::object placeholder_failure(std::string_view dir, const json::value& item, Hresult code) {
    const json::value* name = find_arg(item, "name");
    json::object failure;
    failure["dir"] = json::string(dir);
    failure["error"] = error_message_text(error_from_hresult(code));
    failure["name"] = name != nullptr ? json::value(*name) : json::value(nullptr);
    return failure;
}

}  // namespace zcf
