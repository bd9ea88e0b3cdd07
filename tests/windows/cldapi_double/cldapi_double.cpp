// A stand-in for the system's cldapi.dll, for tests under Wine only (Wine has no Cloud Files API).
// It exports the Cloud Files functions the program uses under their real names, records every call
// with its decoded arguments as one JSON line, answers with scripted results, and plays the filter's
// part of a hydration: CfHydratePlaceholder calls the registered FETCH_DATA callback on a thread of
// its own and waits for the CfExecute TRANSFER_DATA operations that complete the range. Like the
// platform, it refuses data that is empty, reaches outside the file, starts off a 4 KiB boundary or
// is not whole 4 KiB pages short of the end of the file (ERROR_CLOUD_FILE_INVALID_REQUEST).
//
// Structures are decoded and built by their documented x64 byte offsets, independently of the
// program's own declarations, so that a layout mistake on either side shows up in the records.
//
// Environment:
//   ZCF_CLDAPI_LOG     file that receives the JSON lines (appended; one object per call)
//   ZCF_CLDAPI_SCRIPT  the script: inline JSON (starting with "{") or the path of a JSON file
//
// Script members (all optional):
//   "results":          {"<function>": [hr, ...]}  results of successive calls, the last repeating;
//                       an hr is a number or a "0x..." text. A failure is returned before any effect.
//   "createResults":    [hr, ...]  Result written into successive CfCreatePlaceholders records (0 after)
//   "connectionKey":    first connection key handed out (default 1001), then one more per connect
//   "placeholderInfo":  {"pinState", "inSyncState", "fileId", "syncRootFileId", "identityHex"}
//   "hydrate":          {"mode": "fetch" | "cancel", "openCompletion": bool, "fileSize", "offset",
//                        "length", "identityHex", "path", "process": {"pid", "image"} or null,
//                        "timeoutMs" (default 20000), "failureResult"}
//   "usns":             {"<function>": [usn, ...]}  the USN written back by successive successful calls
//                       of CfUpdatePlaceholder and CfSetInSyncState, the last repeating (default: one
//                       counter from 0x30000 for both, one more per call)
//   "transferResults":  [hr, ...]  Result written into successive TRANSFER_PLACEHOLDERS records (0 after)
//
// Plays: what a program does to the sync root that makes the platform call the provider back, one
// per line of the file named by ZCF_CLDAPI_CONTROL (read from the first connect on), each on a
// thread of its own. Each logs {"fn":"play.end","op","id","called","result",...} when it has ended.
//   {"op":"list","path":VOLUME-RELATIVE FOLDER,"pattern":"*"}   a program lists a folder. Only a folder
//       that is not filled (created without DISABLE_ON_DEMAND_POPULATION by CfCreatePlaceholders or
//       by an earlier TRANSFER_PLACEHOLDERS) calls FETCH_PLACEHOLDERS; the listing waits until the
//       transferred placeholders reach PlaceholderTotalCount, or a failure status ends it. A
//       transfer with DISABLE_ON_DEMAND_POPULATION marks the folder filled.
//   {"op":"delete","path":...,"folder":bool,"undelete":bool}   a program deletes a placeholder: with
//       NOTIFY_DELETE registered, it waits for ACK_DELETE, and the file ("volume", default "Z:",
//       before the path) is deleted when it is allowed; without, it is deleted at once.
//   {"op":"rename","path":...,"target":...,"folder":bool,"targetInRoot":bool}   the same for a
//       rename with NOTIFY_RENAME and ACK_RENAME (the file is moved when it is allowed).
//   Every play: "id" (echoed), "timeoutMs" (default 20000; the platform's 60 s), "identityHex",
//   "cancelAfterMs" (a listing only: CANCEL_FETCH_PLACEHOLDERS with IO_ABORTED after that long).
//   A play that times out ends with ERROR_CLOUD_FILE_REQUEST_TIMEOUT; a listing that does also
//   gets CANCEL_FETCH_PLACEHOLDERS with IO_TIMEOUT, a cancelled one ends with
//   ERROR_CLOUD_FILE_REQUEST_CANCELED; a refusal ends with the Win32 code of its status.
//
// CfReportProviderProgress on the transfer of a CfHydratePlaceholder that is waiting restarts its
// time-out, as the platform restarts the 60-second timer of a fetch.
#include <windows.h>

#include <boost/json/src.hpp>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <cwctype>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace json = boost::json;

namespace {

// ---- Raw structure access by offset -----------------------------------------------------------

template <typename T>
T read_at(const void* base, std::size_t offset) {
    T value;
    std::memcpy(&value, static_cast<const char*>(base) + offset, sizeof value);
    return value;
}
template <typename T>
void write_at(void* base, std::size_t offset, T value) {
    std::memcpy(static_cast<char*>(base) + offset, &value, sizeof value);
}

// ---- Text helpers -----------------------------------------------------------------------------

std::string utf8(const wchar_t* text, int length = -1) {
    if (text == nullptr) return {};
    if (length < 0) length = static_cast<int>(wcslen(text));
    if (length == 0) return {};
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, length, out.data(), size, nullptr, nullptr);
    return out;
}

std::wstring wide(const std::string& text) {
    if (text.empty()) return {};
    const int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size);
    return out;
}

json::value text_or_null(const wchar_t* text) {
    if (text == nullptr) return nullptr;
    return json::value(utf8(text));
}

std::string hex(const void* data, std::size_t length) {
    static const char DIGITS[] = "0123456789abcdef";
    std::string out;
    if (data == nullptr) return out;
    const auto* bytes = static_cast<const unsigned char*>(data);
    for (std::size_t i = 0; i < length; ++i) {
        out += DIGITS[bytes[i] >> 4];
        out += DIGITS[bytes[i] & 15];
    }
    return out;
}

std::vector<unsigned char> unhex(const std::string& text) {
    std::vector<unsigned char> out;
    auto digit = [](char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; };
    for (std::size_t i = 0; i + 1 < text.size(); i += 2)
        out.push_back(static_cast<unsigned char>(digit(text[i]) * 16 + digit(text[i + 1])));
    return out;
}

std::string env(const wchar_t* name) {
    wchar_t buffer[32768];
    const DWORD length = GetEnvironmentVariableW(name, buffer, 32768);
    if (length == 0 || length >= 32768) return {};
    return utf8(buffer, static_cast<int>(length));
}

// The path of an open handle, without the "\\?\" prefix (null when it has none).
json::value handle_path(HANDLE handle, DWORD flags = VOLUME_NAME_DOS) {
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return nullptr;
    wchar_t buffer[32768];
    const DWORD length = GetFinalPathNameByHandleW(handle, buffer, 32768, flags);
    if (length == 0 || length >= 32768) return nullptr;
    std::wstring path(buffer, length);
    if (path.rfind(L"\\\\?\\", 0) == 0) path.erase(0, 4);
    return json::value(utf8(path.c_str()));
}

std::int64_t integer(const json::value& value, std::int64_t fallback) {
    if (value.is_int64()) return value.as_int64();
    if (value.is_uint64()) return static_cast<std::int64_t>(value.as_uint64());
    if (value.is_string()) return static_cast<std::int64_t>(std::stoull(std::string(value.as_string()), nullptr, 0));
    return fallback;
}

// ---- Log and script ---------------------------------------------------------------------------

std::mutex LOG_MUTEX;

