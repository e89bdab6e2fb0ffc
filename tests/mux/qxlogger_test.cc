// Log writer: exact line and header formats, time stamps east and west of
// UTC, "%m" expansion, level filtering, option words, standard-error
// fallback, rollover by size, age and request with expiry and pruning, the
// inode check, ownership of new files, and many threads writing through
// rollovers without losing or splitting a line.
#include "log/qxlogger.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <regex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "conf_test_util.h"

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::MatchesRegex;

namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

void configure(LogHandle *h, const Pairs &pairs)
{
    std::vector<LogConfigPair> list;
    for (auto &[w, v] : pairs)
        list.push_back({const_cast<char *>(w.c_str()), const_cast<char *>(v.c_str())});
    list.push_back({nullptr, nullptr});
    qxlog_config(h, list.data());
}

std::string hostname()
{
    char name[256] = {};
    gethostname(name, sizeof(name) - 1);
    std::string h = name;
    size_t dot = h.find('.');
    if (dot != std::string::npos)
        h.resize(dot);
    return h.empty() ? "localhost" : h;
}

std::string prefix_re(const std::string &facility, const std::string &severity)
{
    return "\\[[0-9][0-9]:[0-9][0-9]:[0-9][0-9] [-+][0-9]{4}\\] " + hostname() + " proc\\[" +
           std::to_string(getpid()) + "\\]: " + facility + " " + severity + ": ";
}

bool matches(const std::string &text, const std::string &re)
{
    return std::regex_match(text, std::regex(re, std::regex::ECMAScript));
}

