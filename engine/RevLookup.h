// The log rewriter: copies a text file with every resolvable dotted IPv4 address replaced by
// its host name.
#pragma once

#include "Resolver.h"
#include "Worker.h"

#include <string>
#include <string_view>

namespace hostmoor {

// The host name for an address, through the cache, the resolver and the ignore list; empty
// when there is none.
std::string ReverseLookupCached(EngineRuntime& engine, std::string_view addressText);
std::string ReverseLookupCached(EngineRuntime& engine, Address address);

// Replaces every usable address in the line; each search goes on after the text just put in.
void SubstituteAddresses(EngineRuntime& engine, std::string& line, const TWorker* worker);

class TRevLookup final : public TWorker {
public:
    // Registers the worker with the engine's ThreadManager.
    TRevLookup(EngineRuntime& engine, std::string inFileName, std::string outFileName);

    const std::string InFileName;
    const std::string OutFileName;
    char LineBreak = 0;

    bool IsFileJob() const override { return true; }

protected:
    void Execute() override;
};

} // namespace hostmoor
