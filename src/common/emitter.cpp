#include "common/emitter.h"

#include "common/json_writer.h"
#include "platform/streams.h"

#include <cstring>
#include <mutex>

namespace zcf {

namespace {

// Standard output: a line is serialised straight into this buffer and written with one write
// when it fits (lines longer than the buffer go out in buffer-sized pieces).
class OutputStream final : public JsonSink {
public:
    using JsonSink::put;

    void put(const char* data, std::size_t size) override {
        if (failed_) return;
        while (size > 0) {
            if (used_ == sizeof buffer_ && !drain()) return;
            const std::size_t n = std::min(size, sizeof buffer_ - used_);
            std::memcpy(buffer_ + used_, data, n);
            used_ += n;
            data += n;
            size -= n;
        }
    }

    // Ends the line: flushes what is buffered and forgets any failure of this line.
    void end_line() {
        put('\n');
        if (!failed_) drain();
        used_ = 0;
        failed_ = false;
        drained_ = false;
    }

    // Abandons a line whose writing failed part-way: what is buffered goes; a line of which a
    // piece was already written is ended there, so that the next line starts on a line of its own.
    void abandon_line() {
        used_ = 0;
        if (drained_ && !failed_) {
            const char lf = '\n';
            try {
                (void)streams().write_output(&lf, 1);
            } catch (...) {
            }
        }
        failed_ = false;
        drained_ = false;
    }

    std::recursive_mutex lock;

private:
    bool drain() {
        if (used_ > 0) {
            if (streams().write_output(buffer_, used_)) drained_ = true;
            else failed_ = true;
        }
        used_ = 0;
        return !failed_;
    }

    char buffer_[64 * 1024];
    std::size_t used_ = 0;
    bool failed_ = false;
    bool drained_ = false;  // part of the current line has gone out
};

// Never destroyed: callback and worker threads may still emit while the process exits.
OutputStream& output() {
    static OutputStream* const STDOUT_STREAM = new OutputStream();
    return *STDOUT_STREAM;
}

}  // namespace

void emit(boost::json::value value) {
    OutputStream& out = output();
    {
        std::lock_guard<std::recursive_mutex> guard(out.lock);
        try {
            write_json(out, value);
            out.end_line();
        } catch (...) {
            // The next line starts afresh, without the rest of this one.
            out.abandon_line();
            throw;
        }
    }
    // The value is destroyed after the lock is released, on return.
}

}  // namespace zcf
