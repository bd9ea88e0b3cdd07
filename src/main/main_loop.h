// The program's conversation: announce, then read, dispatch and answer one line at a time.
#pragma once

#include <cstddef>

namespace zcf {

// Runs the whole conversation on the calling thread and returns the exit code (always 0).
int run_main_loop();

// Handles one input line (already split from the stream, not yet validated or trimmed). Returns
// false when the line ends the conversation (it is not valid UTF-8).
class LineReader;
bool handle_line(const char* data, std::size_t size, LineReader* reader);

}  // namespace zcf
