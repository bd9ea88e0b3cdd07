// The Windows platform's Cloud Files operations against the cldapi.dll double in the system
// directory of the test prefix: what each call hands to cldapi.dll (as the double decodes it by
// the documented x64 offsets), what comes back, a hydration that runs the registered fetch
// callback on a platform thread and completes through CfExecute, and failures described by the
// system's text whatever error object an earlier call left on the thread.
#include "common/outcome.h"
#include "platform/platform.h"
#include "windows/fake_com.h"

#include <boost/json.hpp>

#include <windows.h>

#include <gtest/gtest.h>

#include <cctype>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <functional>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace zcf::windows {
namespace {

namespace json = boost::json;

std::string narrow(const std::wstring& text) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size, nullptr, nullptr);
    return out;
}
std::u16string u16(const std::wstring& text) { return std::u16string(text.begin(), text.end()); }
std::string utf8(const char16_t* text) {
    return text == nullptr ? std::string() : narrow(std::wstring(text, text + std::char_traits<char16_t>::length(text)));
}
std::string lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}
constexpr Hresult hr(std::uint32_t value) { return static_cast<Hresult>(value); }

// ---- The core's side of the callbacks ---------------------------------------------------------

struct Notification {
    std::uint32_t type = 0;
    DWORD thread = 0;
    ConnectionKey connection_key = 0;
    std::int64_t file_size = 0;
    std::string identity;
    std::string path;
    std::int64_t transfer_key = 0;
    std::int64_t request_key = 0;
    bool has_process = false;
    std::uint32_t pid = 0;
    std::string image;
    std::int64_t offset = 0;
    std::int64_t length = 0;
};

std::mutex SEEN_MUTEX;
std::condition_variable SEEN_CHANGED;
std::vector<Notification> SEEN;

void note(std::uint32_t type, const CallbackInfo* info, const CallbackParameters* parameters) {
    Notification n;
    n.type = type;
    n.thread = GetCurrentThreadId();
    n.connection_key = info->connection_key;
    n.file_size = info->file_size;
    if (info->file_identity != nullptr)
        n.identity.assign(static_cast<const char*>(info->file_identity), info->file_identity_length);
    n.path = utf8(info->normalized_path);
    n.transfer_key = info->transfer_key;
    n.request_key = info->request_key;
    n.has_process = info->process_info != nullptr;
    if (n.has_process) {
        n.pid = info->process_info->process_id;
        n.image = utf8(info->process_info->image_path);
    }
    n.offset = parameters->required_file_offset;
    n.length = parameters->required_length;
    std::lock_guard<std::mutex> lock(SEEN_MUTEX);
    SEEN.push_back(n);
    SEEN_CHANGED.notify_all();
}
void on_fetch(const CallbackInfo* i, const CallbackParameters* p) { note(0, i, p); }
void on_cancel(const CallbackInfo* i, const CallbackParameters* p) { note(2, i, p); }
void on_opened(const CallbackInfo* i, const CallbackParameters* p) { note(5, i, p); }

const CallbackRegistration CORE_TABLE[] = {{callback_type::FETCH_DATA, &on_fetch},
                                           {callback_type::CANCEL_FETCH_DATA, &on_cancel},
                                           {callback_type::NOTIFY_FILE_OPEN_COMPLETION, &on_opened},
                                           {callback_type::NONE, nullptr}};

std::optional<Notification> wait_for_notification(std::size_t count) {
    std::unique_lock<std::mutex> lock(SEEN_MUTEX);
    if (!SEEN_CHANGED.wait_for(lock, std::chrono::seconds(10), [&] { return SEEN.size() >= count; })) return std::nullopt;
    return SEEN[count - 1];
}

// ---- Test fixture: a directory, the double's log and script ----------------------------------

