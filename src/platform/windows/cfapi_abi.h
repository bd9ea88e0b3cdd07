// platform/windows: the Cloud Files API (cldapi.dll) as the x64 ABI defines it, for the parts the
// program uses. mingw-w64 ships no cfapi.h, so the types, constants and function signatures are
// declared here, each structure pinned with static_asserts on its size and on the offset of every
// field the program reads or writes. Only declarations live here; no code.
#pragma once

#include "platform/cloud_types.h"

#include <windows.h>

#include <cstddef>

namespace zcf::windows::cf {

// ---- Keys and scalar types --------------------------------------------------------------------

struct CF_CONNECTION_KEY {
    LONGLONG Internal;
};
static_assert(sizeof(CF_CONNECTION_KEY) == 8);

using CF_TRANSFER_KEY = LARGE_INTEGER;
using CF_REQUEST_KEY = LARGE_INTEGER;
using USN_VALUE = LONGLONG;

// ---- Enumerations (32-bit C enums in the SDK; kept as plain 32-bit values) --------------------

using CF_CALLBACK_TYPE = DWORD;
inline constexpr CF_CALLBACK_TYPE CF_CALLBACK_TYPE_FETCH_DATA = 0;
inline constexpr CF_CALLBACK_TYPE CF_CALLBACK_TYPE_CANCEL_FETCH_DATA = 2;
inline constexpr CF_CALLBACK_TYPE CF_CALLBACK_TYPE_FETCH_PLACEHOLDERS = 3;
inline constexpr CF_CALLBACK_TYPE CF_CALLBACK_TYPE_CANCEL_FETCH_PLACEHOLDERS = 4;
inline constexpr CF_CALLBACK_TYPE CF_CALLBACK_TYPE_NOTIFY_FILE_OPEN_COMPLETION = 5;
inline constexpr CF_CALLBACK_TYPE CF_CALLBACK_TYPE_NOTIFY_DELETE = 9;
inline constexpr CF_CALLBACK_TYPE CF_CALLBACK_TYPE_NOTIFY_RENAME = 11;
inline constexpr CF_CALLBACK_TYPE CF_CALLBACK_TYPE_NOTIFY_RENAME_COMPLETION = 12;  // the highest type
inline constexpr CF_CALLBACK_TYPE CF_CALLBACK_TYPE_NONE = 0xFFFFFFFFu;

inline constexpr DWORD CF_OPERATION_TYPE_TRANSFER_DATA = 0;
inline constexpr DWORD CF_OPERATION_TYPE_TRANSFER_PLACEHOLDERS = 4;
inline constexpr DWORD CF_OPERATION_TYPE_ACK_DELETE = 6;
inline constexpr DWORD CF_OPERATION_TYPE_ACK_RENAME = 7;
inline constexpr DWORD CF_OPERATION_TRANSFER_PLACEHOLDERS_FLAG_DISABLE_ON_DEMAND_POPULATION = 0x2;
inline constexpr DWORD CF_CALLBACK_DELETE_FLAG_IS_DIRECTORY = 0x1;
inline constexpr DWORD CF_CALLBACK_DELETE_FLAG_IS_UNDELETE = 0x2;
inline constexpr DWORD CF_CALLBACK_RENAME_FLAG_IS_DIRECTORY = 0x1;
inline constexpr DWORD CF_CALLBACK_RENAME_FLAG_SOURCE_IN_SCOPE = 0x2;
inline constexpr DWORD CF_CALLBACK_RENAME_FLAG_TARGET_IN_SCOPE = 0x4;
inline constexpr DWORD CF_UPDATE_FLAG_ENABLE_ON_DEMAND_POPULATION = 0x8;
inline constexpr DWORD CF_UPDATE_FLAG_DISABLE_ON_DEMAND_POPULATION = 0x10;
inline constexpr DWORD CF_PLACEHOLDER_CREATE_FLAG_DISABLE_ON_DEMAND_POPULATION = 0x1;
inline constexpr DWORD CF_CALLBACK_FETCH_DATA_FLAG_EXPLICIT_HYDRATION = 0x2;
inline constexpr DWORD CF_CALLBACK_CANCEL_FLAG_IO_TIMEOUT = 0x1;

// ---- Callback structures ----------------------------------------------------------------------

struct CF_PROCESS_INFO {
    DWORD StructSize;
    DWORD ProcessId;
    PCWSTR ImagePath;
    PCWSTR PackageName;
    PCWSTR ApplicationId;
    PCWSTR CommandLine;  // Windows 10 1803 and later
    DWORD SessionId;     // Windows 10 1803 and later
};
static_assert(sizeof(CF_PROCESS_INFO) == 48);
static_assert(offsetof(CF_PROCESS_INFO, ProcessId) == 4);
static_assert(offsetof(CF_PROCESS_INFO, ImagePath) == 8);

struct CF_CALLBACK_INFO {
    DWORD StructSize;
    CF_CONNECTION_KEY ConnectionKey;
    LPVOID CallbackContext;
    PCWSTR VolumeGuidName;
    PCWSTR VolumeDosName;
    DWORD VolumeSerialNumber;
    LARGE_INTEGER SyncRootFileId;
    LPCVOID SyncRootIdentity;
    DWORD SyncRootIdentityLength;
    LARGE_INTEGER FileId;
    LARGE_INTEGER FileSize;
    LPCVOID FileIdentity;
    DWORD FileIdentityLength;
    PCWSTR NormalizedPath;
    CF_TRANSFER_KEY TransferKey;
    UCHAR PriorityHint;
    const void* CorrelationVector;
    CF_PROCESS_INFO* ProcessInfo;
    CF_REQUEST_KEY RequestKey;
};
static_assert(sizeof(CF_CALLBACK_INFO) == 152);
static_assert(offsetof(CF_CALLBACK_INFO, ConnectionKey) == 8);
static_assert(offsetof(CF_CALLBACK_INFO, CallbackContext) == 16);
static_assert(offsetof(CF_CALLBACK_INFO, SyncRootIdentityLength) == 64);
static_assert(offsetof(CF_CALLBACK_INFO, FileId) == 72);
static_assert(offsetof(CF_CALLBACK_INFO, FileSize) == 80);
static_assert(offsetof(CF_CALLBACK_INFO, FileIdentity) == 88);
static_assert(offsetof(CF_CALLBACK_INFO, FileIdentityLength) == 96);
static_assert(offsetof(CF_CALLBACK_INFO, NormalizedPath) == 104);
static_assert(offsetof(CF_CALLBACK_INFO, TransferKey) == 112);
static_assert(offsetof(CF_CALLBACK_INFO, PriorityHint) == 120);
static_assert(offsetof(CF_CALLBACK_INFO, CorrelationVector) == 128);
static_assert(offsetof(CF_CALLBACK_INFO, ProcessInfo) == 136);
static_assert(offsetof(CF_CALLBACK_INFO, RequestKey) == 144);

// CF_CALLBACK_PARAMETERS: ParamSize, then a union whose largest member is FetchData (56 bytes).
// Only the members of the callbacks the program registers are declared.
struct CF_CALLBACK_PARAMETERS {
    ULONG ParamSize;
    union {
        struct {
            DWORD Flags;
            LARGE_INTEGER RequiredFileOffset;
            LARGE_INTEGER RequiredLength;
            LARGE_INTEGER OptionalFileOffset;
            LARGE_INTEGER OptionalLength;
            LARGE_INTEGER LastDehydrationTime;
            DWORD LastDehydrationReason;
        } FetchData;
        struct {
            DWORD Flags;
            union {
                struct {
                    LARGE_INTEGER FileOffset;
                    LARGE_INTEGER Length;
                } FetchData;
            };
        } Cancel;
        struct {
            DWORD Flags;
            PCWSTR Pattern;
        } FetchPlaceholders;
        struct {
            DWORD Flags;
        } OpenCompletion;
        struct {
            DWORD Flags;
        } Delete;
        struct {
            DWORD Flags;
            PCWSTR TargetPath;
        } Rename;
    };
};
static_assert(sizeof(CF_CALLBACK_PARAMETERS) == 64);
static_assert(offsetof(CF_CALLBACK_PARAMETERS, FetchData.Flags) == 8);
static_assert(offsetof(CF_CALLBACK_PARAMETERS, FetchData.RequiredFileOffset) == 16);
static_assert(offsetof(CF_CALLBACK_PARAMETERS, FetchData.RequiredLength) == 24);
static_assert(offsetof(CF_CALLBACK_PARAMETERS, FetchData.LastDehydrationReason) == 56);
static_assert(offsetof(CF_CALLBACK_PARAMETERS, Cancel.Flags) == 8);
static_assert(offsetof(CF_CALLBACK_PARAMETERS, Cancel.FetchData.FileOffset) == 16);
static_assert(offsetof(CF_CALLBACK_PARAMETERS, Cancel.FetchData.Length) == 24);
static_assert(offsetof(CF_CALLBACK_PARAMETERS, OpenCompletion.Flags) == 8);
static_assert(offsetof(CF_CALLBACK_PARAMETERS, FetchPlaceholders.Flags) == 8);
static_assert(offsetof(CF_CALLBACK_PARAMETERS, FetchPlaceholders.Pattern) == 16);
static_assert(offsetof(CF_CALLBACK_PARAMETERS, Delete.Flags) == 8);
static_assert(offsetof(CF_CALLBACK_PARAMETERS, Rename.Flags) == 8);
static_assert(offsetof(CF_CALLBACK_PARAMETERS, Rename.TargetPath) == 16);

using CF_CALLBACK = void(CALLBACK*)(const CF_CALLBACK_INFO* CallbackInfo,
                                    const CF_CALLBACK_PARAMETERS* CallbackParameters);

struct CF_CALLBACK_REGISTRATION {
    CF_CALLBACK_TYPE Type;
    CF_CALLBACK Callback;
};
static_assert(sizeof(CF_CALLBACK_REGISTRATION) == 16);
static_assert(offsetof(CF_CALLBACK_REGISTRATION, Callback) == 8);

// ---- Placeholder structures -------------------------------------------------------------------

struct CF_FS_METADATA {
    FILE_BASIC_INFO BasicInfo;
    LARGE_INTEGER FileSize;
};
static_assert(sizeof(FILE_BASIC_INFO) == 40);
static_assert(offsetof(FILE_BASIC_INFO, FileAttributes) == 32);
static_assert(sizeof(CF_FS_METADATA) == 48);
static_assert(offsetof(CF_FS_METADATA, FileSize) == 40);

struct CF_PLACEHOLDER_CREATE_INFO {
    LPCWSTR RelativeFileName;
    CF_FS_METADATA FsMetadata;
    LPCVOID FileIdentity;
    DWORD FileIdentityLength;
    DWORD Flags;
    HRESULT Result;
    USN_VALUE CreateUsn;
};
static_assert(sizeof(CF_PLACEHOLDER_CREATE_INFO) == 88);
static_assert(offsetof(CF_PLACEHOLDER_CREATE_INFO, FsMetadata) == 8);
static_assert(offsetof(CF_PLACEHOLDER_CREATE_INFO, FsMetadata.BasicInfo.CreationTime) == 8);
static_assert(offsetof(CF_PLACEHOLDER_CREATE_INFO, FsMetadata.BasicInfo.LastAccessTime) == 16);
static_assert(offsetof(CF_PLACEHOLDER_CREATE_INFO, FsMetadata.BasicInfo.LastWriteTime) == 24);
static_assert(offsetof(CF_PLACEHOLDER_CREATE_INFO, FsMetadata.BasicInfo.ChangeTime) == 32);
static_assert(offsetof(CF_PLACEHOLDER_CREATE_INFO, FsMetadata.BasicInfo.FileAttributes) == 40);
static_assert(offsetof(CF_PLACEHOLDER_CREATE_INFO, FsMetadata.FileSize) == 48);
static_assert(offsetof(CF_PLACEHOLDER_CREATE_INFO, FileIdentity) == 56);
static_assert(offsetof(CF_PLACEHOLDER_CREATE_INFO, FileIdentityLength) == 64);
static_assert(offsetof(CF_PLACEHOLDER_CREATE_INFO, Flags) == 68);
static_assert(offsetof(CF_PLACEHOLDER_CREATE_INFO, Result) == 72);
static_assert(offsetof(CF_PLACEHOLDER_CREATE_INFO, CreateUsn) == 80);

struct CF_FILE_RANGE {
    LARGE_INTEGER StartingOffset;
    LARGE_INTEGER Length;
};
static_assert(sizeof(CF_FILE_RANGE) == 16);
static_assert(offsetof(CF_FILE_RANGE, Length) == 8);

struct CF_PLACEHOLDER_BASIC_INFO {
    DWORD PinState;
    DWORD InSyncState;
    LARGE_INTEGER FileId;
    LARGE_INTEGER SyncRootFileId;
    ULONG FileIdentityLength;
    BYTE FileIdentity[1];
};
static_assert(sizeof(CF_PLACEHOLDER_BASIC_INFO) == 32);
static_assert(offsetof(CF_PLACEHOLDER_BASIC_INFO, InSyncState) == 4);
static_assert(offsetof(CF_PLACEHOLDER_BASIC_INFO, FileIdentityLength) == 24);
static_assert(offsetof(CF_PLACEHOLDER_BASIC_INFO, FileIdentity) == 28);

// ---- Operations -------------------------------------------------------------------------------

struct CF_OPERATION_INFO {
    ULONG StructSize;
    DWORD Type;
    CF_CONNECTION_KEY ConnectionKey;
    CF_TRANSFER_KEY TransferKey;
    const void* CorrelationVector;
    const void* SyncStatus;
    CF_REQUEST_KEY RequestKey;
};
static_assert(sizeof(CF_OPERATION_INFO) == 48);
static_assert(offsetof(CF_OPERATION_INFO, Type) == 4);
static_assert(offsetof(CF_OPERATION_INFO, ConnectionKey) == 8);
static_assert(offsetof(CF_OPERATION_INFO, TransferKey) == 16);
static_assert(offsetof(CF_OPERATION_INFO, CorrelationVector) == 24);
static_assert(offsetof(CF_OPERATION_INFO, SyncStatus) == 32);
static_assert(offsetof(CF_OPERATION_INFO, RequestKey) == 40);

// CF_OPERATION_PARAMETERS: ParamSize, then a union whose largest member, RetrieveData, is 40 bytes.
struct CF_OPERATION_PARAMETERS {
    ULONG ParamSize;
    union {
        struct {
            DWORD Flags;
            LONG CompletionStatus;  // NTSTATUS
            LPCVOID Buffer;
            LARGE_INTEGER Offset;
            LARGE_INTEGER Length;
        } TransferData;
        struct {
            DWORD Flags;
            LPVOID Buffer;
            LARGE_INTEGER Offset;
            LARGE_INTEGER Length;
            LARGE_INTEGER ReturnedLength;
        } RetrieveData;
        struct {
            DWORD Flags;
            LONG CompletionStatus;  // NTSTATUS
            LARGE_INTEGER PlaceholderTotalCount;
            CF_PLACEHOLDER_CREATE_INFO* PlaceholderArray;
            DWORD PlaceholderCount;
            DWORD EntriesProcessed;
        } TransferPlaceholders;
        struct {
            DWORD Flags;
            LONG CompletionStatus;  // NTSTATUS
        } AckRename;
        struct {
            DWORD Flags;
            LONG CompletionStatus;  // NTSTATUS
        } AckDelete;
    };
};
static_assert(sizeof(CF_OPERATION_PARAMETERS) == 48);
static_assert(offsetof(CF_OPERATION_PARAMETERS, TransferData.Flags) == 8);
static_assert(offsetof(CF_OPERATION_PARAMETERS, TransferData.CompletionStatus) == 12);
static_assert(offsetof(CF_OPERATION_PARAMETERS, TransferData.Buffer) == 16);
static_assert(offsetof(CF_OPERATION_PARAMETERS, TransferData.Offset) == 24);
static_assert(offsetof(CF_OPERATION_PARAMETERS, TransferData.Length) == 32);
static_assert(offsetof(CF_OPERATION_PARAMETERS, TransferPlaceholders.Flags) == 8);
static_assert(offsetof(CF_OPERATION_PARAMETERS, TransferPlaceholders.CompletionStatus) == 12);
static_assert(offsetof(CF_OPERATION_PARAMETERS, TransferPlaceholders.PlaceholderTotalCount) == 16);
static_assert(offsetof(CF_OPERATION_PARAMETERS, TransferPlaceholders.PlaceholderArray) == 24);
static_assert(offsetof(CF_OPERATION_PARAMETERS, TransferPlaceholders.PlaceholderCount) == 32);
static_assert(offsetof(CF_OPERATION_PARAMETERS, TransferPlaceholders.EntriesProcessed) == 36);
static_assert(offsetof(CF_OPERATION_PARAMETERS, AckRename.Flags) == 8);
static_assert(offsetof(CF_OPERATION_PARAMETERS, AckRename.CompletionStatus) == 12);
static_assert(offsetof(CF_OPERATION_PARAMETERS, AckDelete.Flags) == 8);
static_assert(offsetof(CF_OPERATION_PARAMETERS, AckDelete.CompletionStatus) == 12);
// ParamSize of each operation: the header and the member it uses.
static_assert(offsetof(CF_OPERATION_PARAMETERS, TransferData) + sizeof(CF_OPERATION_PARAMETERS{}.TransferData) ==
              zcf::TRANSFER_DATA_PARAM_SIZE);
static_assert(offsetof(CF_OPERATION_PARAMETERS, TransferPlaceholders) +
                  sizeof(CF_OPERATION_PARAMETERS{}.TransferPlaceholders) ==
              zcf::TRANSFER_PLACEHOLDERS_PARAM_SIZE);
static_assert(offsetof(CF_OPERATION_PARAMETERS, AckDelete) + sizeof(CF_OPERATION_PARAMETERS{}.AckDelete) ==
              zcf::ACK_PARAM_SIZE);
static_assert(offsetof(CF_OPERATION_PARAMETERS, AckRename) + sizeof(CF_OPERATION_PARAMETERS{}.AckRename) ==
              zcf::ACK_PARAM_SIZE);
static_assert(sizeof(CF_OPERATION_INFO) == zcf::OPERATION_INFO_SIZE);

// ---- Functions (signatures of cldapi.dll's exports) -------------------------------------------

using CfConnectSyncRootFn = HRESULT(WINAPI*)(LPCWSTR SyncRootPath, const CF_CALLBACK_REGISTRATION* CallbackTable,
                                             LPCVOID CallbackContext, DWORD ConnectFlags,
                                             CF_CONNECTION_KEY* ConnectionKey);
using CfDisconnectSyncRootFn = HRESULT(WINAPI*)(CF_CONNECTION_KEY ConnectionKey);
using CfCreatePlaceholdersFn = HRESULT(WINAPI*)(LPCWSTR BaseDirectoryPath, CF_PLACEHOLDER_CREATE_INFO* PlaceholderArray,
                                                DWORD PlaceholderCount, DWORD CreateFlags, PDWORD EntriesProcessed);
using CfSetPinStateFn = HRESULT(WINAPI*)(HANDLE FileHandle, DWORD PinState, DWORD PinFlags, LPOVERLAPPED Overlapped);
using CfDehydratePlaceholderFn = HRESULT(WINAPI*)(HANDLE FileHandle, LARGE_INTEGER StartingOffset,
                                                  LARGE_INTEGER Length, DWORD DehydrateFlags, LPOVERLAPPED Overlapped);
using CfGetPlaceholderInfoFn = HRESULT(WINAPI*)(HANDLE FileHandle, DWORD InfoClass, PVOID InfoBuffer,
                                                DWORD InfoBufferLength, PDWORD ReturnedLength);
using CfOpenFileWithOplockFn = HRESULT(WINAPI*)(LPCWSTR FilePath, DWORD Flags, PHANDLE ProtectedHandle);
using CfReferenceProtectedHandleFn = BOOLEAN(WINAPI*)(HANDLE ProtectedHandle);
using CfReleaseProtectedHandleFn = void(WINAPI*)(HANDLE ProtectedHandle);
using CfGetWin32HandleFromProtectedHandleFn = HANDLE(WINAPI*)(HANDLE ProtectedHandle);
using CfCloseHandleFn = void(WINAPI*)(HANDLE FileHandle);
using CfConvertToPlaceholderFn = HRESULT(WINAPI*)(HANDLE FileHandle, LPCVOID FileIdentity, DWORD FileIdentityLength,
                                                  DWORD ConvertFlags, USN_VALUE* ConvertUsn, LPOVERLAPPED Overlapped);
using CfUpdatePlaceholderFn = HRESULT(WINAPI*)(HANDLE FileHandle, const CF_FS_METADATA* FsMetadata,
                                               LPCVOID FileIdentity, DWORD FileIdentityLength,
                                               const CF_FILE_RANGE* DehydrateRangeArray, DWORD DehydrateRangeCount,
                                               DWORD UpdateFlags, USN_VALUE* UpdateUsn, LPOVERLAPPED Overlapped);
using CfExecuteFn = HRESULT(WINAPI*)(const CF_OPERATION_INFO* OpInfo, CF_OPERATION_PARAMETERS* OpParams);
using CfHydratePlaceholderFn = HRESULT(WINAPI*)(HANDLE FileHandle, LARGE_INTEGER StartingOffset, LARGE_INTEGER Length,
                                                DWORD HydrateFlags, LPOVERLAPPED Overlapped);

// In-sync state, revert and provider progress (Windows 10 1709 and later; absent from mingw-w64).
// CfSetInSyncState has no OVERLAPPED: it is always synchronous. The keys and 64-bit counts go by
// value in registers, which is why their sizes are pinned below.
using CfSetInSyncStateFn = HRESULT(WINAPI*)(HANDLE FileHandle, DWORD InSyncState, DWORD InSyncFlags,
                                            USN_VALUE* InSyncUsn);
using CfRevertPlaceholderFn = HRESULT(WINAPI*)(HANDLE FileHandle, DWORD RevertFlags, LPOVERLAPPED Overlapped);
using CfReportProviderProgressFn = HRESULT(WINAPI*)(CF_CONNECTION_KEY ConnectionKey, CF_TRANSFER_KEY TransferKey,
                                                    LARGE_INTEGER ProviderProgressTotal,
                                                    LARGE_INTEGER ProviderProgressCompleted);
static_assert(sizeof(CF_TRANSFER_KEY) == 8 && alignof(CF_TRANSFER_KEY) == 8);
static_assert(sizeof(LARGE_INTEGER) == 8);
static_assert(sizeof(USN_VALUE) == 8);
inline constexpr DWORD CF_IN_SYNC_STATE_NOT_IN_SYNC = 0;
inline constexpr DWORD CF_IN_SYNC_STATE_IN_SYNC = 1;
inline constexpr DWORD CF_SET_IN_SYNC_FLAG_NONE = 0;
inline constexpr DWORD CF_REVERT_FLAG_NONE = 0;

// ---- The portable records that are passed through unchanged ----------------------------------

// The core's records share these layouts, so arrays and pointers of them go to cldapi.dll as they are.
static_assert(sizeof(zcf::PlaceholderCreateInfo) == sizeof(CF_PLACEHOLDER_CREATE_INFO));
static_assert(offsetof(zcf::PlaceholderCreateInfo, relative_file_name) ==
              offsetof(CF_PLACEHOLDER_CREATE_INFO, RelativeFileName));
static_assert(offsetof(zcf::PlaceholderCreateInfo, fs_metadata.basic_info.creation_time) ==
              offsetof(CF_PLACEHOLDER_CREATE_INFO, FsMetadata.BasicInfo.CreationTime));
static_assert(offsetof(zcf::PlaceholderCreateInfo, fs_metadata.basic_info.last_access_time) ==
              offsetof(CF_PLACEHOLDER_CREATE_INFO, FsMetadata.BasicInfo.LastAccessTime));
static_assert(offsetof(zcf::PlaceholderCreateInfo, fs_metadata.basic_info.last_write_time) ==
              offsetof(CF_PLACEHOLDER_CREATE_INFO, FsMetadata.BasicInfo.LastWriteTime));
static_assert(offsetof(zcf::PlaceholderCreateInfo, fs_metadata.basic_info.change_time) ==
              offsetof(CF_PLACEHOLDER_CREATE_INFO, FsMetadata.BasicInfo.ChangeTime));
static_assert(offsetof(zcf::PlaceholderCreateInfo, fs_metadata.basic_info.file_attributes) ==
              offsetof(CF_PLACEHOLDER_CREATE_INFO, FsMetadata.BasicInfo.FileAttributes));
static_assert(offsetof(zcf::PlaceholderCreateInfo, fs_metadata.file_size) ==
              offsetof(CF_PLACEHOLDER_CREATE_INFO, FsMetadata.FileSize));
static_assert(offsetof(zcf::PlaceholderCreateInfo, file_identity) ==
              offsetof(CF_PLACEHOLDER_CREATE_INFO, FileIdentity));
static_assert(offsetof(zcf::PlaceholderCreateInfo, file_identity_length) ==
              offsetof(CF_PLACEHOLDER_CREATE_INFO, FileIdentityLength));
static_assert(offsetof(zcf::PlaceholderCreateInfo, flags) == offsetof(CF_PLACEHOLDER_CREATE_INFO, Flags));
static_assert(offsetof(zcf::PlaceholderCreateInfo, result) == offsetof(CF_PLACEHOLDER_CREATE_INFO, Result));
static_assert(offsetof(zcf::PlaceholderCreateInfo, create_usn) == offsetof(CF_PLACEHOLDER_CREATE_INFO, CreateUsn));

static_assert(sizeof(zcf::FsMetadata) == sizeof(CF_FS_METADATA));
static_assert(offsetof(zcf::FsMetadata, file_size) == offsetof(CF_FS_METADATA, FileSize));
static_assert(sizeof(zcf::FileRange) == sizeof(CF_FILE_RANGE));
static_assert(offsetof(zcf::FileRange, length) == offsetof(CF_FILE_RANGE, Length));

static_assert(sizeof(zcf::PlaceholderBasicInfo) == sizeof(CF_PLACEHOLDER_BASIC_INFO));
static_assert(offsetof(zcf::PlaceholderBasicInfo, pin_state) == offsetof(CF_PLACEHOLDER_BASIC_INFO, PinState));
static_assert(offsetof(zcf::PlaceholderBasicInfo, in_sync_state) == offsetof(CF_PLACEHOLDER_BASIC_INFO, InSyncState));
static_assert(offsetof(zcf::PlaceholderBasicInfo, file_identity_length) ==
              offsetof(CF_PLACEHOLDER_BASIC_INFO, FileIdentityLength));
static_assert(offsetof(zcf::PlaceholderBasicInfo, file_identity) == offsetof(CF_PLACEHOLDER_BASIC_INFO, FileIdentity));
static_assert(offsetof(CF_PLACEHOLDER_BASIC_INFO, FileIdentity) == zcf::PLACEHOLDER_BASIC_INFO_IDENTITY_OFFSET);
static_assert(sizeof(CF_PLACEHOLDER_BASIC_INFO) + 4096 == zcf::PLACEHOLDER_INFO_BUFFER_SIZE);

static_assert(sizeof(zcf::OperationInfo) == sizeof(CF_OPERATION_INFO));
static_assert(offsetof(zcf::OperationInfo, type) == offsetof(CF_OPERATION_INFO, Type));
static_assert(offsetof(zcf::OperationInfo, connection_key) == offsetof(CF_OPERATION_INFO, ConnectionKey));
static_assert(offsetof(zcf::OperationInfo, transfer_key) == offsetof(CF_OPERATION_INFO, TransferKey));
static_assert(offsetof(zcf::OperationInfo, correlation_vector) == offsetof(CF_OPERATION_INFO, CorrelationVector));
static_assert(offsetof(zcf::OperationInfo, sync_status) == offsetof(CF_OPERATION_INFO, SyncStatus));
static_assert(offsetof(zcf::OperationInfo, request_key) == offsetof(CF_OPERATION_INFO, RequestKey));

static_assert(sizeof(zcf::OperationParameters) == sizeof(CF_OPERATION_PARAMETERS));
static_assert(offsetof(zcf::OperationParameters, transfer_data.flags) ==
              offsetof(CF_OPERATION_PARAMETERS, TransferData.Flags));
static_assert(offsetof(zcf::OperationParameters, transfer_data.completion_status) ==
              offsetof(CF_OPERATION_PARAMETERS, TransferData.CompletionStatus));
static_assert(offsetof(zcf::OperationParameters, transfer_data.buffer) ==
              offsetof(CF_OPERATION_PARAMETERS, TransferData.Buffer));
static_assert(offsetof(zcf::OperationParameters, transfer_data.offset) ==
              offsetof(CF_OPERATION_PARAMETERS, TransferData.Offset));
static_assert(offsetof(zcf::OperationParameters, transfer_data.length) ==
              offsetof(CF_OPERATION_PARAMETERS, TransferData.Length));
static_assert(offsetof(zcf::OperationParameters, transfer_placeholders.flags) ==
              offsetof(CF_OPERATION_PARAMETERS, TransferPlaceholders.Flags));
static_assert(offsetof(zcf::OperationParameters, transfer_placeholders.completion_status) ==
              offsetof(CF_OPERATION_PARAMETERS, TransferPlaceholders.CompletionStatus));
static_assert(offsetof(zcf::OperationParameters, transfer_placeholders.placeholder_total_count) ==
              offsetof(CF_OPERATION_PARAMETERS, TransferPlaceholders.PlaceholderTotalCount));
static_assert(offsetof(zcf::OperationParameters, transfer_placeholders.placeholder_array) ==
              offsetof(CF_OPERATION_PARAMETERS, TransferPlaceholders.PlaceholderArray));
static_assert(offsetof(zcf::OperationParameters, transfer_placeholders.placeholder_count) ==
              offsetof(CF_OPERATION_PARAMETERS, TransferPlaceholders.PlaceholderCount));
static_assert(offsetof(zcf::OperationParameters, transfer_placeholders.entries_processed) ==
              offsetof(CF_OPERATION_PARAMETERS, TransferPlaceholders.EntriesProcessed));
static_assert(offsetof(zcf::OperationParameters, ack_delete.flags) == offsetof(CF_OPERATION_PARAMETERS, AckDelete.Flags));
static_assert(offsetof(zcf::OperationParameters, ack_delete.completion_status) ==
              offsetof(CF_OPERATION_PARAMETERS, AckDelete.CompletionStatus));
static_assert(offsetof(zcf::OperationParameters, ack_rename.flags) == offsetof(CF_OPERATION_PARAMETERS, AckRename.Flags));
static_assert(offsetof(zcf::OperationParameters, ack_rename.completion_status) ==
              offsetof(CF_OPERATION_PARAMETERS, AckRename.CompletionStatus));

static_assert(zcf::callback_type::NONE == CF_CALLBACK_TYPE_NONE);
static_assert(zcf::callback_type::FETCH_PLACEHOLDERS == CF_CALLBACK_TYPE_FETCH_PLACEHOLDERS);
static_assert(zcf::callback_type::CANCEL_FETCH_PLACEHOLDERS == CF_CALLBACK_TYPE_CANCEL_FETCH_PLACEHOLDERS);
static_assert(zcf::callback_type::NOTIFY_DELETE == CF_CALLBACK_TYPE_NOTIFY_DELETE);
static_assert(zcf::callback_type::NOTIFY_RENAME == CF_CALLBACK_TYPE_NOTIFY_RENAME);
static_assert(zcf::OPERATION_TYPE_TRANSFER_PLACEHOLDERS == CF_OPERATION_TYPE_TRANSFER_PLACEHOLDERS);
static_assert(zcf::OPERATION_TYPE_ACK_DELETE == CF_OPERATION_TYPE_ACK_DELETE);
static_assert(zcf::OPERATION_TYPE_ACK_RENAME == CF_OPERATION_TYPE_ACK_RENAME);
static_assert(zcf::transfer_placeholders_flag::DISABLE_ON_DEMAND_POPULATION ==
              CF_OPERATION_TRANSFER_PLACEHOLDERS_FLAG_DISABLE_ON_DEMAND_POPULATION);
static_assert(zcf::delete_flag::IS_DIRECTORY == CF_CALLBACK_DELETE_FLAG_IS_DIRECTORY);
static_assert(zcf::delete_flag::IS_UNDELETE == CF_CALLBACK_DELETE_FLAG_IS_UNDELETE);
static_assert(zcf::rename_flag::IS_DIRECTORY == CF_CALLBACK_RENAME_FLAG_IS_DIRECTORY);
static_assert(zcf::rename_flag::SOURCE_IN_SCOPE == CF_CALLBACK_RENAME_FLAG_SOURCE_IN_SCOPE);
static_assert(zcf::rename_flag::TARGET_IN_SCOPE == CF_CALLBACK_RENAME_FLAG_TARGET_IN_SCOPE);
static_assert(zcf::UPDATE_FLAG_ENABLE_ON_DEMAND_POPULATION == CF_UPDATE_FLAG_ENABLE_ON_DEMAND_POPULATION);
static_assert(zcf::UPDATE_FLAG_DISABLE_ON_DEMAND_POPULATION == CF_UPDATE_FLAG_DISABLE_ON_DEMAND_POPULATION);
static_assert(zcf::placeholder_create_flag::DISABLE_ON_DEMAND_POPULATION ==
              CF_PLACEHOLDER_CREATE_FLAG_DISABLE_ON_DEMAND_POPULATION);
static_assert(zcf::IN_SYNC_STATE_IN_SYNC == CF_IN_SYNC_STATE_IN_SYNC);
static_assert(zcf::IN_SYNC_STATE_NOT_IN_SYNC == CF_IN_SYNC_STATE_NOT_IN_SYNC);
static_assert(zcf::SET_IN_SYNC_FLAG_NONE == CF_SET_IN_SYNC_FLAG_NONE);
static_assert(zcf::REVERT_FLAG_NONE == CF_REVERT_FLAG_NONE);

}  // namespace zcf::windows::cf
