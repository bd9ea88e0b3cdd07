// "create": grouping, the records handed to the platform, conversions and failure reporting.
#include "placeholders/create.h"
#include "placeholders/placeholders.h"
#include "support/mock_platform.h"

#include "common/text.h"

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <string>
#include <vector>

namespace zcf {
namespace {

namespace json = boost::json;
using ::testing::_;
using ::testing::AnyNumber;
using ::testing::NiceMock;
using ::testing::NotNull;
using zcf::testing::MockPlatform;
using zcf::testing::ScopedPlatform;

// What one create_placeholders call received, copied while the call ran.
struct Record {
    std::string name;
    FsMetadata metadata;
    std::string identity;
    std::uint32_t flags;
    std::int32_t result;
    std::int64_t usn;
};
struct Call {
    std::string base;
    std::uint32_t flags;
    std::uint32_t entries_processed;
    std::vector<Record> records;
};

class Description final : public ErrorInfo {
public:
    explicit Description(std::u16string text) : text_(std::move(text)) {}
    std::u16string description() const override { return text_; }

private:
    std::u16string text_;
};

class Create : public ::testing::Test {
protected:
    void SetUp() override {
        ON_CALL(os, system_message(_)).WillByDefault([](Hresult) { return std::u16string(u"Failure.\r\n"); });
        ON_CALL(os, take_error_info()).WillByDefault([] { return ErrorInfoPtr(); });
        ON_CALL(os, create_placeholders(_, _, _, _, _))
            .WillByDefault([this](const char16_t* base, PlaceholderCreateInfo* records, std::uint32_t count,
                                  std::uint32_t flags, std::uint32_t* processed) {
                Call call{testing::utf8(base), flags, processed ? *processed : 0xDEADu, {}};
                for (std::uint32_t i = 0; i < count; ++i) {
                    const PlaceholderCreateInfo& r = records[i];
                    call.records.push_back({testing::utf8(r.relative_file_name), r.fs_metadata,
                                            std::string(static_cast<const char*>(r.file_identity),
                                                        r.file_identity_length),
                                            r.flags, r.result, r.create_usn});
                }
                calls.push_back(call);
                return answer ? answer(call.base, records, count) : S_OK_CODE;
            });
    }

    json::value run(std::string_view request) {
        Outcome outcome = cmd_create(json::parse(request));
        EXPECT_TRUE(outcome.ok());
        return outcome.ok() ? outcome.value() : json::value();
    }

    NiceMock<MockPlatform> os;
    ScopedPlatform scope{os};
    std::vector<Call> calls;
    // Decides the call's HRESULT and may write each record's Result.
    std::function<Hresult(const std::string&, PlaceholderCreateInfo*, std::uint32_t)> answer;
};

constexpr Hresult ACCESS_DENIED = static_cast<Hresult>(0x80070005u);
constexpr Hresult ALREADY_EXISTS = static_cast<Hresult>(0x800700B7u);
constexpr Hresult PATH_NOT_FOUND = static_cast<Hresult>(0x80070003u);

TEST_F(Create, NoItemsMakesNoCall) {
    EXPECT_CALL(os, create_placeholders(_, _, _, _, _)).Times(0);
    for (const char* request : {R"({"cmd":"create"})", R"({"cmd":"create","items":{"dir":"/r"}})",
                                R"({"cmd":"create","items":[]})", R"([1,2])"})
        EXPECT_EQ(json::serialize(run(request)), R"({"failed":[]})") << request;
}

TEST_F(Create, GroupsByDirectoryInOrderOfFirstAppearance) {
    answer = [](const std::string&, PlaceholderCreateInfo*, std::uint32_t) { return PATH_NOT_FOUND; };
    const json::value result = run(R"({"items":[{"dir":"D1","name":"a"},{"dir":"D2","name":"b"},
        {"dir":"D1","name":"c"},{"dir":"d1","name":"d"},{"dir":"D1\\","name":"e"}]})");
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(calls[0].base, "D1");
    ASSERT_EQ(calls[0].records.size(), 2u);
    EXPECT_EQ(calls[0].records[0].name, "a");
    EXPECT_EQ(calls[0].records[1].name, "c");
    EXPECT_EQ(calls[1].base, "D2");
    ASSERT_EQ(calls[1].records.size(), 1u);
    EXPECT_EQ(calls[1].records[0].name, "b");
    // Exact bytes: letter case and a trailing separator make groups of their own.
    EXPECT_EQ(calls[2].base, "d1");
    EXPECT_EQ(calls[3].base, "D1\\");
    const char* expected =
        R"j({"failed":[{"dir":"D1","error":"Failure. (0x80070003)","name":"a"},)j"
        R"j({"dir":"D1","error":"Failure. (0x80070003)","name":"c"},)j"
        R"j({"dir":"D2","error":"Failure. (0x80070003)","name":"b"},)j"
        R"j({"dir":"d1","error":"Failure. (0x80070003)","name":"d"},)j"
        R"j({"dir":"D1\\","error":"Failure. (0x80070003)","name":"e"}]})j";
    EXPECT_EQ(json::serialize(result), expected);
}

