// platform/linux/base: descriptors, moments of owner read access, paths beneath mounted roots, the
// state directory and its files. POSIX calls are allowed here and only under platform/linux.
#include "platform/linux/base/files.h"

#include "platform/unicode.h"

#include <boost/json/parse.hpp>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <pwd.h>
#include <shared_mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace zcf::linux_platform {

// ---- Descriptors ---------------------------------------------------------------------------

bool FdTraits::close(int fd) { return ::close(fd) == 0; }
bool DirTraits::close(DIR* dir) { return ::closedir(dir) == 0; }

std::string descriptor_path(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

int descriptor_name(int fd, std::string& out) {
    char buffer[PATH_MAX + 1];
    const ssize_t n = ::readlink(descriptor_path(fd).c_str(), buffer, PATH_MAX);
    if (n < 0) return errno;
    out.assign(buffer, static_cast<std::size_t>(n));
    return 0;
}

UniqueFd reopen_file(int fd, int flags) { return UniqueFd(::open(descriptor_path(fd).c_str(), flags | O_CLOEXEC)); }

// ---- Files without read permission --------------------------------------------------------

namespace {

// The change time each file had when a moment of owner read access last ended, by device and
// inode; guarded by the mode lock. Cleared when it grows large: at worst a moment is heard of.
std::map<std::pair<dev_t, ino_t>, timespec>& moments() {
    static auto* const MOMENTS = new std::map<std::pair<dev_t, ino_t>, timespec>();
    return *MOMENTS;
}

}  // namespace

std::recursive_mutex& mode_mutex() {
    static auto* const MUTEX = new std::recursive_mutex();
    return *MUTEX;
}

long with_owner_read(const std::string& name, bool follow, const std::function<long(bool moment)>& attempt) {
    long result = attempt(false);
    if (result >= 0 || errno != EACCES || ::geteuid() == 0) return result;
    std::lock_guard lock(mode_mutex());
    struct stat st{};
    const int rc = follow ? ::stat(name.c_str(), &st) : ::lstat(name.c_str(), &st);
    if (rc != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) {
        errno = EACCES;
        return -1;
    }
    if ((st.st_mode & S_IRUSR) != 0) return attempt(false);  // given back since the first attempt
    if (::chmod(name.c_str(), (st.st_mode | S_IRUSR) & 07777) != 0) {
        errno = EACCES;
        return -1;
    }
    result = attempt(true);
    const int err = errno;
    ::chmod(name.c_str(), st.st_mode & 07777);
    if (::stat(name.c_str(), &st) == 0) {
        if (moments().size() >= 4096) moments().clear();
        moments()[{st.st_dev, st.st_ino}] = st.st_ctim;
    }
    errno = err;
    return result;
}

bool only_owner_read_since(const std::string& name) {
    std::lock_guard lock(mode_mutex());
    struct stat st{};
    if (moments().empty() || ::lstat(name.c_str(), &st) != 0) return false;
    const auto it = moments().find({st.st_dev, st.st_ino});
    return it != moments().end() && it->second.tv_sec == st.st_ctim.tv_sec && it->second.tv_nsec == st.st_ctim.tv_nsec;
}

// ---- Paths ---------------------------------------------------------------------------------

namespace {

struct BackingRoots {
    std::shared_mutex mutex;
    std::vector<std::pair<std::string, int>> roots;  // canonical root, descriptor
};
BackingRoots& backing_roots() {
    static auto* const ROOTS = new BackingRoots();
    return *ROOTS;
}
std::atomic<int> BACKING_ROOT_COUNT{0};

}  // namespace

void add_backing_root(const std::string& root, int fd) {
    BackingRoots& b = backing_roots();
    std::unique_lock lock(b.mutex);
    b.roots.emplace_back(root, fd);
    BACKING_ROOT_COUNT = static_cast<int>(b.roots.size());
}

void remove_backing_root(const std::string& root) {
    BackingRoots& b = backing_roots();
    std::unique_lock lock(b.mutex);
    std::erase_if(b.roots, [&](const auto& r) { return r.first == root; });
    BACKING_ROOT_COUNT = static_cast<int>(b.roots.size());
}

namespace {

// The name beneath a mounted root of the plainly spelled `path`, if it lies in one.
std::optional<std::string> beneath(const std::string& path) {
    BackingRoots& b = backing_roots();
    std::shared_lock lock(b.mutex);
    for (const auto& [root, fd] : b.roots) {
        if (!path_within(path, root)) continue;
        std::string out = descriptor_path(fd);
        if (path.size() == root.size()) return out + "/.";
        return out + path.substr(root == "/" ? 0 : root.size());
    }
    return std::nullopt;
}

// Whether `path` is spelled otherwise than plainly: relative, or with an empty, "." or ".."
// component (a final slash aside).
bool roundabout(std::string_view path) {
    if (path.empty() || path[0] != '/') return true;
    for (std::size_t at = 1; at < path.size();) {
        const std::size_t end = std::min(path.find('/', at), path.size());
        const std::string_view part = path.substr(at, end - at);
        if ((part.empty() && end < path.size()) || part == "." || part == "..") return true;
        at = end + 1;
    }
    return false;
}

// `path` spelled plainly: its folder resolved as the system resolves it (links followed, and
// ".." taken from where they lead, so the answer is the one the path has without a mount;
// looking names up through a mount costs nothing but lookups), its last name kept as it is, and a
// final slash with it. `path` itself when the folder cannot be resolved.
std::string plain(const std::string& path) {
    std::string trimmed = path;
    while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
    const std::string slash = trimmed.size() < path.size() ? "/" : "";
    const auto cut = trimmed.rfind('/');
    const std::string last = cut == std::string::npos ? trimmed : trimmed.substr(cut + 1);
    const bool whole = last.empty() || last == "." || last == "..";
    const std::string folder = whole ? trimmed : cut == std::string::npos ? "." : cut == 0 ? "/" : trimmed.substr(0, cut);
    char* resolved = ::realpath(folder.c_str(), nullptr);
    if (resolved == nullptr) return path;
    std::string out = resolved;
    std::free(resolved);
    if (!whole) out += (out == "/" ? "" : "/") + last;
    return out + slash;
}

}  // namespace

bool backing_roots_mounted() { return BACKING_ROOT_COUNT.load(std::memory_order_acquire) != 0; }

std::string backing(const std::string& path) {
    if (BACKING_ROOT_COUNT.load(std::memory_order_acquire) == 0) return path;
    if (!roundabout(path)) return beneath(path).value_or(path);
    // A roundabout name of a file beneath a mount would reach it through the mount (".." even
    // steps from beneath onto the mount); its plain form is reached beneath.
    return beneath(plain(path)).value_or(path);
}

int canonical_path(const std::string& path, std::string& out) {
    if (const std::string reached = backing(path); reached != path) {
        // Resolved beneath the mount through the root's descriptor; the kernel names the result.
        const UniqueFd fd(::open(reached.c_str(), O_PATH | O_CLOEXEC));
        return fd ? descriptor_name(fd.get(), out) : errno;
    }
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (resolved == nullptr) return errno;
    out = resolved;
    std::free(resolved);
    return 0;
}

int canonical_path_nofollow(const std::string& path, std::string& out) {
    std::string trimmed = path;
    while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
    const auto slash = trimmed.rfind('/');
    const std::string name = slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
    if (name.empty() || name == "." || name == "..") return canonical_path(path, out);
    std::string parent;
    if (const int err = canonical_path(parent_directory(trimmed), parent); err != 0) return err;
    out = parent == "/" ? "/" + name : parent + "/" + name;
    return 0;
}

bool path_within(std::string_view inner, std::string_view outer) {
    if (inner.size() < outer.size() || inner.substr(0, outer.size()) != outer) return false;
    if (inner.size() == outer.size()) return true;
    return outer == "/" || inner[outer.size()] == '/';
}

std::string parent_directory(const std::string& path) {
    std::string p = path;
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    const auto slash = p.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return p.substr(0, slash);
}

namespace {

int make_directories(const std::string& path) {
    struct stat st{};
    if (::stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
    const std::string parent = parent_directory(path);
    if (parent != path) {
        if (const int err = make_directories(parent); err != 0) return err;
    }
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return errno;
    return 0;
}

}  // namespace

std::string state_directory(bool create) {
    std::string base;
    const char* xdg = std::getenv("XDG_STATE_HOME");
    if (xdg != nullptr && xdg[0] == '/') {
        base = xdg;
    } else {
        const char* home = std::getenv("HOME");
        std::string h = home != nullptr ? home : "";
        if (h.empty()) {
            if (const passwd* pw = ::getpwuid(::getuid()); pw != nullptr && pw->pw_dir != nullptr) h = pw->pw_dir;
        }
        if (h.empty()) return {};
        base = h + "/.local/state";
    }
    std::string dir = base + "/zembra-cloud-files";
    if (create && make_directories(dir) != 0) return {};
    return dir;
}

const std::u16string& own_image_path() {
    static const std::u16string* const IMAGE = [] {
        char buffer[PATH_MAX];
        const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
        return new std::u16string(n > 0 ? wide_from_utf8(std::string_view(buffer, static_cast<std::size_t>(n)))
                                        : std::u16string(u"UNKNOWN"));
    }();
    return *IMAGE;
}

// ---- State files ---------------------------------------------------------------------------

std::optional<boost::json::value> parse_state_json(std::string_view text) {
    boost::json::parse_options options;
    options.max_depth = 64;
    options.allow_invalid_utf8 = true;
    boost::json::error_code ec;
    boost::json::value value = boost::json::parse(text, ec, {}, options);
    if (ec) return std::nullopt;
    return value;
}

std::optional<std::string> read_file(const std::string& path, int* err) {
    const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) {
        if (err != nullptr) *err = errno;
        return std::nullopt;
    }
    std::string content;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            if (err != nullptr) *err = errno;
            return std::nullopt;
        }
        if (n == 0) break;
        content.append(buffer, static_cast<std::size_t>(n));
    }
    return content;
}

int write_file_atomic(const std::string& path, const std::string& content) {
    const std::string temp = path + ".tmp." + std::to_string(::getpid());
    UniqueFd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    if (!fd) return errno;
    std::size_t done = 0;
    while (done < content.size()) {
        const ssize_t n = ::write(fd.get(), content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            const int err = n < 0 ? errno : EIO;
            fd.reset();
            ::unlink(temp.c_str());
            return err;
        }
        done += static_cast<std::size_t>(n);
    }
    if (::fsync(fd.get()) != 0 || !fd.close()) {
        const int err = errno;
        ::unlink(temp.c_str());
        return err;
    }
    if (::rename(temp.c_str(), path.c_str()) != 0) {
        const int err = errno;
        ::unlink(temp.c_str());
        return err;
    }
    // Make the rename itself durable.
    if (const UniqueFd dir(::open(parent_directory(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)); dir)
        ::fsync(dir.get());
    return 0;
}

}  // namespace zcf::linux_platform
