#include "SimpleLookup.h"

#include "Clock.h"
#include "Subjects.h"
#include "ThreadManager.h"

namespace hostmoor {

std::vector<std::string>* LookupResults = nullptr;
std::atomic<bool> ShowExtendedInfo{true};

std::mutex& ResultsLock() {
    static auto* lock = new std::mutex;
    return *lock;
}

void CreateLookupResults() {
    std::lock_guard guard(ResultsLock());
    if (!LookupResults)
        LookupResults = new std::vector<std::string>;
}

void ReleaseLookupResults() {
    std::lock_guard guard(ResultsLock());
    delete LookupResults;
    LookupResults = nullptr;
}

TSimpleLookup::TSimpleLookup(std::string subject) : Subject(std::move(subject)) {
    if (ThreadManager)
        ThreadManager->AddThread(this);
}

void TSimpleLookup::Execute() {
    FreeOnTerminate = true;
    {
        std::lock_guard guard(ResultsLock());
        if (!LookupResults || ShouldStop())
            return;
    }
    auto errorLine = [this] { return Subject + ": " + ResolverErrorText(ErrorCode); };
    switch (ClassifySubject(Subject)) {
    case skAddress:
        if (LookupAddress(Subject))
            ResultText = "IP: " + AddressToText(Host->Addresses.front()) + " Host: " + Host->Name;
        else
            ResultText = errorLine();
        break;
    case skRange:
        ExpandRange(Subject);
        break;
    case skHostName:
    case skOther:
        if (LookupName(Subject))
            ResultText = "Host: " + Host->Name + " IP: " + AddressToText(Host->Addresses.front());
        else
            ResultText = errorLine();
        break;
    }
    PostResult();
}

// Up to three attempts in a row; only "Try again" is retried.
template <typename Lookup> bool TSimpleLookup::Resolve(Lookup lookup) {
    int result = -1;
    for (int attempt = 0; attempt < 3 && !ShouldStop() && !Host; ++attempt) {
        LookupOutcome outcome = lookup();
        if (outcome.Host) {
            Host = std::move(outcome.Host);
            result = 0;
            break;
        }
        result = outcome.ErrorCode;
        if (result != kErrTryAgain)
            break;
    }
    ErrorCode = result;
    return Host.has_value();
}

bool TSimpleLookup::LookupAddress(const std::string& text) {
    const Address address = TextToAddress(text);
    return Resolve([address] { return LookupHostByAddress(address); });
}

bool TSimpleLookup::LookupName(const std::string& text) {
    return Resolve([&text] { return LookupHostByName(text); });
}

void TSimpleLookup::PostResult() {
    std::lock_guard guard(ResultsLock());
    if (!LookupResults || ShouldStop())
        return;
    LookupResults->push_back(ResultText);
    if (!ShowExtendedInfo.load())
        return;
    if (Host) {
        for (std::size_t i = 1; i < Host->Addresses.size(); ++i)
            LookupResults->push_back("Alternate address: " + AddressToText(Host->Addresses[i]));
        if (!Host->Aliases.empty())
            LookupResults->push_back("Aliases: " + Host->Aliases.front());
    }
}

void TSimpleLookup::ExpandRange(const std::string& subject) {
    const bool bracket = subject.find('[') != std::string::npos;
    const std::size_t lastDot = subject.rfind('.');
    if (lastDot == std::string::npos)
        return;
    int low = 0;
    int high = 255;
    if (bracket)
        ParseRangeBounds(std::string_view(subject).substr(lastDot, 255), low, high);
    const std::string prefix = subject.substr(0, lastDot + 1);
    for (int n = low; n <= high && !ShouldStop(); ++n) {
        auto* member = new TSimpleLookup(prefix + std::to_string(n));
        member->OnTerminate = OnTerminate;
        member->Start();
        SleepMs(500);
    }
}

} // namespace hostmoor
