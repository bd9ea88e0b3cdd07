// The native callback table built for CfConnectSyncRoot and its trampolines: the entries and their
// terminator, and the translation of CF_CALLBACK_INFO / CF_CALLBACK_PARAMETERS for the core.
#include "platform/cloud_types.h"
#include "platform/windows/callback_table.h"

#include <gtest/gtest.h>

#include <new>
#include <string>

namespace zcf::windows {
namespace {

struct Seen {
    int calls = 0;
    CallbackInfo info;
    bool had_process = false;
    ProcessInfo process;
    CallbackParameters parameters;
};
Seen FETCH, CANCEL, OPENED, LIST, CANCEL_LIST, DELETING, RENAMING;

void remember(Seen& seen, const CallbackInfo* info, const CallbackParameters* parameters) {
    ++seen.calls;
    seen.info = *info;
    seen.had_process = info->process_info != nullptr;
    if (seen.had_process) seen.process = *info->process_info;
    seen.parameters = *parameters;
}
void on_fetch(const CallbackInfo* i, const CallbackParameters* p) { remember(FETCH, i, p); }
void on_cancel(const CallbackInfo* i, const CallbackParameters* p) { remember(CANCEL, i, p); }
void on_opened(const CallbackInfo* i, const CallbackParameters* p) { remember(OPENED, i, p); }
void on_list(const CallbackInfo* i, const CallbackParameters* p) { remember(LIST, i, p); }
void on_cancel_list(const CallbackInfo* i, const CallbackParameters* p) { remember(CANCEL_LIST, i, p); }
void on_deleting(const CallbackInfo* i, const CallbackParameters* p) { remember(DELETING, i, p); }
void on_renaming(const CallbackInfo* i, const CallbackParameters* p) { remember(RENAMING, i, p); }

const CallbackRegistration CORE_TABLE[] = {{callback_type::FETCH_DATA, &on_fetch},
                                           {callback_type::CANCEL_FETCH_DATA, &on_cancel},
                                           {callback_type::NOTIFY_FILE_OPEN_COMPLETION, &on_opened},
                                           {callback_type::NONE, nullptr}};

TEST(CallbackTable, HasOneTrampolinePerCoreEntryAndTheTerminator) {
    const cf::CF_CALLBACK_REGISTRATION* table = build_callback_table(CORE_TABLE);
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(table[0].Type, 0u);
    EXPECT_EQ(table[1].Type, 2u);
    EXPECT_EQ(table[2].Type, 5u);
    EXPECT_EQ(table[3].Type, 0xFFFFFFFFu);
    EXPECT_EQ(table[3].Callback, nullptr);
    for (int i = 0; i < 3; ++i) EXPECT_NE(table[i].Callback, nullptr);
    EXPECT_NE(table[0].Callback, table[1].Callback);
    // Each connect gets a table of its own.
    EXPECT_NE(build_callback_table(CORE_TABLE), table);
}

TEST(CallbackTable, RefusesATypeThatIsNoCallbackType) {
    const CallbackRegistration bad[] = {{13, &on_fetch}, {callback_type::NONE, nullptr}};
    EXPECT_EQ(build_callback_table(bad), nullptr);
}

TEST(CallbackTable, TranslatesTheFetchNotification) {
    const cf::CF_CALLBACK_REGISTRATION* table = build_callback_table(CORE_TABLE);
    const unsigned char identity[] = {'a', 0xFF, 'b'};
    cf::CF_PROCESS_INFO process{};
    process.StructSize = 48;
    process.ProcessId = 4242;
    process.ImagePath = L"\\Device\\HarddiskVolume3\\reader.exe";
    cf::CF_CALLBACK_INFO info{};
    info.StructSize = sizeof info;
    info.ConnectionKey.Internal = -7;
    info.FileSize.QuadPart = 5000;
    info.FileIdentity = identity;
    info.FileIdentityLength = sizeof identity;
    info.NormalizedPath = L"\\Users\\me\\Zembra\\a.txt";
    info.TransferKey.QuadPart = 0x1122334455667788;
    info.RequestKey.QuadPart = 99;
    info.ProcessInfo = &process;
    cf::CF_CALLBACK_PARAMETERS parameters{};
    parameters.ParamSize = sizeof parameters;
    parameters.FetchData.RequiredFileOffset.QuadPart = 4096;
    parameters.FetchData.RequiredLength.QuadPart = 8192;
    parameters.FetchData.OptionalFileOffset.QuadPart = 1;
    parameters.FetchData.OptionalLength.QuadPart = 2;

    FETCH = {};
    table[0].Callback(&info, &parameters);
    ASSERT_EQ(FETCH.calls, 1);
    EXPECT_EQ(FETCH.info.connection_key, -7);
    EXPECT_EQ(FETCH.info.file_size, 5000);
    EXPECT_EQ(FETCH.info.file_identity, identity);
    EXPECT_EQ(FETCH.info.file_identity_length, 3u);
    EXPECT_EQ(std::u16string(FETCH.info.normalized_path), u"\\Users\\me\\Zembra\\a.txt");
    EXPECT_EQ(FETCH.info.transfer_key, 0x1122334455667788);
    EXPECT_EQ(FETCH.info.request_key, 99);
    ASSERT_TRUE(FETCH.had_process);
    EXPECT_EQ(FETCH.process.process_id, 4242u);
    EXPECT_EQ(std::u16string(FETCH.process.image_path), u"\\Device\\HarddiskVolume3\\reader.exe");
    EXPECT_EQ(FETCH.parameters.required_file_offset, 4096);
    EXPECT_EQ(FETCH.parameters.required_length, 8192);
}

TEST(CallbackTable, PassesMissingProcessInformationAsNull) {
    const cf::CF_CALLBACK_REGISTRATION* table = build_callback_table(CORE_TABLE);
    cf::CF_CALLBACK_INFO info{};
    info.TransferKey.QuadPart = 12;
    info.NormalizedPath = L"\\f";
    cf::CF_CALLBACK_PARAMETERS parameters{};
    // Cancel parameters hold the cancelled range where FetchData holds the required one: the core
    // is not given it.
    parameters.Cancel.FetchData.FileOffset.QuadPart = 4096;
    parameters.Cancel.FetchData.Length.QuadPart = 4096;
    CANCEL = {};
    OPENED = {};
    table[1].Callback(&info, &parameters);
    table[2].Callback(&info, &parameters);
    ASSERT_EQ(CANCEL.calls, 1);
    EXPECT_FALSE(CANCEL.had_process);
    EXPECT_EQ(CANCEL.info.transfer_key, 12);
    EXPECT_EQ(CANCEL.parameters.required_file_offset, 0);
    EXPECT_EQ(CANCEL.parameters.required_length, 0);
    ASSERT_EQ(OPENED.calls, 1);
    EXPECT_FALSE(OPENED.had_process);
    EXPECT_EQ(std::u16string(OPENED.info.normalized_path), u"\\f");
}

TEST(CallbackTable, TranslatesTheFlagsPatternAndTargetOfListingsDeletesAndRenames) {
    const CallbackRegistration core[] = {{callback_type::FETCH_PLACEHOLDERS, &on_list},
                                         {callback_type::CANCEL_FETCH_PLACEHOLDERS, &on_cancel_list},
                                         {callback_type::NOTIFY_DELETE, &on_deleting},
                                         {callback_type::NOTIFY_RENAME, &on_renaming},
                                         {callback_type::NONE, nullptr}};
    const cf::CF_CALLBACK_REGISTRATION* table = build_callback_table(core);
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(table[0].Type, 3u);
    EXPECT_EQ(table[1].Type, 4u);
    EXPECT_EQ(table[2].Type, 9u);
    EXPECT_EQ(table[3].Type, 11u);
    EXPECT_EQ(table[4].Type, 0xFFFFFFFFu);

    cf::CF_CALLBACK_INFO info{};
    info.NormalizedPath = L"\\Users\\me\\Zembra\\Docs";
    info.TransferKey.QuadPart = 31;
    info.RequestKey.QuadPart = 32;
    cf::CF_CALLBACK_PARAMETERS parameters{};
    parameters.FetchPlaceholders.Flags = 0x40;
    parameters.FetchPlaceholders.Pattern = L"*.txt";
    LIST = {};
    table[0].Callback(&info, &parameters);
    ASSERT_EQ(LIST.calls, 1);
    EXPECT_EQ(LIST.parameters.flags, 0x40u);
    EXPECT_EQ(std::u16string(LIST.parameters.pattern), u"*.txt");
    EXPECT_EQ(LIST.parameters.target_path, nullptr);
    EXPECT_EQ(LIST.info.transfer_key, 31);
    EXPECT_EQ(LIST.info.request_key, 32);

    parameters = {};
    parameters.Cancel.Flags = 0x1;  // IO_TIMEOUT
    CANCEL_LIST = {};
    table[1].Callback(&info, &parameters);
    ASSERT_EQ(CANCEL_LIST.calls, 1);
    EXPECT_EQ(CANCEL_LIST.parameters.flags, 0x1u);
    EXPECT_EQ(CANCEL_LIST.parameters.pattern, nullptr);

    parameters = {};
    parameters.Delete.Flags = 0x1;  // IS_DIRECTORY
    DELETING = {};
    table[2].Callback(&info, &parameters);
    ASSERT_EQ(DELETING.calls, 1);
    EXPECT_EQ(DELETING.parameters.flags, 0x1u);
    EXPECT_EQ(DELETING.parameters.target_path, nullptr);

    parameters = {};
    parameters.Rename.Flags = 0x6;  // SOURCE_IN_SCOPE, TARGET_IN_SCOPE
    parameters.Rename.TargetPath = L"\\Users\\me\\Zembra\\Archive";
    RENAMING = {};
    table[3].Callback(&info, &parameters);
    ASSERT_EQ(RENAMING.calls, 1);
    EXPECT_EQ(RENAMING.parameters.flags, 0x6u);
    EXPECT_EQ(std::u16string(RENAMING.parameters.target_path), u"\\Users\\me\\Zembra\\Archive");
    EXPECT_EQ(RENAMING.parameters.pattern, nullptr);
}

TEST(CallbackTable, AnExceptionFromTheCoreEndsInTheTrampoline) {
    static int THROWN = 0;
    const CallbackRegistration throwing[] = {
        {callback_type::FETCH_DATA, [](const CallbackInfo*, const CallbackParameters*) {
             ++THROWN;
             throw std::bad_alloc();
         }},
        {callback_type::NONE, nullptr}};
    const cf::CF_CALLBACK_REGISTRATION* table = build_callback_table(throwing);
    const cf::CF_CALLBACK_INFO info{};
    const cf::CF_CALLBACK_PARAMETERS parameters{};
    EXPECT_NO_THROW(table[0].Callback(&info, &parameters));
    EXPECT_EQ(THROWN, 1);
}

}  // namespace
}  // namespace zcf::windows
