// Drives the program against the Linux platform in a private temporary folder: the input bytes become a
// sequence of requests (register, create, connect, pin, dehydrate, attrs, adopt, scan, hydrate, and
// "data" or "fail" answers to the fetches that come up) and local writes. After every input it
// checks that every request was answered exactly once, and that a folder beside the private one
// (with a file, a sync root and a placeholder in it) did not change. Paths never climb out of the
// private folder, so nothing else on the machine is touched.
#include "main/main_loop.h"
#include "platform/streams.h"

#include <boost/beast/core/detail/base64.hpp>
#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
namespace json = boost::json;

// Output lines, collected from any thread.
class Collector final : public zcf::Streams {
public:
    std::ptrdiff_t read_input(char*, std::size_t) override { return 0; }
    bool write_output(const char* data, std::size_t size) override {
        std::lock_guard<std::mutex> guard(lock_);
        partial_.append(data, size);
        for (std::size_t lf; (lf = partial_.find('\n')) != std::string::npos;) {
            lines_.push_back(partial_.substr(0, lf));
            partial_.erase(0, lf + 1);
        }
        changed_.notify_all();
        return true;
    }
    // Takes the lines written so far; waits up to `wait` for the first one when there is none.
    std::vector<std::string> take(std::chrono::milliseconds wait = std::chrono::milliseconds(0)) {
        std::unique_lock<std::mutex> guard(lock_);
        changed_.wait_for(guard, wait, [&] { return !lines_.empty(); });
        std::vector<std::string> out(lines_.begin(), lines_.end());
        lines_.clear();
        return out;
    }

private:
    std::mutex lock_;
    std::condition_variable changed_;
    std::deque<std::string> lines_;
    std::string partial_;
};

// The input, read a little at a time; zeros once it is used up.
class Bytes {
public:
    Bytes(const std::uint8_t* data, std::size_t size) : data_(data), left_(size) {}
    bool empty() const { return left_ == 0; }
    std::uint8_t byte() {
        if (left_ == 0) return 0;
        --left_;
        return *data_++;
    }
    std::uint32_t below(std::uint32_t n) { return n == 0 ? 0 : byte() % n; }

private:
    const std::uint8_t* data_;
    std::size_t left_;
};

// What one file's state on disk looks like, to notice a change.
std::string fingerprint(const fs::path& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return "missing";
    std::string text = std::to_string(st.st_mode) + ":" + std::to_string(st.st_size) + ":" +
                       std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec) + ":" +
                       std::to_string(st.st_blocks);
    char names[4096];
    const ssize_t n = ::llistxattr(path.c_str(), names, sizeof names);
    for (ssize_t at = 0; at < n;) {
        const std::string name(names + at);
        char value[8192];
        const ssize_t v = ::lgetxattr(path.c_str(), name.c_str(), value, sizeof value);
        text += ";" + name + "=" + (v >= 0 ? std::string(value, static_cast<std::size_t>(v)) : "?");
        at += static_cast<ssize_t>(name.size()) + 1;
    }
    if (S_ISREG(st.st_mode)) {
        std::ifstream in(path, std::ios::binary);
        text += ":" + std::string(std::istreambuf_iterator<char>(in), {});
    }
    return text;
}

std::map<std::string, std::string> snapshot(const fs::path& dir) {
    std::map<std::string, std::string> out;
    out[dir.string()] = fingerprint(dir);
    for (const auto& entry : fs::recursive_directory_iterator(dir)) out[entry.path().string()] = fingerprint(entry.path());
    return out;
}

struct Fetch {
    std::uint64_t req;
    std::int64_t offset, length, file_size;
};

class Session {
public:
    explicit Session(const fs::path& base) : base_(base), root_(base / "root") {}

    void run(Bytes& in) {
        while (!in.empty() && requests_ < 64) step(in);
        finish();
    }

private:
    // A path inside the private folder: a few components from a small set, never above it.
    std::string path(Bytes& in) {
        static const char* const NAMES[] = {"root", "a", "b.bin", "sub", "..", ".", "", "x y", "\xC3\xA9",
                                            "c:d", "*", "root/sub"};
        std::vector<std::string> parts;
        const std::uint32_t count = 1 + in.below(3);
        for (std::uint32_t i = 0; i < count; ++i) {
            const std::string name = NAMES[in.below(sizeof NAMES / sizeof *NAMES)];
            if (name == "..") {
                if (parts.empty()) continue;
                parts.pop_back();
                continue;
            }
            parts.push_back(name);
        }
        std::string out = base_.string();
        for (const std::string& part : parts) out += "/" + part;
        return out;
    }