class ScopedTz {
  public:
    explicit ScopedTz(const char *tz)
    {
        const char *old = getenv("TZ");
        had_ = old != nullptr;
        if (had_)
            old_ = old;
        setenv("TZ", tz, 1);
        tzset();
    }
    ~ScopedTz()
    {
        if (had_)
            setenv("TZ", old_.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

  private:
    bool had_ = false;
    std::string old_;
};

class LogTest : public ::testing::Test {
  protected:
    void TearDown() override
    {
        for (LogHandle *h : handles)
            qxlog_close(h);
        qxlog_setoptions(0);
    }

    LogHandle *open_log(Pairs extra = {}, const std::string &service = "svc")
    {
        LogHandle *h = qxlog_open();
        EXPECT_NE(h, nullptr);
        handles.push_back(h);
        Pairs pairs = {{"logdir", dir.path()}, {"servicename", service}, {"processname", "proc"}};
        pairs.insert(pairs.end(), extra.begin(), extra.end());
        configure(h, pairs);
        return h;
    }

    std::vector<std::string> lines(const std::string &name = "svc")
    {
        return conftest::lines_of(conftest::read_file(dir.file(name)));
    }

    std::vector<std::string> rolled(const std::string &service = "svc")
    {
        std::vector<std::string> out;
        for (const std::string &n : conftest::list_dir(dir.path()))
            if (n == service || n.rfind(service + ".", 0) == 0)
                out.push_back(n);
        return out;
    }

    conftest::TempDir dir;
    std::vector<LogHandle *> handles;
};

TEST(LogTimestamp, ZoneOffsetEastAndWestOfUtc)
{
    char buf[40];
    time_t t = 0;
    {
        ScopedTz tz("XST-5:30");
        EXPECT_STREQ(qxlog_gettimestamp(&t, buf), "05:30:00 +0530");
    }
    {
        ScopedTz tz("YST8");
        EXPECT_STREQ(qxlog_gettimestamp(&t, buf), "16:00:00 -0800");
    }
    {
        // Daylight saving time: 15 July 2021 12:00:00 UTC.
        ScopedTz tz("PST8PDT,M3.2.0,M11.1.0");
        time_t summer = 1626350400;
        EXPECT_STREQ(qxlog_gettimestamp(&summer, buf), "05:00:00 -0700");
    }
    {
        ScopedTz tz("UTC0");
        time_t noon = 43200 + 61;
        EXPECT_STREQ(qxlog_gettimestamp(&noon, buf), "12:01:01 +0000");
    }
}

TEST_F(LogTest, HeaderAndLineFormat)
{
    LogHandle *h = open_log();
    time_t before = time(nullptr);
    qxlog(h, QXLOG_NOTICE, "hello %d %s", 42, "world");
    qxlog(h, QXLOG_FACILITY(2) | QXLOG_ERROR, "net trouble\n");
    qxlog(h, QXLOG_FACILITY(7) | QXLOG_EMERGENCY, "store");
    auto l = lines();
    ASSERT_EQ(l.size(), 4u);
    std::smatch m;
    std::regex hdr(prefix_re("General", "Information") + "Log created \\(([0-9]+)\\)",
                   std::regex::ECMAScript);
    ASSERT_TRUE(std::regex_match(l[0], m, hdr)) << l[0];
    long created = std::stol(m[1]);
    EXPECT_GE(created, (long)before);
    EXPECT_LE(created, (long)time(nullptr));
    EXPECT_TRUE(matches(l[1], prefix_re("General", "Notice") + "hello 42 world")) << l[1];
    EXPECT_TRUE(matches(l[2], prefix_re("Network", "Error") + "net trouble")) << l[2];
    EXPECT_TRUE(matches(l[3], prefix_re("Store", "Emergency") + "store")) << l[3];
    // One newline per message, none doubled.
    std::string raw = conftest::read_file(dir.file("svc"));
    EXPECT_EQ(raw.find("\n\n"), std::string::npos);
    EXPECT_EQ(raw.back(), '\n');
}

TEST_F(LogTest, RawMessagesHaveNoPrefixOrNewline)
{
    LogHandle *h = open_log();
    qxlog(h, QXLOG_NOTICE | QXLOG_RAW, "raw-%d", 1);
    qxlog(h, QXLOG_NOTICE | QXLOG_RAW, "raw-%d", 2);
    // The raw first write created the file: no header.
    EXPECT_EQ(conftest::read_file(dir.file("svc")), "raw-1raw-2");
}

TEST_F(LogTest, PercentMExpansion)
{
    LogHandle *h = open_log();
    errno = ENOENT;
    qxlog(h, QXLOG_ERROR, "open failed: %m (%s)", "x");
    errno = EACCES;
    qxlog(h, QXLOG_ERROR, "escaped %%m and %%%m");
    errno = 0;
    qxlog(h, QXLOG_ERROR, "zero: %m");
    errno = EPERM;
    qxlog(h, QXLOG_ERROR, "none here %%d");
    auto l = lines();
    ASSERT_EQ(l.size(), 5u);
    EXPECT_THAT(l[1], HasSubstr("Error: open failed: No such file or directory (x)"));
    EXPECT_THAT(l[2], HasSubstr("Error: escaped %m and %Permission denied"));
    EXPECT_THAT(l[3], HasSubstr("Error: zero: Success"));
    EXPECT_THAT(l[4], HasSubstr("Error: none here %d"));
}

TEST_F(LogTest, LongMessagesAreCutToTheLineBuffer)
{
    LogHandle *h = open_log();
    std::string big(5000, 'x');
    qxlog(h, QXLOG_NOTICE, "%s", big.c_str());
    errno = ENOENT;
    qxlog(h, QXLOG_NOTICE, "%m %s", big.c_str());
    auto l = lines();
    ASSERT_EQ(l.size(), 3u);
    EXPECT_EQ(l[1].size(), 3069u);
    EXPECT_LT(l[2].size(), 3069u);
    EXPECT_GT(l[2].size(), 2000u);
}

TEST_F(LogTest, LevelFilteringAndWords)
{
    LogHandle *h = open_log();
    for (unsigned s = 0; s < 8; ++s)
        qxlog(h, s, "sev %u", s);
    configure(h, {{"loglevel", "DEBUG"}});
    qxlog(h, QXLOG_DEBUG, "debug now");
    configure(h, {{"loglevel", "chatty"}}); // unknown word: Information
    qxlog(h, QXLOG_INFORMATION, "info kept");
    qxlog(h, QXLOG_DEBUG, "debug dropped");
    auto l = lines();
    ASSERT_EQ(l.size(), 9u);
    EXPECT_THAT(l[1], HasSubstr("Emergency: sev 0"));
    EXPECT_THAT(l[6], HasSubstr("Notice: sev 5"));
    EXPECT_THAT(l[7], HasSubstr("Debug: debug now"));
    EXPECT_THAT(l[8], HasSubstr("Information: info kept"));
}

TEST_F(LogTest, NologStopsOutputAndTheRestOfItsList)
{
    LogHandle *h = qxlog_open();
    handles.push_back(h);
    configure(h, {{"loglevel", "Nolog"}, {"logdir", dir.path()}, {"servicename", "svc"}});
    testing::internal::CaptureStderr();
    qxlog(h, QXLOG_EMERGENCY, "nothing at all");
    configure(h, {{"loglevel", "Debug"}});
    // logdir and servicename came after Nolog: never applied, so stderr.
    qxlog(h, QXLOG_EMERGENCY, "to stderr");
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_THAT(conftest::messages_of(err), ElementsAre(::testing::EndsWith("to stderr")));
    EXPECT_THAT(conftest::list_dir(dir.path()), IsEmpty());
}

TEST_F(LogTest, FirstDirectoryAndNamesWin)
{
    LogHandle *h = open_log();
    conftest::TempDir other;
    configure(h, {{"logdir", other.path()}, {"servicename", "else"}, {"processname", "other"}});
    qxlog(h, QXLOG_NOTICE, "still here");
    EXPECT_THAT(lines().back(), HasSubstr(" proc["));
    EXPECT_THAT(conftest::list_dir(other.path()), IsEmpty());
}

TEST_F(LogTest, MissingDirectoryGoesToStderrUnlessSuppressed)
{
    LogHandle *h = qxlog_open();
    handles.push_back(h);
    configure(h, {{"servicename", "svc"}, {"processname", "proc"}});
    testing::internal::CaptureStderr();
    qxlog(h, QXLOG_ERROR, "first");
    qxlog_setoptions(QXLOG_OPT_NOSTDERR);
    qxlog(h, QXLOG_ERROR, "second");
    std::string err = testing::internal::GetCapturedStderr();
    auto l = conftest::lines_of(err);
    ASSERT_EQ(l.size(), 1u);
    EXPECT_TRUE(matches(l[0], prefix_re("General", "Error") + "first")) << l[0];
}

TEST_F(LogTest, UnwritableDirectoryFallsBackToStderr)
{
    LogHandle *h = open_log({}, "sub/dir/svc");
    testing::internal::CaptureStderr();
    qxlog(h, QXLOG_ERROR, "cannot open");
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_THAT(err, HasSubstr("Error: cannot open\n"));
}

TEST_F(LogTest, BadSyslogFacilityWarnsOnTheDefaultLog)
{
    LogHandle *h = qxlog_open();
    handles.push_back(h);
    testing::internal::CaptureStderr();
    configure(h, {{"syslogfacility", "bogus"}});
    configure(h, {{"servicename", "svc"}, {"syslogfacility", "local9"}});
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_THAT(conftest::messages_of(err),
                ElementsAre("Warning: invalid value for option logfile.?.syslogfacility: bogus ",
                            "Warning: invalid value for option logfile.svc.syslogfacility: local9 "));
}

TEST_F(LogTest, ReopenedFileRecoversCreationTimeFromHeader)
{
    conftest::write_file(dir.file("svc"), "[00:00:00 +0000] h p[1]: General Information: Log created "
                                          "(1234567)\nold line\n");
    // Rolled over at once: created in 1970s terms is far older than a day.
    LogHandle *h = open_log();
    qxlog(h, QXLOG_NOTICE, "new line");
    EXPECT_THAT(rolled(), ElementsAre("svc", "svc.1.1234567"));
    EXPECT_THAT(conftest::read_file(dir.file("svc.1.1234567")), HasSubstr("old line"));
    auto l = lines();
    ASSERT_EQ(l.size(), 2u);
    EXPECT_THAT(l[0], HasSubstr("Log created ("));
    EXPECT_THAT(l[1], HasSubstr("Notice: new line"));
}

TEST_F(LogTest, RolloverBySizeKeepsEveryLine)
{
    LogHandle *h = open_log({{"maxlogfilesize", "1000"}});
    for (int i = 0; i < 60; ++i)
        qxlog(h, QXLOG_NOTICE, "line %03d padding padding padding", i);
    auto files = rolled();
    EXPECT_GE(files.size(), 4u);
    EXPECT_LE(files.size(), 11u);
    int found = 0;
    for (const std::string &f : files) {
        std::string text = conftest::read_file(dir.file(f));
        EXPECT_THAT(text, HasSubstr("Log created (")) << f;
        if (f != "svc") {
            EXPECT_TRUE(matches(f, "svc\\.[0-9]+\\.[0-9]+")) << f;
        }
        for (const std::string &l : conftest::lines_of(text))
            if (l.find("padding") != std::string::npos)
                ++found;
    }
    // Rolled files beyond the count limit are pruned, so only count what is
    // left, but the current file must hold the last line.
    EXPECT_GT(found, 0);
    EXPECT_THAT(lines().back(), HasSubstr("line 059"));
}

TEST_F(LogTest, RolloverRequestAndPruningByCount)
{
    uint32_t now = (uint32_t)time(nullptr);
    for (int seq = 1; seq <= 12; ++seq)
        conftest::write_file(dir.file("svc." + std::to_string(seq) + "." + std::to_string(now - 100)),
                             "old\n");
    conftest::write_file(dir.file("svc.x.1"), "not ours\n");
    conftest::write_file(dir.file("svc.1.2.3"), "not ours\n");
    conftest::write_file(dir.file("other.1.1"), "not ours\n");
    LogHandle *h = open_log({{"maxlogfiles", "5"}});
    qxlog(h, QXLOG_NOTICE, "first");
    qxlog_rollover(h);
    std::vector<std::string> expect = {"svc", "svc.1.2.3"};
    for (int seq = 9; seq <= 12; ++seq)
        expect.push_back("svc." + std::to_string(seq) + "." + std::to_string(now - 100));
    auto files = rolled();
    std::sort(expect.begin(), expect.end());
    // The current file became svc.13.<created>; a fresh one is created by
    // the next line.
    ASSERT_EQ(files.size(), 7u);
    int thirteen = 0;
    for (const std::string &f : files)
        if (f.rfind("svc.13.", 0) == 0)
            ++thirteen;
    EXPECT_EQ(thirteen, 1);
    for (const std::string &e : expect)
        if (e != "svc") {
            EXPECT_NE(std::find(files.begin(), files.end(), e), files.end()) << e;
        }
    EXPECT_EQ(conftest::list_dir(dir.path()).size(), 8u); // + other.1.1
    qxlog(h, QXLOG_NOTICE, "second");
    EXPECT_THAT(lines().back(), HasSubstr("Notice: second"));
}

TEST_F(LogTest, PruningByTotalSizeAndExpiry)
{
    uint32_t now = (uint32_t)time(nullptr);
    conftest::write_file(dir.file("svc.1." + std::to_string(now - 1000000)), "expired\n");
    conftest::write_file(dir.file("svc.2." + std::to_string(now - 10)), std::string(300, 'a'));
    conftest::write_file(dir.file("svc.3." + std::to_string(now - 10)), std::string(300, 'b'));
    LogHandle *h = open_log({{"maxlogsize", "500"}, {"expirytime", "3600"}});
    qxlog(h, QXLOG_NOTICE, "x");
    qxlog_rollover(h);
    auto files = rolled();
    // svc.1 expired; svc.2 pruned for size; svc.3 and the rolled current one stay.
    ASSERT_EQ(files.size(), 2u);
    EXPECT_EQ(files[0], "svc.3." + std::to_string(now - 10));
    EXPECT_EQ(files[1].rfind("svc.4.", 0), 0u);
}

TEST_F(LogTest, ExpiryOfMinusOneMeansNever)
{
    // The unsigned "now - expirytime" would wrap and expire everything.
    conftest::write_file(dir.file("svc.1.1000"), "ancient\n");
    LogHandle *h = open_log({{"expirytime", "-1"}});
    qxlog(h, QXLOG_NOTICE, "x");
    qxlog_rollover(h);
    auto files = rolled();
    ASSERT_EQ(files.size(), 2u);
    EXPECT_EQ(files[0], "svc.1.1000");
    EXPECT_EQ(files[1].rfind("svc.2.", 0), 0u);
}

TEST_F(LogTest, CurrentFileLargerThanTotalDeletesAllRolledFiles)
{
    uint32_t now = (uint32_t)time(nullptr);
    for (int seq = 1; seq <= 3; ++seq)
        conftest::write_file(dir.file("svc." + std::to_string(seq) + "." + std::to_string(now)), "o\n");
    LogHandle *h = open_log({{"maxlogsize", "100"}, {"expirytime", "-1"}});
    qxlog(h, QXLOG_NOTICE, "%s", std::string(200, 'z').c_str());
    qxlog_rollover(h);
    auto files = rolled();
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0].rfind("svc.4.", 0), 0u);
}

