// Round trip of a small request through the program, one at a time, beside a minimal line-echo
// process measured in the same run. Prints median and p99 in microseconds.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

struct Child {
    pid_t pid = -1;
    int in = -1;   // we write
    int out = -1;  // we read
    std::string pending;

    std::string read_line() {
        for (;;) {
            const std::size_t lf = pending.find('\n');
            if (lf != std::string::npos) {
                std::string line = pending.substr(0, lf);
                pending.erase(0, lf + 1);
                return line;
            }
            char buffer[4096];
            const ssize_t n = ::read(out, buffer, sizeof buffer);
            if (n <= 0) {
                std::fprintf(stderr, "child closed its output\n");
                std::exit(1);
            }
            pending.append(buffer, static_cast<std::size_t>(n));
        }
    }
};

// Runs the child on `child_cpu` (the parent stays where it is pinned), so that both programs are
// measured with the same placement: a wake-up across cores costs far more than the work itself.
Child start(const char* path, int child_cpu) {
    int to_child[2], from_child[2];
    if (::pipe(to_child) != 0 || ::pipe(from_child) != 0) std::exit(1);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, to_child[0], 0);
    posix_spawn_file_actions_adddup2(&actions, from_child[1], 1);
    posix_spawn_file_actions_addclose(&actions, to_child[1]);
    posix_spawn_file_actions_addclose(&actions, from_child[0]);
    char* argv[] = {const_cast<char*>(path), nullptr};
    cpu_set_t mine, theirs;
    sched_getaffinity(0, sizeof mine, &mine);
    CPU_ZERO(&theirs);
    CPU_SET(child_cpu, &theirs);
    sched_setaffinity(0, sizeof theirs, &theirs);  // inherited by the child
    Child child;
    if (posix_spawn(&child.pid, path, &actions, nullptr, argv, environ) != 0) {
        std::fprintf(stderr, "cannot start %s\n", path);
        std::exit(1);
    }
    sched_setaffinity(0, sizeof mine, &mine);
    ::close(to_child[0]);
    ::close(from_child[1]);
    child.in = to_child[1];
    child.out = from_child[0];
    return child;
}

void stop(Child& child) {
    ::close(child.in);
    ::close(child.out);
    int status = 0;
    ::waitpid(child.pid, &status, 0);
}

struct Figures {
    double median_us;
    double p99_us;
};

Figures measure(const char* path, bool skip_ready, int rounds, int child_cpu) {
    Child child = start(path, child_cpu);
    if (skip_ready) child.read_line();
    const std::string request = "{\"cmd\":\"nothing\",\"seq\":1}\n";
    std::vector<double> samples;
    samples.reserve(static_cast<std::size_t>(rounds));
    for (int i = 0; i < rounds + 200; ++i) {
        const auto t0 = std::chrono::steady_clock::now();
        if (::write(child.in, request.data(), request.size()) < 0) std::exit(1);
        child.read_line();
        const auto t1 = std::chrono::steady_clock::now();
        if (i >= 200) samples.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());  // after warm-up
    }
    stop(child);
    std::sort(samples.begin(), samples.end());
    return {samples[samples.size() / 2], samples[samples.size() * 99 / 100]};
}

}  // namespace

int main(int argc, char** argv) {
    ::signal(SIGPIPE, SIG_IGN);
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 20000;
    const std::string echo = std::string(ZCF_BENCH_DIR) + "/echo_helper";
    const int cpus = static_cast<int>(::sysconf(_SC_NPROCESSORS_ONLN));
    std::printf("round trip of a small request, %d rounds (microseconds)\n", rounds);
    for (int placement = 0; placement < (cpus > 1 ? 2 : 1); ++placement) {
        cpu_set_t parent;
        CPU_ZERO(&parent);
        CPU_SET(0, &parent);
        sched_setaffinity(0, sizeof parent, &parent);
        const int child_cpu = placement == 0 ? 0 : 1;
        // Alternate the two so that both see the same machine state; keep the second pass.
        Figures program{}, baseline{};
        for (int pass = 0; pass < 2; ++pass) {
            baseline = measure(echo.c_str(), false, rounds, child_cpu);
            program = measure(ZCF_PROGRAM_PATH, true, rounds, child_cpu);
        }
        std::printf(" %s:\n", placement == 0 ? "both processes on one core" : "processes on different cores");
        std::printf("  %-22s median %8.1f   p99 %8.1f\n", "line-echo process", baseline.median_us, baseline.p99_us);
        std::printf("  %-22s median %8.1f   p99 %8.1f\n", "zembra_cloud_files", program.median_us, program.p99_us);
        std::printf("  median ratio %.2f (target at most 1.5)\n", program.median_us / baseline.median_us);
    }
    return 0;
}
