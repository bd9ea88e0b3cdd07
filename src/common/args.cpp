#include "common/args.h"

#include <limits>

namespace zcf {

namespace json = boost::json;

const json::value* find_arg(const json::value& request, std::string_view key) {
    const json::object* object = request.if_object();
    if (object == nullptr) return nullptr;
    return object->if_contains(key);
}

std::string_view text_arg(const json::value& request, std::string_view key, std::string_view fallback) {
    const json::value* v = find_arg(request, key);
    if (v == nullptr || !v->is_string()) return fallback;
    const json::string& s = v->get_string();
    return {s.data(), s.size()};
}

std::uint64_t u64_arg(const json::value& request, std::string_view key) {
    const json::value* v = find_arg(request, key);
    if (v == nullptr) return 0;
    if (v->is_uint64()) return v->get_uint64();
    if (v->is_int64() && v->get_int64() >= 0) return static_cast<std::uint64_t>(v->get_int64());
    return 0;
}

std::int64_t i64_arg(const json::value& request, std::string_view key) {
    const json::value* v = find_arg(request, key);
    if (v == nullptr) return 0;
    if (v->is_int64()) return v->get_int64();
    if (v->is_uint64() && v->get_uint64() <= std::uint64_t(std::numeric_limits<std::int64_t>::max()))
        return static_cast<std::int64_t>(v->get_uint64());
    return 0;
}

const json::array& list_arg(const json::value& request, std::string_view key) {
    static const json::array* const EMPTY = new json::array();
    const json::value* v = find_arg(request, key);
    if (v == nullptr || !v->is_array()) return *EMPTY;
    return v->get_array();
}

json::value seq_of(const json::value& request) {
    const json::value* v = find_arg(request, "seq");
    return v != nullptr ? json::value(*v) : json::value(nullptr);
}

}  // namespace zcf
