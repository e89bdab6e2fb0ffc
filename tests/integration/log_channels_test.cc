// The configuration and log channels seen through the real multiplexor: the
// snoop lines in the log file, the snoop gate, rollover of the live log, and
// a configuration syntax error reported at start-up.
#include <fstream>

#include "integration_harness.h"

namespace itest {
namespace {

class LogChannels : public RelayFixture {
  protected:
    // A clean stop, so that a sanitizer report of the multiplexor (written
    // to its standard error at exit) fails the test that caused it.
    void TearDown() override
    {
        for (Stream &c : clients)
            c.close();
        mux.signal(SIGTERM);
        EXPECT_EQ(mux.wait_exit(10000), 0);
        std::string err = mux.err();
        EXPECT_EQ(err.find("Sanitizer"), std::string::npos) << err;
        EXPECT_EQ(err.find("runtime error"), std::string::npos) << err;
    }

    // Relays "abc" up and "xyz" down on connection 1.
    void exchange()
    {
        ASSERT_NO_FATAL_FAILURE(add_client(1));
        script({
            client_sends(0, "abc"),
            server_gets(rec_data(1, "abc")),
            server_sends(rec_data(1, "xyz")),
            client_gets(0, "xyz"),
        });
    }
};

TEST_F(LogChannels, SnoopLinesWithDebugAndSnoop)
{
    inst.set("orv.log.orv_mux.severity", "debug");
    inst.set("orv.log.orv_mux.snoop", "TRUE");
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_NO_FATAL_FAILURE(exchange());
    EXPECT_TRUE(inst.wait_log("General Debug: SNOOP recv client -> mux [1] abc\n"));
    EXPECT_TRUE(inst.wait_log("General Debug: SNOOP recv server -> mux [1] xyz\n"));
    EXPECT_TRUE(inst.wait_log("General Debug: SNOOP sent mux -> client [1] xyz\n"));
    // Every line of the file is whole: a stamp, the host, "mux[pid]".
    std::istringstream lines(inst.log());
    std::string line;
    int n = 0;
    while (std::getline(lines, line) && n < 100000) {
        ++n;
        EXPECT_EQ(line.rfind("[", 0), 0u) << line;
        EXPECT_NE(line.find(" mux["), std::string::npos) << line;
    }
    EXPECT_GT(n, 3);
}

TEST_F(LogChannels, NoSnoopWithoutDebugSeverity)
{
    inst.set("orv.log.orv_mux.severity", "Notice");
    inst.set("orv.log.orv_mux.snoop", "true");
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_NO_FATAL_FAILURE(exchange());
    ASSERT_NO_FATAL_FAILURE(clients[0].close());
    ASSERT_TRUE(inst.wait_log("client closed."));
    EXPECT_EQ(inst.log().find("SNOOP"), std::string::npos);
    EXPECT_EQ(inst.log().find(" Debug: "), std::string::npos);
}

TEST_F(LogChannels, NoSnoopWithoutSnoopSetting)
{
    inst.set("orv.log.orv_mux.severity", "Debug");
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_NO_FATAL_FAILURE(exchange());
    ASSERT_NO_FATAL_FAILURE(clients[0].close());
    ASSERT_TRUE(inst.wait_log("client closed."));
    EXPECT_EQ(inst.log().find("SNOOP"), std::string::npos);
    EXPECT_NE(inst.log().find(" Debug: "), std::string::npos);
}

TEST_F(LogChannels, LiveLogRollsOverBySize)
{
    inst.set("orv.log.orv_mux.severity", "Debug");
    inst.set("orv.log.orv_mux.snoop", "true");
    inst.set("orv.log.orv_mux.maxlogfilesize", "1500");
    inst.set("orv.log.orv_mux.maxlogfiles", "3");
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_NO_FATAL_FAILURE(add_client(1));
    for (int i = 0; i < 30; ++i) {
        std::string msg = "message-" + std::to_string(100 + i);
        script({client_sends(0, msg), server_gets(rec_data(1, msg))});
    }
    ASSERT_TRUE(inst.wait_log("SNOOP recv client -> mux [1] message-129"));
    std::vector<std::string> rolled;
    if (DIR *d = opendir((inst.var() + "/log").c_str())) {
        while (struct dirent *de = readdir(d)) {
            std::string n = de->d_name;
            if (n.rfind("mux.log.", 0) == 0)
                rolled.push_back(n);
        }
        closedir(d);
    }
    EXPECT_GE(rolled.size(), 1u);
    EXPECT_LE(rolled.size(), 3u) << "maxlogfiles prunes the oldest";
    for (const std::string &n : rolled) {
        std::string text = read_file(inst.var() + "/log/" + n);
        EXPECT_NE(text.find("General Information: Log created ("), std::string::npos) << n;
    }
    EXPECT_NE(inst.log().find("General Information: Log created ("), std::string::npos);
}

TEST(ConfigAtStartup, SyntaxErrorStopsStartWithTheReason)
{
    Instance inst;
    std::string conf = inst.write_config();
    {
        std::ofstream f(conf, std::ios::app);
        f << "orv_mux.maxsessions = 10 trailing\n";
    }
    MuxProcess mux;
    ASSERT_TRUE(mux.start(inst));
    EXPECT_EQ(mux.wait_exit(), 1);
    std::string err = mux.err();
    EXPECT_NE(err.find("General Error: func=_configdrv_props_readoption; error=unexpected "
                       "character after value; data=trailing\n"),
              std::string::npos)
        << err;
}

} // namespace
} // namespace itest
