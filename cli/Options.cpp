#include "Options.h"

#include "LookupPool.h"

#include <charconv>

namespace hostmoor::rdns {

const char* const kUsage =
    "Usage: hostmoor-rdns [OPTION]... [FILE]...\n"
    "Copy each FILE to a file beside it with the extension changed to .rdns, every dotted\n"
    "IPv4 address replaced by the host name its reverse lookup gives. With no FILE, or when\n"
    "FILE is -, copy standard input to standard output.\n"
    "\n"
    "  -j, --jobs N   make up to N lookups at once (1 to 1024; default 64)\n"
    "      --crlf     end every output line with CR LF; files always are, and standard\n"
    "                 output is unless the input's lines end with LF\n"
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
        } else if (arg == "--") {
            onlyFiles = true;
        } else if (arg == "-j" || arg == "--jobs" || arg.rfind("--jobs=", 0) == 0) {
            std::string value;
            if (arg.size() > 7 && arg[6] == '=')
                value = arg.substr(7);
            else if (i + 1 < args.size())
                value = args[++i];
            else {
                error = "option '" + arg + "' needs a number";
                return false;
            }
            if (!ParseJobs(value, options.Jobs)) {
                error = "'" + value + "' is not a number of lookups from 1 to 1024";
                return false;
            }
        } else if (arg == "--crlf") {
            options.CrLf = true;
        } else if (arg == "-s" || arg == "--stats") {
            options.Stats = true;
        } else if (arg == "-q" || arg == "--quiet") {
            options.Quiet = true;
        } else if (arg == "-h" || arg == "--help") {
            options.Help = true;
        } else if (arg == "-V" || arg == "--version") {
            options.Version = true;
        } else {
            error = "unknown option '" + arg + "'";
            return false;
        }
    }
    return true;
}

} // namespace hostmoor::rdns
