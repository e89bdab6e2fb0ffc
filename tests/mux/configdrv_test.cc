// Configuration file drivers: syntax of both drivers, every message with the
// text it shows, fetch results, and the stand-alone key lookup.
#include "config/config.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "conf_test_util.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

enum class Kind { Props, File };

struct Parsed {
    int result = -1;
    std::vector<std::string> options; // "name=v1|v2"
    std::vector<std::string> messages;
};

int _collect(void *arg, const char *name, char **values)
{
    std::string s = std::string(name) + "=";
    for (char **v = values; *v; ++v)
        s += (v == values ? "" : "|") + std::string(*v);
    static_cast<Parsed *>(arg)->options.push_back(s);
    return 0;
}

class DriverTest : public ::testing::TestWithParam<Kind> {
  protected:
    ConfigDriver *init(const std::string &path)
    {
        return GetParam() == Kind::Props ? config_readdriver_propsinit(path.c_str())
                                         : config_readdriver_fileinit(path.c_str());
    }

    std::string drv() const { return GetParam() == Kind::Props ? "props" : "file"; }

    Parsed parse(const std::string &content)
    {
        Parsed p;
        std::string path = dir.file("c.conf");
        conftest::write_file(path, content);
        ConfigDriver *d = init(path);
        if (d == nullptr)
            return p;
        testing::internal::CaptureStderr();
        p.result = d->fetch(d, _collect, &p);
        p.messages = conftest::messages_of(testing::internal::GetCapturedStderr());
        d->free(d);
        return p;
    }

    std::string err(const std::string &text) const
    {
        return "Error: func=_configdrv_" + drv() + "_readoption; error=" + text;
    }

    conftest::TempDir dir;
};

TEST_P(DriverTest, BasicLinesBlanksAndComments)
{
    Parsed p = parse("! a comment = with things\n"
                     "a=1\n"
                     "b   =    two\n"
                     "\n"
                     "   \n"
                     "\t\n"
                     "c.d-e_f*g = x!y=z\n"
                     "!another\n"
                     "last = end");
    EXPECT_EQ(p.result, 0);
    EXPECT_THAT(p.options, ElementsAre("a=1", "b=two", "c.d-e_f*g=x!y=z", "last=end"));
    EXPECT_THAT(p.messages, IsEmpty());
}

TEST_P(DriverTest, EmptyFileAndEmptyValues)
{
    Parsed p = parse("");
    EXPECT_EQ(p.result, 0);
    EXPECT_THAT(p.options, IsEmpty());
    p = parse("a =\nb = \"\"\nc = \"\", x, \"\"\nd=");
    EXPECT_EQ(p.result, 0);
    EXPECT_THAT(p.options, ElementsAre("c=x"));
}

TEST_P(DriverTest, QuotedValuesAndEscapes)
{
    Parsed p = parse("q = \"a b,c\\\"d\\\\e\\nf\\rg\\th\"\n"
                     "h = \"\xc3\xa9t\xc3\xa9\", bare\xe9\n");
    EXPECT_EQ(p.result, 0);
    EXPECT_THAT(p.options,
                ElementsAre("q=a b,c\"d\\e\nf\rg\th", "h=\xc3\xa9t\xc3\xa9|bare\xe9"));
}

TEST_P(DriverTest, MalformedQuotedValues)
{
    Parsed p = parse("ok = 1\nq = \"tab\there\"\nnot = reached\n");
    EXPECT_EQ(p.result, 1);
    EXPECT_THAT(p.options, ElementsAre("ok=1"));
    EXPECT_THAT(p.messages, ElementsAre(err("error in reading value; data=\"tab\there\"")));

    p = parse("q = \"bad \\x escape\"\n");
    EXPECT_THAT(p.messages, ElementsAre(err("error in reading value; data=\"bad \\x escape\"")));
    p = parse("q = \"unterminated\n");
    EXPECT_THAT(p.messages, ElementsAre(err("error in reading value; data=\"unterminated")));
    p = parse("q = \"ends in backslash\\");
    EXPECT_EQ(p.result, 1);
    EXPECT_THAT(p.messages, ElementsAre(err("error in reading value; data=\"ends in backslash\\")));
}

