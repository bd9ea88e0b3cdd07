// Folders on demand ("list" events, "entries", "fail" of a listing) and confirmed deletes and
// renames ("deleting", "renaming", "allow", "deny"): the events, the records of the one table, and
// the operations handed to the platform.
#include "hydration/hydration.h"
#include "hydration/pending.h"
#include "common/json_writer.h"
#include "support/captured_output.h"
#include "support/mock_platform.h"

#include <boost/json/parse.hpp>
#include <gtest/gtest.h>

#include <algorithm>
#include <new>
#include <string>
#include <vector>

namespace zcf {
namespace {

namespace json = boost::json;
using ::testing::NiceMock;
using ::testing::Return;
using ::testing::Throw;
using zcf::testing::CapturedOutput;
using zcf::testing::MockPlatform;
using zcf::testing::MockStreams;
using zcf::testing::ScopedPlatform;
using zcf::testing::ScopedStreams;
using zcf::testing::utf8;

constexpr Hresult INVALID_REQUEST = static_cast<Hresult>(0x8007017Cu);
constexpr Hresult ALREADY_EXISTS = static_cast<Hresult>(0x800700B7u);
constexpr std::int32_t UNSUCCESSFUL = static_cast<std::int32_t>(0xC000CF12u);
constexpr std::int32_t ACCESS_DENIED = static_cast<std::int32_t>(0xC000CF18u);

// One placeholder of a TRANSFER_PLACEHOLDERS operation, copied during the call.
struct Child {
    std::string name;
    std::uint32_t attributes;
    std::int64_t size;
    std::string identity;
    std::uint32_t flags;
};

// What one execute() call received, copied out during the call.
struct Executed {
    OperationInfo info{};
    std::uint32_t param_size = 0;
    std::uint32_t flags = 0;
    std::int32_t completion_status = 0;
    std::int64_t total = -1;
    bool array_null = true;
    std::uint32_t count = 0;
    std::vector<Child> children;
};

class Provider : public ::testing::Test {
protected:
    void SetUp() override {
        output.attach();
        ON_CALL(mock, take_error_info).WillByDefault([] { return ErrorInfoPtr(); });
        ON_CALL(mock, system_message).WillByDefault(Return(std::u16string(u"Exists.\r\n")));
        ON_CALL(mock, execute).WillByDefault([this](const OperationInfo* info, OperationParameters* parameters) {
            Executed e;
            e.info = *info;
            e.param_size = parameters->param_size;
            // Flags and status sit at the same place in every member.
            e.flags = parameters->ack_delete.flags;
            e.completion_status = parameters->ack_delete.completion_status;
            if (info->type == OPERATION_TYPE_TRANSFER_PLACEHOLDERS) {
                const auto& t = parameters->transfer_placeholders;
                e.total = t.placeholder_total_count;
                e.array_null = t.placeholder_array == nullptr;
                e.count = t.placeholder_count;
                for (std::uint32_t i = 0; i < t.placeholder_count; ++i) {
                    PlaceholderCreateInfo& r = t.placeholder_array[i];
                    e.children.push_back({utf8(r.relative_file_name), r.fs_metadata.basic_info.file_attributes,
                                          r.fs_metadata.file_size,
                                          std::string(static_cast<const char*>(r.file_identity), r.file_identity_length),
                                          r.flags});
                    if (i < child_results.size()) r.result = child_results[i];
                }
            }
            executed.push_back(e);
            return execute_result;
        });
    }
    void TearDown() override {
        for (std::int64_t key : {1, 2, 3})
            for (RequestKind kind : {RequestKind::fetch, RequestKind::list}) pending().remove_stream(key, kind);
        for (std::uint64_t id : confirmations) pending().remove(id);
    }

    // The callback information of a request on stream `transfer_key`.
    CallbackInfo info_of(std::int64_t transfer_key, const char16_t* path) {
        CallbackInfo info;
        info.connection_key = 7000 + transfer_key;
        info.file_identity = identity.data();
        info.file_identity_length = static_cast<std::uint32_t>(identity.size());
        info.normalized_path = path;
        info.transfer_key = transfer_key;
        info.process_info = &process;
        info.request_key = 9000 + transfer_key;
        return info;
    }

    // The one line a callback wrote.
    json::value event() {
        const std::vector<std::string> lines = output.take();
        EXPECT_EQ(lines.size(), 1u);
        return lines.empty() ? json::value() : json::parse(lines.back());
    }
    static std::uint64_t req_of(const json::value& event) { return event.at("req").to_number<std::uint64_t>(); }

