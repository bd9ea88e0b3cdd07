// platform/windows: error-information objects and system message texts (COM and Win32 calls).
#include "platform/windows/error_texts.h"

#include "platform/windows/com_owners.h"
#include "platform/windows/winrt_abi.h"

#include <windows.h>

namespace zcf::windows {

namespace {

// An IErrorInfo taken from the thread, owned.
class ComErrorInfo final : public ErrorInfo {
public:
    explicit ComErrorInfo(IErrorInfo* info) : info_(info) {}

    // The restricted description when the object offers IRestrictedErrorInfo, else its plain
    // description, else IErrorInfo's description. An empty result is final.
    std::u16string description() const override {
        ComPtr<rt::IRestrictedErrorInfo> restricted;
        if (SUCCEEDED(info_->QueryInterface(rt::IID_IRestrictedErrorInfo, restricted.out_void())) && restricted) {
            Bstr description, restricted_description, capability_sid;
            HRESULT code = S_OK;
            if (SUCCEEDED(restricted->GetErrorDetails(description.out(), &code, restricted_description.out(),
                                                      capability_sid.out()))) {
                std::u16string text = restricted_description.text();
                if (text.empty()) text = description.text();
                if (!text.empty()) return text;
            }
        }
        Bstr description;
        if (FAILED(info_->GetDescription(description.out()))) return {};
        return description.text();
    }

private:
    ComPtr<IErrorInfo> info_;
};

}  // namespace

ErrorInfoPtr wrap_error_info(IErrorInfo* owned) {
    if (owned == nullptr) return nullptr;
    return std::make_unique<ComErrorInfo>(owned);
}

ErrorInfoPtr take_thread_error_info() {
    IErrorInfo* info = nullptr;
    if (GetErrorInfo(0, &info) != S_OK) return nullptr;
    return wrap_error_info(info);
}

std::u16string system_message_text(Hresult code) {
    DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM;
    DWORD id = static_cast<DWORD>(code);
    HMODULE module = nullptr;
    if ((id & FACILITY_NT_BIT) != 0) {
        // NT statuses have their texts in ntdll's message table: clear the bit to get the status.
        id &= ~static_cast<DWORD>(FACILITY_NT_BIT);
        module = LoadLibraryExA("ntdll.dll", nullptr, LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
        flags |= FORMAT_MESSAGE_FROM_HMODULE;
    }
    wchar_t* buffer = nullptr;
    const DWORD length = FormatMessageW(flags, module, id, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::u16string text;
    if (length > 0 && buffer != nullptr) text.assign(reinterpret_cast<const char16_t*>(buffer), length);
    if (buffer != nullptr) LocalFree(buffer);
    if (module != nullptr) FreeLibrary(module);
    return text;
}

}  // namespace zcf::windows
