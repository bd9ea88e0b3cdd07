// The dispatcher: one parsed request in, one outcome out, by the request's "cmd".
#pragma once

#include "common/outcome.h"

#include <boost/json/value.hpp>

#include <string_view>

namespace zcf {

using CommandFunction = Outcome (*)(const boost::json::value& request);

struct Command {
    std::string_view name;
    CommandFunction run;
};

// Runs the command named by "cmd" to completion; an unknown name (or none) succeeds with
// {"unknown": name}.
Outcome handle(const boost::json::value& request);

// The command table, for tests and documentation.
const Command* find_command(std::string_view name);

}  // namespace zcf
