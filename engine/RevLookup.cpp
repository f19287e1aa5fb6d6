#include "RevLookup.h"

#include "EngineRuntime.h"
#include "KnownNames.h"
#include "LogFile.h"
#include "LookAhead.h"
#include "RewriteBatch.h"
#include "ScannedLines.h"

#include <algorithm>
#include <cctype>
#include <ctime>
#include <unordered_set>
#include <utility>

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

namespace {

// Whether the name points back to the address, asked as one more lookup.
Confirmation Check(EngineRuntime& engine, const HostAddress& address, const std::string& name,
                   AttemptObserver* observer) {
    ++engine.LookupsMade;
    if (observer)
        observer->Begins(true);
    LookupOutcome forward;
    const Confirmation verdict = CheckName(engine.Resolver, address, name, &forward);
    if (observer)
        observer->Ended(forward, true);
    return verdict;
}

// Records a name and, where it was looked at, its verdict; the verdict first, so that whoever
// finds the name finds its verdict too.
void RecordName(EngineRuntime& engine, const HostAddress& address, const std::string& name,
                Confirmation verdict) {
    if (verdict != Confirmation::Unchecked)
        engine.Confirmations.Add(address, verdict);
    engine.DNSCache.Add(name, address);
}

} // namespace

int LookUpAndRecord(EngineRuntime& engine, const HostAddress& address, std::string* name,
                    AttemptObserver* observer, bool verify) {
    IAnswerStore* store = engine.AnswerStore();
    // Only what is learned while answers are to be remembered, from the lookup's start to its
    // end, reaches the store.
    auto remember = [&engine, store](const StoredAnswer& answer) {
        if (store && engine.AnswerStore() == store)
            store->Remember(answer);
    };
    // A name this run found without looking whether it points back: only that is asked. The
    // verdict is the run's alone, as the store has the name from no lookup of its own now.
    if (const auto cached = engine.DNSCache.FindAddr(address)) {
        if (!verify || cached->empty() ||
            engine.Confirmations.Find(address) != Confirmation::Unchecked)
            return 0;
        engine.Confirmations.Add(address, Check(engine, address, *cached, observer));
        return 1;
    }
    if (store) {
        // An answer remembered from an earlier run is recorded as the lookups would have; a
        // name kept without its verdict is looked at now.
        const StoreFind known = store->Find(address.Bytes(), std::time(nullptr));
        if (known.Result == StoreResult::Hit && (known.Failed || IsHostName(known.Name)) &&
            !(verify && known.CheckOutworn)) {
            if (known.Failed) {
                engine.IgnoreList.Add("", address);
                return 0;
            }
            const std::string found = known.Name.substr(0, kMaxCachedName);
            Confirmation verdict = known.Confirmed;
            int made = 0;
            if (verify && verdict == Confirmation::Unchecked) {
                verdict = Check(engine, address, found, observer);
                remember({address.Bytes(), found, false, known.Learned, false, verdict});
                made = 1;
            }
            RecordName(engine, address, found, verdict);
            if (name)
                *name = found;
            return made;
        }
    }
    int error = 0;
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (engine.ApplicationTerminating())
            return attempt;
        ++engine.LookupsMade;
        if (observer)
            observer->Begins(false);
        LookupOutcome outcome = engine.Resolver.LookupHostByAddress(address);
        if (observer)
            observer->Ended(outcome, false);
        if (outcome.Host) {
            engine.NameServersAnswered = true;
            const std::string found = outcome.Host->Name.substr(0, kMaxCachedName);
            const Confirmation verdict = verify && !found.empty()
                                             ? Check(engine, address, found, observer)
                                             : Confirmation::Unchecked;
            // Handed to the store first: whoever finds it recorded (a writer at its last line,
            // then the last flush) finds it in the store's batch too.
            remember({address.Bytes(), found, false, std::time(nullptr), false, verdict});
            RecordName(engine, address, found, verdict);
            if (name)
                *name = found;
            return attempt + 1 + (verdict != Confirmation::Unchecked);
        }
        error = outcome.ErrorCode;
    }
    // Only the name servers' own verdict outlives the run: "no such name", or, for a few
    // minutes, no answer in a run where they did answer others (a zone whose server is down,
    // or a resolver that dropped the query). A resolver that was not started, or a network
    // that was down, says nothing about the address.
    // A refusal or a server failure (no recovery) is not the address's own verdict either:
    // it too is kept only for a few minutes.
    const bool answered = error == kErrHostNotFound || error == kErrNoData;
    if (answered)
        engine.NameServersAnswered = true;
    const bool briefly =
        error == kErrNoRecovery || (error == kErrTryAgain && engine.NameServersAnswered.load());
    if (answered || briefly)
        remember({address.Bytes(), {}, true, std::time(nullptr), briefly});
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