    std::uint64_t list(std::int64_t transfer_key, const char16_t* path = u"\\r\\Docs") {
        const CallbackInfo info = info_of(transfer_key, path);
        CallbackParameters parameters;
        parameters.pattern = u"*";
        on_fetch_placeholders(&info, &parameters);
        return req_of(event());
    }
    std::uint64_t deleting(std::int64_t transfer_key, std::uint32_t flags = 0) {
        const CallbackInfo info = info_of(transfer_key, u"\\r\\a.txt");
        CallbackParameters parameters;
        parameters.flags = flags;
        on_notify_delete(&info, &parameters);
        const std::uint64_t id = req_of(event());
        confirmations.push_back(id);
        return id;
    }

    static std::string run(Outcome outcome) {
        return outcome.ok() ? to_json_text(outcome.value()) : "error " + error_code_text(outcome.error().code);
    }
    static std::string answer(Outcome (*command)(const json::value&), std::uint64_t id, const std::string& rest = "") {
        return run(command(json::parse(R"({"req":)" + std::to_string(id) + rest + "}")));
    }

    NiceMock<MockPlatform> mock;
    ScopedPlatform installed{mock};
    CapturedOutput output;
    const std::string identity = "docs";
    const ProcessInfo process{77, u"\\Device\\HarddiskVolume3\\Windows\\explorer.exe"};
    std::vector<Executed> executed;
    std::vector<Hresult> child_results;
    Hresult execute_result = 0;
    std::vector<std::uint64_t> confirmations;
};

// ---- Folders on demand --------------------------------------------------------------------------

TEST_F(Provider, ListEventNamesTheFolderAndItsRequestWaitsInTheTableAsAListing) {
    const CallbackInfo info = info_of(1, u"\\Users\\me\\Zembra\\D\u00e9j\u00e0");
    CallbackParameters parameters;
    parameters.pattern = u"*.txt";
    on_fetch_placeholders(&info, &parameters);
    const std::vector<std::string> lines = output.take();
    ASSERT_EQ(lines.size(), 1u);
    const std::uint64_t id = req_of(json::parse(lines[0]));
    EXPECT_EQ(lines[0], R"({"event":"list","identity":"docs","path":"\\Users\\me\\Zembra\\D)"
                        "\xC3\xA9j\xC3\xA0"
                        R"(","pattern":"*.txt","process":"\\Device\\HarddiskVolume3\\Windows\\explorer.exe","req":)" +
                            std::to_string(id) + "}");
    const std::optional<Pending> record = pending().find(id);
    ASSERT_TRUE(record);
    EXPECT_EQ(record->kind, RequestKind::list);
    EXPECT_EQ(record->connection_key, 7001);
    EXPECT_EQ(record->transfer_key, 1);
    EXPECT_EQ(record->request_key, 9001);

    // Without a pattern or process information the keys are there, empty.
    CallbackInfo bare = info_of(2, nullptr);
    bare.process_info = nullptr;
    on_fetch_placeholders(&bare, nullptr);
    const json::value second = event();
    EXPECT_EQ(second.at("path"), "");
    EXPECT_EQ(second.at("pattern"), "");
    EXPECT_EQ(second.at("process"), "");
}

TEST_F(Provider, EntriesTransferEveryChildInOneOperationThatMarksTheFolderFilled) {
    const std::uint64_t id = list(1);
    EXPECT_EQ(answer(cmd_entries, id, R"(,"items":[
        {"name":"a.txt","identity":"docs/a.txt","size":5000,"mtimeMs":1700000000123},
        {"name":"Sub","identity":"docs/sub","folder":true,"populated":false},
        {"name":"Full","folder":true,"size":9},
        {"dir":"/ignored","name":"b"}])"),
              R"({"failed":[]})");
    ASSERT_EQ(executed.size(), 1u);
    const Executed& e = executed[0];
    EXPECT_EQ(e.info.struct_size, 48u);
    EXPECT_EQ(e.info.type, 4u);
    EXPECT_EQ(e.info.connection_key, 7001);
    EXPECT_EQ(e.info.transfer_key, 1);
    EXPECT_EQ(e.info.request_key, 9001);
    EXPECT_EQ(e.param_size, 40u);
    EXPECT_EQ(e.flags, 0x2u);  // DISABLE_ON_DEMAND_POPULATION
    EXPECT_EQ(e.completion_status, 0);
    EXPECT_EQ(e.total, 4);
    EXPECT_EQ(e.count, 4u);
    ASSERT_EQ(e.children.size(), 4u);
    EXPECT_EQ(e.children[0].name, "a.txt");
    EXPECT_EQ(e.children[0].identity, "docs/a.txt");
    EXPECT_EQ(e.children[0].size, 5000);
    EXPECT_EQ(e.children[0].attributes, 0x80u);
    EXPECT_EQ(e.children[0].flags, 0x2u);
    // An unfilled child folder is listed on demand in its turn; the others count as filled.
    EXPECT_EQ(e.children[1].attributes, 0x10u);
    EXPECT_EQ(e.children[1].flags, 0x2u);
    EXPECT_EQ(e.children[2].flags, 0x3u);
    EXPECT_EQ(e.children[2].size, 0);
    EXPECT_EQ(e.children[3].name, "b");

    EXPECT_FALSE(pending().find(id));
    EXPECT_EQ(answer(cmd_entries, id, R"(,"items":[{"name":"x"}])"), R"({"stale":true})");
    EXPECT_EQ(answer(cmd_fail, id), R"({"stale":true})");
    EXPECT_EQ(executed.size(), 1u);
}

