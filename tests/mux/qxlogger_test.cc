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

using ::testing::_;
using ::testing::ElementsAre;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::MatchesRegex;

namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

void configure(LogHandle *h, const Pairs &pairs) {
    std::vector<LogConfigPair> list;
    for (auto &[w, v] : pairs) list.push_back({const_cast<char *>(w.c_str()), const_cast<char *>(v.c_str())});
    list.push_back({nullptr, nullptr});
    qxlog_config(h, list.data());
}

std::string prefix_re(const std::string &facility, const std::string &severity) {
    char name[256] = {};
    gethostname(name, sizeof(name) - 1);
    std::string host = std::string(name).substr(0, std::string(name).find('.'));
    return "\\[[0-9][0-9]:[0-9][0-9]:[0-9][0-9] [-+][0-9]{4}\\] " + (host.empty() ? "localhost" : host) + " proc\\[" +
           std::to_string(getpid()) + "\\]: " + facility + " " + severity + ": ";
}

class LogTest : public ::testing::Test {
  protected:
    void TearDown() override {
        for (LogHandle *h : handles) qxlog_close(h);
        qxlog_setoptions(0);
    }
    LogHandle *open_log(Pairs extra = {}, const std::string &service = "svc", const std::string &where = "") {
        LogHandle *h = qxlog_open();
        EXPECT_NE(h, nullptr);
        handles.push_back(h);
        Pairs pairs = {{"logdir", where.empty() ? dir.path() : where}, {"servicename", service}, {"processname", "proc"}};
        pairs.insert(pairs.end(), extra.begin(), extra.end());
        configure(h, pairs);
        return h;
    }
    std::vector<std::string> lines(const std::string &name = "svc") { return ts::lines_of(ts::read_file(dir / name)); }
    // The service's files: the current one and the rolled ones.
    std::vector<std::string> rolled(const std::string &service = "svc") {
        std::vector<std::string> out;
        for (const std::string &n : ts::list_dir(dir.path()))
            if (n == service || n.rfind(service + ".", 0) == 0) out.push_back(n);
        return out;
    }

    ts::TempDir dir;
    std::vector<LogHandle *> handles;
};

