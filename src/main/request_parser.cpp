#include "main/request_parser.h"

#include <boost/json/basic_parser_impl.hpp>
#include <boost/json/parser.hpp>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <string>

namespace zcf {

namespace json = boost::json;

namespace {

// A second, small recursive-descent reader used only after Boost.JSON has rejected a line. It
// finds the first problem and words it the way the protocol documents ("expected `:`", "EOF while
// parsing an object", ...). Boost.JSON stays the parser of record.
class Explainer {
public:
    explicit Explainer(std::string_view text) : s_(text) {}

    std::string run() {
        if (!value(0)) return message_;
        skip_ws();
        if (i_ < s_.size()) fail("trailing characters", i_ + 1);
        return message_;
    }

private:
    bool fail(const char* problem, std::size_t column) {
        message_ = std::string(problem) + " at line 1 column " + std::to_string(column);
        return false;
    }
    bool eof(const char* problem) { return fail(problem, s_.size()); }
    bool at_end() const { return i_ >= s_.size(); }
    char peek() const { return s_[i_]; }
    void skip_ws() {
        while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\n' || s_[i_] == '\t' || s_[i_] == '\r')) ++i_;
    }

    bool value(std::size_t depth) {
        skip_ws();
        if (at_end()) return eof("EOF while parsing a value");
        switch (peek()) {
            case 'n': return ident("null");
            case 't': return ident("true");
            case 'f': return ident("false");
            case '"': return string();
            case '[': return array(depth + 1);
            case '{': return object(depth + 1);
            default:
                if (peek() == '-' || (peek() >= '0' && peek() <= '9')) return number();
                return fail("expected value", i_ + 1);
        }
    }

    bool ident(std::string_view word) {
        for (char c : word) {
            if (at_end()) return eof("EOF while parsing a value");
            if (peek() != c) return fail("expected ident", i_ + 1);
            ++i_;
        }
        return true;
    }

    bool digit() const { return !at_end() && peek() >= '0' && peek() <= '9'; }

    bool number() {
        const std::size_t start = i_;
        if (peek() == '-') ++i_;
        if (at_end()) return eof("EOF while parsing a value");
        if (peek() == '0') {
            ++i_;
            if (digit()) return fail("invalid number", i_ + 1);
        } else if (digit()) {
            while (digit()) ++i_;
        } else {
            return fail("invalid number", i_ + 1);
        }
        if (!at_end() && peek() == '.') {
            ++i_;
            if (at_end()) return eof("EOF while parsing a value");
            if (!digit()) return fail("invalid number", i_ + 1);
            while (digit()) ++i_;
        }
        if (!at_end() && (peek() == 'e' || peek() == 'E')) {
            ++i_;
            if (!at_end() && (peek() == '+' || peek() == '-')) ++i_;
            if (at_end()) return eof("EOF while parsing a value");
            if (!digit()) return fail("invalid number", i_ + 1);
            while (digit()) ++i_;
        }
        const std::string text(s_.substr(start, i_ - start));
        if (!std::isfinite(std::strtod(text.c_str(), nullptr))) return fail("number out of range", i_);
        return true;
    }

    static int hex(char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    }

    // Reads the four hex digits after "\u"; -1 after reporting a problem.
    long hex4() {
        long n = 0;
        for (int k = 0; k < 4; ++k) {
            if (at_end()) return eof("EOF while parsing a string"), -1;
            const int h = hex(peek());
            if (h < 0) return fail("invalid escape", i_ + 1), -1;
            n = n * 16 + h;
            ++i_;
        }
        return n;
    }