class CloudFiles : public ::testing::Test {
protected:
    void SetUp() override {
        static int CASE = 0;
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        directory_ = std::wstring(temp) + L"zcf-cf-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++CASE);
        CreateDirectoryW(directory_.c_str(), nullptr);
        log_ = directory_ + L"\\calls.jsonl";
        SetEnvironmentVariableW(L"ZCF_CLDAPI_LOG", log_.c_str());
        script("{}");
        std::lock_guard<std::mutex> lock(SEEN_MUTEX);
        SEEN.clear();
    }
    void TearDown() override {
        for (const HANDLE h : open_) CloseHandle(h);
        for (const std::wstring& file : files_) DeleteFileW(file.c_str());
        DeleteFileW(log_.c_str());
        RemoveDirectoryW(directory_.c_str());
        SetEnvironmentVariableW(L"ZCF_CLDAPI_LOG", nullptr);
        SetEnvironmentVariableW(L"ZCF_CLDAPI_SCRIPT", nullptr);
    }

    // Installs a script; each case's text is unique, so the double starts counting afresh.
    void script(const std::string& text) {
        json::object object = json::parse(text).as_object();
        object["case"] = narrow(directory_);
        const std::wstring wide_text = [&] {
            const std::string serialized = json::serialize(object);
            return std::wstring(serialized.begin(), serialized.end());
        }();
        SetEnvironmentVariableW(L"ZCF_CLDAPI_SCRIPT", wide_text.c_str());
    }

    // The calls the double recorded, optionally only those of one function.
    std::vector<json::object> calls(const std::string& function = {}) const {
        std::ifstream in(narrow(log_));
        std::vector<json::object> out;
        std::string line;
        while (std::getline(in, line)) {
            json::object record = json::parse(line).as_object();
            if (function.empty() || record["fn"].as_string() == function) out.push_back(std::move(record));
        }
        return out;
    }
    json::object only_call(const std::string& function) const {
        const std::vector<json::object> found = calls(function);
        EXPECT_EQ(found.size(), 1u) << function;
        return found.empty() ? json::object() : found.front();
    }

