// A running multiplexor told to reload: SIGHUP and -r re-read the file for
// the clients that come next while the ones connected keep going, a file
// that does not read keeps the running configuration, a moved log is let
// go, and the service manager hears of readiness, reloads and the stop
// (-r to a group of processes: the operator's tests).
#include <sys/socket.h>
#include <sys/un.h>

#include "integration_harness.h"
#include "test_support.h"

namespace itest {
namespace {

struct ReloadCase {
    const char *what;
    std::vector<std::string> args;
    std::function<void(Instance &)> edit;  // the configuration file is written after it
    std::string append;                    // raw lines added to the file then
    bool rotate;                           // the log is moved away before the HUP
    std::vector<std::string> logged;       // CONF: the configuration's path; NEXT: the line after its keys
    bool in_force;                         // the new file's access list (refusing 127.0.0.2) and severity (Debug) hold after it
};

class Reload : public RelayFixture, public ::testing::WithParamInterface<ReloadCase> {
  protected:
    void relay(int who, int32_t id, const Bytes &up, const Bytes &down) {
        script({client_sends(who, up), server_gets(rec_data(id, up)), server_sends(rec_data(id, down)), client_gets(who, down)});
    }
};

TEST_P(Reload, NextClientsSeeTheNewFileAndTheConnectedOnesGoOn) {
    const ReloadCase &c = GetParam();
    inst.set("orv.log.orv_mux.severity", "Notice");
    ASSERT_NO_FATAL_FAILURE(start(c.args));
    ASSERT_NO_FATAL_FAILURE(add_client(1));
    ASSERT_NO_FATAL_FAILURE(relay(0, 1, "before", "ok1"));

    c.edit(inst);
    inst.write_config();
    const std::string next = std::to_string(ts::lines_of(ts::read_file(inst.conf_path())).size() + 1);
    if (!c.append.empty()) ts::write_file(inst.conf_path(), ts::read_file(inst.conf_path()) + c.append);
    const std::string old_log = inst.log_path() + ".1";
    if (c.rotate) { ASSERT_EQ(rename(inst.log_path().c_str(), old_log.c_str()), 0); }
    if (kSignalsLoseThreads) GTEST_SKIP() << kSignalsLoseThreadsWhy << "; the reload is not checked";
    mux.signal(SIGHUP);
    for (const std::string &text : c.logged) {
        std::string line = subst(text, {{"CONF", inst.conf_path()}, {"NEXT", next}});
        EXPECT_TRUE(inst.wait_log(line)) << line << "\n" << inst.log();
    }
    if (c.rotate) {
        EXPECT_NE(inst.log().find("General Information: Log created ("), std::string::npos);
        EXPECT_EQ(ts::count_of(ts::read_file(old_log), "configuration reload"), 0);
        EXPECT_EQ(ts::count_of(ts::read_file(old_log), "Multiplexor started."), 1);
    }

    // The client connected before goes on, byte for byte.
    ASSERT_NO_FATAL_FAILURE(relay(0, 1, "after", "ok2"));
    // The next clients are judged by the list in force now.
    Stream from2 = connect_to(mux.port(), "127.0.0.2");
    ASSERT_TRUE(from2.valid());
    if (c.in_force) {
        EXPECT_TRUE(from2.closed_within(5000));
        script({server_quiet()});
        ASSERT_NO_FATAL_FAILURE(add_client(2, "127.0.0.3"));
    } else {
        clients.push_back(std::move(from2));
        if (!link.valid()) accept_link();
        ASSERT_EQ(hex(link.recv_n(9)), hex(rec_open(2, 127, 0, 0, 2)));
    }
    ASSERT_NO_FATAL_FAILURE(relay(1, 2, "new", "ok3"));
    EXPECT_EQ(inst.wait_log("General Debug: conn[2]", 1, c.in_force ? 5000 : 300), c.in_force) << inst.log();
}

// clang-format off
const ReloadCase kReloads[] = {
    {"access list, the per-client bound and severity",
     {},
     [](Instance &i) {
         i.set("orv_mux.access", "-127.0.0.2|255.255.255.255;");
         i.set("orv_mux.client_queue_max", "65536");
         i.set("orv.log.orv_mux.severity", "Debug");
     },
     "", false,
     {"General Notice: configuration reloaded from CONF: access list (orv_mux.access) (none) -> "
      "-127.0.0.2|255.255.255.255;, orv_mux.client_queue_max 1048576 -> 65536, orv.log.orv_mux.severity Notice -> "
      "Debug\n"},
     true},
    {"a file that does not read",
     {},
     [](Instance &i) { i.set("orv_mux.access", "-127.0.0.2|255.255.255.255;"); },
     "=bad\n", false,
     {"General Error: configuration reload: CONF:NEXT: func=_configdrv_props_readoption; error=option name contains "
      "illegal character; line==bad\n",
      "General Error: configuration reload failed: CONF is not used; the running configuration stays in force\n"},
     false},
    {"settings of a restart; -t wins over the file as at start-up; the log moved away",
     {"-t", "3"},
     [](Instance &i) {
         i.set("orv_mux.listenport", "1");
         i.set("orv_mux.maxthreads", "5");
         i.set("orv_mux.metrics_listen", "127.0.0.1:0");
     },
     "", true,
     {"General Warning: configuration reload: only a restart changes the listening address (orv_mux.listenport), "
      "metrics listener (orv_mux.metrics_listen); running values kept\n",
      "General Notice: configuration reloaded from CONF: nothing changed\n"},
     false},
};
// clang-format on
INSTANTIATE_TEST_SUITE_P(Cases, Reload, ::testing::ValuesIn(kReloads));

#ifdef MUX_HAVE_SYSTEMD
// The service manager's side of the notification socket.
TEST(ReloadNotify, ReadyReloadingReadyStoppingOnTheNotifySocket) {
    ts::TempDir tmp;
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    snprintf(a.sun_path, sizeof a.sun_path, "%s", (tmp / "notify").c_str());
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    auto next = [&] {
        pollfd p{fd, POLLIN, 0};
        char buf[256] = "";
        ssize_t n = poll(&p, 1, 5000) == 1 ? recv(fd, buf, sizeof buf - 1, 0) : 0;
        return std::string(buf, n > 0 ? size_t(n) : 0);
    };
    Instance inst;
    inst.set("orv.log.orv_mux.severity", "Notice");
    inst.write_config();
    MuxProcess mux;
    ASSERT_TRUE(mux.start(inst, {"-e"}, {"NOTIFY_SOCKET=" + tmp / "notify"}));
    EXPECT_EQ(next(), "READY=1");
    EXPECT_NE(mux.wait_port(inst.pid_path()), 0);
    if (kSignalsLoseThreads) GTEST_SKIP() << kSignalsLoseThreadsWhy << "; the reload and the stop are not checked";
    mux.signal(SIGHUP);
    EXPECT_EQ(next().rfind("RELOADING=1\nMONOTONIC_USEC=", 0), 0u);
    EXPECT_EQ(next(), "READY=1");
    mux.signal(SIGTERM);
    EXPECT_EQ(next(), "STOPPING=1");
    EXPECT_EQ(mux.wait_exit(), 0);
    close(fd);
    // -e: the log went to standard error, and no log file was made.
    EXPECT_NE(mux.err().find("mux[" + std::to_string(mux.pid()) + "]: General Notice: configuration reloaded"), std::string::npos)
        << mux.err();
    EXPECT_EQ(ts::read_file(inst.log_path()), "");
}
#endif

}  // namespace
}  // namespace itest