    std::string name(Bytes& in) {
        static const char* const NAMES[] = {"a", "b.bin", "sub", "c", "\xC3\xA9t\xC3\xA9", "x:y", ".", "..", "",
                                            "d e", "new"};
        return NAMES[in.below(sizeof NAMES / sizeof *NAMES)];
    }

    void send(json::object request) {
        const std::uint64_t seq = ++requests_;
        request["seq"] = seq;
        expected_.insert(seq);
        const std::string line = json::serialize(request);
        zcf::handle_line(line.data(), line.size(), nullptr);
        collect(std::chrono::milliseconds(0));
    }

    void collect(std::chrono::milliseconds wait) {
        for (const std::string& line : collector().take(wait)) {
            const json::value v = json::parse(line);
            const json::object& o = v.as_object();
            if (const json::value* event = o.if_contains("event")) {
                if (*event == "fetch")
                    fetches_.push_back({o.at("req").to_number<std::uint64_t>(), o.at("offset").to_number<std::int64_t>(),
                                        o.at("length").to_number<std::int64_t>(),
                                        o.at("fileSize").to_number<std::int64_t>()});
                continue;
            }
            const std::uint64_t seq = o.at("seq").to_number<std::uint64_t>();
            if (!answered_.insert(seq).second || expected_.count(seq) == 0) {
                std::fprintf(stderr, "seq %llu answered twice or never asked: %s\n",
                             static_cast<unsigned long long>(seq), line.c_str());
                std::abort();
            }
        }
    }

    void step(Bytes& in) {
        json::object r;
        switch (in.below(14)) {
            case 0: r = {{"cmd", "register"}, {"root", path(in)}, {"id", in.below(2) ? "fuzz" : "other"}}; break;
            case 1: r = {{"cmd", "unregister"}, {"id", in.below(2) ? "fuzz" : "other"}}; break;
            case 2: r = {{"cmd", "connect"}, {"root", path(in)}}; break;
            case 3: r = {{"cmd", "disconnect"}}; break;
            case 4: {
                json::array items;
                for (std::uint32_t i = 0, n = 1 + in.below(3); i < n; ++i) {
                    json::object item{{"name", name(in)}, {"dir", path(in)}, {"identity", name(in)},
                                      {"size", static_cast<std::int64_t>(in.below(4)) * 4096 + in.below(200)}};
                    if (in.below(3) == 0) item["folder"] = true;
                    items.push_back(std::move(item));
                }
                r = {{"cmd", "create"}, {"items", std::move(items)}};
                break;
            }
            case 5: {
                static const char* const STATES[] = {"pinned", "unpinned", "unspecified", "bogus"};
                r = {{"cmd", "pin"}, {"path", path(in)}, {"state", STATES[in.below(4)]}};
                break;
            }
            case 6: r = {{"cmd", "dehydrate"}, {"path", path(in)}}; break;
            case 7: r = {{"cmd", "attrs"}, {"path", path(in)}}; break;
            case 8: r = {{"cmd", "adopt"}, {"path", path(in)}, {"identity", name(in)}}; break;
            case 9: r = {{"cmd", "scan"}, {"root", path(in)}}; break;
            case 10: r = {{"cmd", "hydrate"}, {"path", path(in)}}; break;
            case 11:
            case 12: answer_fetch(in); return;
            default: write_local(in); return;
        }
        send(std::move(r));
    }

