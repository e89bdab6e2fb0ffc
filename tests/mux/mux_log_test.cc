// Multiplexor log channels: the default log configured from the
// "orv.log.orv_mux.*" keys, snoop lines only with both debug and snoop on,
// "Nolog", the list of extra handles and the standard-error switch.
//
// The default log and the debug/snoop flags are process-wide and keep their
// first names and their set state, so every test here uses the same log
// directory and names, and the snoop sequence lives in one test.
#include "log/mux_log.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "conf_test_util.h"
#include "config/config.h"

using ::testing::ElementsAre;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

namespace {

conftest::TempDir *logroot;

class LogDirEnvironment : public ::testing::Environment {
  public:
    void SetUp() override
    {
        logroot = new conftest::TempDir;
        logdir = const_cast<char *>(logroot->path().c_str());
    }
    void TearDown() override
    {
        delete logroot;
        logroot = nullptr;
    }
};

const auto *env = ::testing::AddGlobalTestEnvironment(new LogDirEnvironment);

class MuxLogTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        cache = config_newcache();
        config_setdefaultcache(cache);
        set("orv.log.orv_mux.severity", "Notice");
    }
    void TearDown() override
    {
        muxlog_uninit();
        qxlog_setoptions(0);
        config_setdefaultcache(nullptr);
        config_freecache(cache);
    }
    void set(const char *name, const char *value)
    {
        char *v[] = {const_cast<char *>(value), nullptr};
        config_set_values(cache, name, v, 0, 0);
    }
    // Messages of a log file without its creation headers.
    std::vector<std::string> messages(const std::string &file = "mux.log")
    {
        std::vector<std::string> out;
        for (const std::string &m : conftest::messages_of(conftest::read_file(logroot->file(file))))
            if (m.rfind("Information: Log created (", 0) != 0)
                out.push_back(m);
        return out;
    }
    // Messages added since the last call.
    std::vector<std::string> fresh()
    {
        auto all = messages();
        std::vector<std::string> out(all.begin() + (long)std::min(seen, all.size()), all.end());
        seen = all.size();
        return out;
    }

    ConfigCache *cache = nullptr;
    size_t seen = 0;
};

TEST_F(MuxLogTest, SnoopNeedsDebugSeverityAndSnoopSetting)
{
    set("orv.log.orv_mux.snoop", "TRUE");
    EXPECT_NE(muxlog_init("mux.log", "mux", 0), nullptr);
    fresh();
    const char data[] = "..hello";
    muxlog_traffic(nullptr, "recv", "client", "mux", 12, data, 2, 5);
    qxlog(nullptr, QXLOG_NOTICE, "marker 1");
    EXPECT_THAT(fresh(), ElementsAre("Notice: marker 1"));

    // Debug alone is not enough.
    set("orv.log.orv_mux.severity", "dEbUg");
    set("orv.log.orv_mux.snoop", "false");
    muxlog_refresh();
    muxlog_traffic(nullptr, "recv", "client", "mux", 12, data, 2, 5);
    qxlog(nullptr, QXLOG_DEBUG, "marker 2");
    EXPECT_THAT(fresh(), ElementsAre("Debug: marker 2"));

    set("orv.log.orv_mux.snoop", "True");
    muxlog_refresh_choice(0);
    muxlog_traffic(nullptr, "recv", "client", "mux", 12, data, 2, 5);
    muxlog_traffic(nullptr, "sent", "mux", "client", 12, nullptr, 0, 0);
    const char zero[] = {'a', 'b', '\0', 'c', 'd'};
    muxlog_traffic(nullptr, "recv", "server", "mux", 3, zero, 0, 5);
    const char unterminated[4] = {'w', 'x', 'y', 'z'};
    muxlog_traffic(nullptr, "sent", "mux", "server", 4, unterminated, 1, 3);
    EXPECT_THAT(fresh(), ElementsAre("Debug: SNOOP recv client -> mux [12] hello",
                                     "Debug: SNOOP sent mux -> client [12]",
                                     "Debug: SNOOP recv server -> mux [3] ab",
                                     "Debug: SNOOP sent mux -> server [4] xyz"));

    // A refresh that switches the snoop off stops it at Debug too.
    set("orv.log.orv_mux.snoop", "false");
    muxlog_refresh();
    muxlog_traffic(nullptr, "recv", "client", "mux", 12, data, 2, 5);
    EXPECT_THAT(fresh(), IsEmpty());
    set("orv.log.orv_mux.snoop", "true");
    set("orv.log.orv_mux.severity", "Notice");
    muxlog_refresh();
    muxlog_traffic(nullptr, "recv", "client", "mux", 12, data, 2, 5);
    qxlog(nullptr, QXLOG_NOTICE, "marker 3");
    EXPECT_THAT(fresh(), ElementsAre("Notice: marker 3"));
}