TEST_P(DriverTest, CharactersAfterAValue)
{
    Parsed p = parse("a = value\"quoted\"\n");
    EXPECT_EQ(p.result, 1);
    EXPECT_THAT(p.messages,
                ElementsAre(err("unexpected character after value; data=\"quoted\"")));
    p = parse("a = val\\ue\n");
    EXPECT_THAT(p.messages, ElementsAre(err("unexpected character after value; data=\\ue")));
    p = parse("a = one two\n");
    EXPECT_THAT(p.messages, ElementsAre(err("unexpected character after value; data=two")));
}

TEST_P(DriverTest, NameErrors)
{
    Parsed p = parse("a=1\n\n  text\nb=2\n");
    EXPECT_EQ(p.result, 1);
    EXPECT_THAT(p.options, ElementsAre("a=1"));
    EXPECT_THAT(p.messages, ElementsAre(err("bad comment line; line=  text")));
    EXPECT_THAT(parse("\vx=1\n").messages, ElementsAre(err("bad comment line; line=\vx=1")));
    EXPECT_THAT(parse("\fx=1\n").messages, ElementsAre(err("bad comment line; line=\fx=1")));
    EXPECT_THAT(parse("a=1\n\n   ").messages, ElementsAre(err("bad comment line; line=   ")));
    EXPECT_THAT(parse("=1\n").messages,
                ElementsAre(err("option name contains illegal character; line==1")));
    EXPECT_THAT(parse("a/b = 1\n").messages,
                ElementsAre(err("option name should be followed by '='; line=a/b = 1")));
    EXPECT_THAT(parse("name").messages,
                ElementsAre(err("option name not followed by =value; line=name")));
    EXPECT_THAT(parse("name  ").messages,
                ElementsAre(err("option name should be followed by '='; line=name  ")));
    EXPECT_THAT(parse("name value\n").messages,
                ElementsAre(err("option name should be followed by '='; line=name value")));
}

TEST_P(DriverTest, LanguageTags)
{
    Parsed p = parse("greeting;lang-fr = bonjour\nx;lang-en;lang-us = hi\n");
    EXPECT_EQ(p.result, 0);
    EXPECT_THAT(p.options, ElementsAre("greeting;lang-fr=bonjour", "x;lang-en;lang-us=hi"));
    EXPECT_THAT(parse("x;lang- = 1\n").messages,
                ElementsAre(err("option name contains illegal character; line=x;lang- = 1")));
    EXPECT_THAT(parse("x;en = 1\n").messages,
                ElementsAre(err("option name contains illegal character; line=x;en = 1")));
    EXPECT_THAT(parse("x;lang-en;fr = 1\n").messages,
                ElementsAre(err("option name contains illegal character; line=x;lang-en;fr = 1")));
}

TEST_P(DriverTest, NameLengthLimit)
{
    std::string n511(511, 'n');
    Parsed p = parse(n511 + "=ok\n");
    EXPECT_EQ(p.result, 0);
    EXPECT_THAT(p.options, ElementsAre(n511 + "=ok"));
    std::string n512(512, 'n');
    p = parse(n512 + "=no\n");
    EXPECT_EQ(p.result, 1);
    // The shown line is cut at 79 bytes.
    EXPECT_THAT(p.messages, ElementsAre(err("option name is too long; line=" + std::string(79, 'n') +
                                            ": maxoptionnamelength=512")));
}

TEST_P(DriverTest, RepeatedOptionsAreAllHandedOver)
{
    Parsed p = parse("a = 1\na = 2, 3\n");
    EXPECT_THAT(p.options, ElementsAre("a=1", "a=2|3"));
}

TEST_P(DriverTest, CommaListsOnOneLine)
{
    Parsed p = parse("l = a, b ,c,\"d e\"\nm = x,\nn = y ,");
    EXPECT_EQ(p.result, 0);
    EXPECT_THAT(p.options, ElementsAre("l=a|b|c|d e", "m=x", "n=y"));
}

INSTANTIATE_TEST_SUITE_P(BothDrivers, DriverTest, ::testing::Values(Kind::Props, Kind::File),
                         [](const auto &info) {
                             return info.param == Kind::Props ? std::string("Props")
                                                              : std::string("File");
                         });

