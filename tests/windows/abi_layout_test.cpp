// The vtable slots of the Windows Runtime and COM methods the platform calls, checked against the
// published layouts. A method declared out of order would call a different method at run time.
#include "platform/windows/winrt_abi.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

namespace zcf::windows::rt {
namespace {

// The vtable slot of a virtual member function: the Itanium C++ ABI (used by g++ on mingw-w64)
// stores a pointer to a virtual member as 1 + the byte offset of its vtable entry.
template <typename Method>
std::uintptr_t slot(Method method) {
    static_assert(sizeof(Method) == 2 * sizeof(std::uintptr_t));
    std::uintptr_t words[2];
    std::memcpy(words, &method, sizeof words);
    EXPECT_EQ(words[0] & 1u, 1u) << "not a virtual member";
    return (words[0] - 1) / sizeof(void*);
}

TEST(VtableSlots, StorageProviderSyncRootInfo) {
    EXPECT_EQ(slot(&IStorageProviderSyncRootInfo::put_Id), 7u);
    EXPECT_EQ(slot(&IStorageProviderSyncRootInfo::put_Context), 9u);
    EXPECT_EQ(slot(&IStorageProviderSyncRootInfo::put_Path), 11u);
    EXPECT_EQ(slot(&IStorageProviderSyncRootInfo::put_DisplayNameResource), 13u);
    EXPECT_EQ(slot(&IStorageProviderSyncRootInfo::put_IconResource), 15u);
    EXPECT_EQ(slot(&IStorageProviderSyncRootInfo::put_HydrationPolicy), 17u);
    EXPECT_EQ(slot(&IStorageProviderSyncRootInfo::put_HydrationPolicyModifier), 19u);
    EXPECT_EQ(slot(&IStorageProviderSyncRootInfo::put_PopulationPolicy), 21u);
    EXPECT_EQ(slot(&IStorageProviderSyncRootInfo::put_InSyncPolicy), 23u);
    EXPECT_EQ(slot(&IStorageProviderSyncRootInfo::put_HardlinkPolicy), 25u);
    EXPECT_EQ(slot(&IStorageProviderSyncRootInfo::put_ShowSiblingsAsGroup), 27u);
    EXPECT_EQ(slot(&IStorageProviderSyncRootInfo::put_Version), 29u);
    EXPECT_EQ(slot(&IStorageProviderSyncRootInfo::put_RecycleBinUri), 36u);
}

TEST(VtableSlots, StaticsAndTheFolderLookup) {
    EXPECT_EQ(slot(&IStorageProviderSyncRootManagerStatics::Register), 6u);
    EXPECT_EQ(slot(&IStorageProviderSyncRootManagerStatics::Unregister), 7u);
    EXPECT_EQ(slot(&IStorageFolderStatics::GetFolderFromPathAsync), 6u);
    EXPECT_EQ(slot(&IAsyncOperation_StorageFolder::put_Completed), 6u);
    EXPECT_EQ(slot(&IAsyncOperation_StorageFolder::GetResults), 8u);
    EXPECT_EQ(slot(&AsyncOperationCompletedHandler_StorageFolder::Invoke), 3u);
    EXPECT_EQ(slot(&ICryptographicBufferStatics::CreateFromByteArray), 9u);
    EXPECT_EQ(slot(&IBuffer::get_Length), 7u);
    EXPECT_EQ(slot(&IRestrictedErrorInfo::GetErrorDetails), 3u);
}

}  // namespace
}  // namespace zcf::windows::rt
