// Splits standard input into lines: LF ends a line, a CR right before it goes with it, and a
// last line without LF still counts. No length limit but memory: a line that cannot be held is
// skipped and reported as dropped.
#pragma once

#include <cstddef>
#include <memory>
#include <string_view>

namespace zcf {

class LineReader {
public:
    // dropped: a line was too long to hold in memory; it has been read to its end and skipped.
    enum class Status { line, dropped, end, error };

    // The next line (without LF and the CR before it), valid until the next call.
    Status next(std::string_view& line);

    // Gives back a large buffer once its line has been parsed, so that a multi-megabyte request
    // is not held twice while its command runs.
    void release_large_buffer();

private:
    // Grows to `capacity` bytes, keeping the unconsumed data. Not zero-filled: a multi-megabyte
    // line would otherwise be written twice.
    void reserve(std::size_t capacity);

    std::unique_ptr<char[]> buffer_;
    std::size_t capacity_ = 0;
    std::size_t begin_ = 0;  // start of unconsumed data
    std::size_t end_ = 0;    // end of data read
    std::size_t scanned_ = 0;  // bytes after begin_ already searched for LF
    bool at_end_ = false;
    bool dropping_ = false;  // skipping the rest of a line that could not be held
};

}  // namespace zcf
