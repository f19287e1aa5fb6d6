// Writes a combined-format access log and the PTR records for part of its client addresses.
//   hostmoor_genlog LOG HOSTS LINES DISTINCT RESOLVABLE_PERCENT [SILENT_PERCENT [IPV6_PERCENT]]
// Client addresses are drawn from 198.18.0.0/15, the benchmarking range; the silent share
// (at most 256) from 198.51.100.0/24, whose reverse lookups the test DNS server never answers;
// an IPv6 share from 2001:2::/48, IPv6's benchmarking range, whose addresses also appear in
// one referrer in five.
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    if (argc < 6 || argc > 8) {
        std::fprintf(stderr,
                     "usage: %s LOG HOSTS LINES DISTINCT RESOLVABLE_PERCENT [SILENT_PERCENT "
                     "[IPV6_PERCENT]]\n",
                     argv[0]);
        return 2;
    }
    const long lines = std::atol(argv[3]);
    const long distinct = std::atol(argv[4]);
    const long resolvable = distinct * std::atol(argv[5]) / 100;
    const long silent = argc >= 7 ? distinct * std::atol(argv[6]) / 100 : 0;
    const long v6 = argc == 8 ? distinct * std::atol(argv[7]) / 100 : 0;
    if (silent > 256 || resolvable + silent > distinct) {
        std::fprintf(stderr, "at most 256 silent addresses, and no more than DISTINCT in all\n");
        return 2;
    }
    if (distinct < 1 || distinct > 131072) {
        std::fprintf(stderr, "DISTINCT must be 1 to 131072\n");
        return 2;
    }
    if (v6 + silent > distinct) {
        std::fprintf(stderr, "no more silent and IPv6 addresses than DISTINCT\n");
        return 2;
    }
    // The two families take turns in their proportion, so that each has its share of names.
    std::vector<std::string> addresses;
    std::vector<std::string> v6Addresses;
    const long answering = distinct - silent;
    for (long i = 0, four = 0; i < answering; ++i) {
        if (static_cast<long>(v6Addresses.size()) < (i + 1) * v6 / answering) {
            char text[64];
            const long k = static_cast<long>(v6Addresses.size());
            std::snprintf(text, sizeof text, "2001:2::%lx:%lx", k >> 16, k & 0xffff);
            v6Addresses.push_back(text);
            addresses.push_back(text);
        } else {
            addresses.push_back("198." + std::to_string(18 + (four >> 16)) + "." +
                                std::to_string((four >> 8) & 255) + "." +
                                std::to_string(four & 255));
            ++four;
        }
    }
    for (long i = 0; i < silent; ++i)
        addresses.push_back("198.51.100." + std::to_string(i));

    FILE* hosts = std::fopen(argv[2], "w");
    if (!hosts)
        return 1;
    for (long i = 0; i < resolvable; ++i)
        std::fprintf(hosts, "%s client-%ld.bench.test\n", addresses[i].c_str(), i);
    std::fclose(hosts);

    static const char* methods[] = {"GET", "GET", "GET", "POST", "HEAD"};
    static const char* paths[] = {"/",
                                  "/index.html",
                                  "/docs/v2.4/guide.html",
                                  "/img/logo-1.2.png",
                                  "/api/v1/items?id=42",
                                  "/downloads/tool-3.10.2.tar.gz",
                                  "/blog/2026/12/07/release-notes",
                                  "/favicon.ico"};
    static const char* refs[] = {"-", "https://www.example.com/",
                                 "https://search.example.org/?q=dns",
                                 "http://203.0.113.7/links.html"};
    static const char* agents[] = {
        "Mozilla/5.0 (X11; Linux x86_64; rv:120.0) Gecko/20100101 Firefox/120.0",
        "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) "
        "Chrome/119.0.6045.199 Safari/537.36",
        "curl/7.88.1", "Wget/1.21.3",
        "Mozilla/5.0 (iPhone; CPU iPhone OS 17_1_2 like Mac OS X) AppleWebKit/605.1.15 "
        "(KHTML, like Gecko) Version/17.1.2 Mobile/15E148 Safari/604.1"};
    static const int statuses[] = {200, 200, 200, 304, 404, 301};

    FILE* log = std::fopen(argv[1], "w");
    if (!log)
        return 1;
    std::mt19937 rng(20261207);
    std::vector<char> buffer(1 << 20);
    std::setvbuf(log, buffer.data(), _IOFBF, buffer.size());
    std::string ref;
    auto refFor = [&](unsigned pick) {
        ref = refs[pick];
        if (!v6Addresses.empty() && rng() % 5 == 0)
            ref = "http://[" + v6Addresses[rng() % v6Addresses.size()] + "]/links.html";
        return ref.c_str();
    };
    for (long n = 0; n < lines; ++n) {
        const std::string& client = addresses[rng() % distinct];
        std::fprintf(log,
                     "%s - - [07/Dec/2026:%02u:%02u:%02u +0000] \"%s %s HTTP/1.1\" %d %u \"%s\" "
                     "\"%s\"\n",
                     client.c_str(), unsigned(rng() % 24), unsigned(rng() % 60),
                     unsigned(rng() % 60), methods[rng() % 5], paths[rng() % 8],
                     statuses[rng() % 6], unsigned(rng() % 50000), refFor(rng() % 4),
                     agents[rng() % 5]);
    }
    std::fclose(log);
    return 0;
}