    std::wstring make_file(const std::wstring& name, std::size_t size) {
        const std::wstring path = directory_ + L"\\" + name;
        const HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        const std::string content(size, 'x');
        DWORD written = 0;
        WriteFile(h, content.data(), static_cast<DWORD>(size), &written, nullptr);
        CloseHandle(h);
        files_.push_back(path);
        return path;
    }
    Handle open(const std::wstring& path) {
        const HANDLE h = CreateFileW(path.c_str(), 0x81, 7, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        EXPECT_NE(h, INVALID_HANDLE_VALUE);
        open_.push_back(h);
        return reinterpret_cast<Handle>(h);
    }
    ConnectionKey connect() {
        ConnectionKey key = 0;
        EXPECT_EQ(p().connect_sync_root(u16(directory_).c_str(), CORE_TABLE, nullptr, 6, &key), S_OK);
        return key;
    }
    static Platform& p() { return native_platform(); }

    std::wstring directory_;
    std::wstring log_;
    std::vector<std::wstring> files_;
    std::vector<HANDLE> open_;
};

// Where a recorded handle path ends, compared without regard to case (Wine reports drive letters
// in its own case).
bool ends_with(const json::value& recorded, const std::wstring& path) {
    if (!recorded.is_string()) return false;
    const std::string have = lower(std::string(recorded.as_string()));
    const std::string want = lower(narrow(path.substr(path.find_last_of(L'\\'))));
    return have.size() >= want.size() && have.compare(have.size() - want.size(), want.size(), want) == 0;
}

TEST_F(CloudFiles, ConnectHandsOverPathTableNullContextAndFlags) {
    ConnectionKey key = 0;
    ASSERT_EQ(p().connect_sync_root(u16(directory_).c_str(), CORE_TABLE, nullptr, 6, &key), S_OK);
    const json::object call = only_call("CfConnectSyncRoot");
    EXPECT_EQ(call.at("path").as_string(), narrow(directory_));
    EXPECT_EQ(json::serialize(call.at("table")),
              R"([{"type":0,"callback":true},{"type":2,"callback":true},{"type":5,"callback":true},)"
              R"({"type":4294967295,"callback":false}])");
    EXPECT_TRUE(call.at("context").is_null());
    EXPECT_EQ(call.at("flags").as_int64(), 6);
    EXPECT_EQ(call.at("keyIn").as_int64(), 0);
    EXPECT_EQ(call.at("key").as_int64(), key);
    EXPECT_NE(key, 0);

    ASSERT_EQ(p().disconnect_sync_root(key), S_OK);
    EXPECT_EQ(only_call("CfDisconnectSyncRoot").at("key").as_int64(), key);
}

TEST_F(CloudFiles, ConnectAndDisconnectReturnThePlatformsFailure) {
    script(R"({"results":{"CfConnectSyncRoot":["0x8007017A"],"CfDisconnectSyncRoot":["0x80070195"]}})");
    ConnectionKey key = 0;
    EXPECT_EQ(p().connect_sync_root(u"", CORE_TABLE, nullptr, 6, &key), hr(0x8007017A));
    EXPECT_EQ(key, 0);
    EXPECT_EQ(only_call("CfConnectSyncRoot").at("path").as_string(), "");
    EXPECT_EQ(p().disconnect_sync_root(5), hr(0x80070195));
}

TEST_F(CloudFiles, CreatePlaceholdersPassesTheRecordsAndReadsBackEachResult) {
    script(R"({"createResults":[0,"0x800700B7"]})");
    const char identity[] = "id-1";
    PlaceholderCreateInfo records[2] = {};
    records[0].relative_file_name = u"a.txt";
    records[0].fs_metadata.basic_info = {133444736001230000, 133444736001230001, 133444736001230002,
                                         133444736001230003, 0x80};
    records[0].fs_metadata.file_size = 5000;
    records[0].file_identity = identity;
    records[0].file_identity_length = 4;
    records[0].flags = 2;
    records[1].relative_file_name = u"sub";
    records[1].fs_metadata.basic_info.file_attributes = 0x10;
    records[1].flags = 3;
    std::uint32_t processed = 0;
    ASSERT_EQ(p().create_placeholders(u16(directory_).c_str(), records, 2, 0, &processed), S_OK);
    EXPECT_EQ(records[0].result, 0);
    EXPECT_EQ(records[1].result, hr(0x800700B7));
    EXPECT_NE(records[0].create_usn, 0);
    EXPECT_EQ(processed, 2u);

    const json::object call = only_call("CfCreatePlaceholders");
    EXPECT_EQ(call.at("base").as_string(), narrow(directory_));
    EXPECT_EQ(call.at("count").as_int64(), 2);
    EXPECT_EQ(call.at("flags").as_int64(), 0);
    EXPECT_EQ(call.at("entriesProcessedIn").as_int64(), 0);
    const json::array& decoded = call.at("records").as_array();
    ASSERT_EQ(decoded.size(), 2u);
    EXPECT_EQ(json::serialize(decoded[0]),
              R"({"name":"a.txt","creationTime":133444736001230000,"lastAccessTime":133444736001230001,)"
              R"("lastWriteTime":133444736001230002,"changeTime":133444736001230003,"attributes":128,)"
              R"("fileSize":5000,"identityNull":false,"identityHex":"69642d31","identityLength":4,"flags":2,)"
              R"("resultIn":0,"createUsnIn":0})");
    EXPECT_EQ(decoded[1].at("name").as_string(), "sub");
    EXPECT_EQ(decoded[1].at("attributes").as_int64(), 16);
    EXPECT_EQ(decoded[1].at("flags").as_int64(), 3);
    EXPECT_TRUE(decoded[1].at("identityNull").as_bool());
}

TEST_F(CloudFiles, PinDehydrateAndQueryPassTheirHandleAndArguments) {
    script(R"({"placeholderInfo":{"inSyncState":1,"pinState":1,"identityHex":"61ff62"}})");
    const std::wstring file = make_file(L"f.bin", 10);
    const Handle h = open(file);
    EXPECT_EQ(p().set_pin_state(h, 1, 1), S_OK);
    EXPECT_EQ(p().dehydrate_placeholder(h, 0, -1, 0), S_OK);
    alignas(8) unsigned char buffer[PLACEHOLDER_INFO_BUFFER_SIZE] = {};
    ASSERT_EQ(p().get_placeholder_info(h, 0, buffer, sizeof buffer, nullptr), S_OK);
    PlaceholderBasicInfo info;
    std::memcpy(&info, buffer, sizeof info);
    EXPECT_EQ(info.in_sync_state, 1u);
    EXPECT_EQ(info.pin_state, 1u);
    ASSERT_EQ(info.file_identity_length, 3u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(buffer) + PLACEHOLDER_BASIC_INFO_IDENTITY_OFFSET, 3), "a\xff" "b");

