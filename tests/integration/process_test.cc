// The process: command line, start-up failures and exit statuses, the pid
// file, -k, signals, forks, the descriptor check and the user switch.
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>

#include "integration_harness.h"

namespace itest {
namespace {

const char kUsage[] =
    "Usage:  multiplexor [options]\n"
    "Options:\n"
    "  -c   CONF_FILE  configuration file name (default: ../config/orv.conf)\n"
    "  -t   NUM       max number of threads (default: 2)\n"
    "  -b   IM Server instant messaging server name (default: localhost)\n"
    "  -p   [IP:]PORT address on which to listen (default: 9909)\n"
    "  -f   NUM       number of multiplexors (default: 1)\n"
    "  -u   USERNAME  user to run as (Default: current user)\n"
    "  -k             stop the multiplexors \n"
    "  -r             reload the configuration of the multiplexors\n"
    "  -n             check the configuration and exit (status 0: it would start)\n"
    "  -e             log to standard error instead of the log file\n"
    "  -ssl SSLPARMS  To enable SSL where SSLPARMS is:\n"
    "                 SECMODFILE CERTFILE KEYFILE KEYPASSFILE CIPHERS CERTNAME+\n"
    "                 (Maximum 16 certificate names)\n"
    "  -i             Don't save (ignore)\n"
    "  -h             display usage message\n";

class Process : public ::testing::Test {
  protected:
    Result run(const std::vector<std::string> &args, const std::vector<std::string> &env = {}) {
        std::vector<std::string> all = {bin_path("multiplexor")};
        all.insert(all.end(), args.begin(), args.end());
        return run_program(all, 10000, env);
    }
    Instance inst;
};

TEST_F(Process, BadOptionsPrintTheUsageAndFail) {
    std::string conf = inst.write_config();
    for (std::vector<std::string> bad : std::vector<std::vector<std::string>>{
             {"-ssl", "a", "b"}, {"-p", "0"}, {"-p", "65536"}, {"-p", "127.0.0.1:abc"},
             {"-p", "localhost:7000"}, {"-p", "255.255.255.255:7000"}, {"-t", "-1"}, {"-f", "-2"}, {"-t"},
             {"-f"}, {"-p"}, {"console"}, {"-a", "x"}}) {
        std::vector<std::string> args = {"-c", conf};
        args.insert(args.end(), bad.begin(), bad.end());
        std::string what = bad[0] + (bad.size() > 1 ? " " + bad[1] : "");
        Result r = run(args);
        ASSERT_TRUE(r.exited) << what;
        EXPECT_EQ(r.status, 255) << what;
        ASSERT_GE(r.err.size(), sizeof kUsage - 1) << what;
        EXPECT_EQ(r.err.substr(r.err.size() - (sizeof kUsage - 1)), kUsage) << what << ": after what was wrong";
        EXPECT_EQ(read_file(inst.pid_path()), "") << what << ": nothing is bound before the options are read";
    }
}

TEST_F(Process, DashCWithoutValueFailsBeforeTheConfiguration) {
    Result r = run({"-c"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, kUsage);
}

TEST_F(Process, StartUpFailuresGoToStandardError) {
    Result r = run({"-c", inst.root() + "/nope.conf"});
    EXPECT_EQ(r.status, 1);
    const std::string fatal = "FATAL: Configuration initialization failed. (" + inst.root() + "/nope.conf)\n";
    ASSERT_GE(r.err.size(), fatal.size());
    EXPECT_EQ(r.err.substr(r.err.size() - fatal.size()), fatal) << "after the driver's own message";

    inst.unset("orv.instancedir");
    r = run({"-c", inst.write_config()});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "ERROR: option orv.instancedir not found in " + inst.conf_path() + "\n");

    inst.set("orv.instancedir", inst.root());
    inst.unset("orv.instancevardir");
    r = run({"-c", inst.write_config()});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "ERROR: option orv.instancevardir not found in " + inst.conf_path() + "\n");

    inst.set("orv.instancevardir", inst.var());
    inst.set("orv.log.orv_mux.url", inst.root() + "/logs/");
    r = run({"-c", inst.write_config()});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "ERROR: Multiplexor log url has invalid value in config file.\n");
}

TEST_F(Process, PortInUseFailsWithoutPidFile) {
    Listener busy;
    inst.set("orv_mux.listenport", std::to_string(busy.port()));
    Result r = run({"-c", inst.write_config(), "-p", "127.0.0.1:" + std::to_string(busy.port())});
    EXPECT_EQ(r.status, 255);
    EXPECT_NE(r.err.find("cannot bind to port " + std::to_string(busy.port())), std::string::npos) << r.err;
    EXPECT_EQ(read_file(inst.pid_path()), "");
}

