// The Windows platform under plain Wine, which has no Cloud Files API and no storage-provider
// runtime classes: every Cloud Files operation answers the loader's error, the library is looked
// for in the system directory only, and the Win32 file calls behave as the core expects.
#include "platform/platform.h"
#include "platform/windows/cldapi_library.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace zcf::windows {
namespace {

constexpr Hresult MOD_NOT_FOUND = static_cast<Hresult>(0x8007007Eu);
constexpr Hresult PROC_NOT_FOUND = static_cast<Hresult>(0x8007007Fu);

std::wstring directory_of_program() {
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring text(path, length);
    return text.substr(0, text.find_last_of(L'\\'));
}

TEST(CloudFilesWithoutCldapi, EveryOperationAnswersTheLoadersError) {
    ASSERT_FALSE(cldapi().loaded()) << "this test runs in a prefix without cldapi.dll";
    Platform& p = native_platform();
    const CallbackRegistration table[] = {{callback_type::NONE, nullptr}};
    ConnectionKey key = 0;
    EXPECT_EQ(p.connect_sync_root(u"C:\\root", table, nullptr, 6, &key), MOD_NOT_FOUND);
    EXPECT_EQ(key, 0);
    EXPECT_EQ(p.disconnect_sync_root(1), MOD_NOT_FOUND);
    PlaceholderCreateInfo record{};
    std::uint32_t processed = 0;
    EXPECT_EQ(p.create_placeholders(u"C:\\root", &record, 1, 0, &processed), MOD_NOT_FOUND);
    EXPECT_EQ(p.set_pin_state(1, 1, 1), MOD_NOT_FOUND);
    EXPECT_EQ(p.dehydrate_placeholder(1, 0, -1, 0), MOD_NOT_FOUND);
    unsigned char buffer[PLACEHOLDER_INFO_BUFFER_SIZE] = {};
    EXPECT_EQ(p.get_placeholder_info(1, 0, buffer, sizeof buffer, nullptr), MOD_NOT_FOUND);
    Handle protected_handle = 0;
    EXPECT_EQ(p.open_file_with_oplock(u"C:\\root\\a", 3, &protected_handle), MOD_NOT_FOUND);
    EXPECT_EQ(p.convert_to_placeholder(1, "x", 1, 1, nullptr), MOD_NOT_FOUND);
    EXPECT_EQ(p.update_placeholder(1, nullptr, "x", 1, nullptr, 0, 2, nullptr), MOD_NOT_FOUND);
    OperationInfo info{};
    OperationParameters parameters{};
    EXPECT_EQ(p.execute(&info, &parameters), MOD_NOT_FOUND);
    EXPECT_EQ(p.hydrate_placeholder(1, 0, -1, 0), MOD_NOT_FOUND);
    // The functions without an HRESULT degrade without touching the handle.
    EXPECT_FALSE(p.reference_protected_handle(0x7A));
    EXPECT_EQ(p.win32_handle_from_protected(0x7A), INVALID_HANDLE);
    EXPECT_EQ(p.last_error(), 126u);
    p.release_protected_handle(0x7A);
    p.close_protected_handle(0x7A);
}

TEST(CloudFilesWithoutCldapi, AMissingFunctionAnswersItsOwnError) {
    // kernel32.dll is in the system directory but exports no Cloud Files function.
    const CldApiLibrary library(L"kernel32.dll");
    EXPECT_TRUE(library.loaded());
    EXPECT_EQ(library.connect_sync_root.address, nullptr);
    EXPECT_EQ(library.connect_sync_root.missing(), PROC_NOT_FOUND);
    EXPECT_EQ(library.hydrate_placeholder.missing(), PROC_NOT_FOUND);
    EXPECT_EQ(library.close_handle.address, nullptr);
}

TEST(CloudFilesWithoutCldapi, NeverLoadsACldapiFromTheProgramFolderOrTheCurrentDirectory) {
    const std::wstring folder = directory_of_program();
    const std::wstring double_dll = folder + L"\\..\\cldapi_double\\cldapi.dll";
    const std::wstring planted = folder + L"\\cldapi.dll";
    if (GetFileAttributesW(double_dll.c_str()) == INVALID_FILE_ATTRIBUTES) GTEST_SKIP() << "no cldapi.dll double built";
    (void)cldapi();  // the process-wide library is settled before the copy is planted
    ASSERT_TRUE(CopyFileW(double_dll.c_str(), planted.c_str(), FALSE));
    wchar_t previous[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, previous);
    SetCurrentDirectoryW(folder.c_str());
    {
        const CldApiLibrary library(L"cldapi.dll");
        EXPECT_FALSE(library.loaded());
        EXPECT_EQ(library.connect_sync_root.missing(), MOD_NOT_FOUND);
    }
    SetCurrentDirectoryW(previous);
    // A plain load would have found it: the planted copy is real.
    const HMODULE plain = LoadLibraryW(planted.c_str());
    EXPECT_NE(plain, nullptr);
    if (plain != nullptr) FreeLibrary(plain);
    DeleteFileW(planted.c_str());
}

class Win32Files : public ::testing::Test {
protected:
    void SetUp() override {
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        root_ = std::wstring(temp) + L"zcf-win32-" + std::to_wstring(GetCurrentProcessId());
        CreateDirectoryW(root_.c_str(), nullptr);
        CreateDirectoryW((root_ + L"\\sub").c_str(), nullptr);
        const HANDLE file = CreateFileW((root_ + L"\\a.txt").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        CloseHandle(file);
    }
    void TearDown() override {
        DeleteFileW((root_ + L"\\a.txt").c_str());
        RemoveDirectoryW((root_ + L"\\sub").c_str());
        RemoveDirectoryW((root_ + L"\\empty").c_str());
        RemoveDirectoryW(root_.c_str());
    }
    std::u16string path(const std::wstring& tail) const {
        const std::wstring full = root_ + tail;
        return std::u16string(full.begin(), full.end());
    }
    std::wstring root_;
};

TEST_F(Win32Files, OpensFilesAndDirectoriesAndReportsMissingPaths) {
    Platform& p = native_platform();
    for (const char* tail : {"\\a.txt", "\\sub"}) {
        const std::wstring wtail(tail, tail + std::strlen(tail));
        const Handle h = p.create_file(path(wtail).c_str(), 0x180, SHARE_ALL, OPEN_EXISTING_DISPOSITION,
                                       FLAG_BACKUP_SEMANTICS);
        EXPECT_TRUE(handle_valid(h)) << tail;
        EXPECT_TRUE(p.close_handle(h));
    }
    const Handle missing = p.create_file(path(L"\\nothing").c_str(), 0x80, SHARE_ALL, OPEN_EXISTING_DISPOSITION,
                                         FLAG_BACKUP_SEMANTICS);
    EXPECT_EQ(missing, INVALID_HANDLE);
    EXPECT_EQ(p.last_error(), 2u);
    EXPECT_EQ(p.file_attributes(path(L"\\nothing").c_str()), INVALID_FILE_ATTRIBUTES_WORD);
    EXPECT_NE(p.file_attributes(path(L"\\sub").c_str()) & attr::DIRECTORY, 0u);
    EXPECT_EQ(p.file_attributes(path(L"\\a.txt").c_str()) & attr::DIRECTORY, 0u);
    EXPECT_EQ(p.path_separator(), u'\\');
}

TEST_F(Win32Files, EnumeratesWithoutTheDotEntries) {
    Platform& p = native_platform();
    FindData entry;
    const Handle find = p.find_first(path(L"\\*").c_str(), &entry);
    ASSERT_NE(find, INVALID_HANDLE);
    std::u16string names = entry.name;
    bool directory_flag_seen = (entry.attributes & attr::DIRECTORY) != 0 && names == u"sub";
    while (p.find_next(find, &entry)) {
        names.push_back(u',');
        names.append(entry.name);
        if (std::u16string(entry.name) == u"sub") directory_flag_seen = (entry.attributes & attr::DIRECTORY) != 0;
    }
    p.find_close(find);
    EXPECT_TRUE(names == u"a.txt,sub" || names == u"sub,a.txt") << std::string(names.begin(), names.end());
    EXPECT_TRUE(directory_flag_seen);

    CreateDirectoryW((root_ + L"\\empty").c_str(), nullptr);
    EXPECT_EQ(p.find_first(path(L"\\empty\\*").c_str(), &entry), INVALID_HANDLE);
    EXPECT_EQ(p.find_first(path(L"\\nothing\\*").c_str(), &entry), INVALID_HANDLE);
}

}  // namespace
}  // namespace zcf::windows