TEST_F(LogTest, HeaderLineFormatZoneOffsetsPercentMAndLongMessages) {
    LogHandle *h = open_log();
    time_t before = time(nullptr);
    qxlog(h, QXLOG_NOTICE, "hello %d %s", 42, "world");
    qxlog(h, QXLOG_FACILITY(2) | QXLOG_ERROR, "net trouble\n");
    qxlog(h, QXLOG_FACILITY(7) | QXLOG_EMERGENCY, "store");
    EXPECT_THAT(lines(), ElementsAre(MatchesRegex(prefix_re("General", "Information") + "Log created \\([0-9]+\\)"),
                                     MatchesRegex(prefix_re("General", "Notice") + "hello 42 world"),
                                     MatchesRegex(prefix_re("Network", "Error") + "net trouble"),
                                     MatchesRegex(prefix_re("Store", "Emergency") + "store")));
    long created = atol(lines()[0].c_str() + lines()[0].find("created (") + 9);
    EXPECT_GE(created, long(before));
    EXPECT_LE(created, long(time(nullptr)));
    // One newline per message, none doubled.
    std::string raw = ts::read_file(dir / "svc");
    EXPECT_EQ(raw.find("\n\n"), std::string::npos);
    EXPECT_EQ(raw.back(), '\n');
    // Raw messages have no prefix or newline; a raw first write makes no header.
    LogHandle *r = open_log({}, "raw");
    qxlog(r, QXLOG_NOTICE | QXLOG_RAW, "raw-%d", 1);
    qxlog(r, QXLOG_NOTICE | QXLOG_RAW, "raw-%d", 2);
    EXPECT_EQ(ts::read_file(dir / "raw"), "raw-1raw-2");
    // The first directory and names win.
    ts::TempDir other;
    configure(h, {{"logdir", other.path()}, {"servicename", "else"}, {"processname", "other"}});
    qxlog(h, QXLOG_NOTICE, "still here");
    EXPECT_THAT(lines().back(), MatchesRegex(prefix_re("General", "Notice") + "still here"));
    EXPECT_THAT(ts::list_dir(other.path()), IsEmpty());
    // clang-format off
    const struct { int err; const char *format, *want; } rows[] = {
        {ENOENT, "open failed: %m (%s)", "Error: open failed: No such file or directory (x)"},
        {EACCES, "escaped %%m and %%%m", "Error: escaped %m and %Permission denied"},
        {0, "zero: %m", "Error: zero: Success"},
        {EPERM, "none here %%d", "Error: none here %d"},
    };
    // clang-format on
    for (auto &r : rows) {
        errno = r.err;
        qxlog(h, QXLOG_ERROR, r.format, "x");
        EXPECT_THAT(lines().back(), EndsWith(r.want));
    }
    // Long messages are cut to the line buffer, "%m" or not.
    std::string big(5000, 'x');
    qxlog(h, QXLOG_NOTICE, "%s", big.c_str());
    EXPECT_EQ(lines().back().size(), 3069u);
    errno = ENOENT;
    qxlog(h, QXLOG_NOTICE, "%m %s", big.c_str());
    EXPECT_LT(lines().back().size(), 3069u);
    EXPECT_GT(lines().back().size(), 2000u);
    // Time stamps east and west of UTC.
    // clang-format off
    const struct { const char *tz; time_t t; const char *want; } zones[] = {
        {"XST-5:30", 0, "05:30:00 +0530"},
        {"YST8", 0, "16:00:00 -0800"},
        {"PST8PDT,M3.2.0,M11.1.0", 1626350400, "05:00:00 -0700"},  // daylight saving time, 15 July 2021
        {"UTC0", 43200 + 61, "12:01:01 +0000"},
    };
    // clang-format on
    const char *old = getenv("TZ");
    std::string saved = old ? old : "";
    for (auto &z : zones) {
        char buf[40];
        setenv("TZ", z.tz, 1);
        tzset();
        EXPECT_STREQ(qxlog_gettimestamp(&z.t, buf), z.want) << z.tz;
    }
    if (old) setenv("TZ", saved.c_str(), 1);
    else unsetenv("TZ");
    tzset();
}

TEST_F(LogTest, LevelFilteringWordsNologAndStderrWithoutAUsableDirectory) {
    LogHandle *h = open_log();
    for (unsigned s = 0; s < 8; ++s) qxlog(h, s, "sev %u", s);
    configure(h, {{"loglevel", "DEBUG"}});
    qxlog(h, QXLOG_DEBUG, "debug now");
    configure(h, {{"loglevel", "chatty"}});  // unknown word: Information
    qxlog(h, QXLOG_INFORMATION, "info kept");
    qxlog(h, QXLOG_DEBUG, "debug dropped");
    EXPECT_THAT(lines(), ElementsAre(_, EndsWith("Emergency: sev 0"), _, _, _, _, EndsWith("Notice: sev 5"), EndsWith("Debug: debug now"),
                                     EndsWith("Information: info kept")));
    // "Nolog" stops the output and the rest of its list.
    LogHandle *n = qxlog_open();
    handles.push_back(n);
    configure(n, {{"loglevel", "Nolog"}, {"logdir", dir.path()}, {"servicename", "nolog"}});
    EXPECT_THAT(conftest::stderr_of([&] {
                    qxlog(n, QXLOG_EMERGENCY, "nothing at all");
                    configure(n, {{"loglevel", "Debug"}});
                    // logdir and servicename came after Nolog: never applied, so stderr.
                    qxlog(n, QXLOG_EMERGENCY, "to stderr");
                }),
                ElementsAre(EndsWith("to stderr")));
    EXPECT_THAT(ts::list_dir(dir.path()), ElementsAre("svc"));
    // Without a usable directory lines go to standard error, unless that is
    // switched off; a bad syslog facility is a warning on the default log.
    LogHandle *none = qxlog_open(), *unwritable = open_log({}, "sub/dir/svc");
    handles.push_back(none);
    testing::internal::CaptureStderr();
    configure(none, {{"syslogfacility", "bogus"}});
    configure(none, {{"servicename", "svc"}, {"processname", "proc"}, {"syslogfacility", "local9"}});
    qxlog(none, QXLOG_ERROR, "first");
    qxlog(unwritable, QXLOG_ERROR, "cannot open");
    qxlog_setoptions(QXLOG_OPT_NOSTDERR);
    qxlog(none, QXLOG_ERROR, "second");
    EXPECT_THAT(ts::lines_of(testing::internal::GetCapturedStderr()),
                ElementsAre(EndsWith("Warning: invalid value for option logfile.?.syslogfacility: bogus "),
                            EndsWith("Warning: invalid value for option logfile.svc.syslogfacility: local9 "),
                            MatchesRegex(prefix_re("General", "Error") + "first"), EndsWith("Error: cannot open")));
}