    const json::object pin = only_call("CfSetPinState");
    EXPECT_TRUE(ends_with(pin.at("handlePath"), file));
    EXPECT_EQ(pin.at("pinState").as_int64(), 1);
    EXPECT_EQ(pin.at("flags").as_int64(), 1);
    EXPECT_FALSE(pin.at("overlapped").as_bool());
    const json::object dehydrate = only_call("CfDehydratePlaceholder");
    EXPECT_TRUE(ends_with(dehydrate.at("handlePath"), file));
    EXPECT_EQ(dehydrate.at("offset").as_int64(), 0);
    EXPECT_EQ(dehydrate.at("length").as_int64(), -1);
    EXPECT_EQ(dehydrate.at("flags").as_int64(), 0);
    EXPECT_FALSE(dehydrate.at("overlapped").as_bool());
    const json::object query = only_call("CfGetPlaceholderInfo");
    EXPECT_TRUE(ends_with(query.at("handlePath"), file));
    EXPECT_EQ(query.at("infoClass").as_int64(), 0);
    EXPECT_EQ(query.at("bufferLength").as_int64(), 4128);
    EXPECT_TRUE(query.at("bufferZeroed").as_bool());
    EXPECT_FALSE(query.at("returnedLengthPointer").as_bool());

    script(R"({"results":{"CfSetPinState":["0x80070188"],"CfGetPlaceholderInfo":["0x80070178"]}})");
    EXPECT_EQ(p().set_pin_state(h, 2, 1), hr(0x80070188));
    EXPECT_EQ(p().get_placeholder_info(h, 0, buffer, sizeof buffer, nullptr), hr(0x80070178));
}