TEST_F(LogTest, FileRolledByAnotherProcessIsReopenedNotRenamed)
{
    LogHandle *h = open_log();
    qxlog(h, QXLOG_NOTICE, "before");
    // Another process rolls the file over under our feet.
    ASSERT_EQ(rename(dir.file("svc").c_str(), dir.file("svc.1.5").c_str()), 0);
    conftest::write_file(dir.file("svc"), "");
    qxlog_rollover(h);
    qxlog(h, QXLOG_NOTICE, "after");
    EXPECT_THAT(rolled(), ElementsAre("svc", "svc.1.5"));
    EXPECT_THAT(lines().back(), HasSubstr("Notice: after"));
    EXPECT_THAT(conftest::read_file(dir.file("svc.1.5")), ::testing::Not(HasSubstr("after")));
}

TEST_F(LogTest, NewFilesGoToTheServerUser)
{
    struct passwd *pw = getpwnam("nobody");
    if (pw == nullptr || geteuid() != 0 || getgrnam("nogroup") == nullptr)
        GTEST_SKIP() << "needs root and the nobody/nogroup accounts";
    LogHandle *h = open_log({{"serveruid", "nobody"}, {"servergid", "nogroup"}});
    qxlog(h, QXLOG_NOTICE, "owned");
    struct stat st;
    ASSERT_EQ(stat(dir.file("svc").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, pw->pw_uid);
}

TEST_F(LogTest, ConcurrentWritersNeverSplitOrLoseLines)
{
    // Small files: a rollover every couple of dozen lines, so writers keep
    // meeting rollovers made by other threads.
    LogHandle *h = open_log({{"maxlogfilesize", "2000"}, {"maxlogfiles", "100000"},
                             {"maxlogsize", "1000000000"}});
    qxlog_setoptions(QXLOG_OPT_NOSTDERR);
    constexpr int threads = 6;
    constexpr int per_thread = 400;
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([h, t] {
            for (int i = 0; i < per_thread; ++i)
                qxlog(h, QXLOG_NOTICE, "thread=%d seq=%04d %s", t, i, "payload-payload-payload");
        });
    for (auto &w : workers)
        w.join();
    std::vector<int> seen(threads, 0);
    std::regex line(prefix_re("General", "Notice") + "thread=([0-9]) seq=([0-9]{4}) payload-payload-payload",
                    std::regex::ECMAScript);
    std::regex header(prefix_re("General", "Information") + "Log created \\([0-9]+\\)",
                      std::regex::ECMAScript);
    size_t files = 0;
    for (const std::string &f : rolled()) {
        ++files;
        for (const std::string &l : conftest::lines_of(conftest::read_file(dir.file(f)))) {
            std::smatch m;
            if (std::regex_match(l, m, line))
                ++seen[std::stoi(m[1])];
            else
                EXPECT_TRUE(std::regex_match(l, header)) << "broken line in " << f << ": " << l;
        }
    }
    EXPECT_GT(files, 50u);
    for (int t = 0; t < threads; ++t)
        EXPECT_EQ(seen[t], per_thread) << "thread " << t;
}

// Last in this file: the default log stays configured for the rest of the
// process (only process exit closes it).
TEST_F(LogTest, DefaultLogWritesThroughNullHandle)
{
    qxlog_flush(nullptr);
    configure(nullptr, {{"logdir", dir.path()}, {"servicename", "def"}, {"processname", "proc"}});
    qxlog(nullptr, QXLOG_NOTICE, "to file");
    qxlog(nullptr, QXLOG_INFORMATION, "dropped at Notice");
    auto l = lines("def");
    ASSERT_EQ(l.size(), 2u);
    EXPECT_TRUE(matches(l[1], prefix_re("General", "Notice") + "to file")) << l[1];
}

} // namespace
