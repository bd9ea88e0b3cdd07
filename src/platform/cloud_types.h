// Records and constants of the Cloud Files API, in portable form.
//
// The records that the core hands to the platform in arrays or by pointer (placeholder create
// info, operation info and parameters, basic placeholder info) have the field order and x64 layout
// of their Cloud Files counterparts, so the Windows implementation can pass them through unchanged
// (it pins that with static_asserts). Callback information is a reduced, portable view that the
// platform builds from what it receives.
#pragma once

#include <cstdint>
#include <string_view>

namespace zcf {

using ConnectionKey = std::int64_t;

// ---- Callbacks -------------------------------------------------------------------------------

namespace callback_type {
inline constexpr std::uint32_t FETCH_DATA = 0;
inline constexpr std::uint32_t CANCEL_FETCH_DATA = 2;
inline constexpr std::uint32_t FETCH_PLACEHOLDERS = 3;
inline constexpr std::uint32_t CANCEL_FETCH_PLACEHOLDERS = 4;
inline constexpr std::uint32_t NOTIFY_FILE_OPEN_COMPLETION = 5;
inline constexpr std::uint32_t NOTIFY_DELETE = 9;
inline constexpr std::uint32_t NOTIFY_RENAME = 11;
inline constexpr std::uint32_t NONE = 0xFFFFFFFFu;
}  // namespace callback_type

// The Flags a NOTIFY_DELETE (CF_CALLBACK_DELETE_FLAGS) and a NOTIFY_RENAME
// (CF_CALLBACK_RENAME_FLAGS) callback carry.
namespace delete_flag {
inline constexpr std::uint32_t IS_DIRECTORY = 0x1;
inline constexpr std::uint32_t IS_UNDELETE = 0x2;
}  // namespace delete_flag
namespace rename_flag {
inline constexpr std::uint32_t IS_DIRECTORY = 0x1;
inline constexpr std::uint32_t SOURCE_IN_SCOPE = 0x2;
inline constexpr std::uint32_t TARGET_IN_SCOPE = 0x4;  // the target lies in the source's sync root
}  // namespace rename_flag

namespace connect_flag {
inline constexpr std::uint32_t REQUIRE_PROCESS_INFO = 0x2;
inline constexpr std::uint32_t REQUIRE_FULL_FILE_PATH = 0x4;
}  // namespace connect_flag

// CF_PROCESS_INFO, the fields the program reads.
struct ProcessInfo {
    std::uint32_t process_id = 0;
    const char16_t* image_path = nullptr;  // may be null
};

// CF_CALLBACK_INFO, the fields the program reads.
struct CallbackInfo {
    ConnectionKey connection_key = 0;
    std::int64_t file_size = 0;
    const void* file_identity = nullptr;
    std::uint32_t file_identity_length = 0;
    const char16_t* normalized_path = nullptr;  // may be null
    std::int64_t transfer_key = 0;
    const ProcessInfo* process_info = nullptr;  // may be null
    std::int64_t request_key = 0;
};

// CF_CALLBACK_PARAMETERS, the fields the program reads: FetchData's required range; the Flags of
// FetchPlaceholders, Cancel, Delete and Rename; FetchPlaceholders' Pattern and Rename's TargetPath
// (volume-relative, as CallbackInfo::normalized_path). Fields the callback type does not have stay
// at their defaults.
struct CallbackParameters {
    std::int64_t required_file_offset = 0;
    std::int64_t required_length = 0;
    std::uint32_t flags = 0;
    const char16_t* pattern = nullptr;      // may be null
    const char16_t* target_path = nullptr;  // may be null
};

using CallbackFunction = void (*)(const CallbackInfo* info, const CallbackParameters* parameters);

// CF_CALLBACK_REGISTRATION. A table ends with {callback_type::NONE, nullptr}.
struct CallbackRegistration {
    std::uint32_t type;
    CallbackFunction callback;
};

// ---- Placeholders ----------------------------------------------------------------------------

// FILE_BASIC_INFO (40 bytes on x64).
struct FileBasicInfo {
    std::int64_t creation_time;
    std::int64_t last_access_time;
    std::int64_t last_write_time;
    std::int64_t change_time;
    std::uint32_t file_attributes;
};

// CF_FS_METADATA (48 bytes).
struct FsMetadata {
    FileBasicInfo basic_info;
    std::int64_t file_size;
};

// CF_PLACEHOLDER_CREATE_INFO (88 bytes).
struct PlaceholderCreateInfo {
    const char16_t* relative_file_name;
    FsMetadata fs_metadata;
    const void* file_identity;
    std::uint32_t file_identity_length;
    std::uint32_t flags;
    std::int32_t result;  // HRESULT written by the platform
    std::int64_t create_usn;
};

namespace placeholder_create_flag {
inline constexpr std::uint32_t DISABLE_ON_DEMAND_POPULATION = 0x1;
inline constexpr std::uint32_t MARK_IN_SYNC = 0x2;
}  // namespace placeholder_create_flag

// CF_FILE_RANGE.
struct FileRange {
    std::int64_t starting_offset;
    std::int64_t length;
};

// CF_PLACEHOLDER_BASIC_INFO: fixed part (28 bytes) then the identity bytes.
struct PlaceholderBasicInfo {
    std::uint32_t pin_state;
    std::uint32_t in_sync_state;
    std::int64_t file_id;
    std::int64_t sync_root_file_id;
    std::uint32_t file_identity_length;
    std::uint8_t file_identity[1];
};
inline constexpr std::uint32_t PLACEHOLDER_BASIC_INFO_IDENTITY_OFFSET = 28;
inline constexpr std::uint32_t PLACEHOLDER_INFO_BUFFER_SIZE = 4128;
inline constexpr std::uint32_t PLACEHOLDER_MAX_IDENTITY_LENGTH = 4096;

namespace pin_state {
inline constexpr std::uint32_t UNSPECIFIED = 0;
inline constexpr std::uint32_t PINNED = 1;
inline constexpr std::uint32_t UNPINNED = 2;
}  // namespace pin_state

inline constexpr std::uint32_t IN_SYNC_STATE_IN_SYNC = 1;
inline constexpr std::uint32_t PLACEHOLDER_INFO_BASIC = 0;
inline constexpr std::uint32_t SET_PIN_FLAG_RECURSE = 0x1;
inline constexpr std::uint32_t OPEN_FILE_FLAG_EXCLUSIVE = 0x1;
inline constexpr std::uint32_t OPEN_FILE_FLAG_WRITE_ACCESS = 0x2;
inline constexpr std::uint32_t CONVERT_FLAG_MARK_IN_SYNC = 0x1;
inline constexpr std::uint32_t UPDATE_FLAG_MARK_IN_SYNC = 0x2;
inline constexpr std::uint32_t UPDATE_FLAG_VERIFY_IN_SYNC = 0x1;
inline constexpr std::uint32_t UPDATE_FLAG_DEHYDRATE = 0x4;
inline constexpr std::uint32_t UPDATE_FLAG_ENABLE_ON_DEMAND_POPULATION = 0x8;
inline constexpr std::uint32_t UPDATE_FLAG_DISABLE_ON_DEMAND_POPULATION = 0x10;
inline constexpr std::uint32_t UPDATE_FLAG_REMOVE_FILE_IDENTITY = 0x20;
inline constexpr std::uint32_t UPDATE_FLAG_CLEAR_IN_SYNC = 0x40;
inline constexpr std::uint32_t IN_SYNC_STATE_NOT_IN_SYNC = 0;
inline constexpr std::uint32_t SET_IN_SYNC_FLAG_NONE = 0;
inline constexpr std::uint32_t REVERT_FLAG_NONE = 0;
inline constexpr std::int64_t CF_EOF_LENGTH = -1;
// A Windows file time (100 ns since 1601) of 1970-01-01 00:00 UTC.
inline constexpr std::int64_t FILETIME_UNIX_EPOCH = 116444736000000000;
// Where an empty identity points: the platform wants a non-null pointer with length 0.
inline constexpr char NO_IDENTITY[1] = {0};

// ---- Operations (CfExecute) -----------------------------------------------------------------

// CF_OPERATION_INFO (48 bytes).
struct OperationInfo {
    std::uint32_t struct_size;
    std::uint32_t type;
    ConnectionKey connection_key;
    std::int64_t transfer_key;
    const void* correlation_vector;
    const void* sync_status;
    std::int64_t request_key;
};

// CF_OPERATION_PARAMETERS (48 bytes): ParamSize, then one member per operation type, each at
// offset 8. ParamSize is that offset plus the size of the member the operation uses.
struct OperationParameters {
    // TRANSFER_DATA (ParamSize 40).
    struct TransferData {
        std::uint32_t flags;
        std::int32_t completion_status;  // NTSTATUS
        const void* buffer;
        std::int64_t offset;
        std::int64_t length;
    };
    // TRANSFER_PLACEHOLDERS (ParamSize 40): the children of a listed folder, each created with its
    // own result as by create_placeholders; `entries_processed` is written by the platform.
    struct TransferPlaceholders {
        std::uint32_t flags;
        std::int32_t completion_status;  // NTSTATUS
        std::int64_t placeholder_total_count;
        PlaceholderCreateInfo* placeholder_array;
        std::uint32_t placeholder_count;
        std::uint32_t entries_processed;
    };
    // ACK_DELETE and ACK_RENAME (ParamSize 16).
    struct Acknowledgement {
        std::uint32_t flags;
        std::int32_t completion_status;  // NTSTATUS: 0 lets the operation go on
    };

