// The Linux platform's Win32 file calls: attribute words, last-error codes, enumeration, handles.
#include "linux/fixture.h"

#include <sys/xattr.h>

namespace zcf::linux_platformtest {
namespace {

using SimFiles = SimTest;

TEST_F(SimFiles, AttributeWordsOfPlainEntriesAndLinks) {
    write_file(root_ + "/plain.txt", "x");
    ::mkdir((root_ + "/sub").c_str(), 0755);
    write_file(root_ + "/ro.txt", "x");
    ::chmod((root_ + "/ro.txt").c_str(), 0444);
    ::symlink("plain.txt", (root_ + "/file-link").c_str());
    ::symlink("sub", (root_ + "/dir-link").c_str());
    EXPECT_EQ(attributes(root_ + "/plain.txt"), attr::ARCHIVE);
    EXPECT_EQ(attributes(root_ + "/sub"), attr::DIRECTORY);
    EXPECT_EQ(attributes(root_ + "/ro.txt"), attr::ARCHIVE | attr::READONLY);
    EXPECT_EQ(attributes(root_ + "/file-link"), attr::ARCHIVE | attr::REPARSE_POINT);
    EXPECT_EQ(attributes(root_ + "/dir-link"), attr::DIRECTORY | attr::REPARSE_POINT);
}

TEST_F(SimFiles, AttributeWordsOfPlaceholders) {
    ASSERT_EQ(register_root().code, 0);
    ASSERT_EQ(create("empty.bin", 0), 0);
    ASSERT_EQ(create("data.bin", 10000), 0);
    ASSERT_EQ(create("folder", 0, "f", true), 0);
    EXPECT_EQ(attributes(root_ + "/empty.bin"), attr::ARCHIVE | attr::REPARSE_POINT);
    EXPECT_EQ(attributes(root_ + "/data.bin"), attr::ARCHIVE | attr::REPARSE_POINT | attr::RECALL_ON_DATA_ACCESS);
    EXPECT_EQ(attributes(root_ + "/folder"), attr::DIRECTORY | attr::REPARSE_POINT);

    HandleGuard h(open(root_ + "/data.bin"));
    ASSERT_TRUE(handle_valid(h.get()));
    ASSERT_EQ(p().set_pin_state(h.get(), pin_state::PINNED, 0), 0);
    EXPECT_EQ(attributes(root_ + "/data.bin") & (attr::PINNED | attr::UNPINNED), attr::PINNED);
    ASSERT_EQ(p().set_pin_state(h.get(), pin_state::UNPINNED, 0), 0);
    EXPECT_EQ(attributes(root_ + "/data.bin") & (attr::PINNED | attr::UNPINNED), attr::UNPINNED);
}

TEST_F(SimFiles, MissingPathsAndBadNamesSetWindowsCodes) {
    EXPECT_EQ(attributes(root_ + "/missing"), INVALID_FILE_ATTRIBUTES_WORD);
    EXPECT_EQ(p().last_error(), win32::ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(attributes(root_ + "/no/such/file"), INVALID_FILE_ATTRIBUTES_WORD);
    EXPECT_EQ(p().last_error(), win32::ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(p().file_attributes(u""), INVALID_FILE_ATTRIBUTES_WORD);
    EXPECT_EQ(p().last_error(), win32::ERROR_PATH_NOT_FOUND);
    const char16_t lone[] = {u'/', u't', 0xD800, u'x', 0};
    EXPECT_EQ(p().file_attributes(lone), INVALID_FILE_ATTRIBUTES_WORD);
    EXPECT_EQ(p().last_error(), win32::ERROR_INVALID_NAME);
    // Text after an embedded NUL is not part of the path.
    write_file(root_ + "/a", "x");
    std::u16string embedded = w(root_ + "/a");
    embedded.push_back(0);
    embedded += u"junk";
    EXPECT_EQ(p().file_attributes(embedded.c_str()), attr::ARCHIVE);
}

TEST_F(SimFiles, LastErrorIsPerThread) {
    EXPECT_EQ(attributes(root_ + "/missing"), INVALID_FILE_ATTRIBUTES_WORD);
    std::uint32_t other = 99;
    std::thread([&] { other = p().last_error(); }).join();
    EXPECT_EQ(other, 0u);
    EXPECT_EQ(p().last_error(), win32::ERROR_FILE_NOT_FOUND);
}

TEST_F(SimFiles, CreateFileOpensFilesAndDirectoriesOnly) {
    write_file(root_ + "/f", "x");
    const Handle file = open(root_ + "/f");
    ASSERT_TRUE(handle_valid(file));
    const Handle dir = open(root_);
    ASSERT_TRUE(handle_valid(dir));
    EXPECT_NE(file, dir);
    EXPECT_TRUE(p().close_handle(file));
    EXPECT_TRUE(p().close_handle(dir));
    EXPECT_FALSE(p().close_handle(file));
    EXPECT_EQ(p().last_error(), win32::ERROR_INVALID_HANDLE);

    const std::u16string wr = w(root_);
    EXPECT_EQ(p().create_file(wr.c_str(), 0x80, SHARE_ALL, OPEN_EXISTING_DISPOSITION, 0), INVALID_HANDLE);
    EXPECT_EQ(p().last_error(), win32::ERROR_ACCESS_DENIED);
    EXPECT_EQ(open(root_ + "/missing"), INVALID_HANDLE);
    EXPECT_EQ(p().last_error(), win32::ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(open(root_ + "/f/below"), INVALID_HANDLE);
    EXPECT_EQ(p().last_error(), win32::ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(p().create_file(u"", 0x80, SHARE_ALL, OPEN_EXISTING_DISPOSITION, FLAG_BACKUP_SEMANTICS), INVALID_HANDLE);
    EXPECT_EQ(p().last_error(), win32::ERROR_PATH_NOT_FOUND);
}

std::vector<std::pair<std::string, FindData>> list(Platform& p, const std::string& dir) {
    std::vector<std::pair<std::string, FindData>> out;
    const std::u16string pattern = w(dir + "/*");
    FindData entry;
    const Handle find = p.find_first(pattern.c_str(), &entry);
    if (!handle_valid(find)) return out;
    do out.emplace_back(narrow(entry.name), entry);
    while (p.find_next(find, &entry));
    EXPECT_EQ(p.last_error(), 18u);  // ERROR_NO_MORE_FILES
    p.find_close(find);
    return out;
}

TEST_F(SimFiles, EnumerationIsSortedAndDoesNotFollowLinks) {
    ASSERT_EQ(register_root().code, 0);
    write_file(root_ + "/b", "x");
    write_file(root_ + "/B", "x");
    ::mkdir((root_ + "/a").c_str(), 0755);
    ::symlink("a", (root_ + "/c-link").c_str());
    ASSERT_EQ(create("p", 5000), 0);
    const auto entries = list(p(), root_);
    ASSERT_EQ(entries.size(), 5u);
    EXPECT_EQ(entries[0].first, "B");
    EXPECT_EQ(entries[1].first, "a");
    EXPECT_EQ(entries[2].first, "b");
    EXPECT_EQ(entries[3].first, "c-link");
    EXPECT_EQ(entries[4].first, "p");
    EXPECT_EQ(entries[1].second.attributes, attr::DIRECTORY);
    EXPECT_EQ(entries[3].second.attributes, attr::DIRECTORY | attr::REPARSE_POINT);
    EXPECT_EQ(entries[3].second.reparse_tag, reparse::TAG_SYMLINK);
    EXPECT_EQ(entries[4].second.attributes, attr::ARCHIVE | attr::REPARSE_POINT | attr::RECALL_ON_DATA_ACCESS);
    EXPECT_EQ(entries[4].second.reparse_tag, reparse::TAG_CLOUD);
    EXPECT_EQ(entries[0].second.reparse_tag, 0u);
}

TEST_F(SimFiles, EnumerationFailures) {
    FindData entry;
    const std::u16string missing = w(root_ + "/missing/*");
    EXPECT_EQ(p().find_first(missing.c_str(), &entry), INVALID_HANDLE);
    EXPECT_EQ(p().last_error(), win32::ERROR_PATH_NOT_FOUND);
    write_file(root_ + "/file", "x");
    const std::u16string file = w(root_ + "/file/*");
    EXPECT_EQ(p().find_first(file.c_str(), &entry), INVALID_HANDLE);
    EXPECT_EQ(p().last_error(), win32::ERROR_DIRECTORY);
    ::mkdir((root_ + "/empty").c_str(), 0755);
    const std::u16string empty = w(root_ + "/empty/*");
    EXPECT_EQ(p().find_first(empty.c_str(), &entry), INVALID_HANDLE);
    EXPECT_EQ(p().last_error(), win32::ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(p().find_next(0x4, &entry));
    EXPECT_EQ(p().path_separator(), u'/');
}

}  // namespace
}  // namespace zcf::linux_platformtest

namespace zcf::linux_platformtest {
namespace {

// Every code the Linux platform produces has the system's text.
TEST(SimErrorTexts, EveryProducedCodeHasItsText) {
    for (const std::uint32_t code : {2u, 3u, 4u, 5u, 6u, 8u, 18u, 19u, 31u, 32u, 50u, 80u, 87u, 112u, 122u, 123u, 145u,
                                     170u, 183u, 206u, 223u, 234u, 267u, 358u, 362u, 364u, 376u, 377u, 378u, 379u, 380u,
                                     389u, 390u, 391u, 392u, 393u, 404u, 405u, 426u, 1117u, 1168u, 1921u}) {
        const std::u16string text = native_platform().system_message(hresult_from_win32(code));
        EXPECT_GT(text.size(), 2u) << code;
        EXPECT_EQ(text.substr(text.size() - 2), u"\r\n") << code;
    }
    EXPECT_FALSE(native_platform().system_message(hr::E_INVALIDARG_CODE).empty());
}

}  // namespace
}  // namespace zcf::linux_platformtest
