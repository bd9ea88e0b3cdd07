// What a command returns: a JSON result, a platform error, or word that its answer comes later.
#pragma once

#include "platform/error.h"

#include <boost/json/value.hpp>

#include <cstdint>
#include <string>
#include <utility>
#include <variant>

namespace zcf {

// The error for a failed HRESULT-returning call; takes the thread's error information now.
PlatformError error_from_hresult(Hresult code);
// The error for a failed call that reports through the thread's last-error code.
PlatformError error_from_last_error();

// "code": "0x" and the lowercase hexadecimal code without leading zeros.
std::string error_code_text(Hresult code);
// "error": the message, a blank and "(0xXXXXXXXX)"; only the parenthesised code's digits when
// there is no message.
std::string error_message_text(const PlatformError& error);

// Either a value or a platform error.
template <typename T>
class Expected {
public:
    Expected(T value) : state_(std::move(value)) {}
    Expected(PlatformError error) : state_(std::move(error)) {}
    bool ok() const { return state_.index() == 0; }
    T& value() { return std::get<0>(state_); }
    PlatformError& error() { return std::get<1>(state_); }

private:
    std::variant<T, PlatformError> state_;
};

// A command that answers later: a worker of its own writes the request's only answer.
struct Deferred {};

// What a command returns. The main loop answers a result or an error at once; a deferred
// outcome it leaves unanswered.
class Outcome {
public:
    Outcome(boost::json::value result) : state_(std::move(result)) {}
    Outcome(PlatformError error) : state_(std::move(error)) {}
    Outcome(Deferred) : state_(Deferred{}) {}
    bool ok() const { return state_.index() == 0; }
    bool deferred() const { return state_.index() == 2; }
    boost::json::value& value() { return std::get<0>(state_); }
    PlatformError& error() { return std::get<1>(state_); }

private:
    std::variant<boost::json::value, PlatformError, Deferred> state_;
};

}  // namespace zcf
