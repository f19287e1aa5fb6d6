#include "Resolver.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>

namespace hostmoor {

namespace {

SystemResolver gSystemResolver; // stateless, shared by every engine

constexpr std::size_t kFirstBuffer = 1024;
constexpr std::size_t kLargestBuffer = 1 << 20;

int MapHostError(int herr) {
    switch (herr) {
    case HOST_NOT_FOUND:
        return kErrHostNotFound;
    case TRY_AGAIN:
        return kErrTryAgain;
    case NO_RECOVERY:
        return kErrNoRecovery;
    case NO_DATA:
        return kErrNoData;
    case NETDB_INTERNAL:
        return errno != 0 ? errno : -1;
    default:
        return herr;
    }
}

HostRecord CopyHost(const hostent& h) {
    HostRecord record;
    record.Name = h.h_name ? h.h_name : "";
    for (char** a = h.h_aliases; a && *a; ++a)
        record.Aliases.emplace_back(*a);
    if (h.h_addrtype == AF_INET && h.h_length == 4) {
        for (char** p = h.h_addr_list; p && *p; ++p) {
            Address address;
            std::memcpy(&address, *p, 4);
            record.Addresses.push_back(address);
        }
    }
    return record;
}

// Calls a reentrant lookup, growing the buffer while glibc reports ERANGE.
template <typename Call> LookupOutcome Reentrant(Call call) {
    std::vector<char> buffer(kFirstBuffer);
    for (;;) {
        hostent entry{};
        hostent* result = nullptr;
        int herr = 0;
        errno = 0;
        const int rc = call(&entry, buffer.data(), buffer.size(), &result, &herr);
        if (rc == ERANGE && buffer.size() < kLargestBuffer) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        LookupOutcome outcome;
        if (result) {
            outcome.Host = CopyHost(*result);
            if (outcome.Host->Addresses.empty()) {
                outcome.Host.reset();
                outcome.ErrorCode = kErrNoData;
            }
        } else {
            if (rc != 0 && herr == NETDB_INTERNAL)
                errno = rc;
            outcome.ErrorCode = MapHostError(herr);
            if (outcome.ErrorCode == 0)
                outcome.ErrorCode = kErrHostNotFound;
        }
        return outcome;
    }
}

} // namespace

LookupOutcome SystemResolver::ByName(const std::string& name) {
    return Reentrant([&name](hostent* e, char* buf, std::size_t len, hostent** res, int* herr) {
        return gethostbyname_r(name.c_str(), e, buf, len, res, herr);
    });
}

LookupOutcome SystemResolver::ByAddress(Address address) {
    return Reentrant([address](hostent* e, char* buf, std::size_t len, hostent** res, int* herr) {
        return gethostbyaddr_r(&address, 4, AF_INET, e, buf, len, res, herr);
    });
}

namespace {

int MapAddrInfoError(int rc) {
    switch (rc) {
    case EAI_NONAME:
        return kErrHostNotFound;
    case EAI_AGAIN:
        return kErrTryAgain;
    case EAI_FAIL:
        return kErrNoRecovery;
    case EAI_NODATA:
    case EAI_ADDRFAMILY:
        return kErrNoData;
    case EAI_SYSTEM:
        return errno != 0 ? errno : -1;
    default:
        return rc;
    }
}

} // namespace

LookupOutcome SystemResolver::ByAddress6(const Address6& address) {
    sockaddr_in6 socket{};
    socket.sin6_family = AF_INET6;
    std::memcpy(&socket.sin6_addr, address.data(), address.size());
    char name[NI_MAXHOST];
    errno = 0;
    const int rc = getnameinfo(reinterpret_cast<const sockaddr*>(&socket), sizeof socket, name,
                               sizeof name, nullptr, 0, NI_NAMEREQD);
    if (rc != 0)
        return {std::nullopt, MapAddrInfoError(rc)};
    HostRecord record;
    record.Name = name;
    return {std::move(record), 0};
}

namespace {

// A name's addresses of one family (AF_INET or AF_INET6) by getaddrinfo, each once, in its
// order, with the canonical name where it gives one. No AI_ADDRCONFIG: the question is what the
// name says, whatever this machine can reach.
LookupOutcome AddrInfo(const std::string& name, int family) {
    addrinfo hints{};
    hints.ai_family = family;
    hints.ai_socktype = SOCK_STREAM; // one entry per address
    hints.ai_flags = AI_CANONNAME;
    addrinfo* list = nullptr;
    errno = 0;
    const int rc = getaddrinfo(name.c_str(), nullptr, &hints, &list);
    if (rc != 0)
        return {std::nullopt, MapAddrInfoError(rc)};
    HostRecord record;
    for (const addrinfo* a = list; a; a = a->ai_next) {
        if (a->ai_canonname && record.Name.empty())
            record.Name = a->ai_canonname;
        if (a->ai_family == AF_INET6) {
            Address6 bytes;
            std::memcpy(bytes.data(), &reinterpret_cast<const sockaddr_in6*>(a->ai_addr)->sin6_addr,
                        bytes.size());
            if (std::find(record.Addresses6.begin(), record.Addresses6.end(), bytes) ==
                record.Addresses6.end())
                record.Addresses6.push_back(bytes);
        } else if (a->ai_family == AF_INET) {
            const Address v4 = reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_addr.s_addr;
            if (std::find(record.Addresses.begin(), record.Addresses.end(), v4) ==
                record.Addresses.end())
                record.Addresses.push_back(v4);
        }
    }
    freeaddrinfo(list);
    if (record.Addresses.empty() && record.Addresses6.empty())
        return {std::nullopt, kErrNoData};
    if (record.Name.empty())
        record.Name = name;
    return {std::move(record), 0};
}

} // namespace

LookupOutcome SystemResolver::ByName6(const std::string& name) {
    return AddrInfo(name, AF_INET6);
}

LookupOutcome SystemResolver::AddressesOf(const std::string& name, bool v6) {
    return AddrInfo(name, v6 ? AF_INET6 : AF_INET);
}

void ResolverAccess::SetResolver(IResolver* resolver) {
    fResolver.store(resolver ? resolver : &gSystemResolver);
}

int ResolverAccess::ResolverStartup() {
    if (fStarted.load())
        return -1;
    // There is no socket library to start here; the flag and the result keep their meaning.
    constexpr int result = 0;
    fStarted.store(result == 0);
    return result;
}

int ResolverAccess::ResolverCleanup() {
    if (!fStarted.load())
        return -1;
    constexpr int result = 0;
    fStarted.store(result != 0);
    return result;
}

LookupOutcome ResolverAccess::LookupHostByName(const std::string& name) const {
    if (!fStarted.load())
        return {std::nullopt, kErrNotInitialised};
    return CurrentResolver().ByName(name);
}

LookupOutcome ResolverAccess::LookupHostByAddress(Address address) const {
    if (!fStarted.load())
        return {std::nullopt, kErrNotInitialised};
    return CurrentResolver().ByAddress(address);
}

LookupOutcome ResolverAccess::LookupHostByAddress6(const Address6& address) const {
    if (!fStarted.load())
        return {std::nullopt, kErrNotInitialised};
    return CurrentResolver().ByAddress6(address);
}

LookupOutcome ResolverAccess::LookupHostByName6(const std::string& name) const {
    if (!fStarted.load())
        return {std::nullopt, kErrNotInitialised};
    return CurrentResolver().ByName6(name);
}

LookupOutcome ResolverAccess::LookupAddressesOf(const std::string& name, bool v6) const {
    if (!fStarted.load())
        return {std::nullopt, kErrNotInitialised};
    return CurrentResolver().AddressesOf(name, v6);
}

LookupOutcome ResolverAccess::LookupHostByAddress(const HostAddress& address) const {
    return address.IsV4() ? LookupHostByAddress(address.V4())
                          : LookupHostByAddress6(address.Bytes());
}

HostAddress::HostAddress(Address v4) {
    fBytes[10] = 0xff;
    fBytes[11] = 0xff;
    std::memcpy(fBytes.data() + 12, &v4, 4);
}

bool HostAddress::IsV4() const {
    static constexpr std::uint8_t kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    return std::memcmp(fBytes.data(), kMapped, sizeof kMapped) == 0;
}

Address HostAddress::V4() const {
    Address v4;
    std::memcpy(&v4, fBytes.data() + 12, 4);
    return v4;
}

Address TextToAddress(std::string_view text) {
    char small[64];
    if (text.size() < sizeof small) {
        std::memcpy(small, text.data(), text.size());
        small[text.size()] = '\0';
        return inet_addr(small);
    }
    return inet_addr(std::string(text).c_str());
}

std::string AddressToText(Address address) {
    char buffer[INET_ADDRSTRLEN];
    in_addr a{};
    a.s_addr = address;
    return inet_ntop(AF_INET, &a, buffer, sizeof buffer) ? std::string(buffer) : std::string();
}

bool TextToAddress6(std::string_view text, Address6& address) {
    char copy[INET6_ADDRSTRLEN];
    if (text.size() >= sizeof copy)
        return false;
    std::memcpy(copy, text.data(), text.size());
    copy[text.size()] = '\0';
    return inet_pton(AF_INET6, copy, address.data()) == 1;
}

std::string Address6ToText(const Address6& address) {
    if (HostAddress(address).IsV4())
        return "::ffff:" + AddressToText(HostAddress(address).V4());
    unsigned groups[8];
    for (int i = 0; i < 8; ++i)
        groups[i] = static_cast<unsigned>(address[2 * i] << 8 | address[2 * i + 1]);
    // The longest run of two or more zero groups, the first of equals.
    int bestStart = -1;
    int bestLength = 1;
    for (int i = 0; i < 8;) {
        int j = i;
        while (j < 8 && groups[j] == 0)
            ++j;
        if (j - i > bestLength) {
            bestStart = i;
            bestLength = j - i;
        }
        i = j > i ? j : i + 1;
    }
    std::string text;
    char group[8];
    for (int i = 0; i < 8; ++i) {
        if (i == bestStart) {
            text += "::";
            i += bestLength - 1;
            continue;
        }
        if (!text.empty() && text.back() != ':')
            text += ':';
        std::snprintf(group, sizeof group, "%x", groups[i]);
        text += group;
    }
    return text;
}

std::string HostAddressToText(const HostAddress& address) {
    return address.IsV4() ? AddressToText(address.V4()) : Address6ToText(address.Bytes());
}

std::string ResolverErrorText(int code) {
    switch (code) {
    case kErrBadAddress:
        return "The address is invalid";
    case kErrNetworkDown:
        return "Network subsystem failure";
    case kErrNotInitialised:
        return "Application not initialised";
    case kErrHostNotFound:
        return "Host not found";
    case kErrTryAgain:
        return "Try again";
    case kErrNoRecovery:
        return "Nonrecoverable error occurred";
    case kErrNoData:
        return "No data";
    default:
        return "Error: " + std::to_string(code);
    }
}

} // namespace hostmoor

std::size_t
std::hash<hostmoor::HostAddress>::operator()(const hostmoor::HostAddress& address) const noexcept {
    std::uint64_t low;
    std::uint64_t high;
    std::memcpy(&low, address.Bytes().data(), 8);
    std::memcpy(&high, address.Bytes().data() + 8, 8);
    // Every bit of the address reaches every bit of the hash (a 64-bit finaliser), since
    // addresses often differ only in their last bytes, or only in their /64 prefix.
    std::uint64_t h = low ^ ((high << 32) | (high >> 32)) ^ (high * 0x9E3779B97F4A7C15ull);
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdull;
    h ^= h >> 33;
    h *= 0xc4ceb9fe1a85ec53ull;
    h ^= h >> 33;
    return static_cast<std::size_t>(h);
}
