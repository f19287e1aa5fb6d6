// The log rewriter: copies a text file with every resolvable dotted IPv4 address (and, when
// asked, every IPv6 address) replaced by its host name.
#pragma once

#include "AddressScanner.h"
#include "Resolver.h"
#include "Worker.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace hostmoor {

class LogReader;
class LogWriter;
class TDNSIgnoreList;

// The host name for an address, through the cache, the resolver and the ignore list; empty
// when there is none.
std::string ReverseLookupCached(EngineRuntime& engine, std::string_view addressText);
std::string ReverseLookupCached(EngineRuntime& engine, const HostAddress& address);
// Its two halves: the cached name, if any; and up to three lookups, recorded in the cache
// or, after the third failure, on the ignore list. Gives the number of lookups made. With an
// answer store in use, the store is asked first and every new answer is handed to it.
std::optional<std::string> CachedName(EngineRuntime& engine, const HostAddress& address);

// Told of each lookup that LookUpAndRecord makes: as it begins, and as it ends; `forward` for
// the lookup of a name's own addresses, which asks another zone than the address's.
class AttemptObserver {
public:
    virtual void Begins(bool forward) = 0;
    virtual void Ended(const LookupOutcome& outcome, bool forward) = 0;

protected:
    ~AttemptObserver() = default;
};

// With verify, a name found is recorded with its verdict (Confirmations): whether it points
// back to the address. An address whose name was found before without one only has it asked.
int LookUpAndRecord(EngineRuntime& engine, const HostAddress& address, std::string* name = nullptr,
                    AttemptObserver* observer = nullptr, bool verify = false);

// Appends to `out` the line with every address of `found` (the line's ScanAddresses list)
// replaced by the name nameOf gives it; an address whose name is empty (on the ignore list, or
// without a name) stays. nameOf gives false for an address whose answer is not known yet:
// `out` is then left as it was, and that address is given back in `unknown`. Replaces no more
// once stop() holds.
template <typename NameOf, typename Stop>
bool AppendSubstituted(std::string_view line, const std::vector<FoundAddress>& found,
                       NameOf&& nameOf, Stop&& stop, std::string& out,
                       const HostAddress*& unknown) {
    const std::size_t start = out.size();
    std::size_t copied = 0;
    for (const FoundAddress& address : found) {
        if (stop())
            break;
        std::string_view name;
        if (!nameOf(address.Address, name)) {
            out.resize(start);
            unknown = &address.Address;
            return false;
        }
        if (name.empty())
            continue;
        out.append(line.substr(copied, address.Position - copied));
        out.append(name);
        copied = address.End();
    }
    out.append(line.substr(copied));
    return true;
}

// What a rewrite went through.
struct RewriteCounts {
    std::int64_t Lines = 0;
    std::int64_t Addresses = 0; // addresses met, each time
    std::int64_t Bytes = 0;     // read (a compressed input's bytes as stored)
    bool Stopped = false;       // stop() cut the rewrite short: the output is incomplete
};

// Copies the input's lines to the output with their addresses replaced, until the input ends
// or stop() holds; adds to the engine's ProcessedBytes every tenth line (the lines' characters,
// or for a compressed input the compressed bytes read). Completed lines are
// handed to the system before every lookup, so that a lookup that never returns loses none.
// With keepLf, an input whose learned break is LF gets LF line ends; otherwise CR LF. IPv6
// addresses are replaced too when the engine's ResolveIPv6 is set as the rewrite begins.
// With `counted`, the counts are kept there as they grow, so that a rewrite that fails part-way
// still tells what it did.
RewriteCounts RewriteLog(EngineRuntime& engine, LogReader& in, LogWriter& out, char& lineBreak,
                         const std::function<bool()>& stop, bool keepLf = false,
                         RewriteCounts* counted = nullptr);

// Rewrites one file to its output: measures it into TotalBytes, opens it, makes the last
// check of the job, creates the output (compressed as the input is), copies the lines, and
// writes the answer store's new answers back. Raises IoError.
RewriteCounts RewriteFile(EngineRuntime& engine, const std::string& inFileName,
                          const std::string& outFileName, char& lineBreak,
                          const std::function<bool()>& stop, RewriteCounts* counted = nullptr);

class TRevLookup final : public TWorker {
public:
    // Registers the worker with the engine's ThreadManager.
    TRevLookup(EngineRuntime& engine, std::string inFileName, std::string outFileName);

    const std::string InFileName;
    const std::string OutFileName;
    char LineBreak = 0;
    // Set when a stop cut the rewrite short, before the completion handler runs.
    bool Stopped = false;

    bool IsFileJob() const override { return true; }

protected:
    void Execute() override;
};

} // namespace hostmoor
