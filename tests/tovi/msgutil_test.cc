// Case tables and the beautifier.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "tovi/msgutil.h"

namespace {

TEST(CaseTablesAndBeautify, OnlyAsciiLettersChangeInPlaceAndOddBytesAreShownInABufferThatFits) {
  for (int c = 0; c < 256; ++c) {
    EXPECT_EQ(c >= 'A' && c <= 'Z' ? c + 32 : c, convert_to_lowercase[c]) << c;
    EXPECT_EQ(c >= 'a' && c <= 'z' ? c - 32 : c, convert_to_uppercase[c]) << c;
  }
  char s[] = "MiXeD 123 \xC9t\xE9", empty[] = "";
  EXPECT_EQ(s, lcase(s));
  EXPECT_STREQ("mixed 123 \xC9t\xE9", s);
  EXPECT_EQ(s, ucase(s));
  EXPECT_STREQ("MIXED 123 \xC9T\xE9", s);
  EXPECT_EQ(empty, lcase(empty));
  // The beautifier shows control, high and delete bytes, in a buffer
  // allocated or enlarged to fit.
  char dst[16];
  // 233 loses its top bit and becomes 'i': six characters in all.
  char *end = beautify_copy(dst, "\ta\xE9\x7f");
  EXPECT_STREQ("^Iai^?", dst);
  EXPECT_EQ(6, end - dst);
  char *buf = beautify_string("hi\n", nullptr, 0);
  EXPECT_STREQ("hi^J", buf);
  // The first allocation is at least 4096 bytes: a long text still fits
  // when the caller passes that size.
  buf = beautify_string(std::string(2000, '\x01').c_str(), buf, 4096);
  EXPECT_EQ(4000u, strlen(buf));
  // A caller that knows a small size gets the buffer enlarged to fit (the
  // sanitizer build catches a write past its end).
  buf = beautify_string(std::string(10000, '\x02').c_str(), buf, 4096);
  ASSERT_EQ(20000u, strlen(buf));
  EXPECT_EQ("^B", std::string(buf + 19998));
  free(buf);
}

}  // namespace