RewriteCounts RewriteLog(EngineRuntime& engine, LogReader& in, LogWriter& out, char& lineBreak,
                         const std::function<bool()>& stopAsked, bool keepLf,
                         RewriteCounts* counted) {
    RewriteCounts own;
    RewriteCounts& counts = counted ? *counted : own;
    // The bytes read are told however the rewrite ends, once the reading thread is gone.
    struct BytesRead {
        LogReader& In;
        RewriteCounts& Counts;
        bool Told = false;
        void Tell() {
            if (std::exchange(Told, true))
                return;
            const std::int64_t compressed = In.CompressedBytesRead();
            Counts.Bytes += compressed >= 0 ? compressed : In.Consumed();
        }
        ~BytesRead() { Tell(); }
    } bytesRead{in, counts};
    // A stop that nothing saw has cut nothing short.
    bool stopped = false;
    const std::function<bool()> stop = [&] { return stopped = stopped || stopAsked(); };
    // With no lookups in flight allowed, the lookups are made here, one after another, and the
    // lines are read here too. Otherwise a second processor, where one is free, reads and scans
    // the lines while this thread looks them up and writes them; on a busy machine the two
    // threads would only take turns, and lose the time they spend handing lines over.
    const bool serial = engine.LookupPool.Serial();
    using Reading = EngineRuntime::LineReading;
    const Reading reading = engine.ReadLines.load();
    const bool ownThread = !serial && (reading == Reading::OwnThread ||
                                       (reading == Reading::Automatic && SecondProcessorFree()));
    std::unique_ptr<LineSource> source =
        MakeLineSource(in, stopAsked, engine.ResolveIPv6.load(), ownThread);
    const bool verify = engine.VerifyNames.load();
    KnownNames known(engine, verify);
    std::optional<LookAhead> ahead;
    if (!serial)
        ahead.emplace(engine, *source, stop, engine.LookAheadWindow, &known, verify);
    ScannedLine line;
    auto next = [&] {
        if (!(ahead ? ahead->Ready() : source->Ready()))
            out.Flush(); // what is written reaches a pipe's reader before the wait for input
        if (ahead)
            return ahead->Next(line);
        return !stop() && source->Next(line);
    };
    // The answer of an address not known yet: the lines before reach the system first, since
    // the lookup may never return. Recorded then, unless a stop cut the lookup short.
    auto lookUp = [&](const HostAddress& address) {
        out.Flush();
        if (ahead)
            ahead->AwaitAnswer(address);
        else
            LookUpAndRecord(engine, address, nullptr, nullptr, verify);
    };
    std::unordered_set<HostAddress> given; // addresses whose lookups were cut short
    auto nameOf = [&](const HostAddress& address, std::string_view& name) {
        return known.Find(address, name) || (given.count(address) && (name = {}, true));
    };
    const std::int64_t linesBefore = counts.Lines;
    std::int64_t pending = 0;
    std::int64_t compressedCounted = 0;
    std::int64_t decodedDone = 0; // a compressed input's text rewritten, a byte for each break
    while (next()) {
        if (keepLf && counts.Lines == linesBefore && source->LineBreak() == '\n')
            out.SetLineEnd("\n");
        counts.Addresses += static_cast<std::int64_t>(line.Found.size());
        pending += static_cast<std::int64_t>(line.Text.size());
        decodedDone += static_cast<std::int64_t>(line.Text.size()) + 1;
        if ((++counts.Lines - linesBefore) % 10 == 0) {
            // A compressed input's progress is in its own bytes, as its size is: those behind
            // the lines rewritten, not those read ahead of them.
            const std::int64_t compressed = in.CompressedBytesBehind(decodedDone);
            if (compressed >= 0) {
                pending = std::max<std::int64_t>(0, compressed - compressedCounted);
                compressedCounted += pending;
            }
            engine.ProcessedBytes.fetch_add(pending);
            engine.LinesWritten.fetch_add(10);
            pending = 0;
        }
        if (line.Found.empty()) {
            out.WriteLine(line.Text);
        } else {
            // Built in the output's own buffer, a lookup awaited where an answer is not known.
            const HostAddress* unknown = nullptr;
            while (
                !AppendSubstituted(line.Text, line.Found, nameOf, stop, out.Building(), unknown)) {
                lookUp(*unknown);
                std::string_view name;
                if (!known.Find(*unknown, name))
                    given.insert(*unknown);
            }
            out.LineBuilt();
        }
        if (line.Text.capacity() > kKeptLineCapacity) // after a very long line, give memory back
            std::string().swap(line.Text);
    }
    lineBreak = source->LineBreak();
    counts.Stopped = counts.Stopped || stopped || source->Stopped();
    // At the end, the whole of a compressed input has been rewritten.
    if (const std::int64_t compressed = in.CompressedBytesRead();
        compressed > compressedCounted && !counts.Stopped)
        engine.ProcessedBytes.fetch_add(compressed - compressedCounted);
    ahead.reset();
    source.reset();
    if (!counts.Stopped)
        in.CheckRest();
    bytesRead.Tell();
    return counts;
}

RewriteCounts RewriteFile(EngineRuntime& engine, const std::string& inFileName,
                          const std::string& outFileName, char& lineBreak,
                          const std::function<bool()>& stop, RewriteCounts* counted) {
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
    // A compressed input gives an output compressed the same way.
    LogWriter out(outFileName, inFileName, in.Format());
    const RewriteCounts counts = RewriteLog(engine, in, out, lineBreak, stop, false, counted);
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