    bool string() {
        ++i_;  // opening quote
        for (;;) {
            if (at_end()) return eof("EOF while parsing a string");
            const unsigned char c = static_cast<unsigned char>(peek());
            if (c == '"') {
                ++i_;
                return true;
            }
            if (c < 0x20) return fail("control character (\\u0000-\\u001F) found while parsing a string", i_ + 1);
            ++i_;
            if (c != '\\') continue;
            if (at_end()) return eof("EOF while parsing a string");
            const char e = peek();
            ++i_;
            switch (e) {
                case '"': case '\\': case '/': case 'b': case 'f': case 'n': case 'r': case 't': break;
                case 'u': {
                    const long unit = hex4();
                    if (unit < 0) return false;
                    if (unit >= 0xDC00 && unit <= 0xDFFF) return fail("lone leading surrogate in hex escape", i_);
                    if (unit >= 0xD800 && unit <= 0xDBFF) {
                        if (at_end()) return eof("EOF while parsing a string");
                        if (peek() != '\\' || i_ + 1 >= s_.size() || s_[i_ + 1] != 'u')
                            return fail("unexpected end of hex escape", i_ + 1);
                        i_ += 2;
                        const long low = hex4();
                        if (low < 0) return false;
                        if (low < 0xDC00 || low > 0xDFFF) return fail("lone leading surrogate in hex escape", i_);
                    }
                    break;
                }
                default: return fail("invalid escape", i_);
            }
        }
    }

    bool array(std::size_t depth) {
        if (depth > MAX_NESTING) return fail("recursion limit exceeded", i_ + 1);
        ++i_;
        skip_ws();
        if (at_end()) return eof("EOF while parsing a list");
        if (peek() == ']') return ++i_, true;
        for (;;) {
            if (!value(depth)) return false;
            skip_ws();
            if (at_end()) return eof("EOF while parsing a list");
            if (peek() == ']') return ++i_, true;
            if (peek() != ',') return fail("expected `,` or `]`", i_ + 1);
            ++i_;
            skip_ws();
            if (at_end()) return eof("EOF while parsing a value");
            if (peek() == ']') return fail("trailing comma", i_ + 1);
        }
    }

    bool object(std::size_t depth) {
        if (depth > MAX_NESTING) return fail("recursion limit exceeded", i_ + 1);
        ++i_;
        skip_ws();
        if (at_end()) return eof("EOF while parsing an object");
        if (peek() == '}') return ++i_, true;
        for (;;) {
            if (peek() != '"') return fail("key must be a string", i_ + 1);
            if (!string()) return false;
            skip_ws();
            if (at_end()) return eof("EOF while parsing an object");
            if (peek() != ':') return fail("expected `:`", i_ + 1);
            ++i_;
            if (!value(depth)) return false;
            skip_ws();
            if (at_end()) return eof("EOF while parsing an object");
            if (peek() == '}') return ++i_, true;
            if (peek() != ',') return fail("expected `,` or `}`", i_ + 1);
            ++i_;
            skip_ws();
            if (at_end()) return eof("EOF while parsing an object");
            if (peek() == '}') return fail("trailing comma", i_ + 1);
        }
    }

    std::string_view s_;
    std::size_t i_ = 0;
    std::string message_;
};

// Boost.JSON reads 1e400 as infinity; JSON cannot carry it back out, so such a line is refused.
bool all_finite(const json::value& v) {
    switch (v.kind()) {
        case json::kind::double_: return std::isfinite(v.get_double());
        case json::kind::array:
            for (const json::value& e : v.get_array())
                if (!all_finite(e)) return false;
            return true;
        case json::kind::object:
            for (const json::key_value_pair& m : v.get_object())
                if (!all_finite(m.value())) return false;
            return true;
        default: return true;
    }
}

}  // namespace

std::string describe_json_error(std::string_view text) { return Explainer(text).run(); }

ParsedRequest parse_request(std::string_view text) {
    json::parse_options options;
    options.max_depth = MAX_NESTING;
    json::parser parser(json::storage_ptr(), options);
    boost::system::error_code ec;
    const std::size_t consumed = parser.write(text.data(), text.size(), ec);
    ParsedRequest result;
    if (!ec) {
        json::value v = parser.release();
        if (all_finite(v)) {
            result.value = std::move(v);
            return result;
        }
    }
    result.error = describe_json_error(text);
    if (result.error.empty())  // the two readers disagree: keep Boost's verdict and position
        result.error = ec.message() + " at line 1 column " + std::to_string(consumed + 1);
    return result;
}

namespace {

// Events of a parse that builds nothing: notes the scalar value of the top-level "seq" member
// (the last one, as later duplicates win). Allocates only for a "seq" that is a string.
class SeqFinder {
public:
    static constexpr std::size_t max_object_size = std::size_t(-1);
    static constexpr std::size_t max_array_size = std::size_t(-1);
    static constexpr std::size_t max_key_size = std::size_t(-1);
    static constexpr std::size_t max_string_size = std::size_t(-1);

