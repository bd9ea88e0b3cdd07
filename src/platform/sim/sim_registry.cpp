// platform/sim: sync-root registration (the StorageProviderSyncRootManager calls) over a JSON
// store in the state directory. POSIX calls are allowed here and only under platform/sim.
#include "platform/sim/sim_registry.h"

#include "platform/sim/sim_platform.h"
#include "platform/sim/sim_util.h"
#include "platform/unicode.h"

#include <boost/json/serialize.hpp>
#include <boost/json/value.hpp>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <mutex>
#include <sys/file.h>
#include <sys/stat.h>
#include <type_traits>
#include <unistd.h>

namespace zcf::sim {

namespace {

std::string store_path(const std::string& dir) { return dir + "/sync-roots.json"; }

std::string hex(const std::vector<std::uint8_t>& bytes) {
    static constexpr char DIGITS[] = "0123456789abcdef";
    std::string out;
    for (const std::uint8_t b : bytes) {
        out.push_back(DIGITS[b >> 4]);
        out.push_back(DIGITS[b & 0xF]);
    }
    return out;
}

bool unhex(const std::string& text, std::vector<std::uint8_t>& out) {
    if (text.size() % 2 != 0) return false;
    auto digit = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        return -1;
    };
    out.clear();
    for (std::size_t i = 0; i < text.size(); i += 2) {
        const int hi = digit(text[i]), lo = digit(text[i + 1]);
        if (hi < 0 || lo < 0) return false;
        out.push_back(static_cast<std::uint8_t>(hi * 16 + lo));
    }
    return true;
}

boost::json::object to_json(const SyncRootRecord& r) {
    return {
        {"id", r.id},
        {"path", r.path},
        {"displayName", r.display_name},
        {"icon", r.icon},
        {"version", r.version},
        {"hydrationPolicy", std::int64_t{r.hydration_policy}},
        {"hydrationPolicyModifier", std::int64_t{r.hydration_policy_modifier}},
        {"populationPolicy", std::int64_t{r.population_policy}},
        {"inSyncPolicy", std::int64_t{r.in_sync_policy}},
        {"hardlinkPolicy", std::int64_t{r.hardlink_policy}},
        {"showSiblingsAsGroup", r.show_siblings_as_group},
        {"context", hex(r.context)},
    };
}

bool from_json(const boost::json::value& item, SyncRootRecord& r) {
    const boost::json::object* j = item.if_object();
    if (j == nullptr) return false;
    auto text = [&](const char* key, std::string& out) {
        const boost::json::value* v = j->if_contains(key);
        if (v == nullptr || !v->is_string()) return false;
        out = v->get_string();
        return true;
    };
    auto number = [&](const char* key, auto& out) {
        const boost::json::value* v = j->if_contains(key);
        if (v == nullptr || !v->is_int64()) return false;
        out = static_cast<std::remove_reference_t<decltype(out)>>(v->get_int64());
        return true;
    };
    std::string context;
    const boost::json::value* siblings = j->if_contains("showSiblingsAsGroup");
    if (!text("id", r.id) || !text("path", r.path) || !text("displayName", r.display_name) ||
        !text("icon", r.icon) || !text("version", r.version) || !number("hydrationPolicy", r.hydration_policy) ||
        !number("hydrationPolicyModifier", r.hydration_policy_modifier) ||
        !number("populationPolicy", r.population_policy) || !number("inSyncPolicy", r.in_sync_policy) ||
        !number("hardlinkPolicy", r.hardlink_policy) || siblings == nullptr || !siblings->is_bool() ||
        !text("context", context) || !unhex(context, r.context))
        return false;
    r.show_siblings_as_group = siblings->get_bool();
    return true;
}

// Reads the store: true with the records (none when the file does not exist), false when the
// file exists but cannot be read or understood.
bool read_store(const std::string& dir, std::vector<SyncRootRecord>& out) {
    out.clear();
    int err = 0;
    const auto text = read_file(store_path(dir), &err);
    if (!text) return err == ENOENT;
    const auto json = parse_state_json(*text);
    if (!json || !json->is_object()) return false;
    const boost::json::value* roots = json->get_object().if_contains("roots");
    if (roots == nullptr || !roots->is_array()) return false;
    for (const boost::json::value& item : roots->get_array()) {
        SyncRootRecord r;
        if (!from_json(item, r)) return false;
        out.push_back(std::move(r));
    }
    return true;
}

int write_store(const std::string& dir, const std::vector<SyncRootRecord>& records) {
    boost::json::array roots;
    for (const auto& r : records) roots.push_back(to_json(r));
    const boost::json::object doc{{"version", 1}, {"roots", std::move(roots)}};
    return write_file_atomic(store_path(dir), boost::json::serialize(doc) + "\n");
}

// The store's advisory lock, held for one read-modify-write.
class StoreLock {
public:
    explicit StoreLock(const std::string& dir) {
        fd_ = ::open((dir + "/sync-roots.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd_ < 0) {
            error_ = errno;
            return;
        }
        while (::flock(fd_, LOCK_EX) != 0) {
            if (errno != EINTR) {
                error_ = errno;
                break;
            }
        }
    }
    ~StoreLock() {
        if (fd_ >= 0) ::close(fd_);
    }
    StoreLock(const StoreLock&) = delete;
    StoreLock& operator=(const StoreLock&) = delete;
    int error() const { return error_; }

private:
    int fd_ = -1;
    int error_ = 0;
};

PlatformError status(Hresult code) { return PlatformError{code, nullptr}; }

// Reads the registrations under the store lock, lets `change` edit them (it returns S_OK to have
// them written back, or the failure to answer with) and rewrites the store atomically.
template <typename Change>
PlatformError change_store(Change change) {
    const std::string dir = state_directory();
    if (dir.empty()) return status(hr_from_errno(EACCES));
    StoreLock lock(dir);
    if (lock.error() != 0) return status(hr_from_errno(lock.error()));
    std::vector<SyncRootRecord> records;
    if (!read_store(dir, records))
        return status(hresult_from_win32(code::ERROR_CLOUD_FILE_SYNC_ROOT_METADATA_CORRUPT));
    if (const Hresult result = change(records); result < 0) return status(result);
    if (const int err = write_store(dir, records); err != 0) return status(hr_from_errno(err));
    return status(S_OK_CODE);
}

}  // namespace

SyncRoots load_sync_roots() {
    // The store is replaced by rename on every change, so its inode, size and time identify its
    // content: an unchanged store is not read again.
    struct Cache {
        std::mutex mutex;
        std::string path;
        ino_t ino = 0;
        off_t size = -1;
        timespec mtime{};
        SyncRoots records;
    };
    static Cache* const CACHE = new Cache();
    static const SyncRoots NONE = std::make_shared<const std::vector<SyncRootRecord>>();
    const std::string dir = state_directory(false);
    if (dir.empty()) return NONE;
    const std::string path = store_path(dir);
    struct stat st{};
    if (::stat(path.c_str(), &st) != 0) return NONE;
    {
        std::lock_guard lock(CACHE->mutex);
        if (CACHE->path == path && CACHE->ino == st.st_ino && CACHE->size == st.st_size &&
            CACHE->mtime.tv_sec == st.st_mtim.tv_sec && CACHE->mtime.tv_nsec == st.st_mtim.tv_nsec)
            return CACHE->records;
    }
    auto records = std::make_shared<std::vector<SyncRootRecord>>();
    if (!read_store(dir, *records)) return NONE;
    for (auto& r : *records) {
        struct stat folder{};
        if (::stat(backing(r.path).c_str(), &folder) == 0) r.folder_id = static_cast<std::int64_t>(folder.st_ino);
    }
    std::lock_guard lock(CACHE->mutex);
    CACHE->path = path;
    CACHE->ino = st.st_ino;
    CACHE->size = st.st_size;
    CACHE->mtime = st.st_mtim;
    CACHE->records = std::move(records);
    return CACHE->records;
}

std::shared_ptr<const SyncRootRecord> sync_root_containing(const std::string& canonical_path) {
    SyncRoots roots = load_sync_roots();
    for (const auto& r : *roots)
        if (path_within(canonical_path, r.path)) return std::shared_ptr<const SyncRootRecord>(roots, &r);
    return nullptr;
}

PlatformError SimPlatform::register_sync_root(const SyncRootRegistration& registration) {
    // The folder lookup comes first, as the path is set before the record is registered. A NUL or
    // an unpaired surrogate is no character of a file name.
    if (registration.path.empty()) return status(hr::E_INVALIDARG_CODE);
    std::string folder;
    if (registration.path.find(u'\0') != std::u16string_view::npos ||
        !utf16_to_utf8_strict(registration.path, folder))
        return status(hresult_from_win32(win32::ERROR_INVALID_NAME));
    if (folder[0] != '/') return status(hr::E_INVALIDARG_CODE);
    struct stat st{};
    if (::stat(backing(folder).c_str(), &st) != 0) return status(hresult_from_win32(win32_from_path_errno(errno, folder)));
    if (!S_ISDIR(st.st_mode)) return status(hresult_from_win32(win32::ERROR_DIRECTORY));
    SyncRootRecord record;
    if (const int err = canonical_path(folder, record.path); err != 0) return status(hr_from_errno(err));

    // The texts are kept whole, NULs included, as the runtime's strings keep them.
    record.id = utf16_to_utf8_lossy(registration.id);
    if (record.id.empty()) return status(hr::E_INVALIDARG_CODE);
    record.display_name = utf16_to_utf8_lossy(registration.display_name_resource);
    record.icon = utf16_to_utf8_lossy(registration.icon_resource);
    record.version = utf16_to_utf8_lossy(registration.version);
    record.hydration_policy = registration.hydration_policy;
    record.hydration_policy_modifier = registration.hydration_policy_modifier;
    // Folders filled on demand (population policy Full) are not simulated: no listing would ever
    // ask for their children.
    if (registration.population_policy != population_policy::ALWAYS_FULL)
        return status(hresult_from_win32(win32::ERROR_NOT_SUPPORTED));
    record.population_policy = registration.population_policy;
    record.in_sync_policy = registration.in_sync_policy;
    record.hardlink_policy = registration.hardlink_policy;
    record.show_siblings_as_group = registration.show_siblings_as_group;
    if (registration.context != nullptr)
        record.context.assign(registration.context, registration.context + registration.context_length);

    return change_store([&record](std::vector<SyncRootRecord>& records) {
        for (const auto& r : records) {
            if (r.id == record.id) continue;
            // Sync roots never nest, and one folder has one registration.
            if (path_within(record.path, r.path) || path_within(r.path, record.path))
                return hresult_from_win32(win32::ERROR_CLOUD_FILE_INVALID_REQUEST);
        }
        // The same id again replaces its record.
        const auto same = std::find_if(records.begin(), records.end(),
                                       [&record](const SyncRootRecord& r) { return r.id == record.id; });
        if (same != records.end()) {
            *same = record;
        } else {
            records.push_back(record);
        }
        return S_OK_CODE;
    });
}

PlatformError SimPlatform::unregister_sync_root(std::u16string_view id_text) {
    const std::string id = utf16_to_utf8_lossy(id_text);
    if (id.empty()) return status(hr::E_INVALIDARG_CODE);
    return change_store([&id](std::vector<SyncRootRecord>& records) {
        const auto removed = std::erase_if(records, [&id](const SyncRootRecord& r) { return r.id == id; });
        return removed == 0 ? hresult_from_win32(win32::ERROR_NOT_FOUND) : S_OK_CODE;
    });
}

}  // namespace zcf::sim
