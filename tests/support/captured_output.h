// Collects what the core writes to standard output, line by line, so that tests can wait for lines
// written by other threads. Installed as the process's streams while attached.
#pragma once

#include "common/emitter.h"
#include "support/mock_platform.h"

#include <boost/json/object.hpp>
#include <boost/json/parse.hpp>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

namespace zcf::testing {

class CapturedOutput final : public Streams {
public:
    ~CapturedOutput() override { set_streams(nullptr); }

    // Routes standard output here (until destroyed); standard input is empty.
    void attach() { set_streams(this); }

    std::ptrdiff_t read_input(char*, std::size_t) override { return 0; }
    bool write_output(const char* data, std::size_t size) override {
        std::lock_guard<std::mutex> guard(lock_);
        text_.append(data, size);
        complete_ += static_cast<std::size_t>(std::count(data, data + size, '\n'));
        changed_.notify_all();
        return true;
    }

    // Complete lines written so far, without their LF.
    std::vector<std::string> lines() {
        std::lock_guard<std::mutex> guard(lock_);
        return split();
    }

    // Takes the lines written so far out of the capture.
    std::vector<std::string> take() {
        std::lock_guard<std::mutex> guard(lock_);
        std::vector<std::string> result = split();
        text_.erase(0, text_.rfind('\n') + 1);
        complete_ = 0;
        return result;
    }

    // Waits (at most a few seconds) until `count` complete lines are there.
    bool wait_for_lines(std::size_t count) {
        std::unique_lock<std::mutex> guard(lock_);
        return changed_.wait_for(guard, std::chrono::seconds(10), [&] { return complete_ >= count; });
    }

    // Returns once any line another thread is writing has been written whole: emit holds the
    // standard-output lock until its write has returned, so writing a line of our own waits for it.
    void barrier() {
        boost::json::object marker;
        marker["barrier"] = true;
        emit(std::move(marker));
        std::lock_guard<std::mutex> guard(lock_);
        const std::string line = "{\"barrier\":true}\n";
        if (const std::size_t at = text_.find(line); at != std::string::npos) {
            text_.erase(at, line.size());
            --complete_;
        }
    }

private:
    std::vector<std::string> split() const {
        std::vector<std::string> result;
        std::size_t begin = 0;
        for (std::size_t lf; (lf = text_.find('\n', begin)) != std::string::npos; begin = lf + 1)
            result.push_back(text_.substr(begin, lf - begin));
        return result;
    }

    std::mutex lock_;
    std::condition_variable changed_;
    std::string text_;
    std::size_t complete_ = 0;  // LFs in text_
};

}  // namespace zcf::testing
