// platform/windows: the Platform instance of the Windows build, with the process, stream, error
// and Win32 file calls. Win32 and COM calls are allowed here and only under platform/windows.
#include "platform/platform.h"

#include <windows.h>
#include <oleauto.h>
#include <roapi.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstring>

namespace zcf::windows {

namespace {

// IRestrictedErrorInfo is not declared by the mingw-w64 headers.
const IID IID_IRestrictedErrorInfo_ = {0x82BA7092, 0x4C88, 0x427D, {0xA7, 0xBC, 0x16, 0xDD, 0x93, 0xFE, 0xB6, 0x7E}};
struct IRestrictedErrorInfoAbi : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetErrorDetails(BSTR* description, HRESULT* error,
                                                      BSTR* restricted_description, BSTR* capability_sid) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetReference(BSTR* reference) = 0;
};

HANDLE to_native(Handle h) { return reinterpret_cast<HANDLE>(h); }
Handle from_native(HANDLE h) { return reinterpret_cast<Handle>(h); }
const wchar_t* to_wide(const char16_t* s) { return reinterpret_cast<const wchar_t*>(s); }

// Owns a BSTR.
class Bstr {
public:
    ~Bstr() { SysFreeString(value_); }
    BSTR* out() { return &value_; }
    std::u16string text() const {
        return value_ ? std::u16string(reinterpret_cast<const char16_t*>(value_), SysStringLen(value_)) : std::u16string();
    }

private:
    BSTR value_ = nullptr;
};

// An IErrorInfo taken from the thread, owned.
class ComErrorInfo final : public ErrorInfo {
public:
    explicit ComErrorInfo(IErrorInfo* info) : info_(info) {}
    ~ComErrorInfo() override { info_->Release(); }