void log_line(const json::object& record) {
    const std::string path = env(L"ZCF_CLDAPI_LOG");
    if (path.empty()) return;
    const std::string line = json::serialize(record) + "\n";
    std::lock_guard<std::mutex> lock(LOG_MUTEX);
    const HANDLE file = CreateFileW(wide(path).c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    CloseHandle(file);
}

std::mutex STATE_MUTEX;  // guards the script and all state below

struct Script {
    json::object root;
    std::map<std::string, std::size_t> calls;  // calls so far, per function
    std::size_t create_records = 0;
    std::size_t transfer_records = 0;
};

// The current script. It is read again whenever ZCF_CLDAPI_SCRIPT changes (which restarts the
// call counts), so one process can run several scripted cases. Caller holds STATE_MUTEX.
Script& script_locked() {
    static Script* SCRIPT = new Script();
    static std::string* SOURCE = new std::string();
    std::string source = env(L"ZCF_CLDAPI_SCRIPT");
    if (source == *SOURCE) return *SCRIPT;
    *SOURCE = source;
    auto* loaded = new Script();
    std::string text = source;
    if (!text.empty() && text[0] != '{') {
        const HANDLE file =
            CreateFileW(wide(text).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        text.clear();
        if (file != INVALID_HANDLE_VALUE) {
            char buffer[4096];
            DWORD got = 0;
            while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) text.append(buffer, got);
            CloseHandle(file);
        }
    }
    if (!text.empty()) {
        json::error_code error;
        json::value parsed = json::parse(text, error);
        if (!error && parsed.is_object()) loaded->root = parsed.as_object();
    }
    delete SCRIPT;
    SCRIPT = loaded;
    return *SCRIPT;
}

const json::value* script_member(const char* group, const char* name) {
    const json::value* section = script_locked().root.if_contains(group);
    if (section == nullptr || !section->is_object()) return nullptr;
    return section->as_object().if_contains(name);
}

// The scripted result of this call of `function` (0 when none is scripted). Caller holds STATE_MUTEX.
HRESULT next_result(const char* function) {
    const std::size_t call = script_locked().calls[function]++;
    const json::value* list = script_member("results", function);
    if (list == nullptr || !list->is_array() || list->as_array().empty()) return S_OK;
    const json::array& results = list->as_array();
    const json::value& chosen = results[call < results.size() ? call : results.size() - 1];
    return static_cast<HRESULT>(static_cast<std::uint32_t>(integer(chosen, 0)));
}

HRESULT scripted(const char* function) {
    std::lock_guard<std::mutex> lock(STATE_MUTEX);
    return next_result(function);
}

// The USN a successful call of `function` writes back. Caller holds STATE_MUTEX.
std::int64_t next_usn(const char* function) {
    static std::int64_t COUNTER = 0x30000;
    const std::size_t call = script_locked().calls[std::string(function) + ".usn"]++;
    const json::value* list = script_member("usns", function);
    if (list == nullptr || !list->is_array() || list->as_array().empty()) return COUNTER++;
    const json::array& usns = list->as_array();
    return integer(usns[call < usns.size() ? call : usns.size() - 1], 0);
}

// ---- Connection, protected handles and transfers ---------------------------------------------

using Callback = void(CALLBACK*)(const void* info, const void* parameters);

struct Connection {
    std::int64_t key = 0;
    const void* context = nullptr;
    std::map<std::uint32_t, Callback> callbacks;
};
std::unique_ptr<Connection> CONNECTION;  // the latest successful connect
std::int64_t NEXT_CONNECTION_KEY = 0;

struct Protected {
    HANDLE file = INVALID_HANDLE_VALUE;
    int references = 0;
};
std::map<std::uintptr_t, Protected> PROTECTED;
std::uintptr_t NEXT_PROTECTED = 0x7A000010;

struct Transfer {
    std::int64_t connection_key = 0;
    std::int64_t transfer_key = 0;
    std::int64_t request_key = 0;
    std::int64_t file_size = 0;
    std::int64_t required_offset = 0;
    std::int64_t required_end = 0;
    std::int64_t covered_end = 0;
    std::int32_t status = 0;
    bool done = false;
    ULONGLONG progressed_at = 0;  // GetTickCount64 of the last progress report
    HANDLE event = nullptr;
};
std::map<std::int64_t, std::shared_ptr<Transfer>> TRANSFERS;  // by transfer key
std::int64_t NEXT_TRANSFER_KEY = 2001;
std::int64_t NEXT_REQUEST_KEY = 3001;

// Whether the platform takes data at `offset`/`length` for `transfer`: something, inside the file,
// from a 4 KiB boundary, in whole 4 KiB pages unless it ends at the end of the file.
bool transferable(const Transfer& transfer, std::int64_t offset, std::int64_t length) {
    constexpr std::int64_t PAGE = 4096;
    if (length <= 0 || offset < 0 || offset > transfer.file_size || length > transfer.file_size - offset) return false;
    return offset % PAGE == 0 && (length % PAGE == 0 || offset + length == transfer.file_size);
}

json::object record(const char* function) {
    json::object out;
    out["fn"] = function;
    return out;
}

// Win32 codes for the cloud NTSTATUS range 0xC000CF00.. (the status's low byte as index).
DWORD win32_from_cloud_status(std::int32_t status) {
    static const DWORD CODES[] = {358, 362, 363, 364, 0, 0, 375, 376, 377, 378, 379, 380, 381, 382, 383, 386,
                                  387, 388, 389, 390, 391, 392, 393, 394, 395, 396, 397, 398, 0, 404, 405, 426};
    const auto value = static_cast<std::uint32_t>(status);
    if ((value & 0xFFFFFF00u) == 0xC000CF00u && (value & 0xFF) < 32 && CODES[value & 0xFF] != 0)
        return CODES[value & 0xFF];
    return 389;  // ERROR_CLOUD_FILE_UNSUCCESSFUL
}

// ---- Callback delivery ------------------------------------------------------------------------

// What one hydration's callbacks receive: the raw CF_CALLBACK_INFO and its strings.
struct Delivery {
    unsigned char info[152] = {};
    unsigned char parameters[64] = {};
    unsigned char process[48] = {};
    std::wstring normalized_path;
    std::wstring image_path;
    std::wstring volume_dos_name = L"Z:";
    std::wstring command_line = L"reader.exe";
    std::vector<unsigned char> identity;
    Callback fetch = nullptr;
    Callback cancel = nullptr;
    Callback open_completion = nullptr;
    bool send_open_completion = false;
    bool cancel_after_fetch = false;
};

void call_with_parameters(Delivery& delivery, Callback callback, std::uint32_t type, const unsigned char* parameters) {
    json::object entry = record("callback");
    entry["type"] = type;
    entry["registered"] = callback != nullptr;
    log_line(entry);
    if (callback != nullptr) callback(delivery.info, parameters);
}

DWORD WINAPI deliver(void* argument) {
    auto& delivery = *static_cast<Delivery*>(argument);
    if (delivery.send_open_completion) {
        unsigned char open_parameters[64] = {};
        write_at<std::uint32_t>(open_parameters, 0, 16);
        call_with_parameters(delivery, delivery.open_completion, 5, open_parameters);
    }
    call_with_parameters(delivery, delivery.fetch, 0, delivery.parameters);
    if (delivery.cancel_after_fetch) {
        unsigned char cancel_parameters[64] = {};
        write_at<std::uint32_t>(cancel_parameters, 0, 32);
        write_at<std::uint32_t>(cancel_parameters, 8, 0x2);  // CF_CALLBACK_CANCEL_FLAG_IO_ABORTED
        std::memcpy(cancel_parameters + 16, delivery.parameters + 16, 16);
        call_with_parameters(delivery, delivery.cancel, 2, cancel_parameters);
    }
    return 0;
}


// ---- Folders on demand, confirmed deletes and renames ----------------------------------------

// The folders that are not filled, by volume-relative path in lower case.
std::set<std::wstring> UNPOPULATED;

std::wstring folded(std::wstring path) {
    for (wchar_t& c : path) c = static_cast<wchar_t>(std::towlower(c));
    while (path.size() > 1 && path.back() == L'\\') path.pop_back();
    return path;
}

// A path as the platform names files in callbacks: from the volume root, without "\\?\" and drive.
std::wstring volume_relative(std::wstring path) {
    if (path.rfind(L"\\\\?\\", 0) == 0) path.erase(0, 4);
    if (path.size() >= 2 && path[1] == L':') path.erase(0, 2);
    return path;
}

// One played operation that waits for the provider: a listing, a delete or a rename.
struct Wait {
    std::uint32_t ack_type = 0;  // the CfExecute operation that answers it: 4, 6 or 7
    std::int64_t connection_key = 0;
    std::int64_t transfer_key = 0;
    std::int64_t request_key = 0;
    std::wstring folder;  // a listing's folder (as its callback named it)
    std::int64_t total = -1;  // a listing: PlaceholderTotalCount of the first transfer
    std::int64_t transferred = 0;
    std::int32_t status = 0;
    bool done = false;
    json::array entries;  // a listing: the names transferred
    HANDLE event = nullptr;
};
std::map<std::int64_t, std::shared_ptr<Wait>> WAITS;  // by transfer key

// The raw CF_CALLBACK_INFO and CF_CALLBACK_PARAMETERS of one played callback, with their strings.
struct Callout {
    unsigned char info[152] = {};
    unsigned char parameters[64] = {};
    unsigned char process[48] = {};
    std::wstring normalized_path;
    std::wstring second_path;  // the pattern or the rename target
    std::wstring image_path = L"\\Device\\HarddiskVolume3\\Apps\\explorer.exe";
    std::wstring volume_dos_name = L"Z:";
    std::vector<unsigned char> identity;

    void fill(const Connection& connection, const Wait& wait) {
        unsigned char* i = info;
        write_at<std::uint32_t>(i, 0, 152);
        write_at<std::int64_t>(i, 8, connection.key);
        write_at<const void*>(i, 16, connection.context);
        write_at<const wchar_t*>(i, 24, L"\\\\?\\Volume{00000000-0000-0000-0000-000000000000}\\");
        write_at<const wchar_t*>(i, 32, volume_dos_name.c_str());
        write_at<std::int64_t>(i, 72, 78);
        write_at<const void*>(i, 88, identity.empty() ? nullptr : identity.data());
        write_at<std::uint32_t>(i, 96, static_cast<std::uint32_t>(identity.size()));
        write_at<const wchar_t*>(i, 104, normalized_path.c_str());
        write_at<std::int64_t>(i, 112, wait.transfer_key);
        write_at<std::uint32_t>(process, 0, 48);
        write_at<std::uint32_t>(process, 4, 5150);
        write_at<const wchar_t*>(process, 8, image_path.c_str());
        write_at<const void*>(i, 136, process);
        write_at<std::int64_t>(i, 144, wait.request_key);
        write_at<std::uint32_t>(parameters, 0, 64);
    }
};

Callback registered(std::uint32_t type) {
    if (!CONNECTION) return nullptr;
    const auto found = CONNECTION->callbacks.find(type);
    return found != CONNECTION->callbacks.end() ? found->second : nullptr;
}

void call_back(Callout& callout, Callback callback, std::uint32_t type) {
    json::object entry = record("callback");
    entry["type"] = type;
    entry["registered"] = callback != nullptr;
    log_line(entry);
    if (callback != nullptr) callback(callout.info, callout.parameters);
}

bool flag(const json::object& play, const char* name) {
    const json::value* value = play.if_contains(name);
    return value != nullptr && value->is_bool() && value->as_bool();
}
std::string text(const json::object& play, const char* name) {
    const json::value* value = play.if_contains(name);
    return value != nullptr && value->is_string() ? std::string(value->as_string()) : std::string();
}
std::int64_t number(const json::object& play, const char* name, std::int64_t fallback) {
    const json::value* value = play.if_contains(name);
    return value != nullptr ? integer(*value, fallback) : fallback;
}

// Waits for the provider's answer to `wait`; false when `timeout` ran out first (or, with
// `cancel_after` below it, when that ran out: *cancelled is then set).
bool await_answer(const Wait& wait, DWORD timeout, DWORD cancel_after, bool* cancelled) {
    const DWORD limit = cancel_after != 0 && cancel_after < timeout ? cancel_after : timeout;
    const DWORD waited = WaitForSingleObject(wait.event, limit);
    *cancelled = waited == WAIT_TIMEOUT && limit == cancel_after && cancel_after != 0;
    return waited == WAIT_OBJECT_0;
}

HRESULT play(const json::object& op) {
    const std::string kind = text(op, "op");
    json::object end = record("play.end");
    end["op"] = kind;
    end["id"] = op.contains("id") ? op.at("id") : json::value(nullptr);
    const DWORD timeout = static_cast<DWORD>(number(op, "timeoutMs", 20000));
    const DWORD cancel_after = static_cast<DWORD>(number(op, "cancelAfterMs", 0));

    auto callout = std::make_unique<Callout>();
    auto wait = std::make_shared<Wait>();
    callout->normalized_path = wide(text(op, "path"));
    callout->identity = unhex(text(op, "identityHex"));
    std::uint32_t type = 0;
    Callback callback = nullptr;
    HRESULT hr = S_OK;
    {
        std::lock_guard<std::mutex> lock(STATE_MUTEX);
        if (!CONNECTION) {
            hr = HRESULT_FROM_WIN32(362);  // ERROR_CLOUD_FILE_PROVIDER_NOT_RUNNING
        } else if (kind == "list") {
            type = 3;
            wait->ack_type = 4;
            wait->folder = callout->normalized_path;
            callout->second_path = op.contains("pattern") ? wide(text(op, "pattern")) : std::wstring(L"*");
            // A filled folder is listed from the disk: the provider hears nothing.
            if (UNPOPULATED.count(folded(callout->normalized_path)) != 0) callback = registered(type);
            else type = 0;
        } else if (kind == "delete") {
            type = 9;
            wait->ack_type = 6;
            callback = registered(type);
            write_at<std::uint32_t>(callout->parameters, 8,
                                    (flag(op, "folder") ? 0x1u : 0u) | (flag(op, "undelete") ? 0x2u : 0u));
        } else if (kind == "rename") {
            type = 11;
            wait->ack_type = 7;
            callback = registered(type);
            callout->second_path = wide(text(op, "target"));
            const bool in_root = !op.contains("targetInRoot") || flag(op, "targetInRoot");
            write_at<std::uint32_t>(callout->parameters, 8,
                                    (flag(op, "folder") ? 0x1u : 0u) | 0x2u | (in_root ? 0x4u : 0u));
        } else {
            hr = E_INVALIDARG;
        }
        if (SUCCEEDED(hr) && callback != nullptr) {
            wait->connection_key = CONNECTION->key;
            wait->transfer_key = NEXT_TRANSFER_KEY++;
            wait->request_key = NEXT_REQUEST_KEY++;
            wait->event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
            callout->fill(*CONNECTION, *wait);
            if (type == 3 || type == 11) write_at<const wchar_t*>(callout->parameters, 16, callout->second_path.c_str());
            WAITS[wait->transfer_key] = wait;
        }
    }
    end["called"] = callback != nullptr;
    bool allowed = SUCCEEDED(hr);
    if (SUCCEEDED(hr) && callback != nullptr) {
        end["transferKey"] = wait->transfer_key;
        end["requestKey"] = wait->request_key;
        // Callbacks come on a thread of the platform's, never the caller's own.
        std::thread([&] { call_back(*callout, callback, type); }).join();
        bool cancelled = false;
        const bool answered = await_answer(*wait, timeout, type == 3 ? cancel_after : 0, &cancelled);
        Callback cancel = nullptr;
        {
            std::lock_guard<std::mutex> lock(STATE_MUTEX);
            WAITS.erase(wait->transfer_key);
            if (!answered) hr = HRESULT_FROM_WIN32(cancelled ? 398 : 426);  // REQUEST_CANCELED, REQUEST_TIMEOUT
            else if (wait->status != 0) hr = HRESULT_FROM_WIN32(win32_from_cloud_status(wait->status));
            allowed = answered && wait->status == 0;
            if (type == 3) {
                end["entries"] = wait->entries;
                if (!answered) cancel = registered(4);
            }
        }
        CloseHandle(wait->event);
        if (type == 3 && !answered) {
            // The platform gives up on a listing and says so, as it does for a fetch.
            std::memset(callout->parameters, 0, sizeof callout->parameters);
            write_at<std::uint32_t>(callout->parameters, 0, 32);
            write_at<std::uint32_t>(callout->parameters, 8, cancelled ? 0x2u : 0x1u);  // IO_ABORTED, IO_TIMEOUT
            call_back(*callout, cancel, 4);
        }
    }
    // An allowed delete or rename happens, on the drive "volume" names (Wine's Z: by default).
    if (allowed && (kind == "delete" || kind == "rename") && !flag(op, "undelete")) {
        const std::wstring volume = op.contains("volume") ? wide(text(op, "volume")) : std::wstring(L"Z:");
        const std::wstring from = volume + callout->normalized_path;
        BOOL done;
        if (kind == "delete")
            done = flag(op, "folder") ? RemoveDirectoryW(from.c_str()) : DeleteFileW(from.c_str());
        else
            done = MoveFileExW(from.c_str(), (volume + callout->second_path).c_str(), 0);
        if (!done) hr = HRESULT_FROM_WIN32(GetLastError());
    }
    end["result"] = hr;
    log_line(end);
    return hr;
}

// The control file of the plays, read from its start by a thread that runs from the first connect on.
DWORD WINAPI read_plays(void*) {
    const std::string path = env(L"ZCF_CLDAPI_CONTROL");
    std::uint64_t offset = 0;
    std::string partial;
    for (;;) {
        const HANDLE file = CreateFileW(wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, 0, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            LARGE_INTEGER at;
            at.QuadPart = static_cast<LONGLONG>(offset);
            SetFilePointerEx(file, at, nullptr, FILE_BEGIN);
            char buffer[4096];
            DWORD got = 0;
            while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) {
                offset += got;
                partial.append(buffer, got);
            }
            CloseHandle(file);
        }
        for (std::size_t newline; (newline = partial.find('\n')) != std::string::npos;) {
            const std::string line = partial.substr(0, newline);
            partial.erase(0, newline + 1);
            json::error_code error;
            json::value parsed = json::parse(line, error);
            if (error || !parsed.is_object()) continue;
            std::thread([op = parsed.as_object()] { play(op); }).detach();
        }
        Sleep(20);
    }
}

