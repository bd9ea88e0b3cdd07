// Placeholder benchmarks. Prints figures; not a test.
//
// 1. The grouping of "create" alone (no platform): items in distinct directories and in one, at
//    two sizes ten times apart; the time per item should stay flat.
// 2. Through the program on the simulation (a sync root registered in a private state directory):
//    "create" of N file items in one directory, and of N file items in N directories.
// 3. "scan" of a tree of N entries in N/100 directories, beside a minimal directory walker that
//    does only readdir, fstatat and the two getxattr calls the simulation needs per entry, measured
//    in the same run over the same tree: once with every entry pinned (every entry listed, none
//    opened), once with every file an online-only placeholder (each one opened and queried).
//
// Usage: placeholders_bench [N [DIR]]   (N defaults to 100000; the trees are made in a fresh
// directory under DIR, by default /dev/shm: this machine's disk makes creating and removing
// hundreds of thousands of files slow and noisy, which would swamp the figures and the run time)
#include "placeholders/create.h"

#include <boost/json/array.hpp>
#include <boost/json/object.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

extern char** environ;

namespace {

namespace json = boost::json;
using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// ---- Grouping alone ---------------------------------------------------------------------------

json::array make_items(std::size_t n, bool distinct_dirs) {
    json::array items;
    items.reserve(n);
    char dir[64], name[64];
    for (std::size_t i = 0; i < n; ++i) {
        std::snprintf(dir, sizeof dir, "/sync/root/dir%07zu", distinct_dirs ? i : 0);
        std::snprintf(name, sizeof name, "file%07zu.txt", i);
        items.push_back(json::object{{"dir", dir}, {"name", name}});
    }
    return items;
}

double best_grouping_seconds(const json::array& items) {
    double best = 1e9;
    for (int round = 0; round < 5; ++round) {
        const auto start = Clock::now();
        const zcf::DirGroups groups = zcf::group_by_dir(items);
        const double t = seconds_since(start);
        if (groups.members.size() != items.size()) std::abort();
        best = std::min(best, t);
    }
    return best;
}

// Three sizes, each ten times the last: n/10, n, 10n. The smallest fits the caches, so its step
// also shows the cost of leaving them; the step between the two larger ones is the scaling.
void bench_grouping(std::size_t n) {
    std::printf("grouping of \"create\" items (no platform), best of 5\n");
    for (const bool distinct : {true, false}) {
        std::printf("  %s\n", distinct ? "each item in a directory of its own:" : "all items in one directory:");
        double previous = 0;
        for (const std::size_t count : {std::max<std::size_t>(n / 10, 1), n, n * 10}) {
            const double t = best_grouping_seconds(make_items(count, distinct));
            std::printf("    %9zu items %9.2f ms %6.0f ns/item", count, t * 1e3, t * 1e9 / double(count));
            if (previous > 0) std::printf("   x%.1f the time for x10 the items", t / previous);
            std::printf("\n");
            previous = t;
        }
    }
}

// ---- The program --------------------------------------------------------------------------------

struct Program {
    pid_t pid = -1;
    int in = -1;
    int out = -1;
    std::string pending;
    long seq = 0;

    std::string read_line() {
        for (;;) {
            const std::size_t lf = pending.find('\n');
            if (lf != std::string::npos) {
                std::string line = pending.substr(0, lf);
                pending.erase(0, lf + 1);
                return line;
            }
            char buffer[1 << 16];
            const ssize_t n = ::read(out, buffer, sizeof buffer);
            if (n <= 0) {
                std::fprintf(stderr, "the program closed its output\n");
                std::exit(1);
            }
            pending.append(buffer, static_cast<std::size_t>(n));
        }
    }
    void write_all(const std::string& text) {
        std::size_t done = 0;
        while (done < text.size()) {
            const ssize_t n = ::write(in, text.data() + done, text.size() - done);
            if (n <= 0) std::exit(1);
            done += static_cast<std::size_t>(n);
        }
    }
    // Sends `{"cmd":..., <members>, "seq":N}` and returns the answer line.
    std::string request(const std::string& cmd, const std::string& members) {
        std::string line = "{\"cmd\":\"" + cmd + "\"," + members + ",\"seq\":" + std::to_string(++seq) + "}\n";
        write_all(line);
        return read_line();
    }
};

Program start_program(const std::string& state_dir) {
    int to_child[2], from_child[2];
    if (::pipe(to_child) != 0 || ::pipe(from_child) != 0) std::exit(1);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, to_child[0], 0);
    posix_spawn_file_actions_adddup2(&actions, from_child[1], 1);
    posix_spawn_file_actions_addclose(&actions, to_child[1]);
    posix_spawn_file_actions_addclose(&actions, from_child[0]);
    ::setenv("XDG_STATE_HOME", state_dir.c_str(), 1);
    char* argv[] = {const_cast<char*>(ZCF_PROGRAM_PATH), nullptr};
    Program program;
    if (posix_spawn(&program.pid, ZCF_PROGRAM_PATH, &actions, nullptr, argv, environ) != 0) {
        std::fprintf(stderr, "cannot start %s\n", ZCF_PROGRAM_PATH);
        std::exit(1);
    }
    posix_spawn_file_actions_destroy(&actions);
    ::close(to_child[0]);
    ::close(from_child[1]);
    program.in = to_child[1];
    program.out = from_child[0];
    program.read_line();  // ready
    return program;
}

