// The process: command line, start-up failures and exit statuses, the pid
// file, -k, signals, forks, the descriptor check and the user switch.
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>

#include "integration_harness.h"

using namespace itest;

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

class Process : public RelayFixture {};

TEST_F(Process, BadOptionsPrintTheUsageAndFailBeforeBinding) {
    std::string conf = inst.write_config();
    for (std::vector<std::string> bad : std::vector<std::vector<std::string>>{
             {"-ssl", "a", "b"}, {"-p", "0"}, {"-p", "65536"}, {"-p", "127.0.0.1:abc"},
             {"-p", "localhost:7000"}, {"-p", "255.255.255.255:7000"}, {"-t", "-1"}, {"-f", "-2"}, {"-t"}, {"-f"},
             {"-p"}, {"console"}, {"-a", "x"}, {"-c"}}) {
        SCOPED_TRACE(bad[0] + (bad.size() > 1 ? " " + bad[1] : ""));
        bad.insert(bad.begin(), {"-c", conf});
        Result r = run_multiplexor(bad);
        ASSERT_TRUE(r.exited);
        EXPECT_EQ(r.status, 255);
        ASSERT_GE(r.err.size(), sizeof kUsage - 1);
        EXPECT_EQ(r.err.substr(r.err.size() - (sizeof kUsage - 1)), kUsage) << "after what was wrong";
        EXPECT_EQ(read_file(inst.pid_path()), "");
    }
}

// Each row: a change to the configuration ("key=value", or "-key" to remove
// it), the arguments after -c <conf>, and what the failure gives on
// standard error (or output): the whole text or a part of it. {root} and
// {conf} stand for the instance and its configuration file. (The operator's
// tests see a syntax error, a port in use and the pid file.)
TEST(StartUp, FailuresAreReportedBeforeTheLogAndLeaveNoPidFile) {
    const struct { std::string conf; std::vector<std::string> args; int status; bool on_out, whole; std::string text; }
        rows[] = {
        {"", {"-c", "{root}/nope.conf"}, 1, false, false,
         "FATAL: Configuration initialization failed. ({root}/nope.conf)\n"},
        {"-orv.instancedir", {}, 255, false, true, "ERROR: option orv.instancedir not found in {conf}\n"},
        {"-orv.instancevardir", {}, 255, false, true, "ERROR: option orv.instancevardir not found in {conf}\n"},
        {"orv.log.orv_mux.url={root}/logs/", {}, 255, true, true,
         "ERROR: Multiplexor log url has invalid value in config file.\n"},
        {"", {"-u", "no-such-user-here"}, 1, false, false, "cannot run as user no-such-user-here: no such user"},
    };
    for (auto &row : rows) {
        SCOPED_TRACE(row.text);
        Instance inst;
        auto fill = [&](std::string s) {
            for (auto [key, value] :
                 {std::pair<std::string, std::string>{"{root}", inst.root()}, {"{conf}", inst.conf_path()}})
                for (size_t at; (at = s.find(key)) != std::string::npos;) s.replace(at, key.size(), value);
            return s;
        };
        const std::string &c = row.conf;
        if (!c.empty() && c[0] == '-') inst.unset(c.substr(1));
        if (!c.empty() && c[0] != '-') inst.set(c.substr(0, c.find('=')), fill(c.substr(c.find('=') + 1)));
        inst.write_config();
        std::vector<std::string> args = row.args;
        if (args.empty() || args[0] != "-c") args.insert(args.begin(), {"-c", "{conf}"});
        for (auto &a : args) a = fill(a);
        Result r = run_multiplexor(args);
        EXPECT_EQ(r.status, row.status);
        std::string got = row.on_out ? r.out : r.err, want = fill(row.text);
        if (row.whole) EXPECT_EQ(got, want);
        else EXPECT_NE(got.find(want), std::string::npos) << got;
        EXPECT_EQ(read_file(inst.pid_path()), "");
    }
}

TEST_F(Process, PidFileWhileRunningSighupReloadsAndSigtermRemovesIt) {
    ASSERT_NO_FATAL_FAILURE(start());
    EXPECT_EQ(read_file(inst.pid_path()), std::to_string(mux.pid()) + "\nready\n");
    mux.signal(SIGHUP);
    EXPECT_TRUE(inst.wait_log("configuration reloaded from " + inst.conf_path() + ": nothing changed\n"));
    EXPECT_TRUE(mux.running());
    EXPECT_TRUE(connect_to(mux.port()).valid());
    mux.stop();  // exit status 0
    EXPECT_EQ(read_file(inst.pid_path()), "");
    EXPECT_TRUE(inst.wait_log("Notice: exiting"));
}

TEST_F(Process, StopRightAfterStartIsNeverLost) {
    inst.write_config();
    for (int i = 0; i < 5; i++) {
        MuxProcess m;
        ASSERT_TRUE(m.start(inst));
        // Signal as soon as the handlers can be there, racing the first cycle.
        ts::wait_for([&] { return !read_file(inst.pid_path()).empty(); }, 3000, 0);
        m.signal(i % 2 ? SIGINT : SIGTERM);
        EXPECT_EQ(m.wait_exit(5000), 0) << "round " << i;
    }
}