void start_reading_plays() {
    static std::once_flag ONCE;
    if (env(L"ZCF_CLDAPI_CONTROL").empty()) return;
    std::call_once(ONCE, [] {
        const HANDLE thread = CreateThread(nullptr, 0, read_plays, nullptr, 0, nullptr);
        if (thread != nullptr) CloseHandle(thread);
    });
}

}  // namespace

// ---- Exports ----------------------------------------------------------------------------------

#define CF_EXPORT extern "C" __declspec(dllexport)

CF_EXPORT HRESULT WINAPI CfConnectSyncRoot(LPCWSTR path, const void* table, LPCVOID context, DWORD flags,
                                           std::int64_t* key) {
    json::object entry = record("CfConnectSyncRoot");
    entry["path"] = text_or_null(path);
    json::array entries;
    std::map<std::uint32_t, Callback> callbacks;
    for (std::size_t i = 0; table != nullptr && i < 64; ++i) {
        const auto type = read_at<std::uint32_t>(table, i * 16);
        const auto callback = read_at<Callback>(table, i * 16 + 8);
        entries.push_back(json::object{{"type", type}, {"callback", callback != nullptr}});
        if (type == 0xFFFFFFFFu) break;
        callbacks[type] = callback;
    }
    entry["table"] = table != nullptr ? json::value(std::move(entries)) : json::value(nullptr);
    entry["context"] = context != nullptr ? json::value(reinterpret_cast<std::uintptr_t>(context)) : json::value(nullptr);
    entry["flags"] = flags;
    entry["keyIn"] = key != nullptr ? json::value(*key) : json::value(nullptr);

    HRESULT hr;
    {
        std::lock_guard<std::mutex> lock(STATE_MUTEX);
        hr = next_result("CfConnectSyncRoot");
        if (SUCCEEDED(hr) && key == nullptr) hr = E_POINTER;
        if (SUCCEEDED(hr)) {
            if (NEXT_CONNECTION_KEY == 0) {
                const json::value* first = script_locked().root.if_contains("connectionKey");
                NEXT_CONNECTION_KEY = first != nullptr ? integer(*first, 1001) : 1001;
            }
            auto connection = std::make_unique<Connection>();
            connection->key = NEXT_CONNECTION_KEY++;
            connection->context = context;
            connection->callbacks = std::move(callbacks);
            *key = connection->key;
            entry["key"] = connection->key;
            CONNECTION = std::move(connection);
        }
    }
    entry["result"] = hr;
    log_line(entry);
    if (SUCCEEDED(hr)) start_reading_plays();
    return hr;
}