TEST_F(CloudFiles, OplockHandleConvertUpdateAndClose) {
    const std::wstring file = make_file(L"adopt.txt", 3);
    Handle protected_handle = 0;
    ASSERT_EQ(p().open_file_with_oplock(u16(file).c_str(), 3, &protected_handle), S_OK);
    EXPECT_TRUE(p().reference_protected_handle(protected_handle));
    const Handle win32 = p().win32_handle_from_protected(protected_handle);
    EXPECT_TRUE(handle_valid(win32));
    EXPECT_EQ(p().convert_to_placeholder(win32, "abc", 3, 1, nullptr), S_OK);
    EXPECT_EQ(p().update_placeholder(win32, nullptr, "xyz", 3, nullptr, 0, 2, nullptr), S_OK);
    p().release_protected_handle(protected_handle);
    p().close_protected_handle(protected_handle);

    const json::object open_call = only_call("CfOpenFileWithOplock");
    EXPECT_EQ(open_call.at("path").as_string(), narrow(file));
    EXPECT_EQ(open_call.at("flags").as_int64(), 3);
    EXPECT_EQ(open_call.at("protectedHandle").to_number<std::uint64_t>(), protected_handle);
    const json::object handle_call = only_call("CfGetWin32HandleFromProtectedHandle");
    EXPECT_EQ(handle_call.at("references").as_int64(), 1);
    EXPECT_EQ(handle_call.at("win32Handle").to_number<std::uint64_t>(), win32);
    const json::object convert = only_call("CfConvertToPlaceholder");
    EXPECT_EQ(convert.at("handle").to_number<std::uint64_t>(), win32);
    EXPECT_TRUE(ends_with(convert.at("handlePath"), file));
    EXPECT_EQ(convert.at("identityHex").as_string(), "616263");
    EXPECT_EQ(convert.at("identityLength").as_int64(), 3);
    EXPECT_EQ(convert.at("flags").as_int64(), 1);
    EXPECT_FALSE(convert.at("usnPointer").as_bool());
    EXPECT_FALSE(convert.at("overlapped").as_bool());
    const json::object update = only_call("CfUpdatePlaceholder");
    EXPECT_EQ(update.at("handle").to_number<std::uint64_t>(), win32);
    EXPECT_TRUE(update.at("metadata").is_null());
    EXPECT_EQ(update.at("identityHex").as_string(), "78797a");
    EXPECT_TRUE(update.at("ranges").is_null());
    EXPECT_EQ(update.at("rangeCount").as_int64(), 0);
    EXPECT_EQ(update.at("flags").as_int64(), 2);
    EXPECT_FALSE(update.at("usnPointer").as_bool());
    EXPECT_FALSE(update.at("overlapped").as_bool());
    const json::object close = only_call("CfCloseHandle");
    EXPECT_EQ(close.at("handle").to_number<std::uint64_t>(), protected_handle);
    EXPECT_TRUE(close.at("known").as_bool());
    EXPECT_EQ(close.at("references").as_int64(), 0);

    // An update with metadata and ranges hands them over field by field.
    FsMetadata metadata{{1, 2, 3, 4, 0x20}, 99};
    const FileRange ranges[] = {{0, 4096}, {8192, -1}};
    Handle second = 0;
    ASSERT_EQ(p().open_file_with_oplock(u16(file).c_str(), 3, &second), S_OK);
    EXPECT_EQ(p().update_placeholder(p().win32_handle_from_protected(second), &metadata, nullptr, 0, ranges, 2, 0, nullptr),
              S_OK);
    p().close_protected_handle(second);
    const json::object full = calls("CfUpdatePlaceholder").back();
    EXPECT_EQ(json::serialize(full.at("metadata")),
              R"({"creationTime":1,"lastAccessTime":2,"lastWriteTime":3,"changeTime":4,"attributes":32,"fileSize":99})");
    EXPECT_EQ(json::serialize(full.at("ranges")), "[[0,4096],[8192,-1]]");
    EXPECT_TRUE(full.at("identityNull").as_bool());

    // A missing path is the platform's open error.
    Handle none = 0;
    EXPECT_EQ(p().open_file_with_oplock(u16(directory_ + L"\\missing").c_str(), 3, &none), hr(0x80070002));
}

TEST_F(CloudFiles, HydrationRunsTheFetchCallbackAndCompletesThroughExecute) {
    script(R"({"hydrate":{"identityHex":"69642d37"}})");
    const ConnectionKey key = connect();
    const std::wstring file = make_file(L"big.bin", 5000);
    const Handle h = open(file);
    Hresult hydrated = 1;
    std::thread worker([&] { hydrated = p().hydrate_placeholder(h, 0, -1, 0); });

    const std::optional<Notification> fetch = wait_for_notification(1);
    ASSERT_TRUE(fetch.has_value());
    EXPECT_EQ(fetch->type, 0u);
    EXPECT_EQ(fetch->connection_key, key);
    EXPECT_EQ(fetch->file_size, 5000);
    EXPECT_EQ(fetch->identity, "id-7");
    EXPECT_EQ(lower(fetch->path).substr(fetch->path.size() - 8), "\\big.bin");
    EXPECT_EQ(fetch->path.find(':'), std::string::npos) << "a volume-relative path";
    EXPECT_TRUE(fetch->has_process);
    EXPECT_EQ(fetch->pid, 4242u);
    EXPECT_EQ(fetch->image, "\\Device\\HarddiskVolume3\\Apps\\reader.exe");
    EXPECT_EQ(fetch->offset, 0);
    EXPECT_EQ(fetch->length, 5000);
    EXPECT_NE(fetch->thread, GetCurrentThreadId());

    const std::string first(4096, 'a'), rest(904, 'b');
    OperationInfo info{OPERATION_INFO_SIZE, OPERATION_TYPE_TRANSFER_DATA, fetch->connection_key, fetch->transfer_key,
                       nullptr, nullptr, fetch->request_key};
    OperationParameters parameters{};
    parameters.param_size = TRANSFER_DATA_PARAM_SIZE;
    parameters.transfer_data = {0, 0, first.data(), 0, 4096};
    EXPECT_EQ(p().execute(&info, &parameters), S_OK);
    parameters.transfer_data = {0, 0, rest.data(), 4096, 904};
    EXPECT_EQ(p().execute(&info, &parameters), S_OK);
    worker.join();
    EXPECT_EQ(hydrated, S_OK);

    const json::object hydrate = calls("CfHydratePlaceholder").front();
    EXPECT_TRUE(ends_with(hydrate.at("handlePath"), file));
    EXPECT_EQ(hydrate.at("offset").as_int64(), 0);
    EXPECT_EQ(hydrate.at("length").as_int64(), -1);
    EXPECT_EQ(hydrate.at("flags").as_int64(), 0);
    EXPECT_FALSE(hydrate.at("overlapped").as_bool());
    const std::vector<json::object> executes = calls("CfExecute");
    ASSERT_EQ(executes.size(), 2u);
    EXPECT_EQ(json::serialize(executes[0].at("info")),
              R"({"structSize":48,"type":0,"connectionKey":)" + std::to_string(key) + R"(,"transferKey":)" +
                  std::to_string(fetch->transfer_key) + R"(,"correlationVectorNull":true,"syncStatusNull":true,)" +
                  R"("requestKey":)" + std::to_string(fetch->request_key) + "}");
    const json::object& second = executes[1].at("params").as_object();
    EXPECT_EQ(second.at("paramSize").as_int64(), 40);
    EXPECT_EQ(second.at("flags").as_int64(), 0);
    EXPECT_EQ(second.at("completionStatus").as_int64(), 0);
    EXPECT_EQ(second.at("offset").as_int64(), 4096);
    EXPECT_EQ(second.at("length").as_int64(), 904);
    std::string expected_hex;
    for (int i = 0; i < 904; ++i) expected_hex += "62";
    EXPECT_EQ(second.at("dataHex").as_string(), expected_hex);
}

