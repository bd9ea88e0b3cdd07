#include "common/json_writer.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <vector>

namespace zcf {

namespace json = boost::json;

namespace {

void write_string(JsonSink& sink, std::string_view s) {
    static constexpr char HEX[] = "0123456789abcdef";
    sink.put('"');
    std::size_t run = 0;  // start of the pending unescaped run
    for (std::size_t i = 0; i < s.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        if (c >= 0x20 && c != '"' && c != '\\') continue;
        sink.put(s.data() + run, i - run);
        run = i + 1;
        char escape[6] = {'\\', 0, 0, 0, 0, 0};
        std::size_t length = 2;
        switch (c) {
            case '"': escape[1] = '"'; break;
            case '\\': escape[1] = '\\'; break;
            case '\b': escape[1] = 'b'; break;
            case '\t': escape[1] = 't'; break;
            case '\n': escape[1] = 'n'; break;
            case '\f': escape[1] = 'f'; break;
            case '\r': escape[1] = 'r'; break;
            default:
                escape[1] = 'u';
                escape[2] = '0';
                escape[3] = '0';
                escape[4] = HEX[c >> 4];
                escape[5] = HEX[c & 0xF];
                length = 6;
        }
        sink.put(escape, length);
    }
    sink.put(s.data() + run, s.size() - run);
    sink.put('"');
}

template <typename Integer>
void write_integer(JsonSink& sink, Integer v) {
    char buffer[24];
    const auto r = std::to_chars(buffer, buffer + sizeof buffer, v);
    sink.put(buffer, static_cast<std::size_t>(r.ptr - buffer));
}

void write_value(JsonSink& sink, const json::value& v) {
    switch (v.kind()) {
        case json::kind::null: sink.put("null"); break;
        case json::kind::bool_: sink.put(v.get_bool() ? "true" : "false"); break;
        case json::kind::int64: write_integer(sink, v.get_int64()); break;
        case json::kind::uint64: write_integer(sink, v.get_uint64()); break;
        case json::kind::double_: sink.put(format_double(v.get_double())); break;
        case json::kind::string: write_string(sink, v.get_string()); break;
        case json::kind::array: {
            sink.put('[');
            bool first = true;
            for (const json::value& element : v.get_array()) {
                if (!first) sink.put(',');
                first = false;
                write_value(sink, element);
            }
            sink.put(']');
            break;
        }
        case json::kind::object: {
            const json::object& object = v.get_object();
            // Sort pointers to the members by key bytes (string_view compares as unsigned bytes).
            std::vector<const json::key_value_pair*> members;
            members.reserve(object.size());
            for (const json::key_value_pair& member : object) members.push_back(&member);
            std::sort(members.begin(), members.end(),
                      [](const json::key_value_pair* a, const json::key_value_pair* b) {
                          return a->key() < b->key();
                      });
            sink.put('{');
            bool first = true;
            for (const json::key_value_pair* member : members) {
                if (!first) sink.put(',');
                first = false;
                write_string(sink, member->key());
                sink.put(':');
                write_value(sink, member->value());
            }
            sink.put('}');
            break;
        }
    }
}

class StringSink final : public JsonSink {
public:
    void put(const char* data, std::size_t size) override { text.append(data, size); }
    using JsonSink::put;
    std::string text;
};

}  // namespace

std::string format_double(double value) {
    if (!std::isfinite(value)) return "null";  // not representable; the parser never produces it
    if (value == 0) return std::signbit(value) ? "-0.0" : "0.0";
    // Shortest round-trip digits in scientific form: d[.ddd]e[+-]x.
    char buffer[64];
    const auto r = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
    std::string_view text(buffer, static_cast<std::size_t>(r.ptr - buffer));
    std::string out;
    if (text.front() == '-') {
        out.push_back('-');
        text.remove_prefix(1);
    }
    const std::size_t e_pos = text.find('e');
    std::string digits;
    for (char c : text.substr(0, e_pos))
        if (c != '.') digits.push_back(c);
    int exponent = 0;
    std::from_chars(text.data() + e_pos + 1 + (text[e_pos + 1] == '+' ? 1 : 0), text.data() + text.size(), exponent);

    const double magnitude = std::fabs(value);
    if (magnitude >= 1e-5 && magnitude < 1e16) {
        if (exponent >= 0) {
            const std::size_t integer_digits = static_cast<std::size_t>(exponent) + 1;
            if (digits.size() <= integer_digits) {
                out += digits;
                out.append(integer_digits - digits.size(), '0');
                out += ".0";
            } else {
                out.append(digits, 0, integer_digits);
                out.push_back('.');
                out.append(digits, integer_digits);
            }
        } else {
            out += "0.";
            out.append(static_cast<std::size_t>(-exponent - 1), '0');
            out += digits;
        }
    } else {
        out.push_back(digits[0]);
        if (digits.size() > 1) {
            out.push_back('.');
            out.append(digits, 1);
        }
        out.push_back('e');
        out += std::to_string(exponent);
    }
    return out;
}

void write_json(JsonSink& sink, const json::value& value) { write_value(sink, value); }

std::string to_json_text(const json::value& value) {
    StringSink sink;
    write_json(sink, value);
    return std::move(sink.text);
}

}  // namespace zcf
