#include "Resolver.h"

#include <arpa/inet.h>
#include <cerrno>
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