TEST_F(Create, FillsEveryRecordField) {
    const json::value result = run(R"({"items":[
        {"dir":"/root/sub","name":"a.txt","identity":"id-1","mtimeMs":1700000000123,"size":5},
        {"dir":"/root/sub","name":"folder","identity":"","folder":true,"size":5000,"mtimeMs":-1},
        {"dir":"/root/sub","name":"\u00e9\ud83d\ude00","folder":1,"size":-1}]})");
    EXPECT_EQ(json::serialize(result), R"({"failed":[]})");
    ASSERT_EQ(calls.size(), 1u);
    const Call& call = calls[0];
    EXPECT_EQ(call.base, "/root/sub");
    EXPECT_EQ(call.flags, 0u);
    EXPECT_EQ(call.entries_processed, 0u);
    ASSERT_EQ(call.records.size(), 3u);

    const Record& file = call.records[0];
    EXPECT_EQ(file.name, "a.txt");
    EXPECT_EQ(file.identity, "id-1");
    EXPECT_EQ(file.metadata.basic_info.creation_time, 133444736001230000);
    EXPECT_EQ(file.metadata.basic_info.last_access_time, 133444736001230000);
    EXPECT_EQ(file.metadata.basic_info.last_write_time, 133444736001230000);
    EXPECT_EQ(file.metadata.basic_info.change_time, 133444736001230000);
    EXPECT_EQ(file.metadata.basic_info.file_attributes, 0x80u);
    EXPECT_EQ(file.metadata.file_size, 5);
    EXPECT_EQ(file.flags, 2u);
    EXPECT_EQ(file.result, 0);
    EXPECT_EQ(file.usn, 0);

    const Record& folder = call.records[1];
    EXPECT_EQ(folder.identity, "");
    EXPECT_EQ(folder.metadata.basic_info.file_attributes, 0x10u);
    EXPECT_EQ(folder.metadata.file_size, 0);
    EXPECT_EQ(folder.flags, 3u);
    EXPECT_EQ(folder.metadata.basic_info.change_time, 116444735999990000);

    // Only the literal true makes a folder; the name crosses as UTF-16 with a surrogate pair.
    const Record& other = call.records[2];
    EXPECT_EQ(other.name, "\xC3\xA9\xF0\x9F\x98\x80");
    EXPECT_EQ(other.flags, 2u);
    EXPECT_EQ(other.metadata.basic_info.file_attributes, 0x80u);
    EXPECT_EQ(other.metadata.file_size, -1);
    EXPECT_EQ(other.metadata.basic_info.creation_time, 116444736000000000);
}

