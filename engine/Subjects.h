// Typed text into subjects: splitting, classification and range bounds.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace hostmoor {

enum SubjectKind { skAddress = 0, skHostName = 1, skRange = 2, skOther = 3 };

enum class SplitMode {
    Subjects,  // lookup page: items lower-cased
    FileNames, // rewrite page: letter case kept, a "double-quoted run" stays one item
};

using SubjectList = std::vector<std::string>;

// Splits at blanks; gives no list (nullopt) when the text holds no item.
std::optional<SubjectList> SplitSubjects(std::string_view text,
                                         SplitMode mode = SplitMode::Subjects);

SubjectKind ClassifySubject(std::string_view subject);
bool IsValidRangePattern(std::string_view subject);

// Reads bounds from the text that starts at a subject's last "." (such as ".[10-20]").
void ParseRangeBounds(std::string_view text, int& low, int& high);

// Non-overlapping occurrences of part in text; 0 for an empty part.
int CountOccurrences(std::string_view part, std::string_view text);

} // namespace hostmoor
