// Configuration file drivers: the syntax of both drivers as a table of
// texts with the options they give and the errors they report, fetch
// results, and the stand-alone key lookup.
#include "config/config.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "conf_test_util.h"

using ::testing::ElementsAre;

namespace {

enum Kind { Props = 1, File = 2, Both = 3 };

struct Parsed {
    int result = -1;
    std::vector<std::string> options;  // "name=v1|v2"
    std::vector<std::string> messages;
};

Parsed fetch(ConfigDriver *d) {
    Parsed p;
    ts::Thunk<int, const char *, char **> collect{[&](const char *name, char **values) {
        std::string s = std::string(name) + "=";
        for (char **v = values; *v; ++v) s += (v == values ? "" : "|") + std::string(*v);
        p.options.push_back(s);
        return 0;
    }};
    p.messages = conftest::stderr_of([&] { p.result = d->fetch(d, collect.first, &collect); });
    d->free(d);
    return p;
}

// A text; what it gives: its options, and the errors after "error=" in the
// messages of the driver's line reader (the fetch fails with 1 on the first).
// clang-format off
const struct Row { int drivers; std::string text; std::vector<std::string> options, errors; } kRows[] = {
    {Both, "! a comment = with things\na=1\nb   =    two\n\n   \n\t\nc.d-e_f*g = x!y=z\n!another\nlast = end",
     {"a=1", "b=two", "c.d-e_f*g=x!y=z", "last=end"}, {}},
    {Both, "", {}, {}},
    {Both, "a =\nb = \"\"\nc = \"\", x, \"\"\nd=", {"c=x"}, {}},  // empty values are dropped
    {Both, "q = \"a b,c\\\"d\\\\e\\nf\\rg\\th\"\nh = \"\xc3\xa9t\xc3\xa9\", bare\xe9\n",
     {"q=a b,c\"d\\e\nf\rg\th", "h=\xc3\xa9t\xc3\xa9|bare\xe9"}, {}},
    {Both, "ok = 1\nq = \"tab\there\"\nnot = reached\n", {"ok=1"}, {"error in reading value; data=\"tab\there\""}},
    {Both, "q = \"bad \\x escape\"\n", {}, {"error in reading value; data=\"bad \\x escape\""}},
    {Both, "q = \"unterminated\n", {}, {"error in reading value; data=\"unterminated"}},
    {Both, "q = \"ends in backslash\\", {}, {"error in reading value; data=\"ends in backslash\\"}},
    {Both, "a = value\"quoted\"\n", {}, {"unexpected character after value; data=\"quoted\""}},
    {Both, "a = val\\ue\n", {}, {"unexpected character after value; data=\\ue"}},
    {Both, "a = one two\n", {}, {"unexpected character after value; data=two"}},
    {Both, "a=1\n\n  text\nb=2\n", {"a=1"}, {"bad comment line; line=  text"}},
    {Both, "\vx=1\n", {}, {"bad comment line; line=\vx=1"}},
    {Both, "\fx=1\n", {}, {"bad comment line; line=\fx=1"}},
    {Both, "a=1\n\n   ", {"a=1"}, {"bad comment line; line=   "}},
    {Both, "=1\n", {}, {"option name contains illegal character; line==1"}},
    {Both, "a/b = 1\n", {}, {"option name should be followed by '='; line=a/b = 1"}},
    {Both, "name", {}, {"option name not followed by =value; line=name"}},
    {Both, "name  ", {}, {"option name should be followed by '='; line=name  "}},
    {Both, "name value\n", {}, {"option name should be followed by '='; line=name value"}},
    {Both, "greeting;lang-fr = bonjour\nx;lang-en;lang-us = hi\n", {"greeting;lang-fr=bonjour", "x;lang-en;lang-us=hi"},
     {}},
    {Both, "x;lang- = 1\n", {}, {"option name contains illegal character; line=x;lang- = 1"}},
    {Both, "x;en = 1\n", {}, {"option name contains illegal character; line=x;en = 1"}},
    {Both, "x;lang-en;fr = 1\n", {}, {"option name contains illegal character; line=x;lang-en;fr = 1"}},
    {Both, std::string(511, 'n') + "=ok\n", {std::string(511, 'n') + "=ok"}, {}},
    // The shown line is cut at 79 bytes.
    {Both, std::string(512, 'n') + "=no\n", {},
     {"option name is too long; line=" + std::string(79, 'n') + ": maxoptionnamelength=512"}},
    {Both, "a = 1\na = 2, 3\n", {"a=1", "a=2|3"}, {}},  // repeated options are all handed over
    {Both, "l = a, b ,c,\"d e\"\nm = x,\nn = y ,", {"l=a|b|c|d e", "m=x", "n=y"}, {}},
    // Props: a backslash continues a line, before or after a comma; a lone
    // CR ends a line like LF.
    {Props, "list = a,\\\n   b \\\n   , c,\\\r\n\r\n\td\nnext = 1\n", {"list=a|b|c|d", "next=1"}, {}},
    {Props, "l = a,\\\n", {"l=a"}, {}},
    {Props, "l = a \\\n", {"l=a"}, {}},
    {Props, "l = a \\\n b\n", {}, {"invalid value list separator; data=b"}},
    {Props, "a = 1\rb = 2\r\r\n\nc = 3\r!comment\rd = 4", {"a=1", "b=2", "c=3", "d=4"}, {}},
    {Props, "  \ra=1\r", {"a=1"}, {}},
    // File: a line that starts with a blank continues the last one around a
    // comma; neither a backslash nor an empty line does; a lone CR is an
    // ordinary byte.
    {File, "list = a,\n   b\n\t, c,\r\n  d\nnext = 1\r\n", {"list=a|b|c|d", "next=1"}, {}},
    {File, "list = a\n   b\n", {}, {"invalid value list separator; data=b"}},
    {File, "l = a,\\\n b\n", {}, {"unexpected character after value; data=\\"}},
    {File, "l = a,\n\n  b\n", {"l=a"}, {"bad comment line; line=  b"}},
    {File, "!comment\rstill comment\na = 1\r\nb = 2", {"a=1", "b=2"}, {}},
    {File, "a = 1\rb = 2\n", {}, {"unexpected character after value; data="}},
    {File, "\ra=1\n", {}, {"bad comment line; line="}},
    {File, "  \r\n\r\na=1\r\n", {"a=1"}, {}},
};
// clang-format on

class DriverSyntax : public ::testing::TestWithParam<Kind> {};

TEST_P(DriverSyntax, EveryTextGivesItsOptionsAndErrors) {
    ts::TempDir dir;
    std::string drv = GetParam() == Props ? "props_readoption; error=" : "file_readoption; error=";
    for (const Row &row : kRows) {
        if (!(row.drivers & GetParam())) continue;
        SCOPED_TRACE(::testing::PrintToString(row.text));
        ts::write_file(dir / "c.conf", row.text);
        std::string path = dir / "c.conf";
        Parsed p = fetch(GetParam() == Props ? config_readdriver_propsinit(path.c_str()) : config_readdriver_fileinit(path.c_str()));
        std::vector<std::string> errors;
        for (const std::string &e : row.errors) errors.push_back("Error: func=_configdrv_" + drv + e);
        EXPECT_EQ(p.result, errors.empty() ? 0 : 1);
        EXPECT_EQ(p.options, row.options);
        EXPECT_EQ(p.messages, errors);
    }
}

INSTANTIATE_TEST_SUITE_P(Drivers, DriverSyntax, ::testing::Values(Props, File),
                         [](const auto &info) { return std::string(info.param == Props ? "Props" : "File"); });

TEST(DriverFiles, MissingFilesACacheFromAFileAndTheStandAloneKeyLookup) {
    ts::TempDir dir;
    const std::string path = dir / "c.conf";
    auto file = [&](const std::string &text) { return ts::write_file(path, text), path.c_str(); };
    EXPECT_THAT(conftest::stderr_of([&] {
                    EXPECT_EQ(config_readdriver_propsinit(nullptr), nullptr);
                    EXPECT_EQ(config_readdriver_fileinit(""), nullptr);
                    EXPECT_EQ(config_readdriver_propsinit(path.c_str()), nullptr);
                    EXPECT_EQ(config_readdriver_fileinit(dir.path().c_str()), nullptr);
                    EXPECT_EQ(config_newcache_fromfile(path.c_str(), nullptr), nullptr);
                }),
                ElementsAre("Error: func=config_readdriver_propsinit; error=need config file path",
                            "Error: func=config_readdriver_fileinit; error=need config file path",
                            "Error: func=config_readdriver_propsinit; filename=" + path + "; error=file doesn't exist",
                            "Error: func=config_readdriver_fileinit; filename=" + dir.path() + "; error=file doesn't exist",
                            "Error: func=config_readdriver_fileinit; filename=" + path + "; error=file doesn't exist"));
    // Every fetch opens the file again: one removed after init fails (what a
    // refresh then reads: the reload tests).
    ConfigDriver *d = config_readdriver_propsinit(file("a=1\n"));
    unlink(path.c_str());
    Parsed p = fetch(d);
    EXPECT_EQ(p.result, 1);
    EXPECT_THAT(p.messages, ElementsAre("Error: func=_configdrv_props_fetch; error=unable to open config file; file=" + path +
                                        "; syserror=No such file or directory"));
    // A cache made from a file uses the file driver and the pattern.
    ConfigCache *c = config_newcache_fromfile(file("keep.a = 1\nkeep.b = x,\n  y\nskip = 2\n"), "keep.*");
    EXPECT_EQ(config_get_int(c, "keep.a", 0), 1);
    EXPECT_STREQ(config_get_string(c, "skip", "none"), "none");
    char **v = config_get_multistringcopy(c, "keep.b");
    EXPECT_TRUE(v && v[0] && v[1] && std::string(v[1]) == "y");
    config_freearray(v);
    config_freecache(c);
    conftest::stderr_of([&] { EXPECT_EQ(config_newcache_fromfile(file("bad line\n"), nullptr), nullptr); });
    // The stand-alone lookup finds the last occurrence's first value.
    file("k = first\nK = upper\nk = second, more\nother = x\n");
    char *value = reinterpret_cast<char *>(0x1), *untouched = value;
    EXPECT_EQ(configdrvr_props_getkey(path.c_str(), "k", &value), 0);
    EXPECT_STREQ(value, "second");
    free(value);
    EXPECT_EQ(configdrvr_file_getkey(path.c_str(), "absent", &value), 0);
    EXPECT_EQ(value, nullptr);
    conftest::stderr_of([&] {
        EXPECT_EQ(configdrvr_props_getkey((dir / "nofile").c_str(), "k", &untouched), 1);
        EXPECT_EQ(configdrvr_file_getkey(file("k = 1\n bad\n"), "k", &untouched), 2);
    });
    EXPECT_EQ(untouched, reinterpret_cast<char *>(0x1));
}

}  // namespace
