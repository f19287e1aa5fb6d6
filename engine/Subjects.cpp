#include "Subjects.h"

#include <algorithm>
#include <charconv>
#include <cstdint>

namespace hostmoor {

namespace {

// A pasted list holds one item a line, or items between tabs.
constexpr std::string_view kSeparators = " \t\r\n";

bool IsSeparator(char c) {
    return kSeparators.find(c) != std::string_view::npos;
}
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

void AddItem(std::optional<SubjectList>& list, std::string_view item, bool lower) {
    if (item.empty())
        return;
    std::string out(item);
    if (lower) {
        for (char& c : out)
            if (c >= 'A' && c <= 'Z')
                c = static_cast<char>(c - 'A' + 'a');
    }
    if (!list)
        list.emplace();
    list->push_back(std::move(out));
}

bool IsControl(char c) {
    const auto u = static_cast<unsigned char>(c);
    return u < 32 || u == 127;
}

int HexValue(char c) {
    if (IsDigit(c))
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

std::string HexEscape(char c) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    const auto u = static_cast<unsigned char>(c);
    return {'\\', 'x', kDigits[u >> 4], kDigits[u & 15]};
}

// The length of the well-formed UTF-8 sequence at the start of text, 0 when there is none.
std::size_t Utf8Length(std::string_view text) {
    const auto b0 = static_cast<unsigned char>(text[0]);
    std::size_t length = 0;
    std::uint32_t point = 0;
    if (b0 < 0x80)
        return 1;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        length = 2;
        point = b0 & 0x1F;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        length = 3;
        point = b0 & 0x0F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        length = 4;
        point = b0 & 0x07;
    } else {
        return 0;
    }
    if (text.size() < length)
        return 0;
    for (std::size_t i = 1; i < length; ++i) {
        const auto b = static_cast<unsigned char>(text[i]);
        if ((b & 0xC0) != 0x80)
            return 0;
        point = point << 6 | (b & 0x3F);
    }
    const bool overlong = (length == 3 && point < 0x800) || (length == 4 && point < 0x10000);
    const bool surrogate = point >= 0xD800 && point <= 0xDFFF;
    return overlong || surrogate || point > 0x10FFFF ? 0 : length;
}

// Calls part(text, valid) for each character of the text, and for each byte that does not
// begin a well-formed UTF-8 sequence.
template <typename Part> void ForEachUtf8Part(std::string_view text, Part part) {
    while (!text.empty()) {
        const std::size_t length = Utf8Length(text);
        part(text.substr(0, length ? length : 1), length != 0);
        text.remove_prefix(length ? length : 1);
    }
}

bool IsUtf8(std::string_view text) {
    bool valid = true;
    ForEachUtf8Part(text, [&valid](std::string_view, bool ok) { valid = valid && ok; });
    return valid;
}

// True when no "." stands in the (at most) 255 characters after position pos.
bool NoDotAfter(std::string_view s, std::size_t pos) {
    std::string_view tail = s.substr(pos + 1, 255);
    return tail.find('.') == std::string_view::npos;
}

} // namespace

std::optional<SubjectList> SplitSubjects(std::string_view text, SplitMode mode) {
    std::optional<SubjectList> list;
    if (mode == SplitMode::Subjects) {
        while (!text.empty()) {
            const std::size_t blank = text.find_first_of(kSeparators);
            AddItem(list, Trim(text.substr(0, blank)), true);
            text.remove_prefix(blank == std::string_view::npos ? text.size() : blank + 1);
        }
        return list;
    }
    // File names: what a quoted run holds is never trimmed.
    std::string item;
    std::vector<bool> quotedChar;
    auto finish = [&] {
        std::size_t begin = 0;
        std::size_t end = item.size();
        while (begin < end && !quotedChar[begin] && IsTrimmed(item[begin]))
            ++begin;
        while (end > begin && !quotedChar[end - 1] && IsTrimmed(item[end - 1]))
            --end;
        AddItem(list, std::string_view(item).substr(begin, end - begin), false);
        item.clear();
        quotedChar.clear();
    };
    auto push = [&](char c, bool quoted) {
        item.push_back(c);
        quotedChar.push_back(quoted);
    };
    bool quoted = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const std::string_view rest = text.substr(i + 1);
        if (c == '"') {
            quoted = !quoted;
        } else if (quoted && c == '\\' && !rest.empty() && (rest[0] == '"' || rest[0] == '\\')) {
            push(rest[0], true);
            ++i;
        } else if (quoted && c == '\\' && rest.size() >= 3 && rest[0] == 'x' &&
                   HexValue(rest[1]) >= 0 && HexValue(rest[2]) >= 0) {
            push(static_cast<char>(HexValue(rest[1]) * 16 + HexValue(rest[2])), true);
            i += 3;
        } else if (IsSeparator(c) && !quoted) {
            finish();
        } else {
            push(c, quoted);
        }
    }
    finish();
    return list;
}

std::string QuoteFileName(std::string_view name) {
    const bool plain = !name.empty() && !IsTrimmed(name.front()) && !IsTrimmed(name.back()) &&
                       IsUtf8(name) && std::none_of(name.begin(), name.end(), [](char c) {
                           return c == ' ' || c == '"' || IsControl(c);
                       });
    if (plain)
        return std::string(name);
    std::string quoted = "\"";
    ForEachUtf8Part(name, [&quoted](std::string_view part, bool valid) {
        if (valid && part.size() == 1 && (part[0] == '"' || part[0] == '\\'))
            quoted += '\\';
        if (valid && !(part.size() == 1 && IsControl(part[0])))
            quoted += part;
        else
            for (char c : part)
                quoted += HexEscape(c);
    });
    return quoted + '"';
}

std::string PrintableFileName(std::string_view name) {
    std::string printable;
    ForEachUtf8Part(name, [&printable](std::string_view part, bool valid) {
        if (valid && !(part.size() == 1 && IsControl(part[0])))
            printable += part;
        else
            for (char c : part)
                printable += HexEscape(c);
    });
    return printable;
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
