// The wire format of every line the program writes: compact JSON, keys in ascending byte order at
// every depth, minimal escaping, 64-bit integers as such and other numbers as the shortest text
// that reads back to the same double.
#pragma once

#include <boost/json/value.hpp>

#include <cstddef>
#include <string>
#include <string_view>

namespace zcf {

// Where the writer puts its text. Implemented by the output stream (straight into its buffer)
// and by a string sink for tests.
class JsonSink {
public:
    virtual ~JsonSink() = default;
    virtual void put(const char* data, std::size_t size) = 0;
    void put(std::string_view text) { put(text.data(), text.size()); }
    void put(char c) { put(&c, 1); }
};

void write_json(JsonSink& sink, const boost::json::value& value);

// A double as the protocol writes it (1.5, 1.0, 1e16, 1.5e-7).
std::string format_double(double value);

// The whole value as one string (tests, error descriptions).
std::string to_json_text(const boost::json::value& value);

}  // namespace zcf