CF_EXPORT HRESULT WINAPI CfDisconnectSyncRoot(std::int64_t key) {
    json::object entry = record("CfDisconnectSyncRoot");
    entry["key"] = key;
    HRESULT hr;
    {
        std::lock_guard<std::mutex> lock(STATE_MUTEX);
        hr = next_result("CfDisconnectSyncRoot");
        if (SUCCEEDED(hr) && CONNECTION && CONNECTION->key == key) CONNECTION.reset();
    }
    entry["result"] = hr;
    log_line(entry);
    return hr;
}

CF_EXPORT HRESULT WINAPI CfCreatePlaceholders(LPCWSTR base, void* records, DWORD count, DWORD flags,
                                              PDWORD entries_processed) {
    json::object entry = record("CfCreatePlaceholders");
    entry["base"] = text_or_null(base);
    entry["count"] = count;
    entry["flags"] = flags;
    entry["entriesProcessedPointer"] = entries_processed != nullptr;
    entry["entriesProcessedIn"] = entries_processed != nullptr ? json::value(*entries_processed) : json::value(nullptr);
    json::array decoded;
    for (DWORD i = 0; i < count && records != nullptr; ++i) {
        const void* r = static_cast<const char*>(records) + i * 88;
        const auto* identity = read_at<const void*>(r, 56);
        const auto identity_length = read_at<std::uint32_t>(r, 64);
        decoded.push_back(json::object{
            {"name", text_or_null(read_at<const wchar_t*>(r, 0))},
            {"creationTime", read_at<std::int64_t>(r, 8)},
            {"lastAccessTime", read_at<std::int64_t>(r, 16)},
            {"lastWriteTime", read_at<std::int64_t>(r, 24)},
            {"changeTime", read_at<std::int64_t>(r, 32)},
            {"attributes", read_at<std::uint32_t>(r, 40)},
            {"fileSize", read_at<std::int64_t>(r, 48)},
            {"identityNull", identity == nullptr},
            {"identityHex", hex(identity, identity_length)},
            {"identityLength", identity_length},
            {"flags", read_at<std::uint32_t>(r, 68)},
            {"resultIn", read_at<std::int32_t>(r, 72)},
            {"createUsnIn", read_at<std::int64_t>(r, 80)},
        });
    }
    entry["records"] = std::move(decoded);

    HRESULT hr;
    json::array results;
    {
        std::lock_guard<std::mutex> lock(STATE_MUTEX);
        hr = next_result("CfCreatePlaceholders");
        if (SUCCEEDED(hr)) {
            const json::value* scripted_results = script_locked().root.if_contains("createResults");
            for (DWORD i = 0; i < count && records != nullptr; ++i) {
                const std::size_t index = script_locked().create_records++;
                HRESULT result = S_OK;
                if (scripted_results != nullptr && scripted_results->is_array() &&
                    index < scripted_results->as_array().size())
                    result = static_cast<HRESULT>(static_cast<std::uint32_t>(integer(scripted_results->as_array()[index], 0)));
                void* r = static_cast<char*>(records) + i * 88;
                write_at<std::int32_t>(r, 72, result);
                write_at<std::int64_t>(r, 80, result >= 0 ? 0x10000 + static_cast<std::int64_t>(index) : 0);
                results.push_back(result);
                // A folder created without DISABLE_ON_DEMAND_POPULATION asks for its children when listed.
                const auto* name = read_at<const wchar_t*>(r, 0);
                if (result >= 0 && (read_at<std::uint32_t>(r, 40) & FILE_ATTRIBUTE_DIRECTORY) != 0 && name != nullptr &&
                    base != nullptr && (read_at<std::uint32_t>(r, 68) & 0x1) == 0)
                    UNPOPULATED.insert(folded(volume_relative(std::wstring(base) + L"\\" + name)));
            }
            if (entries_processed != nullptr) *entries_processed = count;
        }
    }
    entry["results"] = std::move(results);
    entry["result"] = hr;
    log_line(entry);
    return hr;
}

