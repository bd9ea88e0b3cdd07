// "adopt": an existing file or directory becomes an in-sync placeholder with the given identity.
#include "common/args.h"
#include "common/outcome.h"
#include "common/open.h"
#include "common/text.h"
#include "placeholders/placeholders.h"
#include "platform/platform.h"

#include <boost/json/object.hpp>

#include <optional>

namespace zcf {

namespace json = boost::json;

namespace {

// E_HANDLE: the protected handle could not be referenced, so its Win32 handle is unusable.
constexpr Hresult E_HANDLE_CODE = hresult_from_win32(win32::ERROR_INVALID_HANDLE);

// Holds a reference on a protected handle while its Win32 handle is in use.
class ProtectedReference {
public:
    explicit ProtectedReference(Handle handle)
        : handle_(handle), held_(platform().reference_protected_handle(handle)) {}
    ProtectedReference(const ProtectedReference&) = delete;
    ProtectedReference& operator=(const ProtectedReference&) = delete;
    ~ProtectedReference() {
        if (held_) platform().release_protected_handle(handle_);
    }
    bool held() const { return held_; }

private:
    Handle handle_;
    bool held_;
};

}  // namespace

Outcome cmd_adopt(const json::value& request) {
    const std::u16string path = wide(text_arg(request, "path"));
    const std::string_view identity = text_arg(request, "identity");
    const void* identity_bytes = identity.empty() ? NO_IDENTITY : identity.data();
    const auto identity_length = static_cast<std::uint32_t>(identity.size());

    // A failure here yields the all-bits word, which is not taken as a reparse point below.
    const std::uint32_t word = platform().file_attributes(path.c_str());

    Handle opened = INVALID_HANDLE;
    const Hresult open_status = platform().open_file_with_oplock(
        path.c_str(), OPEN_FILE_FLAG_EXCLUSIVE | OPEN_FILE_FLAG_WRITE_ACCESS, &opened);
    if (open_status < 0) return error_from_hresult(open_status);
    const ProtectedHandle file(opened);

    std::optional<PlatformError> failure;
    {
        // The Win32 handle may be used only while the protected handle is referenced; the
        // reference is released before the protected handle is closed.
        const ProtectedReference reference(file.get());
        if (!reference.held()) return PlatformError{E_HANDLE_CODE, nullptr};
        const Handle handle = platform().win32_handle_from_protected(file.get());
        const bool placeholder = word != INVALID_FILE_ATTRIBUTES_WORD && (word & attr::REPARSE_POINT) != 0;
        Hresult status;
        if (placeholder)
            status = platform().update_placeholder(handle, nullptr, identity_bytes, identity_length, nullptr, 0,
                                                   UPDATE_FLAG_MARK_IN_SYNC, nullptr);
        else
            status = platform().convert_to_placeholder(handle, identity_bytes, identity_length,
                                                       CONVERT_FLAG_MARK_IN_SYNC, nullptr);
        if (status < 0) failure = error_from_hresult(status);
    }
    if (failure) return std::move(*failure);
    return json::value(json::object());
}

}  // namespace zcf
