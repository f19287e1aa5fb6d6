// Access to the system's resolver: start-up flag, forward and reverse lookups, error texts.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace hostmoor {

// IPv4 address as 4 bytes in network byte order.
using Address = std::uint32_t;

constexpr int kErrBadAddress = 10014;
constexpr int kErrNetworkDown = 10050;
constexpr int kErrNotInitialised = 10093;
constexpr int kErrHostNotFound = 11001;
constexpr int kErrTryAgain = 11002;
constexpr int kErrNoRecovery = 11003;
constexpr int kErrNoData = 11004;

struct HostRecord {
    std::string Name;                 // official name
    std::vector<std::string> Aliases; // possibly empty
    std::vector<Address> Addresses;   // at least one on success
};

struct LookupOutcome {
    std::optional<HostRecord> Host; // set on success
    int ErrorCode = 0;              // error code of a failure, 0 on success
};

// The resolver the workers call. The system one is the default; tests script their own.
class IResolver {
public:
    virtual ~IResolver() = default;
    virtual LookupOutcome ByName(const std::string& name) = 0;
    virtual LookupOutcome ByAddress(Address address) = 0;
};

// glibc's reentrant gethostbyname_r/gethostbyaddr_r with the error codes mapped.
class SystemResolver final : public IResolver {
public:
    LookupOutcome ByName(const std::string& name) override;
    LookupOutcome ByAddress(Address address) override;
};

// The resolver the workers call, and the started flag of the socket library.
class ResolverAccess {
public:
    // nullptr: the system resolver.
    explicit ResolverAccess(IResolver* resolver = nullptr) { SetResolver(resolver); }

    // nullptr restores the system resolver. The resolver must outlive every lookup made
    // through it.
    void SetResolver(IResolver* resolver);
    IResolver& CurrentResolver() const { return *fResolver.load(); }

    int ResolverStartup();
    int ResolverCleanup();
    bool ResolverStarted() const { return fStarted.load(); }

    // Lookups through the current resolver; 10093 without asking it while the flag is clear.
    LookupOutcome LookupHostByName(const std::string& name) const;
    LookupOutcome LookupHostByAddress(Address address) const;

private:
    std::atomic<bool> fStarted{false};
    std::atomic<IResolver*> fResolver{nullptr};
};

// inet_addr: all ones for text it cannot read.
Address TextToAddress(std::string_view text);
// Dotted-decimal form, thread-safe.
std::string AddressToText(Address address);

std::string ResolverErrorText(int code);

} // namespace hostmoor
