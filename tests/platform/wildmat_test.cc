// Shell-style pattern matching of configuration keys.
#include "plat/wildmat.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(Wildmat, CasesAndLongInputsFinish) {
  const struct {
    const char *text, *pattern;
    bool match;
    // clang-format off
  } rows[] = {
      {"", "", 1}, {"abc", "abc", 1}, {"abc", "abd", 0}, {"abc", "ab", 0}, {"ab", "abc", 0}, {"", "a", 0},
      {"ABC", "abc", 0},
      // the star spans dots: partition keys with dotted names
      {"", "*", 1}, {"anything.at.all", "*", 1}, {"store.partition.a.b.path", "store.partition.*.path", 1},
      {"store.partition.a.path", "store.partition.*.path", 1}, {"store.partition..path", "store.partition.*.path", 1},
      {"store.partition.a.paths", "store.partition.*.path", 0}, {"logfile.default.logdir", "logfile.*", 1},
      {"logfile", "logfile.*", 0}, {"abcabcabd", "*abd", 1}, {"abcabcabd", "a*c*d", 1}, {"abcabcabx", "a*c*d", 0},
      {"aaaaaaaaaaaaaaaaaaaaaaaaaaaaab", "a*a*a*a*a*a*a*a*c", 0}, {"xy", "**x**y**", 1},
      {"a", "?", 1}, {"", "?", 0}, {"ab", "?", 0}, {"a.c", "a?c", 1}, {"b", "[abc]", 1}, {"d", "[abc]", 0},
      {"m", "[a-z]", 1}, {"M", "[a-z]", 0}, {"5", "[0-9a-f]", 1}, {"d", "[!abc]", 1}, {"a", "[!abc]", 0},
      {"a", "[^abc]", 0}, {"]", "[]a]", 1}, {"-", "[a-]", 1}, {"b", "[!]a]", 1}, {"x1", "x[0-9]", 1},
      {"x10", "x[0-9]", 0}, {"x10", "x[0-9]*", 1},
      {"[a", "[a", 1}, {"a", "[a", 0},  // an unclosed set is a literal bracket
      {"*", "\\*", 1}, {"a", "\\*", 0}, {"a?", "a\\?", 1}, {"ab", "a\\?", 0}, {"\\", "\\", 1},
      {"\xe9", "[\xe0-\xef]", 1}, {"a", "[\xe0-\xef]", 0},  // high bytes compare as unsigned
  };
  // clang-format on
  for (auto &r : rows) EXPECT_EQ(r.match, wildmat(r.text, r.pattern) != 0) << r.text << " vs " << r.pattern;
  // Long inputs finish.
  std::string text(20000, 'a'), pattern;
  for (int i = 0; i < 50; ++i) pattern += "a*";
  pattern += "b";
  EXPECT_FALSE(wildmat(text.c_str(), pattern.c_str()));
  text += "b";
  EXPECT_TRUE(wildmat(text.c_str(), pattern.c_str()));
}

}  // namespace
