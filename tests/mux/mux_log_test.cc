// Multiplexor log channels: the default log configured from the
// "orv.log.orv_mux.*" keys, snoop lines only with both debug and snoop on,
// "Nolog", the list of extra handles and the standard-error switch.
//
// The default log and the debug/snoop flags are process-wide and keep their
// first names and their set state, so every test here uses the same log
// directory and names, and the snoop gate's rows run in order in one test.
#include "log/mux_log.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "conf_test_util.h"
#include "config/config.h"

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;

namespace {

ts::TempDir logroot;
[[maybe_unused]] const bool logdir_set = (logdir = const_cast<char *>(logroot.path().c_str()), true);

class MuxLogTest : public conftest::DefaultCacheTest {
  protected:
    void TearDown() override {
        muxlog_uninit();
        qxlog_setoptions(0);
        DefaultCacheTest::TearDown();
    }
    // Messages of a log file without its creation headers.
    std::vector<std::string> messages(const std::string &file = "mux.log") {
        std::vector<std::string> out;
        for (const std::string &m : conftest::messages_of(ts::read_file(logroot / file)))
            if (m.rfind("Information: Log created (", 0) != 0) out.push_back(m);
        return out;
    }
    // Messages added since the last call.
    std::vector<std::string> fresh() {
        auto all = messages();
        std::vector<std::string> out(all.begin() + long(std::min(seen, all.size())), all.end());
        seen = all.size();
        return out;
    }

    size_t seen = 0;
};

TEST_F(MuxLogTest, SnoopNeedsDebugSeverityAndSnoopSetting) {
    enum { Init, Refresh, RefreshDefault, RefreshAll };
    // clang-format off
    const struct { const char *severity, *snoop; int how; unsigned marker; std::vector<std::string> want; } rows[] = {
        {"Notice", "TRUE", Init, QXLOG_NOTICE, {"Notice: marker"}},
        {"dEbUg", "false", Refresh, QXLOG_DEBUG, {"Debug: marker"}},  // debug alone is not enough
        {"Debug", "True", RefreshDefault, QXLOG_DEBUG, {"Debug: SNOOP recv client -> mux [12] hello", "Debug: marker"}},
        {"Debug", "false", Refresh, QXLOG_DEBUG, {"Debug: marker"}},  // a refresh that switches it off
        // The flags stay set; the writer filters the lines by severity.
        {"Notice", "True", RefreshAll, QXLOG_NOTICE, {"Notice: marker"}},
    };
    // clang-format on
    for (auto &r : rows) {
        SCOPED_TRACE(std::string(r.severity) + " " + r.snoop);
        set("orv.log.orv_mux.severity", r.severity);
        set("orv.log.orv_mux.snoop", r.snoop);
        if (r.how == Init) { EXPECT_NE(muxlog_init("mux.log", "mux", 0), nullptr); }
        if (r.how == Refresh) muxlog_refresh();
        if (r.how != Init && r.how != Refresh) muxlog_refresh_choice(r.how == RefreshAll);
        fresh();
        muxlog_traffic(nullptr, "recv", "client", "mux", 12, "..hello", 2, 5);
        qxlog(nullptr, r.marker, "marker");
        EXPECT_THAT(fresh(), ElementsAreArray(r.want));
        if (r.how != RefreshDefault) continue;
        // No data; data with a zero byte; data without a terminating zero.
        muxlog_traffic(nullptr, "sent", "mux", "client", 12, nullptr, 0, 0);
        const char zero[] = {'a', 'b', '\0', 'c', 'd'}, unterminated[4] = {'w', 'x', 'y', 'z'};
        muxlog_traffic(nullptr, "recv", "server", "mux", 3, zero, 0, 5);
        muxlog_traffic(nullptr, "sent", "mux", "server", 4, unterminated, 1, 3);
        EXPECT_THAT(fresh(), ElementsAre("Debug: SNOOP sent mux -> client [12]", "Debug: SNOOP recv server -> mux [3] ab",
                                         "Debug: SNOOP sent mux -> server [4] xyz"));
    }
}

TEST_F(MuxLogTest, InitOnceNamedLinesTheStderrSwitchExtraHandlesAndRolloverKeys) {
    muxlog_refresh();
    muxlog_refresh_choice(1);
    muxlog_close(nullptr);
    // Before init, open initialises the module and returns the default log.
    EXPECT_EQ(muxlog_open("mux.log", "mux"), nullptr);
    EXPECT_EQ(muxlog_init("mux.log", "mux", 0), nullptr);
    muxlog_uninit();
    EXPECT_NE(muxlog_init("mux.log", "mux", 1), nullptr);
    EXPECT_EQ(muxlog_init("mux.log", "mux", 0), nullptr);
    // Lines carry the process name; standard error can be switched off.
    qxlog(nullptr, QXLOG_NOTICE, "named");
    EXPECT_THAT(ts::lines_of(ts::read_file(logroot / "mux.log")).back(),
                HasSubstr(" mux[" + std::to_string(getpid()) + "]: General Notice: named"));
    LogHandle *bare = qxlog_open();
    EXPECT_THAT(conftest::stderr_of([&] {
                    qxlog(bare, QXLOG_ERROR, "visible");
                    muxlog_stderr(0);
                    qxlog(bare, QXLOG_ERROR, "hidden");
                }),
                ElementsAre("Error: visible"));
    qxlog_close(bare);
    // Extra handles: opened, refreshed with the others, closed once.
    LogHandle *h = muxlog_open("extra.log", "xproc");
    ASSERT_NE(h, nullptr);
    qxlog(h, QXLOG_NOTICE, "on the extra handle");
    qxlog(h, QXLOG_INFORMATION, "filtered");
    muxlog_config(h, "loglevel", "Information");
    qxlog(h, QXLOG_INFORMATION, "now kept");
    EXPECT_THAT(messages("extra.log"), ElementsAre("Notice: on the extra handle", "Information: now kept"));
    // A refresh re-applies the configured severity to every handle.
    muxlog_refresh();
    qxlog(h, QXLOG_INFORMATION, "filtered again");
    EXPECT_EQ(messages("extra.log").size(), 2u);
    int not_ours = 0;
    muxlog_close(reinterpret_cast<LogHandle *>(&not_ours));  // left alone
    muxlog_close(nullptr);
    muxlog_close(h);
    muxlog_close(h);  // a second close of the same pointer finds nothing
    // The size and count keys reach the writer on a refresh, which rolls the
    // file over by size and prunes the oldest beyond the count; the current
    // file has the last line. Last: the rolled files stay in the shared
    // directory.
    set("orv.log.orv_mux.maxlogfilesize", "1500");
    set("orv.log.orv_mux.maxlogfiles", "3");
    muxlog_refresh();
    for (int i = 0; i < 60; i++) qxlog(nullptr, QXLOG_NOTICE, "line %03d padding padding padding", i);
    int rolled = 0;
    for (const std::string &n : ts::list_dir(logroot.path())) rolled += n.rfind("mux.log.", 0) == 0;
    EXPECT_GE(rolled, 1);
    EXPECT_LE(rolled, 3) << "maxlogfiles prunes the oldest";
    EXPECT_THAT(messages().back(), HasSubstr("line 059"));
}

}  // namespace
