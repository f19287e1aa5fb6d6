// The interactive lookup worker and the list of result lines it posts to.
#pragma once

#include "Resolver.h"
#include "Worker.h"

#include <atomic>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace hostmoor {

// Result lines waiting for the window; guarded by ResultsLock. Null before start-up and
// after release.
extern std::vector<std::string>* LookupResults;
// Never destroyed, so that a worker ending late never meets a dead lock.
std::mutex& ResultsLock();

void CreateLookupResults();
void ReleaseLookupResults();

// Whether workers post the further addresses and the first alias; on at program start.
extern std::atomic<bool> ShowExtendedInfo;

class TSimpleLookup final : public TWorker {
public:
    // Registers the worker with ThreadManager.
    explicit TSimpleLookup(std::string subject);

    const std::string Subject;
    int ErrorCode = -1;
    std::optional<HostRecord> Host;
    std::string ResultText;

protected:
    void Execute() override;

private:
    bool LookupAddress(const std::string& text);
    bool LookupName(const std::string& text);
    template <typename Lookup> bool Resolve(Lookup lookup);
    void PostResult();
    void ExpandRange(const std::string& subject);
};

} // namespace hostmoor