TEST_F(Create, OnlyAFolderWithPopulatedFalseIsLeftForItsFirstListing) {
    run(R"({"items":[
        {"dir":"/r","name":"unfilled","folder":true,"populated":false},
        {"dir":"/r","name":"filled","folder":true,"populated":true},
        {"dir":"/r","name":"not-the-literal","folder":true,"populated":0},
        {"dir":"/r","name":"null","folder":true,"populated":null},
        {"dir":"/r","name":"file","populated":false,"size":3}]})");
    ASSERT_EQ(calls.size(), 1u);
    std::vector<std::uint32_t> flags;
    for (const Record& r : calls[0].records) flags.push_back(r.flags);
    // MARK_IN_SYNC always; DISABLE_ON_DEMAND_POPULATION for every folder but the first.
    EXPECT_EQ(flags, (std::vector<std::uint32_t>{2u, 3u, 3u, 3u, 2u}));
    EXPECT_EQ(calls[0].records[4].metadata.file_size, 3);
}

TEST_F(Create, ReportsEachItemWithItsOwnCodeOrTheCallsCode) {
    // Group /a: the call succeeds, its second item fails on its own.
    // Group /b: the call fails as a whole; its first item also carries its own code.
    answer = [](const std::string& base, PlaceholderCreateInfo* records, std::uint32_t) {
        if (base == "/a") {
            records[1].result = ALREADY_EXISTS;
            return S_OK_CODE;
        }
        records[0].result = ALREADY_EXISTS;
        return ACCESS_DENIED;
    };
    const json::value result = run(R"({"items":[{"dir":"/b","name":"b1"},{"dir":"/a","name":"a1"},
        {"dir":"/a","name":"a2"},{"dir":"/b","name":"b2"},{"dir":"/a","name":"a3"},{"dir":"/b"},
        {"dir":"/b","name":7},{"dir":"/b","name":["x"]}]})");
    const char* expected =
        R"j({"failed":[{"dir":"/b","error":"Failure. (0x800700B7)","name":"b1"},)j"
        R"j({"dir":"/b","error":"Failure. (0x80070005)","name":"b2"},)j"
        R"j({"dir":"/b","error":"Failure. (0x80070005)","name":null},)j"
        R"j({"dir":"/b","error":"Failure. (0x80070005)","name":7},)j"
        R"j({"dir":"/b","error":"Failure. (0x80070005)","name":["x"]},)j"
        R"j({"dir":"/a","error":"Failure. (0x800700B7)","name":"a2"}]})j";
    EXPECT_EQ(json::serialize(result), expected);
    ASSERT_EQ(calls.size(), 2u);
    // Items without a string name are created with the empty name.
    EXPECT_EQ(calls[0].records[2].name, "");
    EXPECT_EQ(calls[0].records[3].name, "");
}

TEST_F(Create, ItemsThatAreNotObjectsOrLackADirectoryShareTheEmptyGroup) {
    answer = [](const std::string&, PlaceholderCreateInfo*, std::uint32_t) { return PATH_NOT_FOUND; };
    const json::value result = run(R"({"items":[3,{"name":"n","dir":5},null,{"dir":""}]})");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].base, "");
    EXPECT_EQ(calls[0].records.size(), 4u);
    EXPECT_EQ(result.at("failed").as_array().size(), 4u);
    EXPECT_EQ(json::serialize(result.at("failed").at(1)), R"j({"dir":"","error":"Failure. (0x80070003)","name":"n"})j");
    EXPECT_EQ(result.at("failed").at(0).at("name"), nullptr);
}

TEST_F(Create, ErrorTextTakesTheErrorInformationHeldWhenTheFailureIsBuilt) {
    answer = [](const std::string&, PlaceholderCreateInfo*, std::uint32_t) { return ACCESS_DENIED; };
    bool taken = false;
    EXPECT_CALL(os, take_error_info()).Times(AnyNumber()).WillRepeatedly([&taken]() -> ErrorInfoPtr {
        if (taken) return nullptr;
        taken = true;
        return std::make_unique<Description>(u"Denied by policy.");
    });
    const json::value result = run(R"({"items":[{"dir":"/x","name":"1"},{"dir":"/x","name":"2"}]})");
    EXPECT_EQ(result.at("failed").at(0).at("error"), "Denied by policy. (0x80070005)");
    EXPECT_EQ(result.at("failed").at(1).at("error"), "Failure. (0x80070005)");
}