class PropsDriverTest : public DriverTest {};
class FileDriverTest : public DriverTest {};

TEST_P(PropsDriverTest, BackslashContinuationBeforeAndAfterComma)
{
    Parsed p = parse("list = a,\\\n   b \\\n   , c,\\\r\n\r\n\td\nnext = 1\n");
    EXPECT_EQ(p.result, 0);
    EXPECT_THAT(p.options, ElementsAre("list=a|b|c|d", "next=1"));
    // Data ending right after a continuation mark or a comma.
    EXPECT_THAT(parse("l = a,\\\n").options, ElementsAre("l=a"));
    EXPECT_THAT(parse("l = a \\\n").options, ElementsAre("l=a"));
    Parsed bad = parse("l = a \\\n b\n");
    EXPECT_EQ(bad.result, 1);
    EXPECT_THAT(bad.messages, ElementsAre(err("invalid value list separator; data=b")));
}

TEST_P(PropsDriverTest, LoneCrEndsLinesLikeLf)
{
    Parsed p = parse("a = 1\rb = 2\r\r\n\nc = 3\r!comment\rd = 4");
    EXPECT_EQ(p.result, 0);
    EXPECT_THAT(p.options, ElementsAre("a=1", "b=2", "c=3", "d=4"));
    EXPECT_THAT(parse("  \ra=1\r").options, ElementsAre("a=1"));
}

TEST_P(FileDriverTest, BlankStartedLinesContinueAroundCommas)
{
    Parsed p = parse("list = a,\n   b\n\t, c,\r\n  d\nnext = 1\r\n");
    EXPECT_EQ(p.result, 0);
    EXPECT_THAT(p.options, ElementsAre("list=a|b|c|d", "next=1"));
    Parsed bad = parse("list = a\n   b\n");
    EXPECT_EQ(bad.result, 1);
    EXPECT_THAT(bad.messages, ElementsAre(err("invalid value list separator; data=b")));
    // A backslash is not a continuation mark here.
    EXPECT_THAT(parse("l = a,\\\n b\n").messages,
                ElementsAre(err("unexpected character after value; data=\\")));
    // Nor is a line end followed by another line end.
    EXPECT_THAT(parse("l = a,\n\n  b\n").messages, ElementsAre(err("bad comment line; line=  b")));
}

TEST_P(FileDriverTest, LoneCrIsAnOrdinaryByte)
{
    Parsed p = parse("!comment\rstill comment\na = 1\r\nb = 2");
    EXPECT_EQ(p.result, 0);
    EXPECT_THAT(p.options, ElementsAre("a=1", "b=2"));
    Parsed bad = parse("a = 1\rb = 2\n");
    EXPECT_EQ(bad.result, 1);
    EXPECT_THAT(bad.messages, ElementsAre(err("unexpected character after value; data=")));
    EXPECT_THAT(parse("\ra=1\n").messages, ElementsAre(err("bad comment line; line=")));
    EXPECT_THAT(parse("  \r\n\r\na=1\r\n").options, ElementsAre("a=1"));
}

INSTANTIATE_TEST_SUITE_P(Props, PropsDriverTest, ::testing::Values(Kind::Props));
INSTANTIATE_TEST_SUITE_P(File, FileDriverTest, ::testing::Values(Kind::File));

TEST(DriverInit, MissingPathsAndDirectories)
{
    conftest::TempDir dir;
    testing::internal::CaptureStderr();
    EXPECT_EQ(config_readdriver_propsinit(nullptr), nullptr);
    EXPECT_EQ(config_readdriver_fileinit(""), nullptr);
    EXPECT_EQ(config_readdriver_propsinit(dir.file("absent").c_str()), nullptr);
    EXPECT_EQ(config_readdriver_fileinit(dir.path().c_str()), nullptr);
    auto msgs = conftest::messages_of(testing::internal::GetCapturedStderr());
    EXPECT_THAT(msgs,
                ElementsAre("Error: func=config_readdriver_propsinit; error=need config file path",
                            "Error: func=config_readdriver_fileinit; error=need config file path",
                            "Error: func=config_readdriver_propsinit; filename=" +
                                dir.file("absent") + "; error=file doesn't exist",
                            "Error: func=config_readdriver_fileinit; filename=" + dir.path() +
                                "; error=file doesn't exist"));
}