    std::uint32_t param_size;
    union {
        std::uint8_t bytes[40];  // the union's largest member (RetrieveData) is 40 bytes
        TransferData transfer_data;
        TransferPlaceholders transfer_placeholders;
        Acknowledgement ack_delete;
        Acknowledgement ack_rename;
    };
};

inline constexpr std::uint32_t OPERATION_TYPE_TRANSFER_DATA = 0;
inline constexpr std::uint32_t OPERATION_TYPE_TRANSFER_PLACEHOLDERS = 4;
inline constexpr std::uint32_t OPERATION_TYPE_ACK_DELETE = 6;
inline constexpr std::uint32_t OPERATION_TYPE_ACK_RENAME = 7;
inline constexpr std::uint32_t OPERATION_INFO_SIZE = 48;
inline constexpr std::uint32_t TRANSFER_DATA_PARAM_SIZE = 40;
inline constexpr std::uint32_t TRANSFER_PLACEHOLDERS_PARAM_SIZE = 40;
inline constexpr std::uint32_t ACK_PARAM_SIZE = 16;

namespace transfer_placeholders_flag {
inline constexpr std::uint32_t STOP_ON_ERROR = 0x1;
// The listed folder counts as filled: its next listing does not ask the provider again.
inline constexpr std::uint32_t DISABLE_ON_DEMAND_POPULATION = 0x2;
}  // namespace transfer_placeholders_flag

// The layouts the platform reads; the Windows build pins them against the Cloud Files declarations.
static_assert(sizeof(void*) != 8 || sizeof(OperationParameters) == 48);
static_assert(sizeof(void*) != 8 || sizeof(OperationParameters::TransferPlaceholders) == 32);
static_assert(sizeof(OperationParameters::Acknowledgement) == 8);

// ---- Sync-root registration -----------------------------------------------------------------

// Windows Runtime StorageProviderPopulationPolicy (not the cfapi numbering): Full asks the
// provider for the children of a folder that is not filled when it is first listed; AlwaysFull
// never asks.
namespace population_policy {
inline constexpr std::int32_t FULL = 1;
inline constexpr std::int32_t ALWAYS_FULL = 2;
}  // namespace population_policy

// What "register" hands to StorageProviderSyncRootManager, field by field in setting order. The
// texts become HSTRINGs, which hold any character: they carry their length and may contain NULs.
struct SyncRootRegistration {
    std::u16string_view id;
    std::u16string_view path;  // the folder, looked up with GetFolderFromPathAsync
    std::u16string_view display_name_resource;
    std::u16string_view icon_resource;
    std::int32_t hydration_policy;
    std::uint32_t hydration_policy_modifier;
    std::int32_t population_policy;
    std::uint32_t in_sync_policy;
    std::uint32_t hardlink_policy;
    bool show_siblings_as_group;
    std::u16string_view version;
    const std::uint8_t* context;
    std::uint32_t context_length;
};

}  // namespace zcf
