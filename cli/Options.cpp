#include "Options.h"

#include "AnswerStore.h"
#include "LookupPool.h"

#include <algorithm>
#include <charconv>

namespace hostmoor::rdns {

const char* const kUsage =
    "Usage: hostmoor-rdns [OPTION]... [FILE]...\n"
    "Copy each FILE to a file beside it with the extension changed to .rdns, every dotted\n"
    "IPv4 address replaced by the host name its reverse lookup gives. With no FILE, or when\n"
    "FILE is -, copy standard input to standard output. A FILE compressed with gzip, bzip2,\n"
    "xz or zstd is read decompressed and its copy compressed the same way, named with .rdns\n"
    "before the compression's suffix (access.log.2.gz gives access.log.2.rdns.gz).\n"
    "\n"
    "  -6, --ipv6     also replace every IPv6 address (2001:db8::1, [2001:db8::1]:443) by its\n"
    "                 host name; one with a zone (fe80::1%eth0) is left as it is\n"
    "      --verify   use a name only if it points back to the address (its own addresses\n"
    "                 include it); otherwise leave the address. Whoever runs an address's\n"
    "                 reverse zone can make it name any host, a search engine's or a bank's;\n"
    "                 a name that does not lead back is such a forgery, or a stale one\n"
    "  -j, --jobs N   make up to N lookups at once (1 to 1024); by default the number\n"
    "                 grows while answers come back as fast, and falls when they slow\n"
    "                 down or stop coming\n"
    "      --cache[=FILE]  remember answers between runs in FILE (default\n"
    "                 $XDG_CACHE_HOME/hostmoor/answers.sqlite); a name is trusted for a day,\n"
    "                 \"no such name\" for an hour, no answer or a refusal for 5 minutes\n"
    "      --cache-max-age DURATION  trust a remembered name this long (90m, 36h, 2d;\n"
    "                 at most 30d)\n"
    "      --crlf     end every output line with CR LF; files always are, and standard\n"
    "                 output is unless the input's lines end with LF\n"
    "      --compress=FORMAT  compress standard output with gzip, bzip2, xz or zstd\n"
    "                 (default none; standard input is read decompressed in any case)\n"
    "  -s, --stats    at the end, print lines, bytes, addresses and lookups to standard error\n"
    "  -q, --quiet    print no progress\n"
    "  -h, --help     print this help and end\n"
    "  -V, --version  print the version and end\n"
    "\n"
    "Exit status: 0 when every file was rewritten completely, 1 when a file could not be or was\n"
    "refused, 2 for a wrong command line; a rewrite stopped by a signal ends with 128 + the\n"
    "signal's number, its output holding every line completed.\n";

namespace {

bool ParseJobs(const std::string& text, int& jobs) {
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, jobs);
    return !text.empty() && error == std::errc() && stop == end && jobs >= 1 &&
           jobs <= TLookupPool::kMaxLimit;
}

} // namespace

bool ParseOptions(const std::vector<std::string>& args, Options& options, std::string& error) {
    bool onlyFiles = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (onlyFiles || arg == "-" || arg.empty() || arg[0] != '-') {
            options.Files.push_back(arg);
            continue;
        }
        if (arg == "--") {
            onlyFiles = true;
            continue;
        }
        // A long option may carry its value after "=", which is then its value even if empty.
        const std::size_t equals = arg.rfind("--", 0) == 0 ? arg.find('=') : std::string::npos;
        const std::string name = arg.substr(0, equals);
        const bool attached = equals != std::string::npos;
        auto value = [&](std::string& into) {
            if (attached)
                into = arg.substr(equals + 1);
            else if (i + 1 < args.size())
                into = args[++i];
            else {
                error = "option '" + name + "' needs a value";
                return false;
            }
            if (into.empty()) {
                error = "option '" + name + "' needs a value";
                return false;
            }
            return true;
        };
        auto flag = [&](bool& into) {
            if (attached) {
                error = "option '" + name + "' takes no value";
                return false;
            }
            into = true;
            return true;
        };
        bool ok = true;
        if (name == "-j" || name == "--jobs") {
            std::string text;
            ok = value(text);
            if (ok && !ParseJobs(text, options.Jobs)) {
                error = "'" + text + "' is not a number of lookups from 1 to 1024";
                ok = false;
            }
        } else if (name == "--crlf") {
            ok = flag(options.CrLf);
        } else if (name == "--compress") {
            std::string text;
            ok = value(text);
            const std::optional<Compression> format = CompressionNamed(text);
            if (ok && !format) {
                error = "'" + text + "' is not gzip, bzip2, xz, zstd or none";
                ok = false;
            }
            options.Compress = format.value_or(Compression::None);
        } else if (name == "-6" || name == "--ipv6") {
            ok = flag(options.IPv6);
        } else if (name == "--verify") {
            ok = flag(options.Verify);
        } else if (name == "--cache") {
            // The file only after "=": a separate word is a file to rewrite.
            options.Cache = true;
            options.CacheFile = attached ? arg.substr(equals + 1) : std::string();
            if (attached && options.CacheFile.empty()) {
                error = "option '--cache=' needs a file";
                ok = false;
            }
        } else if (name == "--cache-max-age") {
            std::string text;
            ok = value(text);
            if (ok && !ParseDuration(text, options.CacheMaxAge)) {
                error = "'" + text + "' is not a duration such as 90m, 36h or 2d";
                ok = false;
            } else if (ok && options.CacheMaxAge > kLongestNameAge) {
                error = "'" + text + "' is longer than the 30 days a name may be trusted";
                ok = false;
            }
        } else if (name == "-s" || name == "--stats") {
            ok = flag(options.Stats);
        } else if (name == "-q" || name == "--quiet") {
            ok = flag(options.Quiet);
        } else if (name == "-h" || name == "--help") {
            ok = flag(options.Help);
        } else if (name == "-V" || name == "--version") {
            ok = flag(options.Version);
        } else {
            error = "unknown option '" + arg + "'";
            ok = false;
        }
        if (!ok)
            return false;
    }
    if (options.CacheMaxAge != 0 && !options.Cache) {
        error = "option '--cache-max-age' is for answers remembered with --cache";
        return false;
    }
    const bool filtering =
        options.Files.empty() ||
        std::find(options.Files.begin(), options.Files.end(), "-") != options.Files.end();
    if (options.Compress != Compression::None && !filtering) {
        error = "option '--compress' is for standard output; a file's copy is compressed as "
                "the file is";
        return false;
    }
    return true;
}

} // namespace hostmoor::rdns