CF_EXPORT HRESULT WINAPI CfSetPinState(HANDLE file, DWORD pin_state, DWORD flags, LPOVERLAPPED overlapped) {
    json::object entry = record("CfSetPinState");
    entry["handlePath"] = handle_path(file);
    entry["pinState"] = pin_state;
    entry["flags"] = flags;
    entry["overlapped"] = overlapped != nullptr;
    const HRESULT hr = scripted("CfSetPinState");
    entry["result"] = hr;
    log_line(entry);
    return hr;
}

CF_EXPORT HRESULT WINAPI CfDehydratePlaceholder(HANDLE file, LARGE_INTEGER offset, LARGE_INTEGER length, DWORD flags,
                                                LPOVERLAPPED overlapped) {
    json::object entry = record("CfDehydratePlaceholder");
    entry["handlePath"] = handle_path(file);
    entry["offset"] = offset.QuadPart;
    entry["length"] = length.QuadPart;
    entry["flags"] = flags;
    entry["overlapped"] = overlapped != nullptr;
    const HRESULT hr = scripted("CfDehydratePlaceholder");
    entry["result"] = hr;
    log_line(entry);
    return hr;
}

CF_EXPORT HRESULT WINAPI CfGetPlaceholderInfo(HANDLE file, DWORD info_class, void* buffer, DWORD buffer_length,
                                              PDWORD returned_length) {
    json::object entry = record("CfGetPlaceholderInfo");
    entry["handlePath"] = handle_path(file);
    entry["infoClass"] = info_class;
    entry["bufferLength"] = buffer_length;
    entry["returnedLengthPointer"] = returned_length != nullptr;
    bool zeroed = buffer != nullptr;
    for (DWORD i = 0; zeroed && i < buffer_length; ++i) zeroed = static_cast<const unsigned char*>(buffer)[i] == 0;
    entry["bufferZeroed"] = zeroed;

    std::unique_lock<std::mutex> lock(STATE_MUTEX);
    HRESULT hr = next_result("CfGetPlaceholderInfo");
    if (SUCCEEDED(hr)) {
        auto member = [](const char* name, std::int64_t fallback) {
            const json::value* value = script_member("placeholderInfo", name);
            return value != nullptr ? integer(*value, fallback) : fallback;
        };
        const json::value* identity_hex = script_member("placeholderInfo", "identityHex");
        const std::vector<unsigned char> identity =
            identity_hex != nullptr && identity_hex->is_string() ? unhex(std::string(identity_hex->as_string()))
                                                                 : std::vector<unsigned char>();
        const std::size_t needed = 28 + identity.size();
        if (buffer == nullptr || info_class != 0) {
            hr = E_INVALIDARG;
        } else if (buffer_length < needed) {
            hr = HRESULT_FROM_WIN32(ERROR_MORE_DATA);
        } else {
            write_at<std::uint32_t>(buffer, 0, static_cast<std::uint32_t>(member("pinState", 0)));
            write_at<std::uint32_t>(buffer, 4, static_cast<std::uint32_t>(member("inSyncState", 1)));
            write_at<std::int64_t>(buffer, 8, member("fileId", 77));
            write_at<std::int64_t>(buffer, 16, member("syncRootFileId", 5));
            write_at<std::uint32_t>(buffer, 24, static_cast<std::uint32_t>(identity.size()));
            if (!identity.empty()) std::memcpy(static_cast<char*>(buffer) + 28, identity.data(), identity.size());
            if (returned_length != nullptr) *returned_length = static_cast<DWORD>(needed);
        }
    }
    lock.unlock();
    entry["result"] = hr;
    log_line(entry);
    return hr;
}

CF_EXPORT HRESULT WINAPI CfOpenFileWithOplock(LPCWSTR path, DWORD flags, PHANDLE protected_handle) {
    json::object entry = record("CfOpenFileWithOplock");
    entry["path"] = text_or_null(path);
    entry["flags"] = flags;
    HRESULT hr = scripted("CfOpenFileWithOplock");
    if (SUCCEEDED(hr) && protected_handle == nullptr) hr = E_POINTER;
    if (SUCCEEDED(hr)) {
        const HANDLE file = CreateFileW(path != nullptr ? path : L"", FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            hr = HRESULT_FROM_WIN32(GetLastError());
        } else {
            std::lock_guard<std::mutex> lock(STATE_MUTEX);
            const std::uintptr_t value = NEXT_PROTECTED++;
            PROTECTED[value] = Protected{file, 0};
            *protected_handle = reinterpret_cast<HANDLE>(value);
            entry["protectedHandle"] = value;
        }
    }
    entry["result"] = hr;
    log_line(entry);
    return hr;
}

CF_EXPORT BOOLEAN WINAPI CfReferenceProtectedHandle(HANDLE protected_handle) {
    json::object entry = record("CfReferenceProtectedHandle");
    entry["handle"] = reinterpret_cast<std::uintptr_t>(protected_handle);
    bool known;
    {
        std::lock_guard<std::mutex> lock(STATE_MUTEX);
        const auto found = PROTECTED.find(reinterpret_cast<std::uintptr_t>(protected_handle));
        known = found != PROTECTED.end();
        if (known) ++found->second.references;
    }
    entry["known"] = known;
    log_line(entry);
    return known ? TRUE : FALSE;
}

CF_EXPORT void WINAPI CfReleaseProtectedHandle(HANDLE protected_handle) {
    json::object entry = record("CfReleaseProtectedHandle");
    entry["handle"] = reinterpret_cast<std::uintptr_t>(protected_handle);
    {
        std::lock_guard<std::mutex> lock(STATE_MUTEX);
        const auto found = PROTECTED.find(reinterpret_cast<std::uintptr_t>(protected_handle));
        entry["known"] = found != PROTECTED.end();
        if (found != PROTECTED.end()) --found->second.references;
    }
    log_line(entry);
}

CF_EXPORT HANDLE WINAPI CfGetWin32HandleFromProtectedHandle(HANDLE protected_handle) {
    json::object entry = record("CfGetWin32HandleFromProtectedHandle");
    entry["handle"] = reinterpret_cast<std::uintptr_t>(protected_handle);
    HANDLE file = nullptr;
    {
        std::lock_guard<std::mutex> lock(STATE_MUTEX);
        const auto found = PROTECTED.find(reinterpret_cast<std::uintptr_t>(protected_handle));
        entry["known"] = found != PROTECTED.end();
        if (found != PROTECTED.end()) {
            file = found->second.file;
            entry["references"] = found->second.references;
        }
    }
    entry["win32Handle"] = reinterpret_cast<std::uintptr_t>(file);
    log_line(entry);
    return file;
}

CF_EXPORT void WINAPI CfCloseHandle(HANDLE protected_handle) {
    json::object entry = record("CfCloseHandle");
    entry["handle"] = reinterpret_cast<std::uintptr_t>(protected_handle);
    HANDLE file = INVALID_HANDLE_VALUE;
    {
        std::lock_guard<std::mutex> lock(STATE_MUTEX);
        const auto found = PROTECTED.find(reinterpret_cast<std::uintptr_t>(protected_handle));
        entry["known"] = found != PROTECTED.end();
        if (found != PROTECTED.end()) {
            file = found->second.file;
            entry["references"] = found->second.references;
            PROTECTED.erase(found);
        }
    }
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    log_line(entry);
}

