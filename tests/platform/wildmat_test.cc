#include "plat/wildmat.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct Case {
    const char *text;
    const char *pattern;
    int expected;
};

class WildmatCases : public ::testing::TestWithParam<Case> {};

TEST_P(WildmatCases, Matches)
{
    const Case &c = GetParam();
    EXPECT_EQ(wildmat(c.text, c.pattern) != 0, c.expected != 0) << c.text << " vs " << c.pattern;
}

INSTANTIATE_TEST_SUITE_P(
    Literal, WildmatCases,
    ::testing::Values(Case{"", "", 1}, Case{"abc", "abc", 1}, Case{"abc", "abd", 0},
                      Case{"abc", "ab", 0}, Case{"ab", "abc", 0}, Case{"", "a", 0},
                      Case{"ABC", "abc", 0}));

INSTANTIATE_TEST_SUITE_P(
    Star, WildmatCases,
    ::testing::Values(Case{"", "*", 1}, Case{"anything.at.all", "*", 1},
                      // the star spans dots: partition keys with dotted names
                      Case{"store.partition.a.b.path", "store.partition.*.path", 1},
                      Case{"store.partition.a.path", "store.partition.*.path", 1},
                      Case{"store.partition..path", "store.partition.*.path", 1},
                      Case{"store.partition.a.paths", "store.partition.*.path", 0},
                      Case{"logfile.default.logdir", "logfile.*", 1},
                      Case{"logfile", "logfile.*", 0}, Case{"abcabcabd", "*abd", 1},
                      Case{"abcabcabd", "a*c*d", 1}, Case{"abcabcabx", "a*c*d", 0},
                      Case{"aaaaaaaaaaaaaaaaaaaaaaaaaaaaab", "a*a*a*a*a*a*a*a*c", 0},
                      Case{"xy", "**x**y**", 1}));

INSTANTIATE_TEST_SUITE_P(
    QuestionAndSets, WildmatCases,
    ::testing::Values(Case{"a", "?", 1}, Case{"", "?", 0}, Case{"ab", "?", 0},
                      Case{"a.c", "a?c", 1}, Case{"b", "[abc]", 1}, Case{"d", "[abc]", 0},
                      Case{"m", "[a-z]", 1}, Case{"M", "[a-z]", 0}, Case{"5", "[0-9a-f]", 1},
                      Case{"d", "[!abc]", 1}, Case{"a", "[!abc]", 0}, Case{"a", "[^abc]", 0},
                      Case{"]", "[]a]", 1}, Case{"-", "[a-]", 1}, Case{"b", "[!]a]", 1},
                      Case{"x1", "x[0-9]", 1}, Case{"x10", "x[0-9]", 0},
                      Case{"x10", "x[0-9]*", 1},
                      // an unclosed set is a literal bracket
                      Case{"[a", "[a", 1}, Case{"a", "[a", 0}));

INSTANTIATE_TEST_SUITE_P(
    Escapes, WildmatCases,
    ::testing::Values(Case{"*", "\\*", 1}, Case{"a", "\\*", 0}, Case{"a?", "a\\?", 1},
                      Case{"ab", "a\\?", 0}, Case{"\\", "\\", 1}));

TEST(Wildmat, HighBytesCompareAsUnsigned)
{
    EXPECT_TRUE(wildmat("\xe9", "[\xe0-\xef]"));
    EXPECT_FALSE(wildmat("a", "[\xe0-\xef]"));
}

TEST(Wildmat, LongInputsFinish)
{
    std::string text(20000, 'a');
    std::string pattern;
    for (int i = 0; i < 50; ++i)
        pattern += "a*";
    pattern += "b";
    EXPECT_FALSE(wildmat(text.c_str(), pattern.c_str()));
    text += "b";
    EXPECT_TRUE(wildmat(text.c_str(), pattern.c_str()));
}

} // namespace
