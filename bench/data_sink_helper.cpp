// The least a program can do with "data" lines: read a line, parse it with Boost.JSON, decode the
// Base64 with the same codec and strictness checks, pwrite the bytes at their offset into the file
// named by argv[1], answer with a short line. The hydration benchmark measures the real program
// against this one in the same run.
#include "hydration/base64.h"

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <boost/json/value.hpp>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace {

bool write_all(const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(STDOUT_FILENO, data, size);
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

void handle(std::string_view line, int file) {
    boost::json::value request = boost::json::parse(line);
    const boost::json::object& object = request.as_object();
    const boost::json::string& b64 = object.at("b64").as_string();
    const std::string_view text(b64.data(), b64.size());
    const std::int64_t offset = object.at("offset").to_number<std::int64_t>();
    std::string answer = "{\"ok\":true,\"result\":{},\"seq\":";
    const auto size = zcf::strict_base64_size(text);
    std::unique_ptr<std::uint8_t[]> bytes(new std::uint8_t[size ? *size : 0]);
    if (!size || !zcf::strict_base64_decode(text, bytes.get())) {
        answer = "{\"ok\":false,\"seq\":";
    } else {
        std::size_t done = 0;
        while (done < *size) {
            const ssize_t n = ::pwrite(file, bytes.get() + done, *size - done, offset + static_cast<off_t>(done));
            if (n <= 0) break;
            done += static_cast<std::size_t>(n);
        }
    }
    answer += boost::json::serialize(object.at("seq"));
    answer += "}\n";
    write_all(answer.data(), answer.size());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    const int file = ::open(argv[1], O_WRONLY | O_CREAT, 0644);
    if (file < 0) return 1;
#ifdef F_SETPIPE_SZ
    ::fcntl(STDIN_FILENO, F_SETPIPE_SZ, 1 << 20);  // as the program does
#endif
    std::vector<char> buffer(64 * 1024);
    std::size_t begin = 0, end = 0, scanned = 0;
    for (;;) {
        if (const void* lf = std::memchr(buffer.data() + begin + scanned, '\n', end - begin - scanned)) {
            const std::size_t at = static_cast<std::size_t>(static_cast<const char*>(lf) - buffer.data());
            handle(std::string_view(buffer.data() + begin, at - begin), file);
            begin = at + 1;
            scanned = 0;
            continue;
        }
        scanned = end - begin;
        if (begin > 0) {
            std::memmove(buffer.data(), buffer.data() + begin, end - begin);
            end -= begin;
            begin = 0;
        }
        if (buffer.size() - end < 64 * 1024) buffer.resize(buffer.size() * 2);
        const ssize_t n = ::read(STDIN_FILENO, buffer.data() + end, buffer.size() - end);
        if (n <= 0) break;
        end += static_cast<std::size_t>(n);
    }
    ::close(file);
    return 0;
}