CF_EXPORT HRESULT WINAPI CfConvertToPlaceholder(HANDLE file, LPCVOID identity, DWORD identity_length, DWORD flags,
                                                std::int64_t* usn, LPOVERLAPPED overlapped) {
    json::object entry = record("CfConvertToPlaceholder");
    entry["handle"] = reinterpret_cast<std::uintptr_t>(file);
    entry["handlePath"] = handle_path(file);
    entry["identityNull"] = identity == nullptr;
    entry["identityHex"] = hex(identity, identity_length);
    entry["identityLength"] = identity_length;
    entry["flags"] = flags;
    entry["usnPointer"] = usn != nullptr;
    entry["overlapped"] = overlapped != nullptr;
    const HRESULT hr = scripted("CfConvertToPlaceholder");
    entry["result"] = hr;
    log_line(entry);
    return hr;
}

CF_EXPORT HRESULT WINAPI CfUpdatePlaceholder(HANDLE file, const void* metadata, LPCVOID identity, DWORD identity_length,
                                             const void* ranges, DWORD range_count, DWORD flags, std::int64_t* usn,
                                             LPOVERLAPPED overlapped) {
    json::object entry = record("CfUpdatePlaceholder");
    entry["handle"] = reinterpret_cast<std::uintptr_t>(file);
    entry["handlePath"] = handle_path(file);
    if (metadata != nullptr) {
        entry["metadata"] = json::object{
            {"creationTime", read_at<std::int64_t>(metadata, 0)}, {"lastAccessTime", read_at<std::int64_t>(metadata, 8)},
            {"lastWriteTime", read_at<std::int64_t>(metadata, 16)}, {"changeTime", read_at<std::int64_t>(metadata, 24)},
            {"attributes", read_at<std::uint32_t>(metadata, 32)}, {"fileSize", read_at<std::int64_t>(metadata, 40)}};
    } else {
        entry["metadata"] = nullptr;
    }
    entry["identityNull"] = identity == nullptr;
    entry["identityHex"] = hex(identity, identity_length);
    entry["identityLength"] = identity_length;
    if (ranges != nullptr) {
        json::array decoded;
        for (DWORD i = 0; i < range_count; ++i)
            decoded.push_back(json::array{read_at<std::int64_t>(ranges, i * 16), read_at<std::int64_t>(ranges, i * 16 + 8)});
        entry["ranges"] = std::move(decoded);
    } else {
        entry["ranges"] = nullptr;
    }
    entry["rangeCount"] = range_count;
    entry["flags"] = flags;
    entry["usnPointer"] = usn != nullptr;
    entry["usnIn"] = usn != nullptr ? json::value(*usn) : json::value(nullptr);
    entry["overlapped"] = overlapped != nullptr;
    HRESULT hr;
    {
        std::lock_guard<std::mutex> lock(STATE_MUTEX);
        hr = next_result("CfUpdatePlaceholder");
        if (SUCCEEDED(hr) && usn != nullptr) *usn = next_usn("CfUpdatePlaceholder");
    }
    entry["usnOut"] = usn != nullptr ? json::value(*usn) : json::value(nullptr);
    entry["result"] = hr;
    log_line(entry);
    return hr;
}

CF_EXPORT HRESULT WINAPI CfSetInSyncState(HANDLE file, DWORD state, DWORD flags, std::int64_t* usn) {
    json::object entry = record("CfSetInSyncState");
    entry["handle"] = reinterpret_cast<std::uintptr_t>(file);
    entry["handlePath"] = handle_path(file);
    entry["inSyncState"] = state;
    entry["flags"] = flags;
    entry["usnPointer"] = usn != nullptr;
    entry["usnIn"] = usn != nullptr ? json::value(*usn) : json::value(nullptr);
    HRESULT hr;
    {
        std::lock_guard<std::mutex> lock(STATE_MUTEX);
        hr = next_result("CfSetInSyncState");
        // CF_SET_IN_SYNC_FLAG_NONE is the only flag, NOT_IN_SYNC and IN_SYNC the only states.
        if (SUCCEEDED(hr) && (flags != 0 || state > 1)) hr = E_INVALIDARG;
        if (SUCCEEDED(hr) && usn != nullptr) *usn = next_usn("CfSetInSyncState");
    }
    entry["usnOut"] = usn != nullptr ? json::value(*usn) : json::value(nullptr);
    entry["result"] = hr;
    log_line(entry);
    return hr;
}

CF_EXPORT HRESULT WINAPI CfRevertPlaceholder(HANDLE file, DWORD flags, LPOVERLAPPED overlapped) {
    json::object entry = record("CfRevertPlaceholder");
    entry["handle"] = reinterpret_cast<std::uintptr_t>(file);
    entry["handlePath"] = handle_path(file);
    entry["flags"] = flags;
    entry["overlapped"] = overlapped != nullptr;
    HRESULT hr = scripted("CfRevertPlaceholder");
    if (SUCCEEDED(hr) && flags != 0) hr = E_INVALIDARG;  // CF_REVERT_FLAG_NONE is the only flag
    entry["result"] = hr;
    log_line(entry);
    return hr;
}

CF_EXPORT HRESULT WINAPI CfReportProviderProgress(std::int64_t connection_key, LARGE_INTEGER transfer_key,
                                                  LARGE_INTEGER total, LARGE_INTEGER completed) {
    json::object entry = record("CfReportProviderProgress");
    entry["connectionKey"] = connection_key;
    entry["transferKey"] = transfer_key.QuadPart;
    entry["total"] = total.QuadPart;
    entry["completed"] = completed.QuadPart;
    HRESULT hr;
    {
        std::lock_guard<std::mutex> lock(STATE_MUTEX);
        hr = next_result("CfReportProviderProgress");
        if (SUCCEEDED(hr)) {
            // Only a transfer that is still waiting, on the connection it was asked on, can progress.
            const auto found = TRANSFERS.find(transfer_key.QuadPart);
            if (found == TRANSFERS.end() || found->second->done || found->second->connection_key != connection_key)
                hr = HRESULT_FROM_WIN32(380);  // ERROR_CLOUD_FILE_INVALID_REQUEST
            else
                found->second->progressed_at = GetTickCount64();
        }
    }
    entry["result"] = hr;
    log_line(entry);
    return hr;
}

