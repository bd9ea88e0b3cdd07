// Sync-root registration in the Linux platform: folder lookup and register/unregister codes, records
// kept whole, and persistence across processes.
#include "linux/fixture.h"

#include "platform/linux/registry/registry.h"

#include <sys/wait.h>

namespace zcf::linux_platformtest {
namespace {

using SimRegistry = SimTest;

TEST_F(SimRegistry, FolderLookupFailures) {
    EXPECT_EQ(register_root("id", "relative/path").code, hr::E_INVALIDARG_CODE);
    EXPECT_EQ(register_root("id", root_ + "/missing").code, static_cast<Hresult>(0x80070002u));
    EXPECT_EQ(register_root("id", root_ + "/missing/deeper").code, static_cast<Hresult>(0x80070003u));
    write_file(root_ + "/file", "x");
    EXPECT_EQ(register_root("id", root_ + "/file").code, static_cast<Hresult>(0x8007010Bu));
    const std::u16string id = u"x";
    SyncRootRegistration r{id.c_str(), u"", u"", u"", 1, 4, 2, 0, 0, false, u"1", nullptr, 0};
    EXPECT_EQ(p().register_sync_root(r).code, hr::E_INVALIDARG_CODE);
    EXPECT_EQ(register_root("").code, hr::E_INVALIDARG_CODE);
    EXPECT_TRUE((*linux_platform::load_sync_roots()).empty());
}

TEST_F(SimRegistry, KeepsEveryPropertyAndReplacesBySameId) {
    ASSERT_EQ(register_root("root-1").code, 0);
    auto roots = (*linux_platform::load_sync_roots());
    ASSERT_EQ(roots.size(), 1u);
    EXPECT_EQ(roots[0].id, "root-1");
    EXPECT_EQ(roots[0].path, root_);
    EXPECT_EQ(roots[0].display_name, "Zembra Sync");
    EXPECT_EQ(roots[0].icon, "icon");
    EXPECT_EQ(roots[0].version, "1");
    EXPECT_EQ(roots[0].hydration_policy, 1);
    EXPECT_EQ(roots[0].hydration_policy_modifier, 4u);
    EXPECT_EQ(roots[0].population_policy, 2);
    EXPECT_EQ(roots[0].in_sync_policy, 0x80000000u);
    EXPECT_EQ(roots[0].hardlink_policy, 0u);
    EXPECT_FALSE(roots[0].show_siblings_as_group);
    EXPECT_EQ(roots[0].context, (std::vector<std::uint8_t>{'z', 'e', 'm', 'b', 'r', 'a'}));

    // The same id again moves the registration to another folder.
    const std::string other = dir_ + "/other";
    ::mkdir(other.c_str(), 0755);
    ASSERT_EQ(register_root("root-1", other).code, 0);
    roots = (*linux_platform::load_sync_roots());
    ASSERT_EQ(roots.size(), 1u);
    EXPECT_EQ(roots[0].path, other);
}

TEST_F(SimRegistry, RootsNeverOverlapUnderDifferentIds) {
    ASSERT_EQ(register_root("a").code, 0);
    const Hresult invalid = hr(win32::ERROR_CLOUD_FILE_INVALID_REQUEST);
    EXPECT_EQ(register_root("b").code, invalid);
    ::mkdir((root_ + "/inner").c_str(), 0755);
    EXPECT_EQ(register_root("b", root_ + "/inner").code, invalid);
    EXPECT_EQ(register_root("b", dir_).code, invalid);
    // A sibling whose name merely starts like the root is no overlap.
    ::mkdir((root_ + "2").c_str(), 0755);
    EXPECT_EQ(register_root("b", root_ + "2").code, 0);
    EXPECT_EQ((*linux_platform::load_sync_roots()).size(), 2u);
}

TEST_F(SimRegistry, Unregister) {
    EXPECT_EQ(p().unregister_sync_root(u"nope").code, static_cast<Hresult>(0x80070490u));
    EXPECT_EQ(p().unregister_sync_root(u"").code, hr::E_INVALIDARG_CODE);
    ASSERT_EQ(register_root("a").code, 0);
    ASSERT_EQ(create("kept", 10), 0);
    EXPECT_EQ(p().unregister_sync_root(u"a").code, 0);
    EXPECT_TRUE((*linux_platform::load_sync_roots()).empty());
    EXPECT_EQ(p().unregister_sync_root(u"a").code, static_cast<Hresult>(0x80070490u));
    // The placeholder stays a placeholder, only outside any sync root now.
    EXPECT_NE(attributes(root_ + "/kept") & attr::REPARSE_POINT, 0u);
    HandleGuard h(open(root_ + "/kept"));
    EXPECT_EQ(p().set_pin_state(h.get(), 1, 0), hr(win32::ERROR_CLOUD_FILE_NOT_UNDER_SYNC_ROOT));
}

TEST_F(SimRegistry, CorruptStoreIsNeverOverwritten) {
    write_state_file("sync-roots.json", "{not json");
    EXPECT_EQ(register_root("a").code, static_cast<Hresult>(0x80070166u));
    EXPECT_EQ(read_whole(dir_ + "/state/zembra-cloud-files/sync-roots.json"), "{not json");
}

int run_child(const std::function<bool()>& body) {
    const pid_t pid = ::fork();
    if (pid == 0) ::_exit(body() ? 0 : 1);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(SimRegistry, PersistsAcrossProcessesAndConcurrentWriters) {
    // Another process registers; this one sees it.
    ASSERT_EQ(run_child([&] { return register_root("from-child").code == 0; }), 0);
    auto roots = (*linux_platform::load_sync_roots());
    ASSERT_EQ(roots.size(), 1u);
    EXPECT_EQ(roots[0].id, "from-child");

    // Several processes registering at once lose nothing.
    std::vector<pid_t> children;
    for (int i = 0; i < 6; ++i) {
        const std::string folder = dir_ + "/r" + std::to_string(i);
        ::mkdir(folder.c_str(), 0755);
        const pid_t pid = ::fork();
        if (pid == 0) ::_exit(register_root("c" + std::to_string(i), folder).code == 0 ? 0 : 1);
        children.push_back(pid);
    }
    for (const pid_t pid : children) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    EXPECT_EQ((*linux_platform::load_sync_roots()).size(), 7u);
    // And a child unregisters what this process registered.
    ::mkdir((dir_ + "/mine").c_str(), 0755);
    ASSERT_EQ(register_root("mine", dir_ + "/mine").code, 0);
    ASSERT_EQ(run_child([&] { return p().unregister_sync_root(u"mine").code == 0; }), 0);
    EXPECT_EQ((*linux_platform::load_sync_roots()).size(), 7u);
}

TEST_F(SimRegistry, TextsAreKeptWholeAndAFolderPathWithANulIsRefused) {
    using namespace std::literals;
    const std::u16string folder = w(root_);
    SyncRootRegistration r{u"a\0b"sv, folder, u"n\0"sv, u"i"sv, 1, 4, 2, 0, 0, false, u"1"sv, nullptr, 0};
    ASSERT_EQ(p().register_sync_root(r).code, 0);
    const auto roots = (*linux_platform::load_sync_roots());
    ASSERT_EQ(roots.size(), 1u);
    EXPECT_EQ(roots[0].id, "a\0b"s);
    EXPECT_EQ(roots[0].display_name, "n\0"s);
    // The id is the whole text: its part before the NUL names nothing.
    EXPECT_EQ(p().unregister_sync_root(u"a").code, static_cast<Hresult>(0x80070490u));
    EXPECT_EQ(p().unregister_sync_root(u"a\0b"sv).code, 0);

    // What follows a NUL in a folder path is not dropped: the path is refused whole.
    const std::u16string cut = folder + u"\0/elsewhere"s;
    r.path = cut;
    EXPECT_EQ(p().register_sync_root(r).code, static_cast<Hresult>(0x8007007Bu));
    EXPECT_TRUE((*linux_platform::load_sync_roots()).empty());
}

}  // namespace
}  // namespace zcf::linux_platformtest
