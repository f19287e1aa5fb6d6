#include "StoreExpiry.h"

#include <algorithm>
#include <limits>
#include <string_view>

namespace hostmoor::store {

RowKind KindOf(const StoredAnswer& answer) {
    if (!answer.Failed)
        return RowKind::Name;
    return answer.NoAnswer ? RowKind::NoAnswer : RowKind::NoName;
}

std::int64_t Before(std::int64_t now, std::int64_t age) {
    std::int64_t result = 0;
    if (__builtin_sub_overflow(now, age, &result))
        return age > 0 ? std::numeric_limits<std::int64_t>::min()
                       : std::numeric_limits<std::int64_t>::max();
    return result;
}

std::int64_t MaxAge(const StorePolicy& policy, RowKind kind) {
    switch (kind) {
    case RowKind::Name:
        return std::min(policy.NameMaxAge, kLongestNameAge);
    case RowKind::NoName:
        return std::min(policy.FailureMaxAge, kFailureRetention);
    case RowKind::NoAnswer:
        return std::min({policy.NoAnswerMaxAge, policy.FailureMaxAge, kNoAnswerLongestAge});
    }
    return 0;
}

bool Fresh(std::int64_t learned, std::int64_t now, std::int64_t maxAge) {
    return learned <= now && learned > Before(now, maxAge);
}

std::int64_t FutureCut(std::int64_t now) {
    return Before(now, -kFutureSlack);
}

std::int64_t NameCut(std::int64_t now) {
    return Before(now, kNameRetention);
}

std::int64_t FailureCut(std::int64_t now) {
    return Before(now, kFailureRetention);
}

bool Outworn(std::int64_t learned, RowKind kind, std::int64_t now) {
    return learned > FutureCut(now) ||
           learned <= (kind == RowKind::Name ? NameCut(now) : FailureCut(now));
}

} // namespace hostmoor::store

namespace hostmoor {

bool ParseDuration(std::string_view text, std::int64_t& seconds) {
    constexpr std::string_view kUnits = "smhd";
    constexpr std::int64_t kUnitSeconds[] = {1, 60, 3600, 24 * 3600};
    std::int64_t unit = 1;
    if (const auto at = text.empty() ? kUnits.npos : kUnits.find(text.back()); at != kUnits.npos) {
        unit = kUnitSeconds[at];
        text.remove_suffix(1);
    }
    if (text.empty())
        return false;
    std::int64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9' || __builtin_mul_overflow(value, 10, &value) ||
            __builtin_add_overflow(value, c - '0', &value))
            return false;
    }
    if (value == 0 || __builtin_mul_overflow(value, unit, &value))
        return false;
    seconds = value;
    return true;
}

} // namespace hostmoor