TEST_F(CloudFiles, AFailedTransferFailsTheHydration) {
    connect();
    const Handle h = open(make_file(L"fails.bin", 100));
    Hresult hydrated = 1;
    std::thread worker([&] { hydrated = p().hydrate_placeholder(h, 0, -1, 0); });
    const std::optional<Notification> fetch = wait_for_notification(1);
    ASSERT_TRUE(fetch.has_value());
    OperationInfo info{OPERATION_INFO_SIZE, OPERATION_TYPE_TRANSFER_DATA, fetch->connection_key, fetch->transfer_key,
                       nullptr, nullptr, fetch->request_key};
    OperationParameters parameters{};
    parameters.param_size = TRANSFER_DATA_PARAM_SIZE;
    parameters.transfer_data = {0, STATUS_NOT_A_CLOUD_FILE_CODE, nullptr, fetch->offset, fetch->length};
    EXPECT_EQ(p().execute(&info, &parameters), S_OK);
    worker.join();
    EXPECT_EQ(hydrated, hr(0x80070178));
    const json::object params = calls("CfExecute").front().at("params").as_object();
    EXPECT_EQ(params.at("completionStatus").as_int64(), 0xC000CF07);
    EXPECT_TRUE(params.at("bufferNull").as_bool());
    EXPECT_EQ(params.at("length").as_int64(), 100);

    // A transfer for a request the platform does not know is refused.
    EXPECT_EQ(p().execute(&info, &parameters), hr(0x8007017C));
}

TEST_F(CloudFiles, OpenCompletionAndCancellationWithoutProcessInformation) {
    script(R"({"hydrate":{"mode":"cancel","openCompletion":true,"process":null}})");
    connect();
    const Handle h = open(make_file(L"gone.bin", 10));
    EXPECT_EQ(p().hydrate_placeholder(h, 0, -1, 0), hr(0x8007018E));
    const std::optional<Notification> cancel = wait_for_notification(3);
    ASSERT_TRUE(cancel.has_value());
    std::lock_guard<std::mutex> lock(SEEN_MUTEX);
    ASSERT_EQ(SEEN.size(), 3u);
    EXPECT_EQ(SEEN[0].type, 5u);
    EXPECT_FALSE(SEEN[0].has_process);
    EXPECT_EQ(SEEN[1].type, 0u);
    EXPECT_FALSE(SEEN[1].has_process);
    EXPECT_EQ(SEEN[2].type, 2u);
    EXPECT_EQ(SEEN[2].transfer_key, SEEN[1].transfer_key);
    EXPECT_EQ(SEEN[2].offset, 0) << "the cancelled range is not handed to the core";
    EXPECT_EQ(SEEN[2].length, 0);
}

