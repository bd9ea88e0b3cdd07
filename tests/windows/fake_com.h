// Fake COM objects for the Windows platform tests: reference counting that tracks live objects,
// and an error-information object with or without IRestrictedErrorInfo.
#pragma once

// The portable headers go before <windows.h>, whose macros share their names.
#include "platform/error.h"
#include "platform/windows/winrt_abi.h"

#include <windows.h>
#include <oleauto.h>
#include <roapi.h>
#include <winstring.h>

#include <atomic>
#include <string>

namespace zcf::windows::testing {

// Fake objects alive right now, across all kinds.
inline std::atomic<int> LIVE_FAKES{0};

// Reference counting for a fake; `delete this` when the count drops to 0.
class FakeCounted {
public:
    FakeCounted() { ++LIVE_FAKES; }
    virtual ~FakeCounted() { --LIVE_FAKES; }
    FakeCounted(const FakeCounted&) = delete;
    FakeCounted& operator=(const FakeCounted&) = delete;
    ULONG references() const { return references_; }

protected:
    ULONG add_reference() { return ++references_; }
    ULONG release_reference() {
        const ULONG left = --references_;
        if (left == 0) delete this;
        return left;
    }

private:
    std::atomic<ULONG> references_{1};
};

// An IErrorInfo; with `restricted`, it also offers IRestrictedErrorInfo.
class FakeErrorInfo final : public IErrorInfo, public rt::IRestrictedErrorInfo, public FakeCounted {
public:
    struct Texts {
        std::wstring description;             // IErrorInfo::GetDescription
        bool restricted = false;              // offers IRestrictedErrorInfo
        HRESULT details_result = S_OK;        // GetErrorDetails' own result
        std::wstring restricted_description;  // GetErrorDetails
        std::wstring details_description;     // GetErrorDetails' plain description
    };
    explicit FakeErrorInfo(Texts texts) : texts_(std::move(texts)) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (iid == rt::IID_IUnknown_ || iid == rt::IID_IErrorInfo_) {
            *object = static_cast<IErrorInfo*>(this);
        } else if (iid == rt::IID_IRestrictedErrorInfo && texts_.restricted) {
            *object = static_cast<rt::IRestrictedErrorInfo*>(this);
        } else {
            *object = nullptr;
            return E_NOINTERFACE;
        }
        add_reference();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return add_reference(); }
    ULONG STDMETHODCALLTYPE Release() override { return release_reference(); }

    HRESULT STDMETHODCALLTYPE GetGUID(GUID* guid) override {
        *guid = GUID{};
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetSource(BSTR* source) override {
        *source = nullptr;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetDescription(BSTR* description) override {
        *description = bstr(texts_.description);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetHelpFile(BSTR* file) override {
        *file = nullptr;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetHelpContext(DWORD* context) override {
        *context = 0;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE GetErrorDetails(BSTR* description, HRESULT* error, BSTR* restricted_description,
                                              BSTR* capability_sid) override {
        *description = nullptr;
        *restricted_description = nullptr;
        *capability_sid = nullptr;
        *error = E_FAIL;
        if (FAILED(texts_.details_result)) return texts_.details_result;
        *description = bstr(texts_.details_description);
        *restricted_description = bstr(texts_.restricted_description);
        *capability_sid = bstr(L"S-1-0-0");
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetReference(BSTR* reference) override {
        *reference = nullptr;
        return S_OK;
    }

private:
    static BSTR bstr(const std::wstring& text) {
        return text.empty() ? nullptr : SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    }
    Texts texts_;
};

// The UTF-8 form of an HSTRING, for journals ("" for the empty string).
inline std::string hstring_text(HSTRING value) {
    UINT32 length = 0;
    const wchar_t* raw = WindowsGetStringRawBuffer(value, &length);
    if (length == 0) return {};
    const int size = WideCharToMultiByte(CP_UTF8, 0, raw, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, raw, static_cast<int>(length), out.data(), size, nullptr, nullptr);
    return out;
}

// The inspectable part of a fake runtime object: nothing to report.
#define ZCF_FAKE_INSPECTABLE                                                                              \
    HRESULT STDMETHODCALLTYPE GetIids(ULONG* count, IID** iids) override {                                \
        *count = 0;                                                                                       \
        *iids = nullptr;                                                                                  \
        return S_OK;                                                                                      \
    }                                                                                                     \
    HRESULT STDMETHODCALLTYPE GetRuntimeClassName(HSTRING* name) override {                               \
        *name = nullptr;                                                                                  \
        return E_NOTIMPL;                                                                                 \
    }                                                                                                     \
    HRESULT STDMETHODCALLTYPE GetTrustLevel(TrustLevel* level) override {                                 \
        *level = BaseTrust;                                                                               \
        return S_OK;                                                                                      \
    }                                                                                                     \
    ULONG STDMETHODCALLTYPE AddRef() override { return add_reference(); }                                 \
    ULONG STDMETHODCALLTYPE Release() override {                                                          \
        /* Like a call through a proxy, a release clears the thread's error information. */               \
        const ULONG left = release_reference();                                                           \
        SetErrorInfo(0, nullptr);                                                                         \
        return left;                                                                                      \
    }

}  // namespace zcf::windows::testing
