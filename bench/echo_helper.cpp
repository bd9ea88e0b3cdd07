// The yardstick for round trips: reads a line and answers with a short line, nothing else.
#include <cstdio>
#include <cstring>
#include <unistd.h>

int main() {
    static char buffer[1 << 16];
    std::size_t used = 0;
    const char answer[] = "{\"ok\":true,\"result\":{},\"seq\":1}\n";
    for (;;) {
        const ssize_t n = ::read(0, buffer + used, sizeof buffer - used);
        if (n <= 0) return 0;
        used += static_cast<std::size_t>(n);
        char* start = buffer;
        while (char* lf = static_cast<char*>(std::memchr(start, '\n', buffer + used - start))) {
            if (::write(1, answer, sizeof answer - 1) < 0) return 0;
            start = lf + 1;
        }
        used = static_cast<std::size_t>(buffer + used - start);
        std::memmove(buffer, start, used);
    }
}
