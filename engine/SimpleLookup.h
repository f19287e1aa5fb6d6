// The interactive lookup worker and the list of result lines it posts to.
#pragma once

#include "Resolver.h"
#include "Worker.h"

#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace hostmoor {

// Result lines waiting for the window. Workers append, the window takes them all.
class TLookupResults {
public:
    std::mutex ResultsLock;

    // The list while it exists, null once released; hold ResultsLock.
    std::vector<std::string>* Lines() { return fReleased ? nullptr : &fLines; }
    // Under ResultsLock: every line, the list left empty.
    std::vector<std::string> Take();
    // Under ResultsLock: from now on nothing is posted.
    void Release();

private:
    std::vector<std::string> fLines;
    bool fReleased = false;
};

class TSimpleLookup final : public TWorker {
public:
    // Registers the worker with the engine's ThreadManager.
    TSimpleLookup(EngineRuntime& engine, std::string subject);

    const std::string Subject;
    int ErrorCode = -1;
    std::optional<HostRecord> Host;
    std::string ResultText;

protected:
    void Execute() override;

private:
    bool LookupAddress(const std::string& text);
    bool LookupName(const std::string& text);
    // An IPv6 literal in reverse, and a name's IPv6 addresses (when it has no IPv4 ones).
    bool LookupAddress6(const Address6& address);
    bool LookupName6(const std::string& text);
    template <typename Lookup> std::optional<HostRecord> Attempt(Lookup lookup, int& result);
    template <typename Lookup> bool Resolve(Lookup lookup);
    void PostResult();
    void ExpandRange(const std::string& subject);

    // With extended information: the name's IPv6 addresses not already on the main line.
    std::vector<Address6> fMoreIPv6;
    // With extended information: what the name of an address subject does not point back to.
    std::string fNotConfirmed;
    void CheckBack(const HostAddress& address);
};

} // namespace hostmoor
