#include "RevLookup.h"

#include "EngineRuntime.h"
#include "LogFile.h"
#include "LookAhead.h"
#include "RewriteBatch.h"

#include <algorithm>
#include <cctype>
#include <ctime>

namespace hostmoor {

std::optional<std::string> CachedName(EngineRuntime& engine, const HostAddress& address) {
    return engine.DNSCache.FindAddr(address);
}

namespace {

// What a name in the answer store may hold: the characters of a host name, as the resolver
// gives them. Anything else (a file mended by hand) is not written into a line.
bool IsHostName(std::string_view name) {
    return name.size() <= kMaxCachedName &&
           std::all_of(name.begin(), name.end(), [](unsigned char c) {
               return std::isalnum(c) || c == '-' || c == '.' || c == '_';
           });
}

} // namespace

int LookUpAndRecord(EngineRuntime& engine, const HostAddress& address, std::string* name,
                    AttemptObserver* observer) {
    IAnswerStore* store = engine.AnswerStore();
    // Only what is learned while answers are to be remembered reaches the store.
    auto remember = [&engine](const StoredAnswer& answer) {
        if (IAnswerStore* now = engine.AnswerStore())
            now->Remember(answer);
    };
    if (store) {
        // An answer remembered from an earlier run is recorded as the lookups would have.
        const StoreFind known = store->Find(address.Bytes(), std::time(nullptr));
        if (known.Result == StoreResult::Hit && (known.Failed || IsHostName(known.Name))) {
            if (known.Failed) {
                engine.IgnoreList.Add("", address);
            } else {
                engine.DNSCache.Add(known.Name, address);
                if (name)
                    *name = known.Name.substr(0, kMaxCachedName);
            }
            return 0;
        }
    }
    int error = 0;
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (engine.ApplicationTerminating())
            return attempt;
        ++engine.LookupsMade;
        if (observer)
            observer->Begins();
        LookupOutcome outcome = engine.Resolver.LookupHostByAddress(address);
        if (observer)
            observer->Ended(outcome);
        if (outcome.Host) {
            engine.NameServersAnswered = true;
            const std::string found = outcome.Host->Name.substr(0, kMaxCachedName);
            // Handed to the store first: whoever finds it recorded (a writer at its last line,
            // then the last flush) finds it in the store's batch too.
            remember({address.Bytes(), found, false, std::time(nullptr)});
            engine.DNSCache.Add(found, address);
            if (name)
                *name = found;
            return attempt + 1;
        }
        error = outcome.ErrorCode;
    }
    // Only the name servers' own verdict outlives the run: "no such name", or, for a few
    // minutes, no answer in a run where they did answer others (a zone whose server is down,
    // or a resolver that dropped the query). A resolver that was not started, or a network
    // that was down, says nothing about the address.
    const bool answered =
        error == kErrHostNotFound || error == kErrNoData || error == kErrNoRecovery;
    if (answered)
        engine.NameServersAnswered = true;
    const bool silent = error == kErrTryAgain && engine.NameServersAnswered.load();
    if (answered || silent)
        remember({address.Bytes(), {}, true, std::time(nullptr), silent});
    engine.IgnoreList.Add("", address);
    return 3;
}

std::string ReverseLookupCached(EngineRuntime& engine, std::string_view addressText) {
    return ReverseLookupCached(engine, TextToAddress(addressText));
}

std::string ReverseLookupCached(EngineRuntime& engine, const HostAddress& address) {
    if (auto name = CachedName(engine, address))
        return *name;
    std::string name;
    LookUpAndRecord(engine, address, &name);
    return name;
}

bool SubstituteAddresses(std::string_view line, const std::vector<FoundAddress>& found,
                         const TDNSIgnoreList& ignore,
                         const std::function<std::string(const HostAddress&)>& nameOf,
                         const std::function<bool()>& stop, std::string& out) {
    std::size_t copied = 0;
    for (const FoundAddress& address : found) {
        if (stop())
            break;
        if (ignore.Ignore(address.Address))
            continue;
        const std::string name = nameOf(address.Address);
        if (name.empty())
            continue; // unresolvable (now ignored) or cached with an empty name
        if (copied == 0)
            out.clear();
        out.append(line.substr(copied, address.Position - copied));
        out.append(name);
        copied = address.End();
    }
    if (copied == 0)
        return false;
    out.append(line.substr(copied));
    return true;
}