// -k without a pid file, or with one that names no process of ours, fails
// with its reason; with a good one it stops the whole group of forks.
TEST_F(Process, DashKStopsEveryForkedProcessOrSaysWhyNot) {
    Result k = run_multiplexor({"-c", inst.write_config(), "-k"});
    EXPECT_EQ(k.status, ENOENT);
    EXPECT_EQ(k.out, "Error reading multiplexor pidfile - No such file or directory\n");
    for (const char *pid : {"0\nready\n", "1\n", "ready\n"}) {
        ts::write_file(inst.pid_path(), pid);
        k = run_multiplexor({"-c", inst.conf_path(), "-k"});
        EXPECT_EQ(k.status, EINVAL) << pid;
        EXPECT_EQ(k.out, "Error reading multiplexor pidfile - Invalid argument\n") << pid;
    }
    EXPECT_NE(inst.log().find("Error reading multiplexor pidfile"), std::string::npos);
    ASSERT_NO_FATAL_FAILURE(start({"-f", "3"}));
    ASSERT_TRUE(ts::wait_for([&] { return mux.group_size() == 3; }, 5000, 20));
    ASSERT_TRUE(inst.wait_log("Multiplexor started.", 3));
    k = run_multiplexor({"-c", inst.conf_path(), "-K"});
    EXPECT_EQ(k.status, 0);
    EXPECT_EQ(k.out, "");
    EXPECT_EQ(mux.wait_exit(5000), 0);
    EXPECT_TRUE(ts::wait_for([&] { return mux.group_gone(); }, 5000, 20));
    EXPECT_TRUE(inst.wait_log("multiplexor process " + std::to_string(mux.pid()) + " terminated"));
    EXPECT_TRUE(inst.wait_log("exiting", 3));
    EXPECT_EQ(read_file(inst.pid_path()), "");
}

TEST_F(Process, DescriptorCheckLowersTheSessionLimit) {
    inst.set("orv_mux.maxsessions", "100000");
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_TRUE(inst.wait_log("Max Sessions:"));
    std::string out = mux.out(), bar(79, '='), current = "Current rlim_fd_max setting   : ";
    ASSERT_NE(out.find(current), std::string::npos) << out;
    int limit = atoi(out.c_str() + out.find(current) + current.size());
    ASSERT_GT(limit, 50);
    EXPECT_EQ(out, bar + "\nWARNING: You need to set the per-process file descriptor limit" +
                       "    Suggested rlim_fd_max setting : 100050\n    " + current + std::to_string(limit) + "\n" +
                       "On Tamrix, add or change the rlim_fd_max setting in /etc/system\n" +
                       "On Linux, check /proc/sys/fs/file-max and the descriptors value for either csh limit "
                       "or sh ulimit command\n" +
                       bar + "\n");
    EXPECT_TRUE(inst.wait_log("Not enough file descriptors to support 100000 sessions per process; recommend " +
                              std::to_string(limit - 50) + " sessions per process."));
    EXPECT_TRUE(inst.wait_log("Max Sessions: " + std::to_string(limit - 50)));
}

TEST_F(Process, RunsAsTheConfiguredUserWithItsGroups) {
    passwd *pw = getpwnam("nobody");
    if (!pw) GTEST_SKIP() << "no user nobody";
    chmod(inst.root().c_str(), 0755);
    chmod(inst.var().c_str(), 0777);
    chmod((inst.var() + "/log").c_str(), 0777);
    inst.set("orv.user", "nobody");
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_TRUE(inst.wait_log("Restarting the multiplexor"));
    std::string status = read_file("/proc/" + std::to_string(mux.pid()) + "/status");
    for (std::string id : {"Uid:\t" + std::to_string(pw->pw_uid), "Gid:\t" + std::to_string(pw->pw_gid)}) {
        std::string n = id.substr(id.find('\t'));
        EXPECT_NE(status.find("\n" + id + n + n + n + "\n"), std::string::npos) << status;
    }
    size_t g = status.find("\nGroups:\t");
    ASSERT_NE(g, std::string::npos);
    std::string groups = status.substr(g + 9, status.find('\n', g + 1) - g - 9);
    EXPECT_EQ(groups.find("0 "), std::string::npos) << "root's groups are dropped: " << groups;
    EXPECT_NE((" " + groups).find(" " + std::to_string(pw->pw_gid) + " "), std::string::npos) << "the user's";
}

// -t 0 still gets a worker (a context without one would never serve); -x
// ends the options, so a -b after it is not read; options win over keys
// and environment names.
TEST_F(Process, OptionsOverrideKeysAndEnvironment) {
    inst.set("orv_mux.serverport", std::to_string(server.port()));
    inst.write_config();
    const std::pair<std::vector<std::string>, std::vector<std::string>> rows[] = {
        {{"-t", "0"}, {}},
        {{"-b", "127.0.0.1", "-x", "-b", "ignored after -x"}, {"NumThreads=1"}},
    };
    for (auto &[args, env] : rows) {
        MuxProcess m;
        ASSERT_TRUE(m.start(inst, args, env));
        ASSERT_NE(m.wait_port(inst.pid_path()), 0);
        Stream c = connect_to(m.port());
        Stream link = server.accept();
        ASSERT_TRUE(link.valid()) << args[0];
        EXPECT_EQ(link.recv_n(3), hello());
    }
}

TEST_F(Process, DashPBindsTheGivenAddressOnly) {
    uint16_t port = Listener().port();  // a port that was free a moment ago
    inst.write_config();
    ASSERT_TRUE(mux.start(inst, {"-i", "-I", "anything", "-p", "127.0.0.2:" + std::to_string(port)}));
    ASSERT_EQ(mux.wait_port(inst.pid_path()), port) << mux.err();
    EXPECT_FALSE(connect_to(port, nullptr, "127.0.0.1").valid());
    EXPECT_TRUE(connect_to(port, nullptr, "127.0.0.2").valid());
}
