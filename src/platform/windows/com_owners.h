// platform/windows: RAII owners for COM interface pointers, HSTRINGs and BSTRs. Ownership helpers
// only; no Windows calls besides releasing what is owned.
#pragma once

#include <windows.h>
#include <oleauto.h>
#include <winstring.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

namespace zcf::windows {

// Owns one reference to a COM interface.
template <typename T>
class ComPtr {
public:
    ComPtr() = default;
    // Takes over a reference the caller already holds.
    explicit ComPtr(T* owned) : pointer_(owned) {}
    ComPtr(const ComPtr& other) : pointer_(other.pointer_) {
        if (pointer_ != nullptr) pointer_->AddRef();
    }
    ComPtr(ComPtr&& other) noexcept : pointer_(std::exchange(other.pointer_, nullptr)) {}
    ComPtr& operator=(ComPtr other) noexcept {
        std::swap(pointer_, other.pointer_);
        return *this;
    }
    ~ComPtr() { reset(); }

    void reset() {
        if (T* old = std::exchange(pointer_, nullptr)) old->Release();
    }
    T* get() const { return pointer_; }
    T* operator->() const { return pointer_; }
    explicit operator bool() const { return pointer_ != nullptr; }
    // The address for an out parameter; releases what was held.
    T** out() {
        reset();
        return &pointer_;
    }
    void** out_void() { return reinterpret_cast<void**>(out()); }

private:
    T* pointer_ = nullptr;
};

// Owns an HSTRING (null is the empty string).
class HString {
public:
    HString() = default;
    HString(const HString&) = delete;
    HString& operator=(const HString&) = delete;
    ~HString() { WindowsDeleteString(value_); }

    // Creates the string from UTF-16 text; the empty text gives the empty (null) HSTRING.
    HRESULT assign(const wchar_t* text, UINT32 length) {
        WindowsDeleteString(std::exchange(value_, nullptr));
        return WindowsCreateString(length == 0 ? nullptr : text, length, &value_);
    }
    // The whole text, NULs included.
    HRESULT assign(std::u16string_view text) {
        if (text.size() > UINT32_MAX) return E_INVALIDARG;
        return assign(reinterpret_cast<const wchar_t*>(text.data()), static_cast<UINT32>(text.size()));
    }
    // NUL-terminated text (null is the empty text).
    HRESULT assign(const wchar_t* text) {
        const auto* units = reinterpret_cast<const char16_t*>(text);
        return assign(units != nullptr ? std::u16string_view(units) : std::u16string_view());
    }
    HSTRING get() const { return value_; }

private:
    HSTRING value_ = nullptr;
};

// Owns a BSTR.
class Bstr {
public:
    Bstr() = default;
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    ~Bstr() { SysFreeString(value_); }
    BSTR* out() {
        SysFreeString(std::exchange(value_, nullptr));
        return &value_;
    }
    std::u16string text() const {
        return value_ != nullptr ? std::u16string(reinterpret_cast<const char16_t*>(value_), SysStringLen(value_))
                                 : std::u16string();
    }

private:
    BSTR value_ = nullptr;
};

}  // namespace zcf::windows