TEST_F(MuxLogTest, DefaultLogLinesCarryProcessName)
{
    muxlog_init("mux.log", "mux", 0);
    qxlog(nullptr, QXLOG_NOTICE, "named");
    auto l = conftest::lines_of(conftest::read_file(logroot->file("mux.log")));
    ASSERT_FALSE(l.empty());
    EXPECT_THAT(l.back(), HasSubstr(" mux[" + std::to_string(getpid()) + "]: General Notice: named"));
}

TEST_F(MuxLogTest, NologStopsOutputAndKeepsOtherSettings)
{
    muxlog_init("mux.log", "mux", 0);
    fresh();
    set("orv.log.orv_mux.severity", "Nolog");
    set("orv.log.orv_mux.maxlogfilesize", "100"); // ignored after Nolog
    muxlog_refresh();
    for (int i = 0; i < 20; ++i)
        qxlog(nullptr, QXLOG_EMERGENCY, "silenced %d", i);
    EXPECT_THAT(fresh(), IsEmpty());
    set("orv.log.orv_mux.severity", "Notice");
    set("orv.log.orv_mux.maxlogfilesize", "2097152");
    muxlog_refresh();
    qxlog(nullptr, QXLOG_NOTICE, "back");
    EXPECT_THAT(fresh(), ElementsAre("Notice: back"));
}

TEST_F(MuxLogTest, InitTwiceAndOpenBeforeInit)
{
    // Before init, open initialises the module and returns the default log.
    EXPECT_EQ(muxlog_open("mux.log", "mux"), nullptr);
    EXPECT_EQ(muxlog_init("mux.log", "mux", 0), nullptr);
    muxlog_uninit();
    LogHandle *first = muxlog_init("mux.log", "mux", 0);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(muxlog_init("mux.log", "mux", 0), nullptr);
}

TEST_F(MuxLogTest, ExtraHandlesOpenRefreshAndClose)
{
    muxlog_init("mux.log", "mux", 0);
    LogHandle *h = muxlog_open("extra.log", "xproc");
    ASSERT_NE(h, nullptr);
    qxlog(h, QXLOG_NOTICE, "on the extra handle");
    qxlog(h, QXLOG_INFORMATION, "filtered");
    muxlog_config(h, "loglevel", "Information");
    qxlog(h, QXLOG_INFORMATION, "now kept");
    EXPECT_THAT(messages("extra.log"),
                ElementsAre("Notice: on the extra handle", "Information: now kept"));
    // A refresh re-applies the configured severity to every handle.
    muxlog_refresh();
    qxlog(h, QXLOG_INFORMATION, "filtered again");
    EXPECT_EQ(messages("extra.log").size(), 2u);

    int not_ours = 0;
    muxlog_close(reinterpret_cast<LogHandle *>(&not_ours)); // left alone
    muxlog_close(nullptr);
    muxlog_close(h);
    // After closing, a second close of the same pointer finds nothing.
    muxlog_close(h);
}

TEST_F(MuxLogTest, StderrSwitch)
{
    muxlog_init("mux.log", "mux", 1);
    LogHandle *bare = qxlog_open();
    testing::internal::CaptureStderr();
    qxlog(bare, QXLOG_ERROR, "visible");
    muxlog_stderr(0);
    qxlog(bare, QXLOG_ERROR, "hidden");
    std::string err = testing::internal::GetCapturedStderr();
    qxlog_close(bare);
    EXPECT_THAT(conftest::messages_of(err), ElementsAre("Error: visible"));
}

TEST_F(MuxLogTest, CallsBeforeInitDoNothing)
{
    muxlog_uninit();
    muxlog_refresh();
    muxlog_refresh_choice(1);
    muxlog_close(nullptr);
    SUCCEED();
}

} // namespace
