// "update", "insync" and "revert": the platform calls for each request, the pin state kept across
// an update, USN conditions and results, and the refusals that reach no platform call.
#include "placeholders/create.h"
#include "placeholders/placeholders.h"
#include "support/mock_platform.h"

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace zcf {
namespace {

namespace json = boost::json;
using ::testing::_;
using ::testing::AnyNumber;
using ::testing::DoAll;
using ::testing::InSequence;
using ::testing::IsNull;
using ::testing::NotNull;
using ::testing::Return;
using ::testing::SetArgPointee;
using ::testing::StrictMock;

constexpr Handle FILE_HANDLE = 0x44, PROTECTED = 0x500, WIN32_HANDLE = 0x600;
constexpr std::uint32_t PLAIN = 0x420, PINNED = PLAIN | 0x80000, UNPINNED = PLAIN | 0x100000, FOLDER = 0x410;
constexpr Hresult NOT_IN_SYNC = static_cast<Hresult>(0x80070179u);

struct Updated {  // what one update_placeholder call received
    std::optional<FsMetadata> metadata;
    std::optional<std::string> identity;
    std::uint32_t flags;
    std::int64_t usn_in;
};

class Update : public ::testing::Test {
protected:
    void SetUp() override { reset(); }
    void reset() {
        ::testing::Mock::VerifyAndClearExpectations(&os);
        EXPECT_CALL(os, take_error_info()).Times(AnyNumber()).WillRepeatedly([] { return ErrorInfoPtr(); });
        updates.clear();
    }
    void expect_update(Handle handle, std::int64_t usn_out, Hresult result = S_OK_CODE) {
        EXPECT_CALL(os, update_placeholder(handle, _, _, _, IsNull(), 0u, _, NotNull()))
            .WillOnce([=, this](Handle, const FsMetadata* m, const void* id, std::uint32_t length, const FileRange*,
                                std::uint32_t, std::uint32_t flags, std::int64_t* usn) {
                updates.push_back({m ? std::optional(*m) : std::nullopt,
                                   id ? std::optional(std::string(static_cast<const char*>(id), length)) : std::nullopt,
                                   flags, *usn});
                if (result >= 0) *usn = usn_out;
                return result;
            });
    }
    // Attributes `before`, the attribute handle or (dehydrating) the exclusive one, and the update.
    void expect_open(std::uint32_t before, bool exclusive) {
        EXPECT_CALL(os, file_attributes(_)).WillOnce(Return(before));
        if (!exclusive) {
            EXPECT_CALL(os, create_file(_, 0x180u, 7u, 3u, 0x02000000u)).WillOnce(Return(FILE_HANDLE));
            return;
        }
        EXPECT_CALL(os, open_file_with_oplock(_, 3u, NotNull()))
            .WillOnce(DoAll(SetArgPointee<2>(PROTECTED), Return(S_OK_CODE)));
        EXPECT_CALL(os, reference_protected_handle(PROTECTED)).WillOnce(Return(true));
        EXPECT_CALL(os, win32_handle_from_protected(PROTECTED)).WillOnce(Return(WIN32_HANDLE));
    }
    void expect_close(bool exclusive) {
        if (!exclusive) {
            EXPECT_CALL(os, close_handle(FILE_HANDLE)).WillOnce(Return(true));
            return;
        }
        EXPECT_CALL(os, release_protected_handle(PROTECTED));
        EXPECT_CALL(os, close_protected_handle(PROTECTED));
    }
    // The whole road of an update whose pin state stays as it was.
    void expect_plain(std::uint32_t word, std::int64_t usn_out) {
        expect_open(word, false);
        expect_update(FILE_HANDLE, usn_out);
        EXPECT_CALL(os, file_attributes(_)).WillOnce(Return(word));
        expect_close(false);
    }
    static std::string answer(Outcome outcome) {
        return outcome.ok() ? json::serialize(outcome.value()) : "error " + error_code_text(outcome.error().code);
    }
    std::string run(const std::string& keys) {
        return answer(cmd_update(json::parse(R"({"cmd":"update","path":"/r/a")" + keys + "}")));
    }

    StrictMock<testing::MockPlatform> os;
    testing::ScopedPlatform scope{os};
    std::vector<Updated> updates;
};

TEST_F(Update, FlagsIdentityAndUsnForEachKey) {
    const std::tuple<const char*, std::uint32_t, std::int64_t, std::optional<std::string>> cases[] = {
        {"", 0, 0, std::nullopt},
        {R"(,"inSync":true)", 0x2, 0, std::nullopt},
        {R"(,"inSync":false)", 0x40, 0, std::nullopt},
        {R"(,"inSync":1,"ifInSync":1,"dehydrate":"yes","identity":12,"usn":1.5)", 0, 0, std::nullopt},
        {R"(,"ifInSync":true,"inSync":true,"usn":81985529216486895)", 0x3, 81985529216486895, std::nullopt},
        {R"(,"identity":"docs/a\u00e9","usn":7)", 0, 7, "docs/a\xC3\xA9"},
        {R"(,"identity":"","inSync":false)", 0x20 | 0x40, 0, std::nullopt},  // removes the identity
    };
    for (const auto& [keys, flags, usn_in, identity] : cases) {
        InSequence order;
        expect_plain(PLAIN, 9000);
        EXPECT_EQ(run(keys), R"({"usn":9000})") << keys;
        ASSERT_EQ(updates.size(), 1u) << keys;
        EXPECT_EQ(updates[0].flags, flags) << keys;
        EXPECT_EQ(updates[0].usn_in, usn_in) << keys;
        EXPECT_EQ(updates[0].identity, identity) << keys;
        EXPECT_FALSE(updates[0].metadata) << keys;
        reset();
    }
}

TEST_F(Update, PopulatedRearmsOrFillsAFolderAndIsIgnoredForAFile) {
    // Keys, the attribute word, then the flags the update gets.
    const std::tuple<const char*, std::uint32_t, std::uint32_t> cases[] = {
        {R"(,"populated":false)", FOLDER, 0x8},           // ENABLE_ON_DEMAND_POPULATION
        {R"(,"populated":true,"inSync":true)", FOLDER, 0x10 | 0x2},  // DISABLE_ON_DEMAND_POPULATION
        {R"(,"populated":0)", FOLDER, 0},
        {R"(,"populated":false)", PLAIN, 0},
        {R"(,"populated":true)", PLAIN, 0},
    };
    for (const auto& [keys, word, flags] : cases) {
        InSequence order;
        expect_plain(word, 31);
        EXPECT_EQ(run(keys), R"({"usn":31})") << keys;
        ASSERT_EQ(updates.size(), 1u) << keys;
        EXPECT_EQ(updates[0].flags, flags) << keys;
        reset();
    }
}

TEST_F(Update, MetadataConvertsAsCreateDoesAndKeepsWhatIsNotGiven) {
    const json::value ms = json::parse("1700000000123");
    const std::int64_t time = file_time_from_ms(&ms);
    // Keys, attribute word, the size the file has, then the times and size the update gets: zero
    // times and attributes stay; a file's size not given is its current one; a folder's is 0.
    const std::tuple<const char*, std::uint32_t, std::int64_t, std::int64_t> cases[] = {
        {R"(,"size":5000,"mtimeMs":1700000000123)", PLAIN, time, 5000},
        {R"(,"size":-1)", PLAIN, 0, -1},
        {R"(,"mtimeMs":1700000000123)", PLAIN, time, 123456},
        {R"(,"size":77,"mtimeMs":1700000000123)", FOLDER, time, 0},
    };
    for (const auto& [keys, word, times, size] : cases) {
        InSequence order;
        expect_open(word, false);
        if (size == 123456)
            EXPECT_CALL(os, file_size(FILE_HANDLE, NotNull())).WillOnce(DoAll(SetArgPointee<1>(size), Return(true)));
        expect_update(FILE_HANDLE, 1);
        EXPECT_CALL(os, file_attributes(_)).WillOnce(Return(word));
        expect_close(false);
        run(keys);
        const FsMetadata& m = updates.at(0).metadata.value();
        for (const std::int64_t t : {m.basic_info.creation_time, m.basic_info.last_access_time,
                                     m.basic_info.last_write_time, m.basic_info.change_time})
            EXPECT_EQ(t, times) << keys;
        EXPECT_EQ(m.basic_info.file_attributes, 0u) << keys;
        EXPECT_EQ(m.file_size, size) << keys;
        reset();
    }
    // A size that cannot be read: nothing changes.
    InSequence order;
    expect_open(PLAIN, false);
    EXPECT_CALL(os, file_size(FILE_HANDLE, NotNull())).WillOnce(Return(false));
    EXPECT_CALL(os, last_error()).WillOnce(Return(6u));
    expect_close(false);
    EXPECT_EQ(run(R"(,"mtimeMs":5)"), "error 0x80070006");
}

TEST_F(Update, APinStateTheUpdateDroppedIsSetBackAndTheFinalUsnRead) {
    InSequence order;
    expect_open(UNPINNED, false);
    expect_update(FILE_HANDLE, 50);
    EXPECT_CALL(os, file_attributes(_)).WillOnce(Return(PLAIN));
    EXPECT_CALL(os, set_pin_state(FILE_HANDLE, 2u, 0u)).WillOnce(Return(S_OK_CODE));
    expect_update(FILE_HANDLE, 51);  // changes nothing: learns the USN after the pin change
    expect_close(false);
    EXPECT_EQ(run(R"(,"usn":40,"inSync":true)"), R"({"usn":51})");
    ASSERT_EQ(updates.size(), 2u);
    EXPECT_EQ(updates[0].usn_in, 40);
    EXPECT_EQ(updates[1].usn_in, 0);
    EXPECT_EQ(updates[1].flags, 0u);
    EXPECT_FALSE(updates[1].metadata || updates[1].identity);
}

TEST_F(Update, DehydratingAPinnedFileUnpinsItAroundTheUpdate) {
    InSequence order;
    expect_open(PINNED, true);
    expect_update(WIN32_HANDLE, 70);  // the conditions alone, before the unpin moves the USN
    EXPECT_CALL(os, set_pin_state(WIN32_HANDLE, 0u, 0u)).WillOnce(Return(S_OK_CODE));
    expect_update(WIN32_HANDLE, 71);
    EXPECT_CALL(os, file_attributes(_)).WillOnce(Return(PLAIN));
    EXPECT_CALL(os, set_pin_state(WIN32_HANDLE, 1u, 0u)).WillOnce(Return(S_OK_CODE));
    expect_update(WIN32_HANDLE, 72);
    expect_close(true);
    EXPECT_EQ(run(R"(,"dehydrate":true,"ifInSync":true,"usn":69,"size":10,"identity":"p")"), R"({"usn":72})");
    ASSERT_EQ(updates.size(), 3u);
    EXPECT_EQ(std::tuple(updates[0].flags, updates[0].usn_in, !updates[0].metadata, !updates[0].identity),
              std::tuple(0x1u, 69, true, true));
    EXPECT_EQ(std::tuple(updates[1].flags, updates[1].usn_in, updates[1].metadata->file_size, *updates[1].identity),
              std::tuple(0x5u, 0, 10, std::string("p")));
    EXPECT_EQ(updates[2].flags, 0u);
}

TEST_F(Update, RefusalsLeaveThePinStateAsItWas) {
    {
        // The update refused after the unpin: pinned again; the update's error wins over the pin's.
        InSequence order;
        expect_open(PINNED, true);
        EXPECT_CALL(os, set_pin_state(WIN32_HANDLE, 0u, 0u)).WillOnce(Return(S_OK_CODE));
        expect_update(WIN32_HANDLE, 0, NOT_IN_SYNC);
        EXPECT_CALL(os, file_attributes(_)).WillOnce(Return(PLAIN));
        EXPECT_CALL(os, set_pin_state(WIN32_HANDLE, 1u, 0u)).WillOnce(Return(static_cast<Hresult>(0x80070005u)));
        expect_close(true);
        EXPECT_EQ(run(R"(,"dehydrate":true)"), "error 0x80070179");
        reset();
    }
    {
        // A USN that moved: refused before the unpin.
        InSequence order;
        expect_open(PINNED, true);
        expect_update(WIN32_HANDLE, 0, NOT_IN_SYNC);
        expect_close(true);
        EXPECT_EQ(run(R"(,"dehydrate":true,"usn":5)"), "error 0x80070179");
    }
}

TEST_F(Update, InSyncNeedsABooleanAndPassesTheUsn) {
    for (const char* value : {"", R"(,"inSync":1)", R"(,"inSync":"true")"})
        EXPECT_EQ(answer(cmd_insync(json::parse(std::string(R"({"path":"/r/a")") + value + "}"))), "error 0x80070057");
    for (const auto& [keys, state, usn_in] : {std::tuple{R"("inSync":true,"usn":1234)", 1u, 1234},
                                              std::tuple{R"("inSync":false)", 0u, 0}}) {
        InSequence order;
        EXPECT_CALL(os, create_file(_, 0x180u, 7u, 3u, 0x02000000u)).WillOnce(Return(FILE_HANDLE));
        EXPECT_CALL(os, set_in_sync_state(FILE_HANDLE, state, 0u, NotNull()))
            .WillOnce([usn_in](Handle, std::uint32_t, std::uint32_t, std::int64_t* usn) {
                EXPECT_EQ(*usn, usn_in);
                *usn = 5555;
                return S_OK_CODE;
            });
        expect_close(false);
        EXPECT_EQ(answer(cmd_insync(json::parse(std::string(R"({"path":"/r/a",)") + keys + "}"))), R"({"usn":5555})");
        reset();
    }
}

TEST_F(Update, RevertRefusesContentThatIsNotLocalWithoutOpeningIt) {
    const json::value request = json::parse(R"({"path":"/r/f"})");
    for (const std::uint32_t word : {PLAIN | 0x400000u, PLAIN | 0x1000u}) {
        EXPECT_CALL(os, file_attributes(_)).WillOnce(Return(word));
        EXPECT_EQ(answer(cmd_revert(request)), "error 0x8007018b");
        reset();
    }
    // A folder is reverted whatever its online bits; so is a path whose attributes cannot be read.
    for (const std::uint32_t word : {FOLDER | 0x400000u, 0xFFFFFFFFu, PLAIN}) {
        InSequence order;
        expect_open(word, false);
        EXPECT_CALL(os, revert_placeholder(FILE_HANDLE, 0u)).WillOnce(Return(S_OK_CODE));
        expect_close(false);
        EXPECT_EQ(answer(cmd_revert(request)), "{}");
        reset();
    }
}

}  // namespace
}  // namespace zcf