    using error_code = boost::system::error_code;
    using string_view = json::string_view;

    std::optional<json::value> seq;

    bool on_document_begin(error_code&) { return true; }
    bool on_document_end(error_code&) { return true; }
    bool on_object_begin(error_code&) { return enter(); }
    bool on_object_end(std::size_t, error_code&) { return leave(); }
    bool on_array_begin(error_code&) { return enter(); }
    bool on_array_end(std::size_t, error_code&) { return leave(); }
    bool on_key_part(string_view part, std::size_t, error_code&) { return key_part(part); }
    bool on_key(string_view part, std::size_t, error_code&) {
        key_part(part);
        at_seq_ = depth_ == 1 && key_matches_ && key_length_ == SEQ.size();
        key_length_ = 0;
        key_matches_ = true;
        return true;
    }
    bool on_string_part(string_view part, std::size_t, error_code&) {
        if (taking()) text_.append(part.data(), part.size());
        return true;
    }
    bool on_string(string_view part, std::size_t, error_code&) {
        if (taking()) {
            text_.append(part.data(), part.size());
            take(json::value(json::string(text_)));
            text_.clear();
        }
        return true;
    }
    bool on_number_part(string_view, error_code&) { return true; }
    bool on_int64(std::int64_t v, string_view, error_code&) { return scalar(json::value(v)); }
    bool on_uint64(std::uint64_t v, string_view, error_code&) { return scalar(json::value(v)); }
    bool on_double(double v, string_view, error_code&) { return scalar(json::value(v)); }
    bool on_bool(bool v, error_code&) { return scalar(json::value(v)); }
    bool on_null(error_code&) { return scalar(json::value(nullptr)); }
    bool on_comment_part(string_view, error_code&) { return true; }
    bool on_comment(string_view, error_code&) { return true; }

private:
    static constexpr std::string_view SEQ = "seq";

    bool taking() const { return at_seq_ && depth_ == 1; }
    void take(json::value v) {
        seq = std::move(v);
        at_seq_ = false;
    }
    bool scalar(json::value v) {
        if (taking()) take(std::move(v));
        return true;
    }
    bool enter() {
        // A "seq" that is an object or an array is not kept: the request's "seq" stays unknown.
        if (taking()) {
            seq.reset();
            at_seq_ = false;
        }
        ++depth_;
        return true;
    }
    bool leave() {
        --depth_;
        return true;
    }
    bool key_part(string_view part) {
        if (depth_ != 1) return true;
        const std::string_view piece(part.data(), part.size());
        if (key_matches_)
            key_matches_ = key_length_ + piece.size() <= SEQ.size() && SEQ.substr(key_length_, piece.size()) == piece;
        key_length_ += piece.size();
        return true;
    }

    std::size_t depth_ = 0;
    std::size_t key_length_ = 0;
    bool key_matches_ = true;
    bool at_seq_ = false;
    std::string text_;
};

}  // namespace

std::optional<json::value> find_seq(std::string_view text) {
    json::parse_options options;
    options.max_depth = MAX_NESTING;
    json::basic_parser<SeqFinder> parser(options);
    boost::system::error_code ec;
    const std::size_t consumed = parser.write_some(false, text.data(), text.size(), ec);
    if (ec || consumed != text.size()) return std::nullopt;  // not exactly one value
    return std::move(parser.handler().seq);
}

}  // namespace zcf