TEST_F(Process, SigtermRemovesThePidFileAndExitsZero) {
    inst.write_config();
    MuxProcess mux;
    ASSERT_TRUE(mux.start(inst));
    ASSERT_NE(mux.wait_port(inst.pid_path()), 0);
    EXPECT_EQ(read_file(inst.pid_path()), std::to_string(mux.pid()) + "\nready\n");
    mux.signal(SIGTERM);
    EXPECT_EQ(mux.wait_exit(5000), 0);
    EXPECT_EQ(read_file(inst.pid_path()), "");
    EXPECT_TRUE(inst.wait_log("exiting"));
}

TEST_F(Process, StopRightAfterStartIsNeverLost) {
    inst.write_config();
    for (int i = 0; i < 5; i++) {
        MuxProcess mux;
        ASSERT_TRUE(mux.start(inst));
        // Signal as soon as the handlers can be there, racing the first cycle.
        auto deadline = Clock::now() + milliseconds(3000);
        while (read_file(inst.pid_path()).empty() && Clock::now() < deadline)
            std::this_thread::yield();
        mux.signal(i % 2 ? SIGINT : SIGTERM);
        EXPECT_EQ(mux.wait_exit(5000), 0) << "round " << i;
    }
}

TEST_F(Process, SighupReloadsAndTheProcessServesOn) {
    inst.write_config();
    MuxProcess mux;
    ASSERT_TRUE(mux.start(inst));
    ASSERT_NE(mux.wait_port(inst.pid_path()), 0);
    mux.signal(SIGHUP);
    EXPECT_TRUE(inst.wait_log("configuration reloaded from " + inst.conf_path() + ": nothing changed\n"));
    EXPECT_TRUE(mux.running());
    Stream c = connect_to(mux.port());
    EXPECT_TRUE(c.valid());
}

TEST_F(Process, DashKStopsThreeForkedProcesses) {
    inst.write_config();
    MuxProcess mux;
    ASSERT_TRUE(mux.start(inst, {"-f", "3"}));
    ASSERT_NE(mux.wait_port(inst.pid_path()), 0);
    auto deadline = Clock::now() + milliseconds(5000);
    while (mux.group_size() < 3 && Clock::now() < deadline) std::this_thread::sleep_for(milliseconds(20));
    ASSERT_EQ(mux.group_size(), 3);
    ASSERT_TRUE(inst.wait_log("Multiplexor started.", 3));

    Result k = run({"-c", inst.conf_path(), "-K"});
    EXPECT_EQ(k.status, 0);
    EXPECT_EQ(k.out, "");
    EXPECT_EQ(mux.wait_exit(5000), 0);
    deadline = Clock::now() + milliseconds(5000);
    while (mux.group_size() > 0 && Clock::now() < deadline) std::this_thread::sleep_for(milliseconds(20));
    EXPECT_EQ(mux.group_size(), 0);
    EXPECT_TRUE(inst.wait_log("multiplexor process " + std::to_string(mux.pid()) + " terminated"));
    EXPECT_TRUE(inst.wait_log("exiting", 3));
    EXPECT_EQ(read_file(inst.pid_path()), "");
}

TEST_F(Process, DashKWithoutOrWithABadPidFile) {
    inst.write_config();
    Result k = run({"-c", inst.conf_path(), "-k"});
    EXPECT_EQ(k.status, ENOENT);
    EXPECT_EQ(k.out, "Error reading multiplexor pidfile - No such file or directory\n");

    for (const char *pid : {"0\nready\n", "1\n", "ready\n"}) {
        std::ofstream(inst.pid_path()) << pid;
        k = run({"-c", inst.conf_path(), "-k"});
        EXPECT_EQ(k.status, EINVAL) << pid;
        EXPECT_EQ(k.out, "Error reading multiplexor pidfile - Invalid argument\n") << pid;
    }
    EXPECT_NE(inst.log().find("Error reading multiplexor pidfile"), std::string::npos);
}