namespace {

// TRANSFER_PLACEHOLDERS (4), ACK_DELETE (6), ACK_RENAME (7): the answer to a played listing,
// delete or rename. Caller holds STATE_MUTEX; `entry` receives the decoded parameters.
HRESULT answer_wait(std::uint32_t type, std::int64_t connection_key, std::int64_t transfer_key, std::int64_t request_key,
                    void* parameters, json::object& entry) {
    const auto param_size = read_at<std::uint32_t>(parameters, 0);
    const auto flags = read_at<std::uint32_t>(parameters, 8);
    const auto status = read_at<std::int32_t>(parameters, 12);
    json::object params{{"paramSize", param_size}, {"flags", flags}, {"completionStatus", static_cast<std::uint32_t>(status)}};
    void* array = nullptr;
    std::uint32_t count = 0;
    std::int64_t total = 0;
    if (type == 4) {
        total = read_at<std::int64_t>(parameters, 16);
        array = read_at<void*>(parameters, 24);
        count = read_at<std::uint32_t>(parameters, 32);
        params["placeholderTotalCount"] = total;
        params["arrayNull"] = array == nullptr;
        params["placeholderCount"] = count;
        params["entriesProcessedIn"] = read_at<std::uint32_t>(parameters, 36);
        json::array decoded;
        for (std::uint32_t i = 0; i < count && array != nullptr; ++i) {
            const void* r = static_cast<const char*>(array) + i * 88;
            decoded.push_back(json::object{
                {"name", text_or_null(read_at<const wchar_t*>(r, 0))},
                {"lastWriteTime", read_at<std::int64_t>(r, 24)},
                {"attributes", read_at<std::uint32_t>(r, 40)},
                {"fileSize", read_at<std::int64_t>(r, 48)},
                {"identityHex", hex(read_at<const void*>(r, 56), read_at<std::uint32_t>(r, 64))},
                {"flags", read_at<std::uint32_t>(r, 68)},
            });
        }
        params["records"] = std::move(decoded);
    }
    entry["params"] = std::move(params);

    const std::uint32_t expected_size = type == 4 ? 40 : 16;
    const std::uint32_t known_flags = type == 4 ? 0x3 : 0;
    if (param_size != expected_size || (flags & ~known_flags) != 0 || (type == 4 && count > 0 && array == nullptr))
        return E_INVALIDARG;
    const auto found = WAITS.find(transfer_key);
    if (found == WAITS.end() || found->second->done || found->second->ack_type != type ||
        found->second->connection_key != connection_key || found->second->request_key != request_key)
        return HRESULT_FROM_WIN32(380);  // ERROR_CLOUD_FILE_INVALID_REQUEST
    Wait& wait = *found->second;
    if (status != 0) {
        wait.status = status;
        wait.done = true;
        SetEvent(wait.event);
        return S_OK;
    }
    if (type != 4) {
        wait.done = true;
        SetEvent(wait.event);
        return S_OK;
    }
    // The children become placeholders of the listed folder, each with its own result; a folder
    // among them without DISABLE_ON_DEMAND_POPULATION is not filled.
    const json::value* scripted_results = script_locked().root.if_contains("transferResults");
    json::array results;
    for (std::uint32_t i = 0; i < count; ++i) {
        void* r = static_cast<char*>(array) + i * 88;
        const std::size_t index = script_locked().transfer_records++;
        HRESULT result = S_OK;
        if (scripted_results != nullptr && scripted_results->is_array() && index < scripted_results->as_array().size())
            result = static_cast<HRESULT>(static_cast<std::uint32_t>(integer(scripted_results->as_array()[index], 0)));
        write_at<std::int32_t>(r, 72, result);
        results.push_back(result);
        const auto* name = read_at<const wchar_t*>(r, 0);
        if (result < 0 || name == nullptr) continue;
        wait.entries.push_back(json::value(utf8(name)));
        const std::wstring child = folded(wait.folder + L"\\" + name);
        if ((read_at<std::uint32_t>(r, 40) & FILE_ATTRIBUTE_DIRECTORY) != 0 && (read_at<std::uint32_t>(r, 68) & 0x1) == 0)
            UNPOPULATED.insert(child);
        else
            UNPOPULATED.erase(child);
    }
    write_at<std::uint32_t>(parameters, 36, count);
    entry["results"] = std::move(results);
    if (wait.total < 0) wait.total = total;
    wait.transferred += count;
    if (wait.transferred >= wait.total) {
        if ((flags & 0x2) != 0) UNPOPULATED.erase(folded(wait.folder));
        wait.done = true;
        SetEvent(wait.event);
    }
    return S_OK;
}

}  // namespace

CF_EXPORT HRESULT WINAPI CfExecute(const void* info, void* parameters) {
    json::object entry = record("CfExecute");
    std::uint32_t struct_size = 0, type = 0, param_size = 0, transfer_flags = 0;
    std::int64_t connection_key = 0, transfer_key = 0, request_key = 0, offset = 0, length = 0;
    std::int32_t completion_status = 0;
    const void* buffer = nullptr;
    if (info != nullptr) {
        struct_size = read_at<std::uint32_t>(info, 0);
        type = read_at<std::uint32_t>(info, 4);
        connection_key = read_at<std::int64_t>(info, 8);
        transfer_key = read_at<std::int64_t>(info, 16);
        request_key = read_at<std::int64_t>(info, 40);
        entry["info"] = json::object{{"structSize", struct_size},
                                     {"type", type},
                                     {"connectionKey", connection_key},
                                     {"transferKey", transfer_key},
                                     {"correlationVectorNull", read_at<const void*>(info, 24) == nullptr},
                                     {"syncStatusNull", read_at<const void*>(info, 32) == nullptr},
                                     {"requestKey", request_key}};
    } else {
        entry["info"] = nullptr;
    }
    const bool answers_wait = info != nullptr && parameters != nullptr && (type == 4 || type == 6 || type == 7);
    if (parameters != nullptr && !answers_wait) {
        param_size = read_at<std::uint32_t>(parameters, 0);
        transfer_flags = read_at<std::uint32_t>(parameters, 8);
        completion_status = read_at<std::int32_t>(parameters, 12);
        buffer = read_at<const void*>(parameters, 16);
        offset = read_at<std::int64_t>(parameters, 24);
        length = read_at<std::int64_t>(parameters, 32);
        entry["params"] = json::object{{"paramSize", param_size},
                                       {"flags", transfer_flags},
                                       {"completionStatus", static_cast<std::uint32_t>(completion_status)},
                                       {"bufferNull", buffer == nullptr},
                                       {"offset", offset},
                                       {"length", length},
                                       {"dataHex", completion_status == 0 && length > 0 && length <= (1 << 20)
                                                       ? hex(buffer, static_cast<std::size_t>(length))
                                                       : std::string()}};
    } else if (parameters == nullptr) {
        entry["params"] = nullptr;
    }

    HRESULT hr;
    {
        std::lock_guard<std::mutex> lock(STATE_MUTEX);
        hr = next_result("CfExecute");
        if (SUCCEEDED(hr) && answers_wait) {
            hr = struct_size != 48 ? E_INVALIDARG
                                   : answer_wait(type, connection_key, transfer_key, request_key, parameters, entry);
        } else if (SUCCEEDED(hr)) {
            if (info == nullptr || parameters == nullptr || struct_size != 48 || type != 0 || param_size != 40 ||
                transfer_flags != 0 || (completion_status == 0 && length > 0 && buffer == nullptr) || length < 0) {
                hr = E_INVALIDARG;
            } else {
                const auto found = TRANSFERS.find(transfer_key);
                if (found == TRANSFERS.end() || found->second->done ||
                    found->second->connection_key != connection_key || found->second->request_key != request_key) {
                    hr = HRESULT_FROM_WIN32(380);  // ERROR_CLOUD_FILE_INVALID_REQUEST
                } else if (completion_status == 0 && !transferable(*found->second, offset, length)) {
                    hr = HRESULT_FROM_WIN32(380);  // ERROR_CLOUD_FILE_INVALID_REQUEST
                } else {
                    Transfer& transfer = *found->second;
                    if (completion_status != 0) {
                        transfer.status = completion_status;
                        transfer.done = true;
                    } else if (offset <= transfer.covered_end && offset + length > transfer.covered_end) {
                        transfer.covered_end = offset + length;
                        if (transfer.covered_end >= transfer.required_end) transfer.done = true;
                    }
                    if (transfer.done) SetEvent(transfer.event);
                }
            }
        }
    }
    entry["result"] = hr;
    log_line(entry);
    return hr;
}