TEST_F(CloudFiles, AFailureIsNeverDescribedByAnErrorObjectAnEarlierCallLeft) {
    constexpr Hresult DENIED = hr(0x80070005);
    script(R"({"results":{"CfConnectSyncRoot":["0x80070005"],"CfDisconnectSyncRoot":["0x80070005"],)"
           R"("CfCreatePlaceholders":["0x80070005"],"CfSetPinState":["0x80070005"],)"
           R"("CfDehydratePlaceholder":["0x80070005"],"CfGetPlaceholderInfo":["0x80070005"],)"
           R"("CfOpenFileWithOplock":["0x80070005"],"CfConvertToPlaceholder":["0x80070005"],)"
           R"("CfUpdatePlaceholder":["0x80070005"],"CfExecute":["0x80070005"],"CfHydratePlaceholder":["0x80070005"]}})");
    const std::wstring file = make_file(L"stale.bin", 10);
    const Handle h = open(file);
    ConnectionKey key = 0;
    PlaceholderCreateInfo record{};
    unsigned char buffer[PLACEHOLDER_INFO_BUFFER_SIZE] = {};
    Handle protected_handle = 0;
    const OperationInfo info{OPERATION_INFO_SIZE, OPERATION_TYPE_TRANSFER_DATA, 1, 2, nullptr, nullptr, 3};
    OperationParameters parameters{};
    const std::pair<const char*, std::function<Hresult()>> operations[] = {
        {"connect", [&] { return p().connect_sync_root(u16(directory_).c_str(), CORE_TABLE, nullptr, 6, &key); }},
        {"disconnect", [&] { return p().disconnect_sync_root(1); }},
        {"create", [&] { return p().create_placeholders(u16(directory_).c_str(), &record, 1, 0, nullptr); }},
        {"pin", [&] { return p().set_pin_state(h, 1, 0); }},
        {"dehydrate", [&] { return p().dehydrate_placeholder(h, 0, -1, 0); }},
        {"query", [&] { return p().get_placeholder_info(h, 0, buffer, sizeof buffer, nullptr); }},
        {"oplock", [&] { return p().open_file_with_oplock(u16(file).c_str(), 3, &protected_handle); }},
        {"convert", [&] { return p().convert_to_placeholder(h, "x", 1, 1, nullptr); }},
        {"update", [&] { return p().update_placeholder(h, nullptr, "x", 1, nullptr, 0, 2, nullptr); }},
        {"execute", [&] { return p().execute(&info, &parameters); }},
        {"hydrate", [&] { return p().hydrate_placeholder(h, 0, -1, 0); }},
    };
    for (const auto& [name, call] : operations) {
        SCOPED_TRACE(name);
        testing::FakeErrorInfo::Texts texts;
        texts.description = L"stale";
        auto* stale = new testing::FakeErrorInfo(texts);
        SetErrorInfo(0, stale);
        stale->Release();
        ASSERT_EQ(call(), DENIED);
        // What the core renders: the system's text for the code, not the stale description.
        const std::string text = error_message_text(error_from_hresult(DENIED));
        EXPECT_EQ(text.find("stale"), std::string::npos) << text;
        EXPECT_TRUE(text.ends_with("(0x80070005)")) << text;
    }
    EXPECT_EQ(calls().size(), 11u);
}

TEST_F(CloudFiles, HydrationWithoutAConnectedProviderFails) {
    const ConnectionKey key = connect();
    ASSERT_EQ(p().disconnect_sync_root(key), S_OK);
    const Handle h = open(make_file(L"lonely.bin", 10));
    EXPECT_EQ(p().hydrate_placeholder(h, 0, -1, 0), hr(0x8007016A));
}

}  // namespace
}  // namespace zcf::windows
