#include "Subjects.h"

#include <charconv>

namespace hostmoor {

namespace {

bool IsTrimmed(char c) {
    return static_cast<unsigned char>(c) <= ' ';
}
bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}
bool IsLower(char c) {
    return c >= 'a' && c <= 'z';
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && IsTrimmed(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && IsTrimmed(s.back()))
        s.remove_suffix(1);
    return s;
}

void AddItem(std::optional<SubjectList>& list, std::string item, bool lower) {
    std::string_view trimmed = Trim(item);
    if (trimmed.empty())
        return;
    std::string out(trimmed);
    if (lower) {
        for (char& c : out)
            if (c >= 'A' && c <= 'Z')
                c = static_cast<char>(c - 'A' + 'a');
    }
    if (!list)
        list.emplace();
    list->push_back(std::move(out));
}

// True when no "." stands in the (at most) 255 characters after position pos.
bool NoDotAfter(std::string_view s, std::size_t pos) {
    std::string_view tail = s.substr(pos + 1, 255);
    return tail.find('.') == std::string_view::npos;
}

} // namespace

std::optional<SubjectList> SplitSubjects(std::string_view text, SplitMode mode) {
    std::optional<SubjectList> list;
    const bool fileNames = mode == SplitMode::FileNames;
    std::string item;
    bool quoted = false;
    for (char c : text) {
        if (fileNames && c == '"') {
            quoted = !quoted;
        } else if (c == ' ' && !quoted) {
            AddItem(list, std::move(item), !fileNames);
            item.clear();
        } else {
            item.push_back(c);
        }
    }
    AddItem(list, std::move(item), !fileNames);
    return list;
}

int CountOccurrences(std::string_view part, std::string_view text) {
    if (part.empty())
        return 0;
    int count = 0;
    for (std::size_t pos = text.find(part); pos != std::string_view::npos;
         pos = text.find(part, pos + part.size()))
        ++count;
    return count;
}

bool IsValidRangePattern(std::string_view subject) {
    const int n = CountOccurrences("*", subject) + CountOccurrences("[", subject);
    const std::size_t star = subject.find('*');
    bool valid = n == 1;
    if (star != std::string_view::npos)
        valid = valid && NoDotAfter(subject, star);
    const std::size_t bracket = subject.find('[');
    if (bracket != std::string_view::npos)
        valid = valid && NoDotAfter(subject, bracket);
    return valid;
}

SubjectKind ClassifySubject(std::string_view subject) {
    bool onlyDigitsDots = true;
    bool onlyNameChars = true;
    bool hasLetter = false;
    for (char c : subject) {
        const bool digitOrDot = IsDigit(c) || c == '.';
        const bool nameChar = digitOrDot || IsLower(c) || c == '-';
        if (!nameChar && c != '*' && c != '[' && c != ']')
            return skOther;
        onlyDigitsDots = onlyDigitsDots && digitOrDot;
        onlyNameChars = onlyNameChars && nameChar;
        hasLetter = hasLetter || IsLower(c);
    }
    if (onlyDigitsDots)
        return skAddress;
    if (onlyNameChars)
        return skHostName;
    if (!hasLetter)
        return IsValidRangePattern(subject) ? skRange : skOther;
    return skOther;
}

void ParseRangeBounds(std::string_view text, int& low, int& high) {
    low = 0;
    high = 255;
    enum { ReadingLow, ReadingHigh, Done } state = ReadingLow;
    std::string digits;
    auto convert = [&digits](int& target) {
        if (digits.empty())
            return;
        int value = 0;
        auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
        if (ec == std::errc() && end == digits.data() + digits.size())
            target = value;
    };
    for (std::size_t j = 0; j < text.size() && state != Done; ++j) {
        const char c = text[j];
        const bool last = j + 1 == text.size();
        const char closer = state == ReadingLow ? '-' : ']';
        if (c != closer && !last) {
            if (IsDigit(c))
                digits.push_back(c);
            continue;
        }
        if (state == ReadingLow) {
            convert(low);
            digits.clear();
            state = ReadingHigh;
        } else {
            convert(high);
            state = Done;
        }
    }
}

} // namespace hostmoor