void stop_program(Program& program) {
    ::close(program.in);
    ::close(program.out);
    int status = 0;
    ::waitpid(program.pid, &status, 0);
}

std::string quoted(const std::string& text) { return "\"" + text + "\""; }  // paths here need no escapes

bool ok(const std::string& answer) { return answer.find("\"ok\":true") != std::string::npos; }

// Whether every item was created: the answer's "failed" list is empty.
bool all_created(const std::string& answer) { return answer.find("\"failed\":[]") != std::string::npos; }

// A "create" request's items: `count` items, item i in dirs[i % dirs.size()].
std::string create_items(const std::vector<std::string>& dirs, std::size_t count, bool folders) {
    std::string items = "\"items\":[";
    items.reserve(count * (dirs[0].size() + 96));
    char tail[160];
    for (std::size_t i = 0; i < count; ++i) {
        if (i > 0) items += ',';
        items += "{\"dir\":";
        items += quoted(dirs[i % dirs.size()]);
        if (folders)
            std::snprintf(tail, sizeof tail, ",\"name\":\"d%07zu\",\"folder\":true,\"identity\":\"folder-%zu\"}", i, i);
        else
            std::snprintf(tail, sizeof tail,
                          ",\"name\":\"f%07zu.txt\",\"identity\":\"identity-%zu\",\"size\":65536,"
                          "\"mtimeMs\":1700000000123}", i, i);
        items += tail;
    }
    items += ']';
    return items;
}

std::vector<std::string> folder_paths(const std::string& parent, std::size_t count) {
    std::vector<std::string> dirs;
    dirs.reserve(count);
    char name[32];
    for (std::size_t i = 0; i < count; ++i) {
        std::snprintf(name, sizeof name, "/d%07zu", i);
        dirs.push_back(parent + name);
    }
    return dirs;
}

// Times one "create" and prints items per second; false when it failed.
bool timed_create(Program& program, const char* label, const std::string& items, std::size_t count) {
    const auto start = Clock::now();
    const std::string answer = program.request("create", items);
    const double t = seconds_since(start);
    if (!all_created(answer)) {
        std::printf("  %s: failed: %.200s\n", label, answer.c_str());
        return false;
    }
    std::printf("  %-40s %8zu items %7.2f s %10.0f items/s\n", label, count, t, double(count) / t);
    return true;
}

// ---- The minimal walker -------------------------------------------------------------------------

