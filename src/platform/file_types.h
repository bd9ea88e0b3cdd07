// Values and records of the Win32 file calls, in portable form.
#pragma once

#include <cstdint>

namespace zcf {

// A Win32 HANDLE value. 0 and INVALID_HANDLE (all bits set) are never valid handles.
using Handle = std::uintptr_t;
inline constexpr Handle INVALID_HANDLE = ~Handle{0};
inline bool handle_valid(Handle h) { return h != 0 && h != INVALID_HANDLE; }

inline constexpr std::uint32_t INVALID_FILE_ATTRIBUTES_WORD = 0xFFFFFFFFu;

namespace attr {
inline constexpr std::uint32_t READONLY = 0x1;
inline constexpr std::uint32_t DIRECTORY = 0x10;
inline constexpr std::uint32_t ARCHIVE = 0x20;
inline constexpr std::uint32_t NORMAL = 0x80;
inline constexpr std::uint32_t SPARSE_FILE = 0x200;
inline constexpr std::uint32_t REPARSE_POINT = 0x400;
inline constexpr std::uint32_t OFFLINE = 0x1000;
inline constexpr std::uint32_t PINNED = 0x80000;
inline constexpr std::uint32_t UNPINNED = 0x100000;
inline constexpr std::uint32_t RECALL_ON_DATA_ACCESS = 0x400000;
// Either bit marks content that is not (wholly) on the disk.
inline constexpr std::uint32_t ONLINE_ONLY_MASK = OFFLINE | RECALL_ON_DATA_ACCESS;
}  // namespace attr

namespace reparse {
inline constexpr std::uint32_t NAME_SURROGATE_BIT = 0x20000000u;
inline constexpr std::uint32_t TAG_MOUNT_POINT = 0xA0000003u;
inline constexpr std::uint32_t TAG_SYMLINK = 0xA000000Cu;
inline constexpr std::uint32_t TAG_CLOUD = 0x9000001Au;
}  // namespace reparse

// Access rights, share modes, dispositions and flags of CreateFileW.
namespace access {
inline constexpr std::uint32_t FILE_READ_DATA = 0x1;
inline constexpr std::uint32_t FILE_READ_ATTRIBUTES = 0x80;
inline constexpr std::uint32_t FILE_WRITE_ATTRIBUTES = 0x100;
}  // namespace access
inline constexpr std::uint32_t SHARE_ALL = 7;  // read | write | delete
inline constexpr std::uint32_t OPEN_EXISTING_DISPOSITION = 3;
inline constexpr std::uint32_t FLAG_BACKUP_SEMANTICS = 0x02000000u;

// One directory entry as FindFirstFileExW / FindNextFileW report it.
struct FindData {
    std::uint32_t attributes = 0;   // dwFileAttributes
    std::uint32_t reparse_tag = 0;  // dwReserved0, meaningful when REPARSE_POINT is set
    char16_t name[260] = {};        // cFileName, NUL-terminated
};

}  // namespace zcf
