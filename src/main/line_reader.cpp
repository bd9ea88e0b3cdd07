#include "main/line_reader.h"

#include "platform/streams.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace zcf {

namespace {
constexpr std::size_t MIN_READ = 64 * 1024;
constexpr std::size_t LARGE_BUFFER = 4 * 1024 * 1024;
}  // namespace

void LineReader::reserve(std::size_t capacity) {
    std::unique_ptr<char[]> grown(new char[capacity]);
    if (end_ > begin_) std::memcpy(grown.get(), buffer_.get() + begin_, end_ - begin_);
    end_ -= begin_;
    begin_ = 0;
    buffer_ = std::move(grown);
    capacity_ = capacity;
}

LineReader::Status LineReader::next(std::string_view& line) {
    for (;;) {
        const char* data = buffer_.get();
        const std::size_t unscanned = end_ - begin_ - scanned_;
        const void* lf = unscanned > 0 ? std::memchr(data + begin_ + scanned_, '\n', unscanned) : nullptr;
        if (lf != nullptr) {
            const std::size_t at = static_cast<std::size_t>(static_cast<const char*>(lf) - data);
            if (dropping_) {
                begin_ = at + 1;
                scanned_ = 0;
                dropping_ = false;
                return Status::dropped;
            }
            std::size_t length = at - begin_;
            if (length > 0 && data[at - 1] == '\r') --length;
            line = std::string_view(data + begin_, length);
            begin_ = at + 1;
            scanned_ = 0;
            return Status::line;
        }
        scanned_ = end_ - begin_;
        if (dropping_) begin_ = end_ = scanned_ = 0;  // the rest of a line that could not be held
        if (at_end_) {
            if (dropping_) {
                dropping_ = false;
                return Status::dropped;
            }
            if (begin_ == end_) return Status::end;
            line = std::string_view(data + begin_, end_ - begin_);
            begin_ = end_;
            scanned_ = 0;
            return Status::line;
        }
        // Make room: move the partial line to the front, then grow if still short of space.
        if (begin_ > 0) {
            std::memmove(buffer_.get(), buffer_.get() + begin_, end_ - begin_);
            end_ -= begin_;
            begin_ = 0;
        }
        if (capacity_ - end_ < MIN_READ) {
            try {
                reserve(std::max(capacity_ * 2, end_ + MIN_READ));
            } catch (const std::bad_alloc&) {
                // No memory for a longer line: it is read to its end and dropped, through a
                // small buffer again.
                dropping_ = true;
                begin_ = end_ = scanned_ = 0;
                buffer_.reset();
                capacity_ = 0;
                reserve(MIN_READ);
            }
        }
        const std::ptrdiff_t n = streams().read_input(buffer_.get() + end_, capacity_ - end_);
        if (n < 0) return Status::error;
        if (n == 0) at_end_ = true;
        end_ += static_cast<std::size_t>(n);
    }
}

void LineReader::release_large_buffer() {
    if (capacity_ < LARGE_BUFFER) return;
    reserve(std::max(end_ - begin_, MIN_READ));
}

}  // namespace zcf