TEST(CreateConversions, TimestampsFromMilliseconds) {
    const auto time = [](std::string_view text) {
        const json::value v = json::parse(text);
        return file_time_from_ms(&v);
    };
    EXPECT_EQ(time("1700000000123"), 133444736001230000);
    EXPECT_EQ(time("-1"), 116444735999990000);
    EXPECT_EQ(time("1700000000123.9"), 133444736001230000);  // truncated
    EXPECT_EQ(time("-0.9"), 116444736000000000);              // toward zero
    EXPECT_EQ(time("0"), 116444736000000000);
    EXPECT_EQ(time("\"1700000000123\""), 116444736000000000);
    EXPECT_EQ(time("true"), 116444736000000000);
    EXPECT_EQ(time("null"), 116444736000000000);
    EXPECT_EQ(file_time_from_ms(nullptr), 116444736000000000);
    // Saturation to the signed 64-bit range, then wrapping arithmetic:
    // INT64_MAX * 10000 wraps to -10000, INT64_MIN * 10000 to 0.
    EXPECT_EQ(time("1e300"), 116444735999990000);
    EXPECT_EQ(time("9223372036854775807"), 116444735999990000);
    EXPECT_EQ(time("18446744073709551615"), 116444735999990000);
    EXPECT_EQ(time("-1e300"), 116444736000000000);
    EXPECT_EQ(time("-9223372036854775808"), 116444736000000000);
    EXPECT_EQ(time("1000000000000000"), -8330299337709551616);
    EXPECT_EQ(time("-1000000000000000"), 8563188809709551616);
    // The largest double below 2^63 converts exactly rather than saturating.
    const json::value below(9223372036854774784.0);
    EXPECT_EQ(file_time_from_ms(&below),
              static_cast<std::int64_t>(9223372036854774784ull * 10000u + 116444736000000000ull));
}

TEST(CreateConversions, SizesAreSigned64BitIntegersOnly) {
    const auto size = [](std::string_view text) {
        const json::value v = json::parse(text);
        return size_from_json(&v);
    };
    EXPECT_EQ(size("5000"), 5000);
    EXPECT_EQ(size("-1"), -1);
    EXPECT_EQ(size("-9223372036854775808"), std::numeric_limits<std::int64_t>::min());
    EXPECT_EQ(size("9223372036854775807"), std::numeric_limits<std::int64_t>::max());
    EXPECT_EQ(size("9223372036854775808"), 0);
    EXPECT_EQ(size("1024.0"), 0);
    EXPECT_EQ(size("1e3"), 0);
    EXPECT_EQ(size("\"1024\""), 0);
    EXPECT_EQ(size("null"), 0);
    EXPECT_EQ(size_from_json(nullptr), 0);
}

std::string dir_name(int n) {
    std::string name = std::to_string(n);
    name.insert(name.begin(), 'd');
    return name;
}

TEST(CreateGrouping, KeepsRequestOrderWithinGroupsAndFirstAppearanceAcrossThem) {
    json::array items;
    // 3000 items over 1000 directories, visited three times in different orders.
    for (int round = 0; round < 3; ++round)
        for (int d = 0; d < 1000; ++d) {
            const int dir = round == 1 ? 999 - d : d;
            items.push_back(json::object{{"dir", dir_name(dir)}});
        }
    items.push_back(42);  // no "dir": a group of its own, last
    const DirGroups groups = group_by_dir(items);
    ASSERT_EQ(groups.dirs.size(), 1001u);
    ASSERT_EQ(groups.starts.size(), 1002u);
    for (int d = 0; d < 1000; ++d) {
        ASSERT_EQ(groups.dirs[d], dir_name(d));
        ASSERT_EQ(groups.starts[d + 1] - groups.starts[d], 3u);
        const std::size_t* m = &groups.members[groups.starts[d]];
        EXPECT_EQ(m[0], std::size_t(d));
        EXPECT_EQ(m[1], std::size_t(1000 + 999 - d));
        EXPECT_EQ(m[2], std::size_t(2000 + d));
    }
    EXPECT_EQ(groups.dirs[1000], "");
    EXPECT_EQ(groups.members.back(), 3000u);
}

}  // namespace
}  // namespace zcf
