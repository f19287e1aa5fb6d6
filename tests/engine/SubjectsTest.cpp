#include "Subjects.h"

#include <gtest/gtest.h>
#include <utility>

using namespace hostmoor;

namespace {

SubjectList Split(std::string_view text, SplitMode mode = SplitMode::Subjects) {
    auto list = SplitSubjects(text, mode);
    EXPECT_TRUE(list.has_value()) << "no list for '" << text << "'";
    return list.value_or(SubjectList{});
}

} // namespace

TEST(SplitSubjects, TrimsLowerCasesAndKeepsOrderAndDuplicates) {
    const std::pair<std::string_view, SubjectList> cases[] = {
        {"  MAIL.Example.ORG   10.0.0.1 ", {"mail.example.org", "10.0.0.1"}},
        {"a a", {"a", "a"}},
        {"a  b c", {"a", "b", "c"}},
        // Tabs and line breaks separate as blanks do: a pasted list, one item a line.
        {"\tx\ty\n z", {"x", "y", "z"}},
        {"192.0.2.1\n192.0.2.2\r\n192.0.2.3\r", {"192.0.2.1", "192.0.2.2", "192.0.2.3"}},
        {"a\rb\r\n\r\nc\t\td", {"a", "b", "c", "d"}},
        // Other control characters are trimmed from the ends only.
        {"\x01x\x02y\x03", {"x\x02y"}},
    };
    for (const auto& [text, expected] : cases)
        EXPECT_EQ(Split(text), expected) << text;
}

TEST(SplitSubjects, GivesNoListForTextWithoutItems) {
    EXPECT_FALSE(SplitSubjects("").has_value());
    EXPECT_FALSE(SplitSubjects("   ").has_value());
    EXPECT_FALSE(SplitSubjects(" \t \r ").has_value());
}

TEST(SplitSubjects, FileNamesKeepCaseAndQuotedRuns) {
    EXPECT_EQ(Split("/Logs/Access.LOG b.log ", SplitMode::FileNames),
              (SubjectList{"/Logs/Access.LOG", "b.log"}));
    EXPECT_EQ(Split("\"/tmp/My Logs/a b.log\" c.log", SplitMode::FileNames),
              (SubjectList{"/tmp/My Logs/a b.log", "c.log"}));
    EXPECT_FALSE(SplitSubjects("\"\" ", SplitMode::FileNames).has_value());
    // An unclosed quote runs to the end.
    EXPECT_EQ(Split("\"a b", SplitMode::FileNames), (SubjectList{"a b"}));
    // A pasted list of names; a tab in quotes is part of the name.
    EXPECT_EQ(Split("/a.log\r\n/B.log\t\"c\td.log\"\n", SplitMode::FileNames),
              (SubjectList{"/a.log", "/B.log", "c\td.log"}));
}

TEST(SplitSubjects, QuotedFileNamesKeepTheirBlanksAndReadEscapes) {
    EXPECT_EQ(Split("\"x.log \" \" y.log\"", SplitMode::FileNames),
              (SubjectList{"x.log ", " y.log"}));
    EXPECT_EQ(Split(R"("my\"odd\".log" "a\\b" "caf\xE9.log" "c:\new")", SplitMode::FileNames),
              (SubjectList{"my\"odd\".log", "a\\b", "caf\xE9.log", "c:\\new"}));
    // Outside quotes a backslash is an ordinary character of the name.
    EXPECT_EQ(Split(R"(a\b c\xE9)", SplitMode::FileNames), (SubjectList{"a\\b", "c\\xE9"}));
}

TEST(QuoteFileName, EveryNameSplitsBackToItsExactBytes) {
    const std::string names[] = {"/logs/access.log",
                                 "my\"odd\".log",
                                 "x.log ",
                                 " x.log",
                                 "My Logs/a b.log",
                                 "caf\xE9.log",
                                 "caf\xC3\xA9.log",
                                 "a\\b",
                                 "tab\there",
                                 "new\nline",
                                 std::string("nul\0x", 5),
                                 "\xFF\xFE",
                                 "\xED\xA0\x80",
                                 "end\\"};
    for (const std::string& name : names) {
        const std::string quoted = QuoteFileName(name);
        EXPECT_EQ(Split(quoted + " other", SplitMode::FileNames), (SubjectList{name, "other"}))
            << quoted;
        EXPECT_EQ(PrintableFileName(quoted), quoted) << "not text: " << quoted;
    }
    EXPECT_EQ(QuoteFileName("/logs/access.log"), "/logs/access.log");
    EXPECT_EQ(QuoteFileName("caf\xE9.log"), "\"caf\\xE9.log\"");
    EXPECT_EQ(PrintableFileName("caf\xE9\n.log"), "caf\\xE9\\x0A.log");
}

