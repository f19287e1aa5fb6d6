// The command line of hostmoor-rdns.
#pragma once

#include "Compression.h"

#include <cstdint>
#include <string>
#include <vector>

namespace hostmoor::rdns {

struct Options {
    std::vector<std::string> Files;           // empty, or "-": standard input to standard output
    int Jobs = -1;                            // lookups in flight; -1: found as the lookups go
    bool CrLf = false;                        // CR LF line ends also when filtering an LF input
    Compression Compress = Compression::None; // of standard output
    bool IPv6 = false;                        // IPv6 addresses are replaced too
    bool Verify = false;                      // only by names that point back to the address
    bool Cache = false;                       // answers remembered between runs, in CacheFile
    std::string CacheFile;                    // empty: the default file
    std::int64_t CacheMaxAge = 0;             // seconds a name is trusted; 0: the store's default
    bool Stats = false;
    bool Quiet = false;
    bool Help = false;
    bool Version = false;
};

// Reads the arguments after the program's name. An error is given as its message, and the
// options then hold what was read before it.
bool ParseOptions(const std::vector<std::string>& args, Options& options, std::string& error);

extern const char* const kUsage;

} // namespace hostmoor::rdns