TEST(DriverFetch, FileRemovedAfterInitCannotBeOpened)
{
    conftest::TempDir dir;
    std::string path = dir.file("gone.conf");
    conftest::write_file(path, "a=1\n");
    ConfigDriver *d = config_readdriver_propsinit(path.c_str());
    ASSERT_NE(d, nullptr);
    unlink(path.c_str());
    Parsed p;
    testing::internal::CaptureStderr();
    EXPECT_EQ(d->fetch(d, _collect, &p), 1);
    auto msgs = conftest::messages_of(testing::internal::GetCapturedStderr());
    EXPECT_THAT(msgs, ElementsAre("Error: func=_configdrv_props_fetch; error=unable to open config "
                                  "file; file=" +
                                  path + "; syserror=No such file or directory"));
    d->free(d);
}

TEST(DriverFetch, CacheFromFileUsesTheFileDriverAndPattern)
{
    conftest::TempDir dir;
    std::string path = dir.file("f.conf");
    conftest::write_file(path, "keep.a = 1\nkeep.b = x,\n  y\nskip = 2\n");
    ConfigCache *c = config_newcache_fromfile(path.c_str(), "keep.*");
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(config_get_int(c, "keep.a", 0), 1);
    EXPECT_STREQ(config_get_string(c, "skip", "none"), "none");
    char **v = config_get_multistringcopy(c, "keep.b");
    ASSERT_NE(v, nullptr);
    EXPECT_STREQ(v[1], "y");
    config_freearray(v);
    config_freecache(c);

    conftest::write_file(path, "bad line\n");
    testing::internal::CaptureStderr();
    EXPECT_EQ(config_newcache_fromfile(path.c_str(), nullptr), nullptr);
    EXPECT_EQ(config_newcache_fromfile(dir.file("none").c_str(), nullptr), nullptr);
    testing::internal::GetCapturedStderr();
}

TEST(DriverFetch, RefreshRereadsTheFile)
{
    conftest::TempDir dir;
    std::string path = dir.file("r.conf");
    conftest::write_file(path, "a = 1\nb = 1\n");
    ConfigCache *c = config_newcache();
    config_adddriver(c, nullptr, config_readdriver_propsinit(path.c_str()));
    ASSERT_EQ(config_fetch(c), 0);
    conftest::write_file(path, "a = 2\n");
    EXPECT_EQ(config_refresh(c), 0);
    EXPECT_EQ(config_get_int(c, "a", 0), 2);
    EXPECT_EQ(config_get_int(c, "b", 0), 0);
    conftest::write_file(path, "a = 3\n oops\n");
    testing::internal::CaptureStderr();
    EXPECT_EQ(config_refresh(c), 1);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(config_get_int(c, "a", 0), 2);
    config_freecache(c);
}

TEST(DriverGetkey, LastOccurrenceFirstValue)
{
    conftest::TempDir dir;
    std::string path = dir.file("k.conf");
    conftest::write_file(path, "k = first\nK = upper\nk = second, more\nother = x\n");
    char *value = reinterpret_cast<char *>(0x1);
    EXPECT_EQ(configdrvr_props_getkey(path.c_str(), "k", &value), 0);
    EXPECT_STREQ(value, "second");
    free(value);
    EXPECT_EQ(configdrvr_file_getkey(path.c_str(), "absent", &value), 0);
    EXPECT_EQ(value, nullptr);

    testing::internal::CaptureStderr();
    char *untouched = reinterpret_cast<char *>(0x1);
    EXPECT_EQ(configdrvr_props_getkey(dir.file("nofile").c_str(), "k", &untouched), 1);
    conftest::write_file(path, "k = 1\n bad\n");
    EXPECT_EQ(configdrvr_file_getkey(path.c_str(), "k", &untouched), 2);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(untouched, reinterpret_cast<char *>(0x1));
}

} // namespace