    std::u16string description() const override {
        IRestrictedErrorInfoAbi* restricted = nullptr;
        if (SUCCEEDED(info_->QueryInterface(IID_IRestrictedErrorInfo_, reinterpret_cast<void**>(&restricted))) &&
            restricted != nullptr) {
            Bstr description, restricted_description, capability_sid;
            HRESULT code = 0;
            const HRESULT hr = restricted->GetErrorDetails(description.out(), &code, restricted_description.out(),
                                                           capability_sid.out());
            restricted->Release();
            if (SUCCEEDED(hr)) {
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
    IErrorInfo* info_;
};

class WindowsPlatform final : public Platform {
public:
    void initialize_process() override {
        RoInitialize(RO_INIT_MULTITHREADED);  // failure ignored: registration reports its own
        _setmode(_fileno(stdin), _O_BINARY);
        _setmode(_fileno(stdout), _O_BINARY);
        input_ = GetStdHandle(STD_INPUT_HANDLE);
        output_ = GetStdHandle(STD_OUTPUT_HANDLE);
    }
    std::uint32_t process_id() override { return GetCurrentProcessId(); }
    std::ptrdiff_t read_input(char* buffer, std::size_t capacity) override {
        DWORD got = 0;
        const DWORD want = capacity > 0x40000000u ? 0x40000000u : static_cast<DWORD>(capacity);
        if (!ReadFile(input_, buffer, want, &got, nullptr)) {
            // A closed pipe is the end of input, not an error.
            return GetLastError() == ERROR_BROKEN_PIPE ? 0 : -1;
        }
        return static_cast<std::ptrdiff_t>(got);
    }
    bool write_output(const char* data, std::size_t size) override {
        while (size > 0) {
            DWORD written = 0;
            const DWORD chunk = size > 0x40000000u ? 0x40000000u : static_cast<DWORD>(size);
            if (!WriteFile(output_, data, chunk, &written, nullptr) || written == 0) return false;
            data += written;
            size -= written;
        }
        return true;
    }

    std::uint32_t last_error() override { return GetLastError(); }
    ErrorInfoPtr take_error_info() override {
        IErrorInfo* info = nullptr;
        if (GetErrorInfo(0, &info) != S_OK || info == nullptr) return nullptr;
        return std::make_unique<ComErrorInfo>(info);
    }
    std::u16string system_message(Hresult code) override {
        DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM;
        DWORD id = static_cast<DWORD>(code);
        HMODULE module = nullptr;
        if (id & 0x10000000u) {
            // NT statuses have their texts in ntdll's message table.
            id &= ~0x10000000u;
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

    Handle create_file(const char16_t* path, std::uint32_t access, std::uint32_t share, std::uint32_t disposition,
                       std::uint32_t flags) override {
        return from_native(CreateFileW(to_wide(path), access, share, nullptr, disposition, flags, nullptr));
    }
    bool close_handle(Handle handle) override { return CloseHandle(to_native(handle)) != 0; }
    std::uint32_t file_attributes(const char16_t* path) override { return GetFileAttributesW(to_wide(path)); }
    Handle find_first(const char16_t* pattern, FindData* entry) override {
        WIN32_FIND_DATAW data;
        const HANDLE find = FindFirstFileExW(to_wide(pattern), FindExInfoBasic, &data, FindExSearchNameMatch, nullptr, 0);
        if (find == INVALID_HANDLE_VALUE) return INVALID_HANDLE;
        copy_entry(data, entry);
        return from_native(find);
    }
    bool find_next(Handle find, FindData* entry) override {
        WIN32_FIND_DATAW data;
        if (!FindNextFileW(to_native(find), &data)) return false;
        copy_entry(data, entry);
        return true;
    }
    void find_close(Handle find) override { FindClose(to_native(find)); }
    char16_t path_separator() override { return u'\\'; }

    PlatformStatus register_sync_root(const SyncRootRegistration&) override { return {hr::E_NOTIMPL_CODE, nullptr}; }
    PlatformStatus unregister_sync_root(const char16_t*) override { return {hr::E_NOTIMPL_CODE, nullptr}; }

    Hresult connect_sync_root(const char16_t*, const CallbackRegistration*, const void*, std::uint32_t,
                              ConnectionKey*) override { return hr::E_NOTIMPL_CODE; }
    Hresult disconnect_sync_root(ConnectionKey) override { return hr::E_NOTIMPL_CODE; }
    Hresult create_placeholders(const char16_t*, PlaceholderCreateInfo*, std::uint32_t, std::uint32_t,
                                std::uint32_t*) override { return hr::E_NOTIMPL_CODE; }
    Hresult set_pin_state(Handle, std::uint32_t, std::uint32_t) override { return hr::E_NOTIMPL_CODE; }
    Hresult dehydrate_placeholder(Handle, std::int64_t, std::int64_t, std::uint32_t) override { return hr::E_NOTIMPL_CODE; }
    Hresult get_placeholder_info(Handle, std::uint32_t, void*, std::uint32_t, std::uint32_t*) override {
        return hr::E_NOTIMPL_CODE;
    }
    Hresult open_file_with_oplock(const char16_t*, std::uint32_t, Handle*) override { return hr::E_NOTIMPL_CODE; }
    bool reference_protected_handle(Handle) override { return false; }
    void release_protected_handle(Handle) override {}
    Handle win32_handle_from_protected(Handle) override { return INVALID_HANDLE; }
    void close_protected_handle(Handle) override {}
    Hresult convert_to_placeholder(Handle, const void*, std::uint32_t, std::uint32_t, std::int64_t*) override {
        return hr::E_NOTIMPL_CODE;
    }
    Hresult update_placeholder(Handle, const FsMetadata*, const void*, std::uint32_t, const FileRange*,
                               std::uint32_t, std::uint32_t, std::int64_t*) override { return hr::E_NOTIMPL_CODE; }
    Hresult execute(const OperationInfo*, OperationParameters*) override { return hr::E_NOTIMPL_CODE; }
    Hresult hydrate_placeholder(Handle, std::int64_t, std::int64_t, std::uint32_t) override { return hr::E_NOTIMPL_CODE; }

private:
    static void copy_entry(const WIN32_FIND_DATAW& data, FindData* entry) {
        entry->attributes = data.dwFileAttributes;
        entry->reparse_tag = data.dwReserved0;
        static_assert(sizeof(entry->name) == sizeof(data.cFileName));
        std::memcpy(entry->name, data.cFileName, sizeof entry->name);
    }

    HANDLE input_ = INVALID_HANDLE_VALUE;
    HANDLE output_ = INVALID_HANDLE_VALUE;
};

}  // namespace

}  // namespace zcf::windows

namespace zcf {

Platform& native_platform() {
    static Platform* const WINDOWS = new windows::WindowsPlatform();
    return *WINDOWS;
}

}  // namespace zcf