// A file already there is taken over with the creation time of its header;
// one rolled over by another process is reopened, not renamed again; a
// requested rollover prunes by count, total size and age; new files go to
// the server user.
TEST_F(LogTest, FilesTakenOverRolledOverPrunedAndGivenToTheServerUser) {
    ts::write_file(dir / "svc", "[00:00:00 +0000] h p[1]: General Information: Log created (1234567)\nold line\n");
    // Rolled over at once: created in 1970s terms is far older than a day.
    LogHandle *h = open_log();
    qxlog(h, QXLOG_NOTICE, "new line");
    EXPECT_THAT(rolled(), ElementsAre("svc", "svc.1.1234567"));
    EXPECT_THAT(ts::read_file(dir / "svc.1.1234567"), HasSubstr("old line"));
    EXPECT_THAT(lines(), ElementsAre(HasSubstr("Log created ("), EndsWith("Notice: new line")));
    ASSERT_EQ(rename((dir / "svc").c_str(), (dir / "svc.2.5").c_str()), 0);
    ts::write_file(dir / "svc", "");
    qxlog_rollover(h);
    qxlog(h, QXLOG_NOTICE, "after");
    EXPECT_THAT(rolled(), ElementsAre("svc", "svc.1.1234567", "svc.2.5"));
    EXPECT_THAT(lines().back(), HasSubstr("Notice: after"));
    EXPECT_THAT(ts::read_file(dir / "svc.2.5"), ::testing::Not(HasSubstr("after")));
    // The rolled files a requested rollover leaves: a name ending in '*'
    // stands for the file just rolled, whose name ends in its creation time.
    std::string now = std::to_string(time(nullptr)), old = std::to_string(time(nullptr) - 100);
    std::string day = std::to_string(time(nullptr) - 1000000), recent = std::to_string(time(nullptr) - 10);
    Pairs twelve, three;
    for (int seq = 1; seq <= 12; ++seq) twelve.push_back({"svc." + std::to_string(seq) + "." + old, "old\n"});
    for (int seq = 1; seq <= 3; ++seq) three.push_back({"svc." + std::to_string(seq) + "." + now, "o\n"});
    twelve.insert(twelve.end(), {{"svc.x.1", "not ours\n"}, {"svc.1.2.3", "not ours\n"}, {"other.1.1", "not ours\n"}});
    // clang-format off
    const struct { Pairs files, options; std::string line; std::vector<std::string> left; } rows[] = {
        // The oldest beyond the count go; names not "<service>.<seq>.<time>" stay.
        {twelve, {{"maxlogfiles", "5"}}, "x",
         {"other.1.1", "svc.1.2.3", "svc.10." + old, "svc.11." + old, "svc.12." + old, "svc.13.*", "svc.9." + old,
          "svc.x.1"}},
        // svc.1 expired; svc.2 goes for the total size; svc.3 and the new one stay.
        {{{"svc.1." + day, "expired\n"}, {"svc.2." + recent, std::string(300, 'a')},
          {"svc.3." + recent, std::string(300, 'b')}},
         {{"maxlogsize", "500"}, {"expirytime", "3600"}}, "x", {"svc.3." + recent, "svc.4.*"}},
        // -1 is never: the unsigned "now - expirytime" would wrap and expire everything.
        {{{"svc.1.1000", "ancient\n"}}, {{"expirytime", "-1"}}, "x", {"svc.1.1000", "svc.2.*"}},
        // A current file larger than the total takes every rolled file with it.
        {three, {{"maxlogsize", "100"}, {"expirytime", "-1"}}, std::string(200, 'z'), {"svc.4.*"}},
    };
    // clang-format on
    for (auto &r : rows) {
        SCOPED_TRACE(r.left.back());
        ts::TempDir d;
        for (auto &[name, text] : r.files) ts::write_file(d / name, text);
        LogHandle *rh = open_log(r.options, "svc", d.path());
        qxlog(rh, QXLOG_NOTICE, "%s", r.line.c_str());
        qxlog_rollover(rh);
        std::vector<std::string> got = ts::list_dir(d.path()), want = r.left;
        for (auto &g : got)
            for (auto &w : want)
                if (w.back() == '*' && g.rfind(w.substr(0, w.size() - 1), 0) == 0) g = w;
        std::sort(want.begin(), want.end());
        EXPECT_EQ(got, want);
        // The next line makes a fresh current file.
        qxlog(rh, QXLOG_NOTICE, "after");
        EXPECT_THAT(ts::lines_of(ts::read_file(d / "svc")).back(), HasSubstr("Notice: after"));
    }
    // New files go to the server user.
    struct passwd *pw = getpwnam("nobody");
    if (pw == nullptr || geteuid() != 0 || getgrnam("nogroup") == nullptr) GTEST_SKIP() << "needs root and the nobody/nogroup accounts";
    LogHandle *o = open_log({{"serveruid", "nobody"}, {"servergid", "nogroup"}}, "owned");
    qxlog(o, QXLOG_NOTICE, "owned");
    struct stat st;
    ASSERT_EQ(stat((dir / "owned").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, pw->pw_uid);
}

TEST_F(LogTest, ConcurrentWritersNeverSplitOrLoseLines) {
    // Small files: a rollover every couple of dozen lines, so writers keep
    // meeting rollovers made by other threads.
    LogHandle *h = open_log({{"maxlogfilesize", "2000"}, {"maxlogfiles", "100000"}, {"maxlogsize", "1000000000"}});
    qxlog_setoptions(QXLOG_OPT_NOSTDERR);
    constexpr int threads = 6, per_thread = 400;
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([h, t] {
            for (int i = 0; i < per_thread; ++i) qxlog(h, QXLOG_NOTICE, "thread=%d seq=%04d %s", t, i, "payload-payload-payload");
        });
    for (auto &w : workers) w.join();
    std::vector<int> seen(threads, 0);
    std::regex line(prefix_re("General", "Notice") + "thread=([0-9]) seq=([0-9]{4}) payload-payload-payload");
    std::regex header(prefix_re("General", "Information") + "Log created \\([0-9]+\\)");
    auto files = rolled();
    for (const std::string &f : files) {
        for (const std::string &l : ts::lines_of(ts::read_file(dir / f))) {
            std::smatch m;
            if (std::regex_match(l, m, line)) ++seen[std::stoi(m[1])];
            else EXPECT_TRUE(std::regex_match(l, header)) << "broken line in " << f << ": " << l;
        }
    }
    EXPECT_GT(files.size(), 50u);
    EXPECT_EQ(seen, std::vector<int>(threads, per_thread));
}

}  // namespace