CF_EXPORT HRESULT WINAPI CfHydratePlaceholder(HANDLE file, LARGE_INTEGER offset, LARGE_INTEGER length, DWORD flags,
                                              LPOVERLAPPED overlapped) {
    json::object entry = record("CfHydratePlaceholder");
    entry["handlePath"] = handle_path(file);
    entry["offset"] = offset.QuadPart;
    entry["length"] = length.QuadPart;
    entry["flags"] = flags;
    entry["overlapped"] = overlapped != nullptr;

    auto delivery = std::make_unique<Delivery>();
    auto transfer = std::make_shared<Transfer>();
    auto hydrate = [](const char* name) { return script_member("hydrate", name); };
    auto hydrate_integer = [&](const char* name, std::int64_t fallback) {
        const json::value* value = hydrate(name);
        return value != nullptr ? integer(*value, fallback) : fallback;
    };
    DWORD timeout = 20000;
    HRESULT hr;
    {
        std::lock_guard<std::mutex> lock(STATE_MUTEX);
        hr = next_result("CfHydratePlaceholder");
        if (SUCCEEDED(hr) && !CONNECTION) hr = HRESULT_FROM_WIN32(362);  // ERROR_CLOUD_FILE_PROVIDER_NOT_RUNNING
        if (SUCCEEDED(hr)) {
            LARGE_INTEGER real_size{};
            GetFileSizeEx(file, &real_size);
            const std::int64_t file_size = hydrate_integer("fileSize", real_size.QuadPart);
            const std::int64_t required_offset = hydrate_integer("offset", offset.QuadPart);
            const std::int64_t required_length =
                hydrate_integer("length", length.QuadPart < 0 ? file_size - required_offset : length.QuadPart);
            timeout = static_cast<DWORD>(hydrate_integer("timeoutMs", 20000));

            transfer->file_size = file_size;
            transfer->connection_key = CONNECTION->key;
            transfer->transfer_key = NEXT_TRANSFER_KEY++;
            transfer->request_key = NEXT_REQUEST_KEY++;
            transfer->required_offset = required_offset;
            transfer->covered_end = required_offset;
            transfer->required_end = required_offset + required_length;
            transfer->event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
            TRANSFERS[transfer->transfer_key] = transfer;

            const json::value* path = hydrate("path");
            if (path != nullptr && path->is_string()) {
                delivery->normalized_path = wide(std::string(path->as_string()));
            } else {
                const json::value own = handle_path(file, VOLUME_NAME_NONE);
                if (own.is_string()) delivery->normalized_path = wide(std::string(own.as_string()));
            }
            const json::value* identity = hydrate("identityHex");
            if (identity != nullptr && identity->is_string()) delivery->identity = unhex(std::string(identity->as_string()));
            const json::value* process = hydrate("process");
            const bool has_process = process == nullptr || !process->is_null();
            std::uint32_t pid = 4242;
            delivery->image_path = L"\\Device\\HarddiskVolume3\\Apps\\reader.exe";
            if (process != nullptr && process->is_object()) {
                if (const json::value* value = process->as_object().if_contains("pid")) pid = static_cast<std::uint32_t>(integer(*value, pid));
                if (const json::value* value = process->as_object().if_contains("image"))
                    delivery->image_path = value->is_string() ? wide(std::string(value->as_string())) : std::wstring();
            }

            unsigned char* i = delivery->info;
            write_at<std::uint32_t>(i, 0, 152);
            write_at<std::int64_t>(i, 8, CONNECTION->key);
            write_at<const void*>(i, 16, CONNECTION->context);
            write_at<const wchar_t*>(i, 24, L"\\\\?\\Volume{00000000-0000-0000-0000-000000000000}\\");
            write_at<const wchar_t*>(i, 32, delivery->volume_dos_name.c_str());
            write_at<std::uint32_t>(i, 40, 0x1234);
            write_at<std::int64_t>(i, 48, 5);
            write_at<std::int64_t>(i, 72, 77);
            write_at<std::int64_t>(i, 80, file_size);
            write_at<const void*>(i, 88, delivery->identity.empty() ? nullptr : delivery->identity.data());
            write_at<std::uint32_t>(i, 96, static_cast<std::uint32_t>(delivery->identity.size()));
            write_at<const wchar_t*>(i, 104, delivery->normalized_path.c_str());
            write_at<std::int64_t>(i, 112, transfer->transfer_key);
            write_at<std::uint8_t>(i, 120, 7);
            write_at<CHAR*>(i, 128, nullptr);
            if (has_process) {
                write_at<std::uint32_t>(delivery->process, 0, 48);
                write_at<std::uint32_t>(delivery->process, 4, pid);
                write_at<const wchar_t*>(delivery->process, 8,
                                         delivery->image_path.empty() ? nullptr : delivery->image_path.c_str());
                write_at<const wchar_t*>(delivery->process, 32, delivery->command_line.c_str());
                write_at<std::uint32_t>(delivery->process, 40, 1);
                write_at<const void*>(i, 136, delivery->process);
            }
            write_at<std::int64_t>(i, 144, transfer->request_key);

            unsigned char* p = delivery->parameters;
            write_at<std::uint32_t>(p, 0, 64);
            write_at<std::uint32_t>(p, 8, 0x2);  // CF_CALLBACK_FETCH_DATA_FLAG_EXPLICIT_HYDRATION
            write_at<std::int64_t>(p, 16, required_offset);
            write_at<std::int64_t>(p, 24, required_length);
            write_at<std::int64_t>(p, 32, required_offset);
            write_at<std::int64_t>(p, 40, required_length);

            const auto callback = [&](std::uint32_t type) -> Callback {
                const auto found = CONNECTION->callbacks.find(type);
                return found != CONNECTION->callbacks.end() ? found->second : nullptr;
            };
            delivery->fetch = callback(0);
            delivery->cancel = callback(2);
            delivery->open_completion = callback(5);
            const json::value* open = hydrate("openCompletion");
            delivery->send_open_completion = open != nullptr && open->is_bool() && open->as_bool();
            const json::value* mode = hydrate("mode");
            delivery->cancel_after_fetch = mode != nullptr && mode->is_string() && mode->as_string() == "cancel";

            entry["transferKey"] = transfer->transfer_key;
            entry["requestKey"] = transfer->request_key;
            entry["connectionKey"] = transfer->connection_key;
        }
    }
    if (FAILED(hr)) {
        entry["result"] = hr;
        log_line(entry);
        return hr;
    }
    log_line(entry);

    const HANDLE thread = CreateThread(nullptr, 0, deliver, delivery.get(), 0, nullptr);
    if (thread != nullptr) {
        // The callbacks only record and report; they return without waiting for the answer.
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
    }
    // The time-out runs from the start of the wait or from the last progress report.
    DWORD waited = WAIT_TIMEOUT;
    for (ULONGLONG since = GetTickCount64(); !delivery->cancel_after_fetch;) {
        const ULONGLONG passed = GetTickCount64() - since;
        waited = WaitForSingleObject(transfer->event, passed < timeout ? static_cast<DWORD>(timeout - passed) : 0);
        std::lock_guard<std::mutex> lock(STATE_MUTEX);
        if (waited != WAIT_TIMEOUT || transfer->progressed_at <= since) break;
        since = transfer->progressed_at;
    }

    json::object end = record("CfHydratePlaceholder.end");
    end["transferKey"] = transfer->transfer_key;
    {
        std::lock_guard<std::mutex> lock(STATE_MUTEX);
        TRANSFERS.erase(transfer->transfer_key);
        if (delivery->cancel_after_fetch) {
            hr = HRESULT_FROM_WIN32(398);  // ERROR_CLOUD_FILE_REQUEST_CANCELED
        } else if (waited != WAIT_OBJECT_0) {
            hr = HRESULT_FROM_WIN32(426);  // ERROR_CLOUD_FILE_REQUEST_TIMEOUT
        } else if (transfer->status != 0) {
            const json::value* failure = hydrate("failureResult");
            hr = failure != nullptr ? static_cast<HRESULT>(static_cast<std::uint32_t>(integer(*failure, 0)))
                                    : HRESULT_FROM_WIN32(win32_from_cloud_status(transfer->status));
        } else {
            hr = S_OK;
        }
    }
    if (waited == WAIT_TIMEOUT && !delivery->cancel_after_fetch) {
        // The platform gives up on a request that is not answered in time and says so.
        unsigned char cancel_parameters[64] = {};
        write_at<std::uint32_t>(cancel_parameters, 0, 32);
        write_at<std::uint32_t>(cancel_parameters, 8, 0x1);  // CF_CALLBACK_CANCEL_FLAG_IO_TIMEOUT
        std::memcpy(cancel_parameters + 16, delivery->parameters + 16, 16);
        call_with_parameters(*delivery, delivery->cancel, 2, cancel_parameters);
    }
    CloseHandle(transfer->event);
    end["result"] = hr;
    log_line(end);
    return hr;
}
