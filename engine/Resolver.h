// Access to the system's resolver: start-up flag, forward and reverse lookups, error texts.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace hostmoor {

// IPv4 address as 4 bytes in network byte order.
using Address = std::uint32_t;

// IPv6 address as its 16 bytes.
using Address6 = std::array<std::uint8_t, 16>;

// An address of either family, as the rewriter's caches and lookups key it: IPv4 as its
// IPv4-mapped IPv6 form (::ffff:a.b.c.d), so that the two families never share a key.
class HostAddress {
public:
    HostAddress() = default;
    HostAddress(Address v4); // NOLINT: every IPv4 address is one
    explicit HostAddress(const Address6& v6) : fBytes(v6) {}

    bool IsV4() const;
    Address V4() const; // for IsV4() only
    const Address6& Bytes() const { return fBytes; }
    friend bool operator==(const HostAddress&, const HostAddress&) = default;

private:
    Address6 fBytes{};
};

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
    std::vector<Address> Addresses;   // at least one on success of an IPv4 lookup
    std::vector<Address6> Addresses6; // at least one on success of ByName6
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
    // The name of an IPv6 address; the record holds the name only.
    virtual LookupOutcome ByAddress6(const Address6& address) = 0;
    // A name's canonical name and IPv6 addresses (Addresses6), in the resolver's order.
    virtual LookupOutcome ByName6(const std::string& name) = 0;
    // The addresses of one family a name has, for checking that it points back to an address
    // (Addresses, or Addresses6 with v6): no data when it has none of that family.
    virtual LookupOutcome AddressesOf(const std::string& name, bool v6) = 0;
};

// glibc's reentrant gethostbyname_r/gethostbyaddr_r, and getnameinfo/getaddrinfo for IPv6,
// with the error codes mapped.
class SystemResolver final : public IResolver {
public:
    LookupOutcome ByName(const std::string& name) override;
    LookupOutcome ByAddress(Address address) override;
    LookupOutcome ByAddress6(const Address6& address) override;
    LookupOutcome ByName6(const std::string& name) override;
    LookupOutcome AddressesOf(const std::string& name, bool v6) override;
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
    LookupOutcome LookupHostByAddress6(const Address6& address) const;
    LookupOutcome LookupHostByName6(const std::string& name) const;
    LookupOutcome LookupAddressesOf(const std::string& name, bool v6) const;
    // The reverse lookup of an address of either family.
    LookupOutcome LookupHostByAddress(const HostAddress& address) const;

private:
    std::atomic<bool> fStarted{false};
    std::atomic<IResolver*> fResolver{nullptr};
};

// inet_addr: all ones for text it cannot read.
Address TextToAddress(std::string_view text);
// Dotted-decimal form, thread-safe.
std::string AddressToText(Address address);
// inet_pton for IPv6: the whole text, no zone, no brackets. False for anything else.
bool TextToAddress6(std::string_view text, Address6& address);
// The RFC 5952 form: lower case, no leading zeros, the longest run of two or more zero groups
// (the first of equals) as "::"; an IPv4-mapped address ends in its dotted quad.
std::string Address6ToText(const Address6& address);
// Either family's text.
std::string HostAddressToText(const HostAddress& address);

std::string ResolverErrorText(int code);

} // namespace hostmoor

template <> struct std::hash<hostmoor::HostAddress> {
    std::size_t operator()(const hostmoor::HostAddress& address) const noexcept;
};
