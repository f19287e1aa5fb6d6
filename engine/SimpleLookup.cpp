#include "SimpleLookup.h"

#include "Confirmations.h"
#include "EngineRuntime.h"
#include "Subjects.h"

namespace hostmoor {

std::vector<std::string> TLookupResults::Take() {
    std::lock_guard guard(ResultsLock);
    std::vector<std::string> lines;
    lines.swap(fLines);
    return lines;
}

void TLookupResults::Release() {
    std::lock_guard guard(ResultsLock);
    fReleased = true;
}

TSimpleLookup::TSimpleLookup(EngineRuntime& engine, std::string subject)
    : TWorker(engine), Subject(std::move(subject)) {
    Engine.ThreadManager.AddThread(this);
}

void TSimpleLookup::Execute() {
    FreeOnTerminate = true;
    {
        std::lock_guard guard(Engine.LookupResults.ResultsLock);
        if (!Engine.LookupResults.Lines() || ShouldStop())
            return;
    }
    auto errorLine = [this] { return Subject + ": " + ResolverErrorText(ErrorCode); };
    if (Address6 v6; TextToAddress6(Subject, v6)) {
        if (LookupAddress6(v6)) {
            ResultText = "IP: " + Address6ToText(v6) + " Host: " + Host->Name;
            CheckBack(HostAddress(v6));
        } else {
            ResultText = errorLine();
        }
        PostResult();
        return;
    }
    switch (ClassifySubject(Subject)) {
    case skAddress:
        if (LookupAddress(Subject)) {
            ResultText = "IP: " + AddressToText(Host->Addresses.front()) + " Host: " + Host->Name;
            CheckBack(TextToAddress(Subject));
        } else {
            ResultText = errorLine();
        }
        break;
    case skRange:
        ExpandRange(Subject);
        break;
    case skHostName:
    case skOther:
        if (LookupName(Subject)) {
            ResultText = "Host: " + Host->Name + " IP: " + AddressToText(Host->Addresses.front());
            if (Engine.ShowExtendedInfo.load()) {
                int ignored = 0;
                if (auto v6 = Attempt([this] { return Engine.Resolver.LookupHostByName6(Subject); },
                                      ignored))
                    fMoreIPv6 = std::move(v6->Addresses6);
            }
        } else if (const int v4Error = ErrorCode; v4Error == kErrNoData && LookupName6(Subject)) {
            ResultText =
                "Host: " + Host->Name + " IPv6: " + Address6ToText(Host->Addresses6.front());
            fMoreIPv6.assign(Host->Addresses6.begin() + 1, Host->Addresses6.end());
        } else {
            ErrorCode = v4Error;
            ResultText = errorLine();
        }
        break;
    }
    PostResult();
}

// Up to three attempts in a row; only "Try again" is retried. result: 0 after success, the
// last error after failure, -1 when no attempt was made.
template <typename Lookup>
std::optional<HostRecord> TSimpleLookup::Attempt(Lookup lookup, int& result) {
    result = -1;
    for (int attempt = 0; attempt < 3 && !ShouldStop(); ++attempt) {
        LookupOutcome outcome = lookup();
        if (outcome.Host) {
            result = 0;
            return std::move(outcome.Host);
        }
        result = outcome.ErrorCode;
        if (result != kErrTryAgain)
            break;
    }
    return std::nullopt;
}

// With extended information on: whether the name found points back to the address, by its own
// addresses of the address's family. A confirmed name adds no line.
void TSimpleLookup::CheckBack(const HostAddress& address) {
    if (!Engine.ShowExtendedInfo.load() || Host->Name.empty() || ShouldStop())
        return;
    LookupOutcome forward;
    switch (CheckName(Engine.Resolver, address, Host->Name, &forward)) {
    case Confirmation::Confirmed:
    case Confirmation::Unchecked:
        return;
    case Confirmation::Refuted:
        if (forward.Host) {
            std::string addresses;
            for (const Address a : forward.Host->Addresses)
                addresses += (addresses.empty() ? "" : ", ") + AddressToText(a);
            for (const Address6& a : forward.Host->Addresses6)
                addresses += (addresses.empty() ? "" : ", ") + Address6ToText(a);
            fNotConfirmed = "Not confirmed: " + Host->Name + " resolves to " + addresses;
            return;
        }
        break;
    case Confirmation::NoAnswer:
        break;
    }
    fNotConfirmed = "Not confirmed: " + Host->Name + ": " + ResolverErrorText(forward.ErrorCode);
}

template <typename Lookup> bool TSimpleLookup::Resolve(Lookup lookup) {
    if (!Host)
        Host = Attempt(lookup, ErrorCode);
    return Host.has_value();
}

bool TSimpleLookup::LookupAddress(const std::string& text) {
    const Address address = TextToAddress(text);
    return Resolve([this, address] { return Engine.Resolver.LookupHostByAddress(address); });
}

bool TSimpleLookup::LookupName(const std::string& text) {
    return Resolve([this, &text] { return Engine.Resolver.LookupHostByName(text); });
}

bool TSimpleLookup::LookupAddress6(const Address6& address) {
    return Resolve([this, &address] { return Engine.Resolver.LookupHostByAddress6(address); });
}

bool TSimpleLookup::LookupName6(const std::string& text) {
    return Resolve([this, &text] { return Engine.Resolver.LookupHostByName6(text); });
}

void TSimpleLookup::PostResult() {
    std::lock_guard guard(Engine.LookupResults.ResultsLock);
    std::vector<std::string>* lines = Engine.LookupResults.Lines();
    if (!lines || ShouldStop())
        return;
    lines->push_back(ResultText);
    if (!Engine.ShowExtendedInfo.load())
        return;
    if (Host) {
        for (std::size_t i = 1; i < Host->Addresses.size(); ++i)
            lines->push_back("Alternate address: " + AddressToText(Host->Addresses[i]));
        if (!Host->Aliases.empty())
            lines->push_back("Aliases: " + Host->Aliases.front());
        for (const Address6& v6 : fMoreIPv6)
            lines->push_back("IPv6 address: " + Address6ToText(v6));
    }
    if (!fNotConfirmed.empty())
        lines->push_back(fNotConfirmed);
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
    // Counted in 64 bits, so that a bound of INT_MAX still ends the loop.
    for (std::int64_t n = low; n <= high && !ShouldStop(); ++n) {
        auto* member = new TSimpleLookup(Engine, prefix + std::to_string(n));
        member->OnTerminate = OnTerminate;
        member->Start();
        Engine.Clock.SleepMs(500);
    }
}

} // namespace hostmoor