TEST_F(Provider, ChildrenThePlatformRefusesAreReportedInTheCreateFormUnderTheListedFolder) {
    const std::uint64_t id = list(1, u"\\r\\Docs");
    child_results = {0, ALREADY_EXISTS, 0};
    EXPECT_EQ(answer(cmd_entries, id, R"(,"items":[{"name":"a"},{"name":"a"},{"identity":"no name"}])"),
              R"j({"failed":[{"dir":"\\r\\Docs","error":"Exists. (0x800700B7)","name":"a"}]})j");
    EXPECT_FALSE(pending().find(id));
}

TEST_F(Provider, NoEntriesStillFillTheFolderThroughAValidArray) {
    const std::uint64_t id = list(1);
    EXPECT_EQ(answer(cmd_entries, id), R"({"failed":[]})");
    ASSERT_EQ(executed.size(), 1u);
    EXPECT_EQ(executed[0].count, 0u);
    EXPECT_EQ(executed[0].total, 0);
    EXPECT_FALSE(executed[0].array_null);
    EXPECT_EQ(executed[0].flags, 0x2u);
}

TEST_F(Provider, ARefusedTransferKeepsTheListingForAnotherAnswerOrFail) {
    const std::uint64_t id = list(1);
    execute_result = INVALID_REQUEST;
    EXPECT_EQ(answer(cmd_entries, id, R"(,"items":[{"name":"a"}])"), "error 0x8007017c");
    EXPECT_TRUE(pending().find(id));
    execute_result = 0;
    EXPECT_EQ(answer(cmd_fail, id), "{}");
    ASSERT_EQ(executed.size(), 2u);
    // A failed listing: a cloud status, no children, and the folder stays unfilled.
    const Executed& failed = executed[1];
    EXPECT_EQ(failed.info.type, 4u);
    EXPECT_EQ(failed.info.request_key, 9001);
    EXPECT_EQ(failed.param_size, 40u);
    EXPECT_EQ(failed.flags, 0u);
    EXPECT_EQ(failed.completion_status, UNSUCCESSFUL);
    EXPECT_EQ(failed.count, 0u);
    EXPECT_FALSE(failed.array_null);
    EXPECT_FALSE(pending().find(id));
    EXPECT_EQ(answer(cmd_fail, id), R"({"stale":true})");
}

TEST_F(Provider, CancellingAListingDropsTheListingsOfItsStreamOnly) {
    const std::uint64_t first = list(1);
    const std::uint64_t second = list(1);
    const std::uint64_t other = list(2);
    // A fetch on the same stream key is not the listing's to cancel.
    const CallbackInfo fetch_info = info_of(1, u"\\r\\f");
    const CallbackParameters range{0, 4096};
    on_fetch_data(&fetch_info, &range);
    const std::uint64_t fetch = req_of(event());

    const CallbackInfo cancel = info_of(1, u"\\r\\Docs");
    on_cancel_fetch_placeholders(&cancel, nullptr);
    const json::value cancelled = event();
    EXPECT_EQ(cancelled.at("event"), "cancel");
    EXPECT_EQ(cancelled.at("path"), "\\r\\Docs");
    std::vector<std::uint64_t> reqs;
    for (const json::value& r : cancelled.at("reqs").as_array()) reqs.push_back(r.to_number<std::uint64_t>());
    std::sort(reqs.begin(), reqs.end());
    EXPECT_EQ(reqs, (std::vector<std::uint64_t>{first, second}));
    EXPECT_EQ(answer(cmd_entries, first, R"(,"items":[{"name":"late"}])"), R"({"stale":true})");
    EXPECT_EQ(answer(cmd_fail, second), R"({"stale":true})");
    EXPECT_TRUE(pending().find(other));
    EXPECT_TRUE(pending().find(fetch));
    EXPECT_TRUE(executed.empty());
}

