// One owner for every kind of handle: a move-only holder that closes what it holds, with the
// handle kind's value type, invalid values and close call given by a traits class:
//
//   struct Traits {
//       using Value = ...;                     // the handle's type
//       static Value invalid();                // the value an empty owner holds
//       static bool valid(Value v);            // false for every invalid value
//       static bool close(Value v);            // false when the close failed
//   };
//
// A leaf: both the core (file, find and protected handles through the platform) and the
// platform implementations (POSIX file descriptors) instantiate it.
#pragma once

#include <utility>

namespace zcf {

template <typename Traits>
class UniqueHandle {
public:
    using Value = typename Traits::Value;

    UniqueHandle() = default;
    explicit UniqueHandle(Value value) : value_(value) {}
    UniqueHandle(UniqueHandle&& other) noexcept : value_(other.release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    ~UniqueHandle() { reset(); }

    Value get() const { return value_; }
    bool valid() const { return Traits::valid(value_); }
    explicit operator bool() const { return valid(); }

    // Gives up ownership without closing.
    Value release() { return std::exchange(value_, Traits::invalid()); }
    // Closes what is held (a failure goes unreported) and holds `value` instead.
    void reset(Value value = Traits::invalid()) {
        const Value old = std::exchange(value_, value);
        if (Traits::valid(old)) (void)Traits::close(old);
    }
    // Closes now and says whether the close succeeded; true when nothing was held.
    bool close() {
        const Value old = release();
        return !Traits::valid(old) || Traits::close(old);
    }

private:
    Value value_ = Traits::invalid();
};

}  // namespace zcf
