// platform/linux/cloud: message texts. Only data and lookups live here; no OS calls.
#include "platform/linux/cloud/error_texts.h"

#include <cstdint>

namespace zcf::linux_platform {

namespace {

struct Text {
    std::uint32_t code;
    const char16_t* text;
};

// Win32 codes (reached through 0x8007xxxx HRESULTs and through the codes themselves).
constexpr Text WIN32_TEXTS[] = {
    {0, u"The operation completed successfully."},
    {1, u"Incorrect function."},
    {2, u"The system cannot find the file specified."},
    {3, u"The system cannot find the path specified."},
    {4, u"The system cannot open the file."},
    {5, u"Access is denied."},
    {6, u"The handle is invalid."},
    {8, u"Not enough memory resources are available to process this command."},
    {14, u"Not enough memory resources are available to complete this operation."},
    {18, u"There are no more files."},
    {19, u"The media is write protected."},
    {31, u"A device attached to the system is not functioning."},
    {32, u"The process cannot access the file because it is being used by another process."},
    {50, u"The request is not supported."},
    {80, u"The file exists."},
    {87, u"The parameter is incorrect."},
    {112, u"There is not enough space on the disk."},
    {122, u"The data area passed to a system call is too small."},
    {123, u"The filename, directory name, or volume label syntax is incorrect."},
    {126, u"The specified module could not be found."},
    {127, u"The specified procedure could not be found."},
    {145, u"The directory is not empty."},
    {161, u"The specified path is invalid."},
    {170, u"The requested resource is in use."},
    {183, u"Cannot create a file when that file already exists."},
    {206, u"The filename or extension is too long."},
    {223, u"The file size exceeds the limit allowed and cannot be saved."},
    {234, u"More data is available."},
    {267, u"The directory name is invalid."},
    {358, u"The cloud sync root metadata is corrupted."},
    {362, u"The cloud file provider is not running."},
    {363, u"The cloud file metadata is corrupt and unreadable."},
    {364, u"The cloud file metadata is too large."},
    {365, u"The cloud file property is too large."},
    {366, u"The cloud file property is possibly corrupt. The on-disk checksum does not match the computed checksum."},
    {374, u"The maximum number of cloud file properties has been reached."},
    {375, u"The version of the cloud file property store is not supported."},
    {376, u"The file is not a cloud file."},
    {377, u"The file is not in sync with the cloud."},
    {378, u"The cloud sync root is already connected with another cloud sync provider."},
    {379, u"The operation is not supported by the cloud sync provider."},
    {380, u"The cloud operation is invalid."},
    {381, u"The cloud operation is not supported on a read-only volume."},
    {382, u"The operation is reserved for a connected cloud sync provider."},
    {383, u"The cloud sync provider failed to validate the downloaded data."},
    {386, u"The cloud sync provider failed user authentication."},
    {387, u"The cloud sync provider failed to perform the operation due to low system resources."},
    {388, u"The cloud sync provider failed to perform the operation due to network being unavailable."},
    {389, u"The cloud operation was unsuccessful."},
    {390, u"The operation is only supported on files under a cloud sync root."},
    {391, u"The operation cannot be performed on cloud files in use."},
    {392, u"The operation cannot be performed on pinned cloud files."},
    {393, u"The cloud operation was aborted."},
    {394, u"The cloud file's property store is corrupt."},
    {395, u"Access to the cloud file is denied."},
    {396, u"The cloud operation cannot be performed on a file with incompatible hardlinks."},
    {397, u"The operation failed due to a conflicting cloud file property lock."},
    {398, u"The cloud operation was canceled by user."},
    {404, u"The cloud file provider exited unexpectedly."},
    {405, u"The file is not a cloud sync root."},
    {426, u"The cloud operation was not completed before the time-out period expired."},
    {434, u"Dehydration of the cloud file is disallowed by the cloud sync provider."},
    {1117, u"The request could not be performed because of an I/O device error."},
    {1168, u"Element not found."},
    {1921, u"The name of the file cannot be resolved by the system."},
};

// HRESULTs outside the Win32 facility.
constexpr Text HRESULT_TEXTS[] = {
    {0x80004001u, u"Not implemented"},
    {0x80004002u, u"No such interface supported"},
    {0x80004003u, u"Invalid pointer"},
    {0x80004004u, u"Operation aborted"},
    {0x80004005u, u"Unspecified error"},
    {0x8000FFFFu, u"Catastrophic failure"},
    {0x8000000Au, u"The data necessary to complete this operation is not yet available."},
    {0x8000000Bu, u"The operation attempted to access data outside the valid range"},
    {0x8000000Eu, u"A method was called at an unexpected time."},
    {0x80040154u, u"Class not registered"},
    {0x800401F0u, u"CoInitialize has not been called."},
    {0x80010106u, u"Cannot change thread mode after it is set."},
};

const char16_t* find(const Text* begin, const Text* end, std::uint32_t code) {
    for (const Text* t = begin; t != end; ++t)
        if (t->code == code) return t->text;
    return nullptr;
}

}  // namespace

std::u16string system_message_text(Hresult code) {
    const auto value = static_cast<std::uint32_t>(code);
    const char16_t* text = find(std::begin(HRESULT_TEXTS), std::end(HRESULT_TEXTS), value);
    if (text == nullptr && ((value & 0xFFFF0000u) == 0x80070000u || value == 0 || value == 1))
        text = find(std::begin(WIN32_TEXTS), std::end(WIN32_TEXTS), value & 0xFFFFu);
    // NT-facility HRESULTs of the cloud range carry the text of the Win32 code they map to.
    if (text == nullptr && (value & 0xFFFFFF00u) == 0xD000CF00u) {
        static constexpr std::uint16_t NT_TO_WIN32[] = {358, 362, 363, 364, 0,   0,   375, 376,
                                                        377, 378, 379, 380, 381, 382, 383, 386,
                                                        387, 388, 389, 390, 391, 392, 393, 394,
                                                        395, 396, 397, 398, 0,   404, 405, 426};
        const std::uint32_t index = value & 0xFFu;
        if (index < std::size(NT_TO_WIN32) && NT_TO_WIN32[index] != 0)
            text = find(std::begin(WIN32_TEXTS), std::end(WIN32_TEXTS), NT_TO_WIN32[index]);
    }
    if (text == nullptr) return {};
    return std::u16string(text) + u"\r\n";
}

}  // namespace zcf::linux_platform