TEST_F(Provider, AListingWhoseEventCannotBeWrittenIsFailedAtOnce) {
    const std::uint64_t id = NEXT_REQUEST.load();
    {
        MockStreams exhausted;
        EXPECT_CALL(exhausted, write_output).WillRepeatedly(Throw(std::bad_alloc()));
        ScopedStreams installed_streams(exhausted);
        const CallbackInfo info = info_of(3, u"\\r\\big");
        EXPECT_NO_THROW(on_fetch_placeholders(&info, nullptr));
    }
    output.attach();
    EXPECT_FALSE(pending().find(id));
    ASSERT_EQ(executed.size(), 1u);
    EXPECT_EQ(executed[0].info.type, 4u);
    EXPECT_EQ(executed[0].info.request_key, 9003);
    EXPECT_EQ(executed[0].completion_status, UNSUCCESSFUL);
}

// ---- Confirmed deletes and renames --------------------------------------------------------------

TEST_F(Provider, DeletingAsksAndAllowLetsTheDeleteGoOn) {
    const CallbackInfo info = info_of(1, u"\\r\\a.txt");
    CallbackParameters parameters;
    parameters.flags = delete_flag::IS_DIRECTORY;
    on_notify_delete(&info, &parameters);
    const std::vector<std::string> lines = output.take();
    ASSERT_EQ(lines.size(), 1u);
    const std::uint64_t id = req_of(json::parse(lines[0]));
    confirmations.push_back(id);
    EXPECT_EQ(lines[0], R"({"event":"deleting","folder":true,"identity":"docs","path":"\\r\\a.txt","req":)" +
                            std::to_string(id) + "}");
    ASSERT_TRUE(pending().find(id));
    EXPECT_EQ(pending().find(id)->kind, RequestKind::remove);

    EXPECT_EQ(answer(cmd_allow, id), "{}");
    ASSERT_EQ(executed.size(), 1u);
    const Executed& e = executed[0];
    EXPECT_EQ(e.info.struct_size, 48u);
    EXPECT_EQ(e.info.type, 6u);  // ACK_DELETE
    EXPECT_EQ(e.info.connection_key, 7001);
    EXPECT_EQ(e.info.transfer_key, 1);
    EXPECT_EQ(e.info.request_key, 9001);
    EXPECT_EQ(e.info.correlation_vector, nullptr);
    EXPECT_EQ(e.param_size, 16u);
    EXPECT_EQ(e.flags, 0u);
    EXPECT_EQ(e.completion_status, 0);
    EXPECT_EQ(answer(cmd_allow, id), R"({"stale":true})");
    EXPECT_EQ(answer(cmd_deny, id), R"({"stale":true})");
    EXPECT_EQ(executed.size(), 1u);
}

TEST_F(Provider, RenamingNamesTheTargetAndDenyRefusesWithAccessDenied) {
    const CallbackInfo info = info_of(2, u"\\r\\a.txt");
    CallbackParameters parameters;
    parameters.flags = rename_flag::SOURCE_IN_SCOPE | rename_flag::TARGET_IN_SCOPE;
    parameters.target_path = u"\\r\\b.txt";
    on_notify_rename(&info, &parameters);
    json::value renaming = event();
    const std::uint64_t id = req_of(renaming);
    confirmations.push_back(id);
    renaming.as_object().erase("req");
    EXPECT_EQ(to_json_text(renaming), R"({"event":"renaming","folder":false,"identity":"docs","path":"\\r\\a.txt",)"
                                      R"("target":"\\r\\b.txt","targetInRoot":true})");
    EXPECT_EQ(answer(cmd_deny, id), "{}");
    ASSERT_EQ(executed.size(), 1u);
    EXPECT_EQ(executed[0].info.type, 7u);  // ACK_RENAME
    EXPECT_EQ(executed[0].info.request_key, 9002);
    EXPECT_EQ(executed[0].param_size, 16u);
    EXPECT_EQ(executed[0].completion_status, ACCESS_DENIED);

    // A folder moved out of the root, without target text.
    parameters.flags = rename_flag::IS_DIRECTORY | rename_flag::SOURCE_IN_SCOPE;
    parameters.target_path = nullptr;
    on_notify_rename(&info, &parameters);
    const json::value out = event();
    confirmations.push_back(req_of(out));
    EXPECT_EQ(out.at("folder"), true);
    EXPECT_EQ(out.at("target"), "");
    EXPECT_EQ(out.at("targetInRoot"), false);
}

