#include "RevLookup.h"

#include "AddressScanner.h"
#include "EngineRuntime.h"
#include "LogFile.h"
#include "RewriteBatch.h"

namespace hostmoor {

std::string ReverseLookupCached(EngineRuntime& engine, std::string_view addressText) {
    return ReverseLookupCached(engine, TextToAddress(addressText));
}

std::string ReverseLookupCached(EngineRuntime& engine, Address address) {
    if (auto name = engine.DNSCache.FindAddr(address))
        return *name;
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (engine.ApplicationTerminating())
            return {};
        LookupOutcome outcome = engine.Resolver.LookupHostByAddress(address);
        if (outcome.Host) {
            std::string name = outcome.Host->Name.substr(0, kMaxCachedName);
            engine.DNSCache.Add(name, address);
            return name;
        }
    }
    engine.IgnoreList.Add("", address);
    return {};
}

void SubstituteAddresses(EngineRuntime& engine, std::string& line, const TWorker* worker) {
    std::size_t from = 0;
    while (!(worker ? worker->ShouldStop() : engine.ApplicationTerminating())) {
        const FoundAddress found = FindAddressInLine(line, from, &engine.IgnoreList);
        if (found.Text.empty())
            return;
        const std::string name = ReverseLookupCached(engine, found.Address);
        if (name.empty()) {
            // Unresolvable (now ignored) or cached with an empty name: pass over it.
            from = found.RunEnd + 1;
            continue;
        }
        line.replace(found.Position, found.Text.size(), name);
        from = found.Position + name.size();
    }
}

TRevLookup::TRevLookup(EngineRuntime& engine, std::string inFileName, std::string outFileName)
    : TWorker(engine), InFileName(std::move(inFileName)), OutFileName(std::move(outFileName)) {
    Engine.ThreadManager.AddThread(this);
}

void TRevLookup::Execute() {
    FreeOnTerminate = true;
    Engine.TotalBytes.fetch_add(FileSizeOf(InFileName));
    LogReader in(InFileName);
    // The page has checked the batch; this is the last word before the output is touched.
    if (CheckRewriteJob({InFileName, OutFileName}) != Refusal::None)
        throw IoError("Cannot create " + OutFileName + ": it is the input file " + InFileName);
    LogWriter out(OutFileName, InFileName);
    std::int64_t lines = 0;
    std::int64_t pending = 0;
    std::string line;
    while (!ShouldStop() && !in.AtEnd()) {
        ReadLogLine(in, line, LineBreak);
        pending += static_cast<std::int64_t>(line.size());
        if (++lines % 10 == 0) {
            Engine.ProcessedBytes.fetch_add(pending);
            pending = 0;
        }
        SubstituteAddresses(Engine, line, this);
        out.WriteLine(line);
    }
    out.Close();
    in.Close();
}

} // namespace hostmoor
