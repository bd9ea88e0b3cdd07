// The standard streams the conversation runs on: requests in, responses and events out.
//
// Apart from the cloud-files platform so that a test or a fuzzer can feed lines and collect
// output without standing in for the operating system's file and Cloud Files calls.
#pragma once

#include <cstddef>

namespace zcf {

class Streams {
public:
    virtual ~Streams() = default;
    // Reads up to `capacity` bytes of standard input: >0 bytes read, 0 end of input, <0 error.
    // Blocks until at least one byte, the end or an error.
    virtual std::ptrdiff_t read_input(char* buffer, std::size_t capacity) = 0;
    // Writes all `size` bytes to standard output; false when the output is gone.
    virtual bool write_output(const char* data, std::size_t size) = 0;
};

// The process's streams: the build's own unless a test installed others.
Streams& streams();
// Installs `replacement` (not owned) until called again; null restores the build's own.
void set_streams(Streams* replacement);
// Defined by the build's implementation (platform/windows or platform/linux).
Streams& native_streams();

}  // namespace zcf