    // "data" (aligned or not, to the end or not) or "fail" for a fetch that came up.
    void answer_fetch(Bytes& in) {
        collect(std::chrono::milliseconds(in.below(2) * 20));
        if (fetches_.empty()) return;
        const std::size_t pick = in.below(static_cast<std::uint32_t>(fetches_.size()));
        const Fetch fetch = fetches_[pick];
        if (in.below(4) == 0) {
            fetches_.erase(fetches_.begin() + static_cast<std::ptrdiff_t>(pick));
            send({{"cmd", "fail"}, {"req", fetch.req}});
            return;
        }
        const std::int64_t offset = fetch.offset + static_cast<std::int64_t>(in.below(3)) * 4096 + in.below(2);
        std::int64_t length = static_cast<std::int64_t>(1 + in.below(3)) * 4096;
        if (in.below(2) != 0) length = fetch.file_size - offset;  // to the end of the file
        length = std::clamp<std::int64_t>(length, 0, 64 * 1024);
        std::string bytes(static_cast<std::size_t>(length), static_cast<char>(in.byte()));
        std::string text(boost::beast::detail::base64::encoded_size(bytes.size()), '\0');
        text.resize(boost::beast::detail::base64::encode(text.data(), bytes.data(), bytes.size()));
        send({{"cmd", "data"}, {"req", fetch.req}, {"offset", offset}, {"b64", text}});
    }

    // An application writes a plain file (something for "adopt").
    void write_local(Bytes& in) {
        const fs::path target = path(in) + "/" + name(in);
        std::error_code ec;
        if (fs::is_directory(target.parent_path(), ec) && !fs::exists(target, ec)) {
            std::ofstream out(target, std::ios::binary);
            out << std::string(in.below(9000), 'w');
        }
    }

    // Fails what is still asked for until every request has its answer, then disconnects.
    void finish() {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (answered_.size() < expected_.size()) {
            collect(std::chrono::milliseconds(20));
            for (const Fetch& fetch : fetches_) send({{"cmd", "fail"}, {"req", fetch.req}});
            fetches_.clear();
            if (std::chrono::steady_clock::now() > deadline) {
                std::fprintf(stderr, "%zu of %zu requests unanswered\n", expected_.size() - answered_.size(),
                             expected_.size());
                std::abort();
            }
        }
        send({{"cmd", "disconnect"}});
        collect(std::chrono::milliseconds(0));
    }

    static Collector& collector() {
        static Collector* const COLLECTOR = [] {
            auto* c = new Collector();
            zcf::set_streams(c);
            return c;
        }();
        return *COLLECTOR;
    }

    fs::path base_, root_;
    std::uint64_t requests_ = 0;
    std::set<std::uint64_t> expected_, answered_;
    std::vector<Fetch> fetches_;
};

struct Folders {
    fs::path base, beside;
    std::map<std::string, std::string> beside_state;
};

// Made once per process: the private folder (with the Linux platform's state directory inside it, and
// short fetch time-outs) and the folder beside it that must not change.
Folders& folders() {
    static Folders* const FOLDERS = [] {
        auto* f = new Folders();
        char base[] = "/tmp/zcf-state-fuzz-XXXXXX";
        char beside[] = "/tmp/zcf-state-beside-XXXXXX";
        if (::mkdtemp(base) == nullptr || ::mkdtemp(beside) == nullptr) std::abort();
        f->base = base;
        f->beside = beside;
        ::setenv("XDG_STATE_HOME", (f->base / "state").c_str(), 1);
        fs::create_directories(f->base / "state" / "zembra-cloud-files");
        std::ofstream(f->base / "state" / "zembra-cloud-files" / "sim.json") << R"({"fetchTimeoutMs":300})";
        std::ofstream(f->beside / "plain.txt") << "plain";
        fs::create_directories(f->beside / "root");
        ::setxattr((f->beside / "plain.txt").c_str(), "user.zcf.pin", "1", 1, 0);
        f->beside_state = snapshot(f->beside);
        return f;
    }();
    return *FOLDERS;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Folders& f = folders();
    // A fresh private folder per input, its state directory and settings kept.
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(f.base))
        if (entry.path().filename() != "state") fs::remove_all(entry.path(), ec);
    fs::remove(f.base / "state" / "zembra-cloud-files" / "sync-roots.json", ec);
    fs::create_directories(f.base / "root" / "sub");
    Bytes in(data, size);
    Session(f.base).run(in);
    if (snapshot(f.beside) != f.beside_state) {
        std::fprintf(stderr, "the folder beside the private one changed\n");
        std::abort();
    }
    return 0;
}