// readdir, then per entry fstatat and the two extended attributes the simulation reads (state and
// pin state), walking directories with an explicit stack. Returns the number of entries.
std::size_t minimal_walk(const std::string& root) {
    std::size_t entries = 0;
    std::vector<std::string> pending{root};
    std::string path;
    char value[256];
    while (!pending.empty()) {
        const std::string dir_path = std::move(pending.back());
        pending.pop_back();
        DIR* dir = ::opendir(dir_path.c_str());
        if (dir == nullptr) continue;
        const int fd = ::dirfd(dir);
        while (const dirent* d = ::readdir(dir)) {
            if (std::strcmp(d->d_name, ".") == 0 || std::strcmp(d->d_name, "..") == 0) continue;
            struct stat st{};
            if (::fstatat(fd, d->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
            path.assign(dir_path).append(1, '/').append(d->d_name);
            ::lgetxattr(path.c_str(), "user.zcf.state", value, sizeof value);
            ::lgetxattr(path.c_str(), "user.zcf.pin", value, sizeof value);
            ++entries;
            if (S_ISDIR(st.st_mode)) pending.push_back(path);
        }
        ::closedir(dir);
    }
    return entries;
}

void compare_scan(Program& program, const char* label, const std::string& root, std::size_t expected) {
    double best_scan = 1e9, best_walk = 1e9;
    std::size_t answer_bytes = 0, walked = 0;
    for (int round = 0; round < 3; ++round) {  // alternate, so both see the same cache state
        auto start = Clock::now();
        walked = minimal_walk(root);
        best_walk = std::min(best_walk, seconds_since(start));
        start = Clock::now();
        const std::string answer = program.request("scan", "\"root\":" + quoted(root));
        best_scan = std::min(best_scan, seconds_since(start));
        answer_bytes = answer.size();
        if (!ok(answer)) {
            std::printf("  scan failed: %.200s\n", answer.c_str());
            return;
        }
    }
    if (walked != expected) std::printf("  (walker saw %zu entries, expected %zu)\n", walked, expected);
    std::printf("  %s (%zu entries, answer %.1f MB), best of 3:\n", label, walked, double(answer_bytes) / 1e6);
    std::printf("    %-26s %7.3f s %10.0f entries/s\n", "minimal walker", best_walk, double(walked) / best_walk);
    std::printf("    %-26s %7.3f s %10.0f entries/s   ratio %.2f (target at most 2)\n", "\"scan\" through the program",
                best_scan, double(walked) / best_scan, best_scan / best_walk);
}

int run_program_benchmarks(std::size_t n, const std::string& parent) {
    std::string pattern = parent + "/zcf-bench-XXXXXX";
    const char* base = ::mkdtemp(pattern.data());
    if (base == nullptr) {
        std::fprintf(stderr, "cannot make a directory under %s\n", parent.c_str());
        return 1;
    }
    std::printf("trees under %s\n", base);
    const std::string work = base;
    const std::string root = work + "/root";
    ::mkdir((work + "/state").c_str(), 0700);
    ::mkdir(root.c_str(), 0755);
    Program program = start_program(work + "/state");
    const std::string registered =
        program.request("register", "\"root\":" + quoted(root) + ",\"id\":\"zembra-bench\"");
    bool fine = ok(registered);
    if (!fine) std::printf("\"register\" failed, program benchmarks skipped: %s\n", registered.c_str());

    const std::size_t dir_count = std::max<std::size_t>(n / 100, 1);
    if (fine) {
        std::printf("\"create\" through the program on the simulation\n");
        ::mkdir((root + "/one").c_str(), 0755);
        ::mkdir((root + "/many").c_str(), 0755);
        fine = timed_create(program, "files, all in one directory", create_items({root + "/one"}, n, false), n) &&
               timed_create(program, "folders, all in one directory", create_items({root + "/many"}, n, true), n) &&
               timed_create(program, "files, one directory each", create_items(folder_paths(root + "/many", n), n, false),
                            n);
    }
    if (fine) {
        std::printf("\"scan\" beside a minimal walker (readdir + fstatat + two getxattr per entry)\n");
        // Plain files, pinned as a whole: every entry is listed, none is opened.
        const std::string plain = root + "/plain";
        ::mkdir(plain.c_str(), 0755);
        char name[32];
        for (const std::string& dir : folder_paths(plain, dir_count)) {
            ::mkdir(dir.c_str(), 0755);
            for (std::size_t f = 0; f < n / dir_count; ++f) {
                std::snprintf(name, sizeof name, "/f%05zu.txt", f);
                ::close(::open((dir + name).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
            }
        }
        fine = ok(program.request("pin", "\"path\":" + quoted(plain) + ",\"state\":\"pinned\""));
        if (fine) compare_scan(program, "pinned plain files", plain, dir_count + n / dir_count * dir_count);

        // The same shape as placeholders whose content is absent: each file is opened and queried.
        const std::string cloud = root + "/cloud";
        ::mkdir(cloud.c_str(), 0755);
        fine = fine && all_created(program.request("create", create_items({cloud}, dir_count, true)));
        fine = fine && all_created(program.request("create", create_items(folder_paths(cloud, dir_count), n, false)));
        if (fine) compare_scan(program, "online-only placeholders", cloud, dir_count + n);
    }
    stop_program(program);
    const std::string remove = "rm -rf '" + work + "'";
    return std::system(remove.c_str()) == 0 && fine ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    ::signal(SIGPIPE, SIG_IGN);
    const std::size_t n = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 100000;
    const std::string parent = argc > 2 ? argv[2] : "/dev/shm";
    bench_grouping(n);
    return run_program_benchmarks(n, parent);
}