TEST(CountOccurrences, CountsNonOverlapping) {
    EXPECT_EQ(CountOccurrences("[", "a[b[c"), 2);
    EXPECT_EQ(CountOccurrences("[", ""), 0);
    EXPECT_EQ(CountOccurrences(".", "..."), 3);
    EXPECT_EQ(CountOccurrences("aa", "aaaa"), 2);
    EXPECT_EQ(CountOccurrences("aa", "aaa"), 1);
    EXPECT_EQ(CountOccurrences("", "abc"), 0);
}

struct KindCase {
    const char* subject;
    SubjectKind kind;
};

class ClassifySubjectTest : public ::testing::TestWithParam<KindCase> {};

TEST_P(ClassifySubjectTest, Classifies) {
    EXPECT_EQ(ClassifySubject(GetParam().subject), GetParam().kind) << GetParam().subject;
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, ClassifySubjectTest,
    ::testing::Values(KindCase{"10.1.2.3", skAddress}, KindCase{"12345", skAddress},
                      KindCase{"1.2.3.4.5", skAddress}, KindCase{"mail.example.org", skHostName},
                      KindCase{"1-2", skHostName}, KindCase{"10.1.2.*", skRange},
                      KindCase{"10.1.2.[5-9]", skRange}, KindCase{"*", skRange},
                      KindCase{"10.1.2.3*", skRange}, KindCase{"10.1.*.*", skOther},
                      KindCase{"mail_host", skOther}, KindCase{"Mail.example.org", skOther},
                      KindCase{"a.b.*", skOther}, KindCase{"10.1.2.]", skOther},
                      KindCase{"10.1.2.[1-2]*", skOther}, KindCase{"10.*.2.3", skOther}),
    [](const auto& info) { return "Case" + std::to_string(info.index); });

TEST(IsValidRangePattern, AcceptsOnlyOneWildcardInTheLastSection) {
    EXPECT_TRUE(IsValidRangePattern("10.1.2.*"));
    EXPECT_TRUE(IsValidRangePattern("10.1.2.[10-20]"));
    EXPECT_TRUE(IsValidRangePattern("10.1.2.3*"));
    EXPECT_FALSE(IsValidRangePattern("10.1.*.*"));
    EXPECT_FALSE(IsValidRangePattern("10.*.2.3"));
    EXPECT_FALSE(IsValidRangePattern("10.1.2.[1-2]*"));
    EXPECT_FALSE(IsValidRangePattern("10.1.2.]"));
    EXPECT_FALSE(IsValidRangePattern("10.1.[2.3"));
}

TEST(IsValidRangePattern, LooksOnly255CharactersPastTheWildcard) {
    const std::string far = "1.*" + std::string(255, '0') + ".1";
    EXPECT_TRUE(IsValidRangePattern(far));
    const std::string near = "1.*" + std::string(254, '0') + ".1";
    EXPECT_FALSE(IsValidRangePattern(near));
}

struct BoundsCase {
    const char* text;
    int low;
    int high;
};

class ParseRangeBoundsTest : public ::testing::TestWithParam<BoundsCase> {};

TEST_P(ParseRangeBoundsTest, Reads) {
    int low = -5;
    int high = -5;
    ParseRangeBounds(GetParam().text, low, high);
    EXPECT_EQ(low, GetParam().low) << GetParam().text;
    EXPECT_EQ(high, GetParam().high) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(Bounds, ParseRangeBoundsTest,
                         ::testing::Values(BoundsCase{".[10-20]", 10, 20}, BoundsCase{".*", 0, 255},
                                           BoundsCase{".[10]", 10, 255},
                                           BoundsCase{".[10-20", 10, 2}, BoundsCase{".[5", 0, 255},
                                           BoundsCase{".[-7]", 0, 7}, BoundsCase{".[3-1]", 3, 1},
                                           BoundsCase{".[1x2-3y4]", 12, 34},
                                           BoundsCase{".[99999999999-5]", 0, 5},
                                           BoundsCase{"", 0, 255}),
                         [](const auto& info) { return "Case" + std::to_string(info.index); });
