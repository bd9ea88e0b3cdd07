// platform/windows: the Windows Runtime and COM interfaces the program calls that mingw-w64 10 does
// not declare usably in C++ (Windows.Storage.Provider, StorageFolder statics, the asynchronous
// folder lookup, CryptographicBuffer, IBuffer, IRestrictedErrorInfo). Declarations and IIDs only,
// written from the published vtable layouts: every method in slot order, so that the slots the
// program calls are at the right place.
#pragma once

#include <windows.h>
#include <hstring.h>
#include <inspectable.h>

#include <cstdint>

namespace zcf::windows::rt {

// ---- Interface identifiers --------------------------------------------------------------------

inline constexpr IID IID_IUnknown_ = {0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline constexpr IID IID_IInspectable_ = {0xAF86E2E0, 0xB12D, 0x4C6A, {0x9C, 0x5A, 0xD7, 0xAA, 0x65, 0x10, 0x1E, 0x90}};
inline constexpr IID IID_IAgileObject_ = {0x94EA2B94, 0xE9CC, 0x49E0, {0xC0, 0xFF, 0xEE, 0x64, 0xCA, 0x8F, 0x5B, 0x90}};
inline constexpr IID IID_IErrorInfo_ = {0x1CF2B120, 0x547D, 0x101B, {0x8E, 0x65, 0x08, 0x00, 0x2B, 0x2B, 0xD1, 0x19}};
inline constexpr IID IID_IRestrictedErrorInfo = {0x82BA7092, 0x4C88, 0x427D, {0xA7, 0xBC, 0x16, 0xDD, 0x93, 0xFE, 0xB6, 0x7E}};
inline constexpr IID IID_IStorageProviderSyncRootInfo = {0x7C1305C4, 0x99F9, 0x41AC, {0x89, 0x04, 0xAB, 0x05, 0x5D, 0x65, 0x49, 0x26}};
inline constexpr IID IID_IStorageProviderSyncRootManagerStatics = {0x3E99FBBF, 0x8FE3, 0x4B40, {0xAB, 0xC7, 0xF6, 0xFC, 0x3D, 0x74, 0xC9, 0x8E}};
inline constexpr IID IID_IStorageFolderStatics = {0x08F327FF, 0x85D5, 0x48B9, {0xAE, 0xE9, 0x28, 0x51, 0x1E, 0x33, 0x9F, 0x9F}};
inline constexpr IID IID_IStorageFolder = {0x72D1CB78, 0xB3EF, 0x4F75, {0xA8, 0x0B, 0x6F, 0xD9, 0xDA, 0xE2, 0x94, 0x4B}};
// IAsyncOperation<StorageFolder> and AsyncOperationCompletedHandler<StorageFolder>: parameterised
// IIDs derived from the generic IIDs and the StorageFolder runtime-class signature.
inline constexpr IID IID_IAsyncOperation_StorageFolder = {0x6BE9E7D7, 0xE83A, 0x5CBC, {0x80, 0x2C, 0x17, 0x68, 0x96, 0x0B, 0x52, 0xC3}};
inline constexpr IID IID_AsyncOperationCompletedHandler_StorageFolder = {0xC211026E, 0x9E63, 0x5452, {0xBA, 0x54, 0x3A, 0x07, 0xD6, 0xA9, 0x68, 0x74}};
inline constexpr IID IID_ICryptographicBufferStatics = {0x320B7E22, 0x3CB0, 0x4CDF, {0x86, 0x63, 0x1D, 0x28, 0x91, 0x00, 0x65, 0xEB}};
inline constexpr IID IID_IBuffer = {0x905A0FE0, 0xBC53, 0x11DF, {0x8C, 0x49, 0x00, 0x1E, 0x4F, 0xC6, 0x86, 0xDA}};

// ---- Runtime class names ----------------------------------------------------------------------

inline constexpr const wchar_t* CLASS_SYNC_ROOT_INFO = L"Windows.Storage.Provider.StorageProviderSyncRootInfo";
inline constexpr const wchar_t* CLASS_SYNC_ROOT_MANAGER = L"Windows.Storage.Provider.StorageProviderSyncRootManager";
inline constexpr const wchar_t* CLASS_STORAGE_FOLDER = L"Windows.Storage.StorageFolder";
inline constexpr const wchar_t* CLASS_CRYPTOGRAPHIC_BUFFER = L"Windows.Security.Cryptography.CryptographicBuffer";

// ---- Enumerations -----------------------------------------------------------------------------

using AsyncStatusValue = std::int32_t;
inline constexpr AsyncStatusValue ASYNC_STARTED = 0;
inline constexpr AsyncStatusValue ASYNC_COMPLETED = 1;
inline constexpr AsyncStatusValue ASYNC_CANCELED = 2;
inline constexpr AsyncStatusValue ASYNC_ERROR = 3;

// ---- Interfaces -------------------------------------------------------------------------------

// IRestrictedErrorInfo (IUnknown-based).
struct IRestrictedErrorInfo : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetErrorDetails(BSTR* description, HRESULT* error, BSTR* restricted_description,
                                                      BSTR* capability_sid) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetReference(BSTR* reference) = 0;
};

// Windows.Storage.Streams.IBuffer.
struct IBuffer : public IInspectable {
    virtual HRESULT STDMETHODCALLTYPE get_Capacity(UINT32* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Length(UINT32* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_Length(UINT32 value) = 0;
};

// Windows.Storage.IStorageFolder: the program only passes it on, never calls its methods.
struct IStorageFolder : public IInspectable {};

struct IAsyncOperation_StorageFolder;

// AsyncOperationCompletedHandler<StorageFolder>: a delegate (IUnknown only, no IInspectable).
struct AsyncOperationCompletedHandler_StorageFolder : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Invoke(IAsyncOperation_StorageFolder* operation, AsyncStatusValue status) = 0;
};

// IAsyncOperation<StorageFolder>.
struct IAsyncOperation_StorageFolder : public IInspectable {
    virtual HRESULT STDMETHODCALLTYPE put_Completed(AsyncOperationCompletedHandler_StorageFolder* handler) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Completed(AsyncOperationCompletedHandler_StorageFolder** handler) = 0;
    // The result's ABI type is the class's default interface.
    virtual HRESULT STDMETHODCALLTYPE GetResults(IStorageFolder** folder) = 0;
};

// Windows.Storage.IStorageFolderStatics.
struct IStorageFolderStatics : public IInspectable {
    virtual HRESULT STDMETHODCALLTYPE GetFolderFromPathAsync(HSTRING path, IAsyncOperation_StorageFolder** operation) = 0;
};

// Windows.Security.Cryptography.ICryptographicBufferStatics.
struct ICryptographicBufferStatics : public IInspectable {
    virtual HRESULT STDMETHODCALLTYPE Compare(IBuffer* object1, IBuffer* object2, boolean* equal) = 0;
    virtual HRESULT STDMETHODCALLTYPE GenerateRandom(UINT32 length, IBuffer** buffer) = 0;
    virtual HRESULT STDMETHODCALLTYPE GenerateRandomNumber(UINT32* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateFromByteArray(UINT32 length, BYTE* value, IBuffer** buffer) = 0;
    virtual HRESULT STDMETHODCALLTYPE CopyToByteArray(IBuffer* buffer, UINT32* length, BYTE** value) = 0;
    virtual HRESULT STDMETHODCALLTYPE DecodeFromHexString(HSTRING value, IBuffer** buffer) = 0;
    virtual HRESULT STDMETHODCALLTYPE EncodeToHexString(IBuffer* buffer, HSTRING* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE DecodeFromBase64String(HSTRING value, IBuffer** buffer) = 0;
    virtual HRESULT STDMETHODCALLTYPE EncodeToBase64String(IBuffer* buffer, HSTRING* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE ConvertStringToBinary(HSTRING value, INT32 encoding, IBuffer** buffer) = 0;
    virtual HRESULT STDMETHODCALLTYPE ConvertBinaryToString(INT32 encoding, IBuffer* buffer, HSTRING* value) = 0;
};

// Windows.Storage.Provider.IStorageProviderSyncRootInfo (slots 6 to 36).
struct IStorageProviderSyncRootInfo : public IInspectable {
    virtual HRESULT STDMETHODCALLTYPE get_Id(HSTRING* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_Id(HSTRING value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Context(IBuffer** value) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_Context(IBuffer* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Path(IStorageFolder** value) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_Path(IStorageFolder* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_DisplayNameResource(HSTRING* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_DisplayNameResource(HSTRING value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_IconResource(HSTRING* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_IconResource(HSTRING value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_HydrationPolicy(INT32* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_HydrationPolicy(INT32 value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_HydrationPolicyModifier(UINT32* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_HydrationPolicyModifier(UINT32 value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_PopulationPolicy(INT32* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_PopulationPolicy(INT32 value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_InSyncPolicy(UINT32* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_InSyncPolicy(UINT32 value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_HardlinkPolicy(UINT32* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_HardlinkPolicy(UINT32 value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_ShowSiblingsAsGroup(boolean* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_ShowSiblingsAsGroup(boolean value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Version(HSTRING* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_Version(HSTRING value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_ProtectionMode(INT32* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_ProtectionMode(INT32 value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_AllowPinning(boolean* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_AllowPinning(boolean value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_StorageProviderItemPropertyDefinitions(IInspectable** value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_RecycleBinUri(IInspectable** value) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_RecycleBinUri(IInspectable* value) = 0;
};

// Windows.Storage.Provider.IStorageProviderSyncRootManagerStatics.
struct IStorageProviderSyncRootManagerStatics : public IInspectable {
    virtual HRESULT STDMETHODCALLTYPE Register(IStorageProviderSyncRootInfo* info) = 0;
    virtual HRESULT STDMETHODCALLTYPE Unregister(HSTRING id) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetSyncRootInformationForFolder(IStorageFolder* folder,
                                                                      IStorageProviderSyncRootInfo** info) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetSyncRootInformationForId(HSTRING id, IStorageProviderSyncRootInfo** info) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetCurrentSyncRoots(IInspectable** roots) = 0;
};

}  // namespace zcf::windows::rt