TEST_F(Process, DescriptorCheckLowersTheSessionLimit) {
    inst.set("orv_mux.maxsessions", "100000");
    inst.write_config();
    MuxProcess mux;
    ASSERT_TRUE(mux.start(inst));
    ASSERT_NE(mux.wait_port(inst.pid_path()), 0);
    ASSERT_TRUE(inst.wait_log("Max Sessions:"));
    std::string out = mux.out();
    const std::string bar(79, '=');
    int limit = 0;
    const std::string current = "Current rlim_fd_max setting   : ";
    size_t at = out.find(current);
    ASSERT_NE(at, std::string::npos) << out;
    limit = atoi(out.c_str() + at + current.size());
    ASSERT_GT(limit, 50);
    EXPECT_EQ(out, bar + "\nWARNING: You need to set the per-process file descriptor limit" +
                       "    Suggested rlim_fd_max setting : 100050\n" +
                       "    Current rlim_fd_max setting   : " + std::to_string(limit) + "\n" +
                       "On Tamrix, add or change the rlim_fd_max setting in /etc/system\n" +
                       "On Linux, check /proc/sys/fs/file-max and the descriptors value for either csh limit "
                       "or sh ulimit command\n" +
                       bar + "\n");
    EXPECT_TRUE(inst.wait_log("Not enough file descriptors to support 100000 sessions per process; recommend " +
                              std::to_string(limit - 50) + " sessions per process."));
    EXPECT_TRUE(inst.wait_log("Max Sessions: " + std::to_string(limit - 50)));
}

TEST_F(Process, UnknownUserStopsTheStart) {
    inst.write_config();
    Result r = run({"-c", inst.conf_path(), "-u", "no-such-user-here"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("cannot run as user no-such-user-here: no such user"), std::string::npos) << r.err;
    EXPECT_EQ(read_file(inst.pid_path()), "");
}

TEST_F(Process, RunsAsTheConfiguredUserWithItsGroups) {
    passwd *pw = getpwnam("nobody");
    if (!pw) GTEST_SKIP() << "no user nobody";
    chmod(inst.root().c_str(), 0755);
    chmod(inst.var().c_str(), 0777);
    chmod((inst.var() + "/log").c_str(), 0777);
    inst.set("orv.user", "nobody");
    inst.write_config();
    MuxProcess mux;
    ASSERT_TRUE(mux.start(inst));
    ASSERT_NE(mux.wait_port(inst.pid_path()), 0);
    ASSERT_TRUE(inst.wait_log("Restarting the multiplexor"));
    std::string status = read_file("/proc/" + std::to_string(mux.pid()) + "/status");
    std::string uid = std::to_string(pw->pw_uid), gid = std::to_string(pw->pw_gid);
    EXPECT_NE(status.find("\nUid:\t" + uid + "\t" + uid + "\t" + uid + "\t" + uid + "\n"), std::string::npos)
        << status;
    EXPECT_NE(status.find("\nGid:\t" + gid + "\t" + gid + "\t" + gid + "\t" + gid + "\n"), std::string::npos)
        << status;
    size_t g = status.find("\nGroups:\t");
    ASSERT_NE(g, std::string::npos);
    std::string groups = status.substr(g + 9, status.find('\n', g + 1) - g - 9);
    EXPECT_EQ(groups.find("0 "), std::string::npos) << "root's groups are dropped: " << groups;
    EXPECT_NE((" " + groups).find(" " + gid + " "), std::string::npos) << "the user's groups are taken: " << groups;
}

TEST_F(Process, ZeroThreadsStillServe) {
    Listener server;
    inst.server_port(server.port());
    inst.write_config();
    MuxProcess mux;
    ASSERT_TRUE(mux.start(inst, {"-t", "0"}));
    ASSERT_NE(mux.wait_port(inst.pid_path()), 0);
    Stream c = connect_to(mux.port());
    Stream link = server.accept();
    ASSERT_TRUE(link.valid()) << "a context with no worker would never get here";
    ASSERT_EQ(link.recv_n(3), hello());
}

TEST_F(Process, OptionsOverrideKeysAndEnvironment) {
    Listener server;
    inst.set("orv_mux.serverport", "127.0.0.9:1");  // replaced by -b below
    inst.set("orv_mux.serverport", std::to_string(server.port()));
    inst.write_config();
    MuxProcess mux;
    ASSERT_TRUE(mux.start(inst, {"-b", "127.0.0.1", "-x", "-b", "ignored after -x"}, {"NumThreads=1"}));
    ASSERT_NE(mux.wait_port(inst.pid_path()), 0);
    Stream c = connect_to(mux.port());
    Stream link = server.accept();
    ASSERT_TRUE(link.valid());
    EXPECT_EQ(link.recv_n(3), hello());
}

TEST_F(Process, DashPBindsTheGivenAddressOnly) {
    uint16_t port;
    {
        Listener probe;  // a port that was free a moment ago
        port = probe.port();
    }
    inst.write_config();
    MuxProcess mux;
    ASSERT_TRUE(mux.start(inst, {"-i", "-I", "anything", "-p", "127.0.0.2:" + std::to_string(port)}));
    ASSERT_EQ(mux.wait_port(inst.pid_path()), port) << mux.err();
    EXPECT_FALSE(connect_to(port, nullptr, "127.0.0.1").valid());
    EXPECT_TRUE(connect_to(port, nullptr, "127.0.0.2").valid());
}

}  // namespace
}  // namespace itest