RewriteCounts RewriteLog(EngineRuntime& engine, LogReader& in, LogWriter& out, char& lineBreak,
                         const std::function<bool()>& stopAsked, bool keepLf) {
    // A stop that nothing saw has cut nothing short.
    bool stopped = false;
    const std::function<bool()> stop = [&] { return stopped = stopped || stopAsked(); };
    // With no lookups in flight allowed, the lookups are made here, one after another.
    const bool ipv6 = engine.ResolveIPv6.load();
    std::optional<LookAhead> ahead;
    if (!engine.LookupPool.Serial())
        ahead.emplace(engine, in, lineBreak, stop, engine.LookAheadWindow, ipv6);
    LookAhead::Line line;
    auto next = [&] {
        if (!in.LineReady())
            out.Flush(); // what is written reaches a pipe's reader before the wait for input
        if (ahead)
            return ahead->Next(line);
        if (stop() || in.AtEnd() || !ReadLogLine(in, line.Text, lineBreak, stop))
            return false; // a line stopped inside is not written
        ScanAddresses(line.Text, line.Found, ipv6);
        return true;
    };
    auto nameOf = [&](const HostAddress& address) {
        if (auto name = CachedName(engine, address))
            return *name;
        out.Flush(); // the lookup may never return
        if (ahead)
            return ahead->NameOf(address);
        std::string name;
        LookUpAndRecord(engine, address, &name);
        return name;
    };
    RewriteCounts counts;
    std::int64_t pending = 0;
    std::string rewritten;
    while (next()) {
        if (keepLf && counts.Lines == 0 && lineBreak == '\n')
            out.SetLineEnd("\n");
        counts.Addresses += static_cast<std::int64_t>(line.Found.size());
        pending += static_cast<std::int64_t>(line.Text.size());
        if (++counts.Lines % 10 == 0) {
            engine.ProcessedBytes.fetch_add(pending);
            engine.LinesWritten.fetch_add(10);
            pending = 0;
        }
        const bool changed =
            SubstituteAddresses(line.Text, line.Found, engine.IgnoreList, nameOf, stop, rewritten);
        out.WriteLine(changed ? rewritten : line.Text);
        if (line.Text.capacity() > kKeptLineCapacity) // after a very long line, give memory back
            std::string().swap(line.Text);
        if (rewritten.capacity() > kKeptLineCapacity)
            std::string().swap(rewritten);
    }
    counts.Stopped = stopped;
    return counts;
}

RewriteCounts RewriteFile(EngineRuntime& engine, const std::string& inFileName,
                          const std::string& outFileName, char& lineBreak,
                          const std::function<bool()>& stop) {
    engine.TotalBytes.fetch_add(FileSizeOf(inFileName));
    LogReader in(inFileName);
    // The batch has been checked; this is the last word before the output is touched.
    switch (CheckRewriteJob({inFileName, outFileName})) {
    case Refusal::None:
        break;
    case Refusal::OutputIsLink:
        throw IoError("Cannot create " + outFileName + ": it is a symbolic link");
    case Refusal::OutputNotFile:
        throw IoError("Cannot create " + outFileName + ": it is not a regular file");
    case Refusal::OutputLinked:
        throw IoError("Cannot create " + outFileName + ": it has other names (hard links)");
    default:
        throw IoError("Cannot create " + outFileName + ": it is the input file " + inFileName);
    }
    LogWriter out(outFileName, inFileName);
    const RewriteCounts counts = RewriteLog(engine, in, out, lineBreak, stop);
    out.Close();
    in.Close();
    engine.FlushAnswers();
    return counts;
}

TRevLookup::TRevLookup(EngineRuntime& engine, std::string inFileName, std::string outFileName)
    : TWorker(engine), InFileName(std::move(inFileName)), OutFileName(std::move(outFileName)) {
    Engine.ThreadManager.AddThread(this);
}

void TRevLookup::Execute() {
    FreeOnTerminate = true;
    Stopped = RewriteFile(Engine, InFileName, OutFileName, LineBreak, [this] {
                  return ShouldStop();
              }).Stopped;
}

} // namespace hostmoor
