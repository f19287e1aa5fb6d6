// The floor of a rewrite without lookups: reads a log in blocks of 1 MiB, finds every dotted
// quad of each line with the rewriter's own scanner, and writes each line with CR LF, but
// replaces nothing. Prints the addresses found.
//   hostmoor_scancopy IN OUT
#include "AddressScanner.h"

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

using namespace hostmoor;

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s IN OUT\n", argv[0]);
        return 2;
    }
    const int in = ::open(argv[1], O_RDONLY);
    const int out = ::open(argv[2], O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0) {
        std::perror("open");
        return 1;
    }
    std::string buffer(1 << 20, '\0');
    std::string output;
    output.reserve((1 << 20) + 4096);
    std::vector<FoundAddress> found;
    std::size_t kept = 0; // bytes of a line begun in the last block
    long addresses = 0;
    for (;;) {
        const ssize_t n = ::read(in, buffer.data() + kept, buffer.size() - kept);
        if (n < 0) {
            std::perror("read");
            return 1;
        }
        const std::size_t end = kept + static_cast<std::size_t>(n);
        std::size_t at = 0;
        for (;;) {
            const void* lf = std::memchr(buffer.data() + at, '\n', end - at);
            if (!lf && n > 0)
                break;
            const std::size_t stop =
                lf ? static_cast<std::size_t>(static_cast<const char*>(lf) - buffer.data()) : end;
            if (!lf && stop == at)
                break;
            const std::string_view line(buffer.data() + at, stop - at);
            ScanAddresses(line, found);
            addresses += static_cast<long>(found.size());
            output.append(line);
            output.append("\r\n");
            at = stop + 1;
            if (!lf)
                break;
        }
        if (::write(out, output.data(), output.size()) != static_cast<ssize_t>(output.size())) {
            std::perror("write");
            return 1;
        }
        output.clear();
        if (n == 0)
            break;
        kept = end > at ? end - at : 0;
        if (kept == buffer.size())
            buffer.resize(buffer.size() * 2);
        std::memmove(buffer.data(), buffer.data() + at, kept);
    }
    std::printf("addresses=%ld\n", addresses);
    return 0;
}
