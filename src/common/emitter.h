// `emit`: the only writer of standard output. One whole line per call, under the process-wide
// standard-output lock, so lines from the main loop, callback threads and hydrate workers never
// interleave.
#pragma once

#include <boost/json/value.hpp>

namespace zcf {

// Writes `value` as one compact JSON line and flushes it. Consumes the value. Write failures
// (the parent closed its end) drop the line silently. An exception while writing (out of memory)
// reaches the caller and leaves the stream ready for the next line. Callable from any thread.
void emit(boost::json::value value);

}  // namespace zcf
