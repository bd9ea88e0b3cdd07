// The read guard: a placeholder whose content is not all present is stored without read permission,
// the permission it withholds kept in its record, through creation, hydration, updates,
// dehydration, a program's chmod and records written before the guard.
#include "linux/fixture.h"

#include "platform/linux/state/record.h"

#include <sys/xattr.h>

namespace zcf::linux_platformtest {
namespace {

using SimReadGuard = SimTest;

mode_t mode_of(const std::string& path) {
    struct stat st{};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

std::optional<linux_platform::PlaceholderState> state_of(const std::string& path) {
    return linux_platform::read_state(linux_platform::MetaTarget{-1, path.c_str()});
}

Hresult resize(Platform& p, Handle h, std::int64_t size) {
    FsMetadata metadata{};
    metadata.file_size = size;
    return p.update_placeholder(h, &metadata, nullptr, 0, nullptr, 0, 0, nullptr);
}

TEST_F(SimReadGuard, ReadPermissionGoesWithMissingContentAndComesBackWithIt) {
    connect();
    ASSERT_EQ(create("a.bin", 10000), 0);
    ASSERT_EQ(create("empty.txt", 0), 0);
    const std::string a = root_ + "/a.bin";
    const mode_t readable = mode_of(root_ + "/empty.txt");  // zero bytes are wholly present
    ASSERT_NE(readable & 0444, 0u);
    EXPECT_EQ(mode_of(a), readable & ~0444u);
    EXPECT_EQ(state_of(a)->withheld_read, readable & 0444);
    EXPECT_EQ(linux_platform::presented_mode(mode_of(a), *state_of(a)), readable);

    const std::string content(10000, 'c');
    recorder().set_handler([&](const Event& e) {
        if (e.type == callback_type::FETCH_DATA) transfer(e, 0, content.data(), e.file_size);
    });
    HandleGuard h(open(a));
    ASSERT_EQ(p().hydrate_placeholder(h.get(), 0, -1, 0), 0);
    EXPECT_EQ(mode_of(a), readable);
    EXPECT_EQ(state_of(a)->withheld_read, std::nullopt);

    // Growing adds missing content; cutting it to what is there makes it whole again.
    ASSERT_EQ(resize(p(), h.get(), 20000), 0);
    EXPECT_EQ(mode_of(a), readable & ~0444u);
    ASSERT_EQ(resize(p(), h.get(), 5000), 0);
    EXPECT_EQ(mode_of(a), readable);
    EXPECT_EQ(read_whole(a), content.substr(0, 5000));

    ASSERT_EQ(p().dehydrate_placeholder(h.get(), 0, -1, 0), 0);
    EXPECT_EQ(mode_of(a), readable & ~0444u);
    // A program's chmod while guarded: the file stays unreadable, the record keeps what it asked.
    ASSERT_EQ(linux_platform::change_mode(linux_platform::MetaTarget{-1, a.c_str()}, 0640), 0);
    EXPECT_EQ(mode_of(a), 0200u);
    EXPECT_EQ(linux_platform::presented_mode(mode_of(a), *state_of(a)), 0640u);
    ASSERT_EQ(p().hydrate_placeholder(h.get(), 0, -1, 0), 0);
    EXPECT_EQ(mode_of(a), 0640u);
    // Not guarded: a chmod is the file's own.
    ASSERT_EQ(linux_platform::change_mode(linux_platform::MetaTarget{-1, a.c_str()}, 0604), 0);
    EXPECT_EQ(mode_of(a), 0604u);
}

TEST_F(SimReadGuard, RecordsWithoutTheFieldAndAdoptedFiles) {
    connect();
    write_file(root_ + "/old", std::string(5000, 'o'));
    const std::string old = root_ + "/old";
    const mode_t readable = mode_of(old);
    // A record written before the guard: still a placeholder with its ranges, nothing withheld.
    const std::string before = "v1;sync=1;pop=0;present=0-4096";
    ASSERT_EQ(::setxattr(old.c_str(), "user.zcf.state", before.data(), before.size(), 0), 0);
    auto state = state_of(old);
    ASSERT_TRUE(state);
    EXPECT_TRUE(state->in_sync);
    EXPECT_TRUE(state->present.covers(0, 4096));
    EXPECT_EQ(state->withheld_read, std::nullopt);
    // The next write of its state guards it; a field that is no read permission is no record.
    ASSERT_EQ(linux_platform::write_state(linux_platform::MetaTarget{-1, old.c_str()}, *state), 0);
    EXPECT_EQ(mode_of(old), readable & ~0444u);
    const std::string bad = "v1;sync=1;pop=0;present=0-5000;read=222";
    ASSERT_EQ(::setxattr(old.c_str(), "user.zcf.state", bad.data(), bad.size(), 0), 0);
    EXPECT_TRUE(state_of(old)->present.empty());

    // Adopting keeps the content readable; adopting and dropping the content guards it.
    write_file(root_ + "/kept", "kept");
    write_file(root_ + "/dropped", "dropped");
    for (const char* name : {"kept", "dropped"}) {
        HandleGuard h(open(root_ + "/" + name));
        const std::uint32_t flags = CONVERT_FLAG_MARK_IN_SYNC | (name[0] == 'd' ? 0x2u /*DEHYDRATE*/ : 0u);
        ASSERT_EQ(p().convert_to_placeholder(h.get(), "id", 2, flags, nullptr), 0) << name;
    }
    EXPECT_EQ(mode_of(root_ + "/kept"), readable);
    EXPECT_EQ(mode_of(root_ + "/dropped"), readable & ~0444u);
    // Revert needs the content whole; a leftover record withholding permission gives it back.
    HandleGuard h(open(root_ + "/kept"));
    const std::string leftover = "v1;sync=1;pop=0;present=0-4;read=444";
    ASSERT_EQ(::chmod((root_ + "/kept").c_str(), readable & ~0444u), 0);
    ASSERT_EQ(::setxattr((root_ + "/kept").c_str(), "user.zcf.state", leftover.data(), leftover.size(), 0), 0);
    ASSERT_EQ(p().revert_placeholder(h.get(), 0), 0);
    EXPECT_EQ(mode_of(root_ + "/kept"), (readable & ~0444u) | 0444u);
}

}  // namespace
}  // namespace zcf::linux_platformtest