TEST_F(Provider, AnUndeleteIsLetThroughAtOnceWithoutAnEvent) {
    const std::uint64_t before = NEXT_REQUEST.load();
    const CallbackInfo info = info_of(1, u"\\r\\a.txt");
    CallbackParameters parameters;
    parameters.flags = delete_flag::IS_UNDELETE;
    on_notify_delete(&info, &parameters);
    EXPECT_TRUE(output.take().empty());
    EXPECT_FALSE(pending().find(before));
    ASSERT_EQ(executed.size(), 1u);
    EXPECT_EQ(executed[0].info.type, 6u);
    EXPECT_EQ(executed[0].info.request_key, 9001);
    EXPECT_EQ(executed[0].completion_status, 0);
}

TEST_F(Provider, ARefusedAcknowledgementIsTheErrorAndTheRequestIsGone) {
    const std::uint64_t id = deleting(1);
    execute_result = INVALID_REQUEST;  // the platform gave up on it (its time-out)
    EXPECT_EQ(answer(cmd_allow, id), "error 0x8007017c");
    EXPECT_FALSE(pending().find(id));
    EXPECT_EQ(answer(cmd_deny, id), R"({"stale":true})");
}

TEST_F(Provider, AConfirmationWhoseEventCannotBeWrittenIsRefused) {
    const std::uint64_t id = NEXT_REQUEST.load();
    {
        MockStreams exhausted;
        EXPECT_CALL(exhausted, write_output).WillRepeatedly(Throw(std::bad_alloc()));
        ScopedStreams installed_streams(exhausted);
        const CallbackInfo info = info_of(3, u"\\r\\a.txt");
        CallbackParameters parameters;
        parameters.target_path = u"\\r\\b.txt";
        EXPECT_NO_THROW(on_notify_delete(&info, &parameters));
        EXPECT_NO_THROW(on_notify_rename(&info, &parameters));
    }
    output.attach();
    EXPECT_FALSE(pending().find(id));
    EXPECT_FALSE(pending().find(id + 1));
    ASSERT_EQ(executed.size(), 2u);
    EXPECT_EQ(executed[0].info.type, 6u);
    EXPECT_EQ(executed[0].completion_status, ACCESS_DENIED);
    EXPECT_EQ(executed[1].info.type, 7u);
    EXPECT_EQ(executed[1].completion_status, ACCESS_DENIED);
}

// ---- One table for every kind ------------------------------------------------------------------

TEST_F(Provider, EveryKindTakesItsIdFromTheOneCounter) {
    const CallbackInfo file = info_of(1, u"\\r\\f");
    const CallbackParameters range{0, 4096};
    on_fetch_data(&file, &range);
    const std::uint64_t fetch = req_of(event());
    const std::uint64_t listing = list(2);
    const std::uint64_t removal = deleting(3);
    const CallbackInfo renamed = info_of(3, u"\\r\\g");
    on_notify_rename(&renamed, nullptr);
    const std::uint64_t rename = req_of(event());
    confirmations.push_back(rename);
    EXPECT_EQ(listing, fetch + 1);
    EXPECT_EQ(removal, fetch + 2);
    EXPECT_EQ(rename, fetch + 3);
}

TEST_F(Provider, AnAnswerForAnotherKindOfRequestIsRefusedAndChangesNothing) {
    const CallbackInfo file = info_of(1, u"\\r\\f");
    const CallbackParameters range{0, 4096};
    on_fetch_data(&file, &range);
    const std::uint64_t fetch = req_of(event());
    const std::uint64_t listing = list(2);
    const std::uint64_t removal = deleting(3);
    const std::string invalid = "error 0x80070057";
    EXPECT_EQ(answer(cmd_entries, fetch), invalid);
    EXPECT_EQ(answer(cmd_allow, fetch), invalid);
    EXPECT_EQ(answer(cmd_data, listing, R"(,"b64":"AAAA")"), invalid);
    EXPECT_EQ(answer(cmd_progress, listing, R"(,"total":1,"completed":0)"), invalid);
    EXPECT_EQ(answer(cmd_deny, listing), invalid);
    EXPECT_EQ(answer(cmd_data, removal, R"(,"b64":"AAAA")"), invalid);
    EXPECT_EQ(answer(cmd_fail, removal), invalid);
    EXPECT_EQ(answer(cmd_entries, removal), invalid);
    EXPECT_TRUE(executed.empty());
    EXPECT_TRUE(pending().find(fetch));
    EXPECT_TRUE(pending().find(listing));
    EXPECT_TRUE(pending().find(removal));
}

}  // namespace
}  // namespace zcf
