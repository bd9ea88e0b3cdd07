// "scan" over a fake directory tree: walk order, links, lists, what gets opened.
#include "placeholders/placeholders.h"
#include "support/mock_platform.h"

#include "common/text.h"

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace zcf {
namespace {

namespace json = boost::json;
using ::testing::_;
using ::testing::NiceMock;
using zcf::testing::MockPlatform;
using zcf::testing::ScopedPlatform;

constexpr std::uint32_t DIR = attr::DIRECTORY;
constexpr std::uint32_t FILE = attr::ARCHIVE;
constexpr std::uint32_t CLOUD = attr::REPARSE_POINT;
constexpr std::uint32_t OFFLINE = attr::OFFLINE;
constexpr std::uint32_t RECALL = attr::RECALL_ON_DATA_ACCESS;
constexpr std::uint32_t PINNED = attr::PINNED;
constexpr std::uint32_t UNPINNED = attr::UNPINNED;

FindData entry(std::u16string name, std::uint32_t attributes, std::uint32_t tag = 0) {
    FindData data;
    data.attributes = attributes;
    data.reparse_tag = tag;
    std::memcpy(data.name, name.data(), name.size() * sizeof(char16_t));
    return data;
}

// Directories keyed by their full UTF-16 path; every listing begins with . and .. as on Windows.
class FakeTree {
public:
    explicit FakeTree(MockPlatform& os, char16_t separator = u'/') : separator_(separator) {
        ON_CALL(os, path_separator()).WillByDefault([this] { return separator_; });
        ON_CALL(os, find_first(_, _)).WillByDefault([this](const char16_t* pattern, FindData* out) {
            std::u16string dir(null_terminated(pattern));
            patterns.push_back(utf16_to_utf8_lossy(dir));
            if (dir.size() < 2 || dir.back() != u'*' || dir[dir.size() - 2] != separator_) return INVALID_HANDLE;
            dir.resize(dir.size() - 2);
            const auto found = dirs_.find(dir);
            if (found == dirs_.end()) return INVALID_HANDLE;
            const Handle h = next_handle_++;
            open_[h] = {&found->second, 1};
            *out = found->second[0];
            return h;
        });
        ON_CALL(os, find_next(_, _)).WillByDefault([this](Handle h, FindData* out) {
            auto& [entries, index] = open_.at(h);
            if (index >= entries->size()) return false;
            *out = (*entries)[index++];
            return true;
        });
        ON_CALL(os, find_close(_)).WillByDefault([this](Handle h) { EXPECT_EQ(open_.erase(h), 1u); });
        // Online-only files: opened for the placeholder query, answered from `identities`.
        ON_CALL(os, create_file(_, _, _, _, _))
            .WillByDefault([this](const char16_t* path, std::uint32_t access, std::uint32_t, std::uint32_t, std::uint32_t) {
                EXPECT_EQ(access, 0x80u);
                opened.push_back(testing::utf8(path));
                return Handle{0x1000 + opened.size()};
            });
        ON_CALL(os, get_placeholder_info(_, _, _, _, _))
            .WillByDefault([this](Handle h, std::uint32_t, void* buffer, std::uint32_t, std::uint32_t*) {
                const auto found = identities.find(opened.at(h - 0x1001));
                if (found == identities.end()) return static_cast<Hresult>(0x80070178u);
                const auto length = static_cast<std::uint32_t>(found->second.size());
                std::memcpy(static_cast<char*>(buffer) + 24, &length, 4);
                std::memcpy(static_cast<char*>(buffer) + 28, found->second.data(), length);
                return S_OK_CODE;
            });
        ON_CALL(os, close_handle(_)).WillByDefault([](Handle) { return true; });
    }
    ~FakeTree() { EXPECT_TRUE(open_.empty()) << "find handles left open"; }

    void add(const std::u16string& dir, std::vector<FindData> entries) {
        entries.insert(entries.begin(), {entry(u".", DIR), entry(u"..", DIR)});
        dirs_[dir] = std::move(entries);
    }

    std::vector<std::string> patterns;            // every listing asked for, in order
    std::vector<std::string> opened;              // every path opened, in order
    std::map<std::string, std::string> identities;  // full path -> identity of placeholders

private:
    char16_t separator_;
    std::map<std::u16string, std::vector<FindData>> dirs_;
    std::map<Handle, std::pair<const std::vector<FindData>*, std::size_t>> open_;
    Handle next_handle_ = 0x10;
};

class Scan : public ::testing::Test {
protected:
    std::string run(std::string_view root) {
        Outcome outcome = cmd_scan(json::object{{"cmd", "scan"}, {"root", root}});
        EXPECT_TRUE(outcome.ok());
        return json::serialize(outcome.value());
    }
    NiceMock<MockPlatform> os;
    ScopedPlatform scope{os};
};

TEST_F(Scan, ListsRootEntriesFirstThenTheLastSubdirectorysSubtreeFirst) {
    FakeTree tree(os);
    tree.add(u"/r", {entry(u"d1", DIR | PINNED), entry(u"d2", DIR | CLOUD, reparse::TAG_CLOUD),
                     entry(u"top.txt", FILE | CLOUD | RECALL | UNPINNED, reparse::TAG_CLOUD),
                     entry(u"local.txt", FILE | CLOUD, reparse::TAG_CLOUD)});
    tree.add(u"/r/d1", {entry(u"a.txt", FILE | CLOUD | RECALL | PINNED, reparse::TAG_CLOUD), entry(u"deep", DIR)});
    tree.add(u"/r/d1/deep", {entry(u"z.txt", FILE | OFFLINE)});
    tree.add(u"/r/d2", {entry(u"b.txt", FILE | CLOUD | RECALL, reparse::TAG_CLOUD),
                        entry(u"both", FILE | PINNED | UNPINNED)});
    tree.identities = {{"/r/top.txt", "t"}, {"/r/d1/a.txt", "x"}, {"/r/d2/b.txt", "y"}};

    EXPECT_EQ(run("/r"),
              R"({"onlineOnly":[{"identity":"t","path":"top.txt"},{"identity":"y","path":"d2/b.txt"},)"
              R"({"identity":"x","path":"d1/a.txt"},{"identity":"","path":"d1/deep/z.txt"}],)"
              R"("pinned":["d1","d2/both","d1/a.txt"],"unpinned":["top.txt"]})");
    EXPECT_EQ(tree.patterns, (std::vector<std::string>{"/r/*", "/r/d2/*", "/r/d1/*", "/r/d1/deep/*"}));
    // Only online-only files are opened, each once; an ordinary offline file gets "" identity.
    EXPECT_EQ(tree.opened, (std::vector<std::string>{"/r/top.txt", "/r/d2/b.txt", "/r/d1/a.txt", "/r/d1/deep/z.txt"}));
}

TEST_F(Scan, NeverFollowsLinks) {
    FakeTree tree(os);
    tree.add(u"/r", {entry(u"loop", DIR | CLOUD | PINNED, reparse::TAG_SYMLINK),
                     entry(u"junction", DIR | CLOUD, reparse::TAG_MOUNT_POINT),
                     entry(u"filelink", FILE | CLOUD | OFFLINE, reparse::TAG_SYMLINK),
                     entry(u"recall", DIR | CLOUD | RECALL | UNPINNED, reparse::TAG_SYMLINK)});
    tree.add(u"/r/loop", {entry(u"inside", FILE | OFFLINE)});
    tree.add(u"/r/recall", {entry(u"inside", FILE | OFFLINE)});
    // A link marked for recall on data access is listed, but never walked.
    EXPECT_EQ(run("/r"),
              R"({"onlineOnly":[{"identity":"","path":"recall"}],"pinned":[],"unpinned":["recall"]})");
    EXPECT_EQ(tree.patterns, std::vector<std::string>{"/r/*"});
}

TEST_F(Scan, MissingEmptyOrFileRootGivesThreeEmptyLists) {
    FakeTree tree(os);
    const std::string empty = R"({"onlineOnly":[],"pinned":[],"unpinned":[]})";
    EXPECT_EQ(run("/missing"), empty);
    EXPECT_EQ(run("/r/file.txt"), empty);
    EXPECT_EQ(tree.patterns, (std::vector<std::string>{"/missing/*", "/r/file.txt/*"}));
    // The empty root is not listed at all: its pattern would name the file system's root.
    EXPECT_EQ(run(""), empty);
    Outcome outcome = cmd_scan(json::parse(R"({"cmd":"scan","root":5})"));
    EXPECT_EQ(json::serialize(outcome.value()), empty);
    EXPECT_EQ(tree.patterns.size(), 2u);
}

TEST_F(Scan, UsesThePlatformSeparatorAndKeepsUnpairedSurrogatesForTheWalk) {
    FakeTree tree(os, u'\\');
    const std::u16string odd = u"o\xD800";
    tree.add(u"C:\\r\\", {entry(u"sub", DIR), entry(odd, DIR | UNPINNED)});
    tree.add(u"C:\\r\\\\sub", {entry(u"file.txt", FILE | CLOUD | RECALL, reparse::TAG_CLOUD)});
    tree.add(u"C:\\r\\\\" + odd, {entry(odd, FILE | OFFLINE)});
    tree.identities = {{"C:\\r\\\\sub\\file.txt", "id"}};
    // A root with a trailing separator: relative paths still start at the entry's name.
    EXPECT_EQ(run("C:\\r\\"),
              "{\"onlineOnly\":[{\"identity\":\"\",\"path\":\"o\xEF\xBF\xBD\\\\o\xEF\xBF\xBD\"},"
              "{\"identity\":\"id\",\"path\":\"sub\\\\file.txt\"}],"
              "\"pinned\":[],\"unpinned\":[\"o\xEF\xBF\xBD\"]}");
    ASSERT_EQ(tree.patterns.size(), 3u);
    // The subdirectory with the unpaired surrogate was listed (the fake matched its exact units);
    // the query of the file in it received the replaced, valid text.
    EXPECT_EQ(tree.opened[0], "C:\\r\\\\o\xEF\xBF\xBD\\o\xEF\xBF\xBD");
}

}  // namespace
}  // namespace zcf
