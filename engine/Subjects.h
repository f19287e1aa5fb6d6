// Typed text into subjects: splitting, classification and range bounds.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace hostmoor {

enum SubjectKind { skAddress = 0, skHostName = 1, skRange = 2, skOther = 3 };

enum class SplitMode {
    Subjects, // lookup page: items lower-cased
    // Rewrite page: letter case kept; a "double-quoted run" stays one item, keeps its blanks,
    // and reads \" as ", \\ as \ and \xHH as the byte HH.
    FileNames,
};

using SubjectList = std::vector<std::string>;

// Splits at blanks, tabs and line breaks (LF, CR LF, CR); gives no list (nullopt) when the
// text holds no item.
std::optional<SubjectList> SplitSubjects(std::string_view text,
                                         SplitMode mode = SplitMode::Subjects);

// A file name as the rewrite page's text holds it: as it is when it splits back to itself,
// otherwise in double quotes with \", \\ and \xHH (for control bytes and bytes that are not
// UTF-8), so that the text is UTF-8 and SplitSubjects gives back the exact bytes.
std::string QuoteFileName(std::string_view name);
// A file name for a message: control bytes and bytes that are not UTF-8 as \xHH.
std::string PrintableFileName(std::string_view name);

SubjectKind ClassifySubject(std::string_view subject);
bool IsValidRangePattern(std::string_view subject);

// Reads bounds from the text that starts at a subject's last "." (such as ".[10-20]").
void ParseRangeBounds(std::string_view text, int& low, int& high);

// Non-overlapping occurrences of part in text; 0 for an empty part.
int CountOccurrences(std::string_view part, std::string_view text);

} // namespace hostmoor
