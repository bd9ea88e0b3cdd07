// "adopt": an existing file or directory becomes an in-sync placeholder with the given identity.
#include "common/args.h"
#include "common/outcome.h"
#include "common/text.h"
#include "placeholders/handles.h"
#include "placeholders/placeholders.h"
#include "platform/platform.h"

#include <boost/json/object.hpp>

#include <optional>

namespace zcf {

namespace json = boost::json;

Outcome cmd_adopt(const json::value& request) {
    const std::u16string path = wide(text_arg(request, "path"));
    const std::string_view identity = text_arg(request, "identity");
    const void* identity_bytes = identity.empty() ? NO_IDENTITY : identity.data();
    const auto identity_length = static_cast<std::uint32_t>(identity.size());

    // A failure here yields the all-bits word, which is not taken as a reparse point below.
    const std::uint32_t word = platform().file_attributes(path.c_str());

    // The Win32 handle may be used only while the protected handle is referenced; the reference
    // is released before the protected handle is closed, when `file` goes.
    ExclusiveFile file;
    if (std::optional<PlatformError> failure = file.open(path.c_str())) return std::move(*failure);
    const bool placeholder = word != INVALID_FILE_ATTRIBUTES_WORD && (word & attr::REPARSE_POINT) != 0;
    Hresult status;
    if (placeholder)
        status = platform().update_placeholder(file.win32(), nullptr, identity_bytes, identity_length, nullptr, 0,
                                               UPDATE_FLAG_MARK_IN_SYNC, nullptr);
    else
        status = platform().convert_to_placeholder(file.win32(), identity_bytes, identity_length,
                                                   CONVERT_FLAG_MARK_IN_SYNC, nullptr);
    if (status < 0) return error_from_hresult(status);
    return json::value(json::object());
}

}  // namespace zcf
