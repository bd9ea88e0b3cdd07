// Placeholder operations of the Linux platform: creation, pin state, dehydration, placeholder
// information, protected handles, conversion and update, with their failure codes.
#include "linux/fixture.h"

#include <cstring>
#include <sys/xattr.h>

namespace zcf::linux_platformtest {
namespace {

using SimPlaceholders = SimTest;

struct BasicInfo {
    std::uint32_t pin = 0, in_sync = 0, identity_length = 0;
    std::string identity;
};

// True when the file holds any data block (placeholder content that is not present is a hole).
bool has_data(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY);
    const off_t data = ::lseek(fd, 0, SEEK_DATA);
    ::close(fd);
    return data >= 0;
}

Hresult info_of(Platform& p, Handle h, BasicInfo& out, std::uint32_t size = PLACEHOLDER_INFO_BUFFER_SIZE) {
    std::vector<std::uint8_t> buffer(size);
    std::uint32_t returned = 0;
    const Hresult r = p.get_placeholder_info(h, PLACEHOLDER_INFO_BASIC, buffer.data(), size, &returned);
    if (size >= PLACEHOLDER_BASIC_INFO_IDENTITY_OFFSET) {
        std::memcpy(&out.pin, buffer.data(), 4);
        std::memcpy(&out.in_sync, buffer.data() + 4, 4);
        std::memcpy(&out.identity_length, buffer.data() + 24, 4);
        out.identity.assign(reinterpret_cast<const char*>(buffer.data()) + 28, returned > 28 ? returned - 28 : 0);
    }
    return r;
}

TEST_F(SimPlaceholders, CreateMakesSparsePlaceholdersWithTheirMetadata) {
    ASSERT_EQ(register_root().code, 0);
    ASSERT_EQ(create("big.bin", 1 << 30, "identity-1", false, "", 133444736001230000), 0);
    struct stat st{};
    ASSERT_EQ(::stat((root_ + "/big.bin").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 1 << 30);
    EXPECT_FALSE(has_data(root_ + "/big.bin"));
    EXPECT_EQ(st.st_mtim.tv_sec, 1700000000);
    EXPECT_EQ(st.st_mtim.tv_nsec, 123000000);
    HandleGuard h(open(root_ + "/big.bin"));
    BasicInfo info;
    ASSERT_EQ(info_of(p(), h.get(), info), 0);
    EXPECT_EQ(info.identity, "identity-1");
    EXPECT_EQ(info.in_sync, 1u);
    EXPECT_EQ(info.pin, 0u);
    // No temporary names are left behind.
    std::vector<std::string> names;
    FindData entry;
    const std::u16string pattern = w(root_ + "/*");
    const Handle find = p().find_first(pattern.c_str(), &entry);
    ASSERT_TRUE(handle_valid(find));
    do names.push_back(narrow(entry.name));
    while (p().find_next(find, &entry));
    p().find_close(find);
    EXPECT_EQ(names, std::vector<std::string>{"big.bin"});
}

TEST_F(SimPlaceholders, CreateReportsEachItemAndWholeCallFailures) {
    ASSERT_EQ(register_root().code, 0);
    write_file(root_ + "/taken", "x");
    const std::u16string n_ok = u"ok", n_empty = u"", n_dot = u".", n_dotdot = u"..", n_slash = u"a/b", n_taken = u"taken",
                         n_neg = u"neg";
    const char16_t n_lone[] = {u'x', 0xDC00, 0};
    const char16_t* names[] = {n_ok.c_str(), n_empty.c_str(), n_dot.c_str(), n_dotdot.c_str(), n_slash.c_str(),
                               n_taken.c_str(), n_neg.c_str(), n_lone};
    std::vector<PlaceholderCreateInfo> items(std::size(names));
    for (std::size_t i = 0; i < items.size(); ++i) {
        items[i].relative_file_name = names[i];
        items[i].fs_metadata.basic_info.file_attributes = attr::NORMAL;
        items[i].fs_metadata.file_size = i == 6 ? -1 : 10;
        items[i].flags = 2;
    }
    std::uint32_t processed = 0;
    const std::u16string base = w(root_);
    EXPECT_EQ(p().create_placeholders(base.c_str(), items.data(), 8, 0, &processed), 0);
    EXPECT_EQ(processed, 8u);
    const Hresult invalid_name = hr(win32::ERROR_INVALID_NAME);
    EXPECT_EQ(items[0].result, 0);
    EXPECT_EQ(items[1].result, invalid_name);
    EXPECT_EQ(items[2].result, invalid_name);
    EXPECT_EQ(items[3].result, invalid_name);
    EXPECT_EQ(items[4].result, invalid_name);
    EXPECT_EQ(items[5].result, hr(win32::ERROR_ALREADY_EXISTS));
    EXPECT_EQ(items[6].result, hr::E_INVALIDARG_CODE);
    EXPECT_EQ(items[7].result, invalid_name);
    EXPECT_EQ(read_whole(root_ + "/taken"), "x");

    EXPECT_EQ(create("x", 1, "i", false, root_ + "/missing"), hr(win32::ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(create("x", 1, "i", false, dir_), hr(win32::ERROR_CLOUD_FILE_NOT_UNDER_SYNC_ROOT));
    EXPECT_EQ(create("x", 1, "i", false, root_ + "/taken"), hr(win32::ERROR_DIRECTORY));
    std::string too_long(4097, 'i');
    EXPECT_EQ(create("x", 1, too_long), static_cast<Hresult>(0x8007016Cu));
}

// Names Windows refuses are refused per item, files and folders alike; names it takes are made.
TEST_F(SimPlaceholders, CreateRefusesNamesWindowsRefuses) {
    ASSERT_EQ(register_root().code, 0);
    const Hresult invalid_name = hr(win32::ERROR_INVALID_NAME);
    for (const std::string bad : {"a<b", "a>b", "a:b", "a\"b", "a|b", "a?b", "a*b", "a\\b", "tab\tin", "\x01", "end\x1f"}) {
        EXPECT_EQ(create(bad, 1), invalid_name) << bad;
        EXPECT_EQ(create(bad, 0, "", true), invalid_name) << bad;
    }
    // The name reaches the platform NUL-terminated, as it reaches Windows: it ends at the NUL.
    EXPECT_EQ(create(std::string("\0x", 2), 1), invalid_name);
    EXPECT_EQ(create(std::string("cut\0off", 7), 1), 0);
    for (const std::string fine : {"a b", "#%&'()+,;=@[]^`{}~!$", "\xc3\xa9t\xc3\xa9", ".hidden", "x\x7f"})
        EXPECT_EQ(create(fine, 1), 0) << fine;
    std::vector<std::string> names;
    FindData entry;
    const std::u16string pattern = w(root_ + "/*");
    const Handle find = p().find_first(pattern.c_str(), &entry);
    ASSERT_TRUE(handle_valid(find));
    do names.push_back(narrow(entry.name));
    while (p().find_next(find, &entry));
    p().find_close(find);
    EXPECT_EQ(names, (std::vector<std::string>{"#%&'()+,;=@[]^`{}~!$", ".hidden", "a b", "cut", "x\x7f", "?t?"}));
}

TEST_F(SimPlaceholders, PinIsRecursiveAndSkipsLinks) {
    ASSERT_EQ(register_root().code, 0);
    ASSERT_EQ(create("a", 0, "a", true), 0);
    ASSERT_EQ(create("b", 0, "b", true, root_ + "/a"), 0);
    ASSERT_EQ(create("f", 100, "f", false, root_ + "/a/b"), 0);
    ::symlink(dir_.c_str(), (root_ + "/a/link").c_str());
    HandleGuard h(open(root_ + "/a"));
    ASSERT_EQ(p().set_pin_state(h.get(), pin_state::PINNED, SET_PIN_FLAG_RECURSE), 0);
    for (const char* path : {"/a", "/a/b", "/a/b/f"})
        EXPECT_NE(attributes(root_ + path) & attr::PINNED, 0u) << path;
    EXPECT_EQ(attributes(root_ + "/a/link") & attr::PINNED, 0u);
    EXPECT_EQ(attributes(root_) & attr::PINNED, 0u);
    ASSERT_EQ(p().set_pin_state(h.get(), pin_state::UNSPECIFIED, SET_PIN_FLAG_RECURSE), 0);
    EXPECT_EQ(attributes(root_ + "/a/b/f") & (attr::PINNED | attr::UNPINNED), 0u);
    EXPECT_EQ(p().set_pin_state(h.get(), 9, 1), hr::E_INVALIDARG_CODE);
    EXPECT_EQ(p().set_pin_state(0x8, 1, 1), hr(win32::ERROR_INVALID_HANDLE));
    write_file(dir_ + "/outside", "x");
    HandleGuard outside(open(dir_ + "/outside"));
    EXPECT_EQ(p().set_pin_state(outside.get(), 1, 1), hr(win32::ERROR_CLOUD_FILE_NOT_UNDER_SYNC_ROOT));
}

TEST_F(SimPlaceholders, DehydrateChecksAndRemovesContent) {
    ASSERT_EQ(register_root().code, 0);
    write_file(root_ + "/plain", std::string(10000, 'p'));
    ASSERT_EQ(create("folder", 0, "d", true), 0);
    {
        HandleGuard h(open(root_ + "/plain"));
        EXPECT_EQ(p().dehydrate_placeholder(h.get(), 0, -1, 0), hr(win32::ERROR_NOT_A_CLOUD_FILE));
        // Adopt it: a full, in-sync placeholder whose content counts as present.
        ASSERT_EQ(p().convert_to_placeholder(h.get(), "id", 2, CONVERT_FLAG_MARK_IN_SYNC, nullptr), 0);
    }
    EXPECT_EQ(attributes(root_ + "/plain"), attr::ARCHIVE | attr::REPARSE_POINT);
    {
        HandleGuard d(open(root_ + "/folder"));
        EXPECT_EQ(p().dehydrate_placeholder(d.get(), 0, -1, 0), hr(win32::ERROR_CLOUD_FILE_INVALID_REQUEST));
    }
    HandleGuard h(open(root_ + "/plain"));
    ASSERT_EQ(p().set_pin_state(h.get(), pin_state::PINNED, 0), 0);
    EXPECT_EQ(p().dehydrate_placeholder(h.get(), 0, -1, 0), hr(win32::ERROR_CLOUD_FILE_PINNED));
    ASSERT_EQ(p().set_pin_state(h.get(), pin_state::UNPINNED, 0), 0);
    ASSERT_EQ(p().update_placeholder(h.get(), nullptr, nullptr, 0, nullptr, 0, 0x40 /*CLEAR_IN_SYNC*/, nullptr), 0);
    EXPECT_EQ(p().dehydrate_placeholder(h.get(), 0, -1, 0), hr(win32::ERROR_CLOUD_FILE_NOT_IN_SYNC));
    ASSERT_EQ(p().update_placeholder(h.get(), nullptr, nullptr, 0, nullptr, 0, UPDATE_FLAG_MARK_IN_SYNC, nullptr), 0);
    {
        // Open for reading by an application: in use.
        auto app = linux_platform::open_as_app(root_ + "/plain", 4242, "/usr/bin/app");
        ASSERT_EQ(app.error, 0u);
        EXPECT_EQ(p().dehydrate_placeholder(h.get(), 0, -1, 0), hr(win32::ERROR_CLOUD_FILE_IN_USE));
    }
    ASSERT_EQ(p().dehydrate_placeholder(h.get(), 0, -1, 0), 0);
    struct stat st{};
    ASSERT_EQ(::stat((root_ + "/plain").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 10000);
    EXPECT_FALSE(has_data(root_ + "/plain"));
    EXPECT_EQ(attributes(root_ + "/plain"),
              attr::ARCHIVE | attr::REPARSE_POINT | attr::RECALL_ON_DATA_ACCESS | attr::UNPINNED);
    BasicInfo info;
    ASSERT_EQ(info_of(p(), h.get(), info), 0);
    EXPECT_EQ(info.identity, "id");
    EXPECT_EQ(info.pin, pin_state::UNPINNED);
}

TEST_F(SimPlaceholders, PlaceholderInfoBufferAndNonPlaceholders) {
    ASSERT_EQ(register_root().code, 0);
    ASSERT_EQ(create("f", 10, std::string(100, 'x')), 0);
    ASSERT_EQ(create("e", 10, ""), 0);
    write_file(root_ + "/plain", "x");
    HandleGuard f(open(root_ + "/f"));
    BasicInfo info;
    EXPECT_EQ(info_of(p(), f.get(), info, 64), hr(win32::ERROR_MORE_DATA));
    EXPECT_EQ(info.identity_length, 100u);
    EXPECT_EQ(info.identity, std::string(36, 'x'));
    HandleGuard e(open(root_ + "/e"));
    ASSERT_EQ(info_of(p(), e.get(), info), 0);
    EXPECT_EQ(info.identity_length, 0u);
    HandleGuard plain(open(root_ + "/plain"));
    EXPECT_EQ(info_of(p(), plain.get(), info), hr(win32::ERROR_NOT_A_CLOUD_FILE));
}

TEST_F(SimPlaceholders, ProtectedHandlesAreExclusive) {
    ASSERT_EQ(register_root().code, 0);
    write_file(root_ + "/f", "content");
    const std::u16string path = w(root_ + "/f");
    Handle first = INVALID_HANDLE, second = INVALID_HANDLE;
    ASSERT_EQ(p().open_file_with_oplock(path.c_str(), 3, &first), 0);
    EXPECT_EQ(p().open_file_with_oplock(path.c_str(), 3, &second), hr(win32::ERROR_SHARING_VIOLATION));
    EXPECT_EQ(open(root_ + "/f", 0x81), INVALID_HANDLE);
    EXPECT_EQ(p().last_error(), win32::ERROR_SHARING_VIOLATION);
    ASSERT_TRUE(p().reference_protected_handle(first));
    const Handle inner = p().win32_handle_from_protected(first);
    ASSERT_TRUE(handle_valid(inner));
    EXPECT_FALSE(p().close_handle(inner));  // owned by the protected handle
    EXPECT_EQ(p().convert_to_placeholder(inner, "abc", 3, CONVERT_FLAG_MARK_IN_SYNC, nullptr), 0);
    p().release_protected_handle(first);
    p().close_protected_handle(first);
    EXPECT_EQ(p().win32_handle_from_protected(first), INVALID_HANDLE);
    EXPECT_FALSE(p().reference_protected_handle(first));
    ASSERT_EQ(p().open_file_with_oplock(path.c_str(), 3, &second), 0);
    p().close_protected_handle(second);
    const std::u16string missing = w(root_ + "/missing");
    EXPECT_EQ(p().open_file_with_oplock(missing.c_str(), 3, &second), hr(win32::ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(read_whole(root_ + "/f"), "content");
}

TEST_F(SimPlaceholders, ConvertAndUpdate) {
    ASSERT_EQ(register_root().code, 0);
    write_file(root_ + "/f", "content");
    ::mkdir((root_ + "/d").c_str(), 0755);
    ::symlink("f", (root_ + "/link").c_str());
    write_file(dir_ + "/outside", "x");
    auto with_oplock = [&](const std::string& path, const std::function<void(Handle)>& body) {
        const std::u16string wp = w(path);
        Handle ph = INVALID_HANDLE;
        ASSERT_EQ(p().open_file_with_oplock(wp.c_str(), 3, &ph), 0) << path;
        ASSERT_TRUE(p().reference_protected_handle(ph));
        body(p().win32_handle_from_protected(ph));
        p().release_protected_handle(ph);
        p().close_protected_handle(ph);
    };
    with_oplock(root_ + "/f", [&](Handle h) {
        EXPECT_EQ(p().update_placeholder(h, nullptr, "x", 1, nullptr, 0, 2, nullptr), hr(win32::ERROR_NOT_A_CLOUD_FILE));
        EXPECT_EQ(p().convert_to_placeholder(h, "one", 3, CONVERT_FLAG_MARK_IN_SYNC, nullptr), 0);
        EXPECT_EQ(p().convert_to_placeholder(h, "one", 3, CONVERT_FLAG_MARK_IN_SYNC, nullptr),
                  hr(win32::ERROR_CLOUD_FILE_INVALID_REQUEST));
        EXPECT_EQ(p().update_placeholder(h, nullptr, "two", 3, nullptr, 0, UPDATE_FLAG_MARK_IN_SYNC, nullptr), 0);
        BasicInfo info;
        ASSERT_EQ(info_of(p(), h, info), 0);
        EXPECT_EQ(info.identity, "two");
        EXPECT_EQ(info.in_sync, 1u);
    });
    EXPECT_EQ(read_whole(root_ + "/f"), "content");
    EXPECT_EQ(attributes(root_ + "/f"), attr::ARCHIVE | attr::REPARSE_POINT);
    with_oplock(root_ + "/d", [&](Handle h) {
        EXPECT_EQ(p().convert_to_placeholder(h, nullptr, 0, CONVERT_FLAG_MARK_IN_SYNC, nullptr), 0);
    });
    EXPECT_EQ(attributes(root_ + "/d"), attr::DIRECTORY | attr::REPARSE_POINT);
    with_oplock(root_ + "/link", [&](Handle h) {
        EXPECT_EQ(p().update_placeholder(h, nullptr, "x", 1, nullptr, 0, 2, nullptr), hr(win32::ERROR_NOT_A_CLOUD_FILE));
    });
    with_oplock(dir_ + "/outside", [&](Handle h) {
        EXPECT_EQ(p().convert_to_placeholder(h, "x", 1, 1, nullptr), hr(win32::ERROR_CLOUD_FILE_NOT_UNDER_SYNC_ROOT));
    });
}

}  // namespace
}  // namespace zcf::linux_platformtest
