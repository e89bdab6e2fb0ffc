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

// What is wrong in the command line or the configuration, said before the
// log is open, and what the check mode (-n) reports of it with its place,
// starting nothing; no pid file stays. Each row: the arguments (after -c
// CONF unless they name their own -c), a change to the instance, the exit
// status, texts and where they are: a part of standard error, the whole of
// it, the whole standard output, a part followed by the usage text, or for
// the check mode parts of either output (and no log file is made); then
// raw lines added after the keys. CONF, ROOT and BUSY are replaced, and @KEY
// by the line of the key, NEXT and AFTER by those of the added lines.
TEST(StartUp, FailuresAndTheCheckModeSayWhatIsWrongAndLeaveNoPidFile) {
    Result help = run_multiplexor({"-h"});  // no configuration at all
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out, kUsage);
    enum How { Part, Whole, Out, Usage, Check };
    const std::function<void(Instance &)> none;
    const auto unset = [](const char *key) { return [key](Instance &i) { i.unset(key); }; };
    const auto set = [](const char *key, const char *value) {
        return [key, value](Instance &i) { i.set(key, subst(value, {{"ROOT", i.root()}})); };
    };
    const auto no_ssl_db = [](Instance &i) {
        i.set("orv_mux.usessl", "yes");
        i.set("orv_mux.secconfigdir", i.root() + "/no");
    };
    const struct {
        std::vector<std::string> args;
        std::function<void(Instance &)> prepare;
        int status;
        std::vector<std::string> texts;
        How how;
        std::string append = "";
        // clang-format off
    } rows[] = {
        {{"-ssl", "a", "b"}, none, 255, {}, Usage}, {{"-p", "0"}, none, 255, {}, Usage},
        {{"-p", "65536"}, none, 255, {}, Usage}, {{"-p", "127.0.0.1:abc"}, none, 255, {}, Usage},
        {{"-p", "localhost:7000"}, none, 255, {}, Usage}, {{"-p", "255.255.255.255:7000"}, none, 255, {}, Usage},
        {{"-t", "-1"}, none, 255, {}, Usage}, {{"-f", "-2"}, none, 255, {}, Usage}, {{"-t"}, none, 255, {}, Usage},
        {{"-f"}, none, 255, {}, Usage}, {{"-p"}, none, 255, {}, Usage}, {{"console"}, none, 255, {}, Usage},
        {{"-a", "x"}, none, 255, {}, Usage}, {{"-c"}, none, 255, {}, Usage},
        {{"-p", "70000"}, none, 255, {"multiplexor: bad value for -p: 70000 (want"}, Usage},
        {{"-p", "abc"}, none, 255, {"multiplexor: bad value for -p: abc (want"}, Usage},
        {{"-c", "ROOT/nope.conf"}, none, 1, {"FATAL: Configuration initialization failed. (ROOT/nope.conf)\n"}, Part},
        {{}, unset("orv.instancedir"), 255, {"ERROR: option orv.instancedir not found in CONF\n"}, Whole},
        {{}, unset("orv.instancevardir"), 255, {"ERROR: option orv.instancevardir not found in CONF\n"}, Whole},
        {{}, set("orv.log.orv_mux.url", "ROOT/logs/"), 255,
         {"ERROR: Multiplexor log url has invalid value in config file.\n"}, Out},
        {{"-u", "no-such-user-here"}, none, 1, {"cannot run as user no-such-user-here: no such user"}, Part},
        {{}, set("=bad", "x"), 1,
         {"error=option name contains illegal character; line==bad = \"x\"\nFATAL: Configuration initialization "
          "failed. (CONF)"}, Part},
        {{}, set("orv.instancevardir", "ROOT/nope"), 255,
         {"instance directory ROOT/nope (orv.instancevardir) cannot be used: No such file or directory"}, Part},
        {{}, [](Instance &i) { mkdir((i.pid_path()).c_str(), 0700); }, 255,
         {"cannot write the pid file ROOT/var/log/mux.pid: Is a directory"}, Part},
        {{"-p", "127.0.0.1:BUSY"}, none, 255, {"cannot bind to port BUSY on 127.0.0.1: Address already in use"}, Part},
        {{}, no_ssl_db, 1, {"multiplexor: SSL Init failed: SSL: cannot open the certificate databases in ROOT/no"}, Part},
        {{"-u", "nobody"}, none, 1,
         {"cannot run as user nobody: the pid file's directory ROOT/var/log is not writable for this user "
          "(Permission denied)"}, Part},
        {{}, set("orv_mux.metrics_listen", "localhost:9910"), 255,
         {"bad value for orv_mux.metrics_listen: localhost:9910"}, Part},
        {{"-n"}, none, 0, {"CONF: configuration ok\n"}, Check},
        {{"-n"}, set("orv_mux.conn_rate_limit", "abc"), 1,
         {"CONF:NEXT: error: func=_configdrv_props_readoption; error=option name contains illegal character; line==bad\n",
          "CONF:AFTER: error: func=_configdrv_props_readoption; error=option name should be followed by '='; "
          "line=stray words\n",
          "CONF:@orv_mux.conn_rate_limit: warning: orv_mux.conn_rate_limit = abc is not a number; the default is used\n",
          "CONF: 2 errors: the multiplexor would not start\n"},
         Check, "=bad\nstray words\n"},
        {{"-n"}, set("orv.instancevardir", "ROOT/nope"), 1,
         {"CONF:@orv.instancevardir: error: instance directory ROOT/nope (orv.instancevardir) cannot be used: No such "
          "file or directory\n"}, Check},
        {{"-n"}, set("orv.log.orv_mux.url", "ROOT/logs/"), 1,
         {"CONF:@orv.log.orv_mux.url: error: Multiplexor log url has invalid value (it ends in \"/\")\n"}, Check},
        {{"-n", "-p", "70000"}, none, 1,
         {"multiplexor: bad value for -p: 70000", "command line: error: refused (see above)\n"}, Check},
        {{"-n", "-u", "nosuchuser"}, none, 1, {"CONF: error: cannot run as user nosuchuser: no such user\n"}, Check},
        {{"-n"}, set("orv.user", "nobody"), 1,
         {"CONF:@orv.user: error: cannot run as user nobody: the instance directory ROOT/var is not searchable for "
          "this user (Permission denied)"}, Check},
        {{"-n"}, no_ssl_db, 1,
         {"CONF:@orv_mux.usessl: error: SSL Init failed: SSL: cannot open the certificate databases in ROOT/no"}, Check},
    };
    // clang-format on
    Listener busy;
    for (auto &row : rows) {
        Instance inst;
        std::map<std::string, std::string> vars = {
            {"CONF", inst.conf_path()}, {"ROOT", inst.root()}, {"BUSY", std::to_string(busy.port())}};
        SCOPED_TRACE(::testing::PrintToString(row.args) + " " + ::testing::PrintToString(row.texts));
        if (row.prepare) row.prepare(inst);
        std::vector<std::string> lines = ts::lines_of(read_file(inst.write_config()));
        for (size_t n = 0; n < lines.size(); n++) vars["@" + lines[n].substr(0, lines[n].find(' '))] = std::to_string(n + 1);
        vars["NEXT"] = std::to_string(lines.size() + 1);
        vars["AFTER"] = std::to_string(lines.size() + 2);
        ts::write_file(inst.conf_path(), read_file(inst.conf_path()) + row.append);
        std::vector<std::string> args = row.args;
        if (args.empty() || args[0] != "-c") args.insert(args.begin(), {"-c", "CONF"});
        for (auto &a : args) a = subst(a, vars);
        Result r = run_multiplexor(args);
        EXPECT_EQ(r.status, row.status) << r.out << r.err;
        std::string got = row.how == Out ? r.out : row.how == Check ? r.out + r.err : r.err;
        for (const std::string &text : row.texts) {
            std::string want = subst(text, vars);
            if (row.how == Whole || row.how == Out) EXPECT_EQ(got, want);
            else EXPECT_NE(got.find(want), std::string::npos) << want << "\n" << got;
        }
        if (row.how == Usage) {
            ASSERT_GE(r.err.size(), sizeof kUsage - 1);
            EXPECT_EQ(r.err.substr(r.err.size() - (sizeof kUsage - 1)), kUsage) << "after what was wrong";
        }
        EXPECT_FALSE(has_regular_file(inst.pid_path())) << "left behind: " << read_file(inst.pid_path());
        if (row.how == Check) { EXPECT_FALSE(has_regular_file(inst.log_path())); }
    }
}

// -k without a pid file, or with one that names no process, fails with its
// reason; a stale one's group (not a multiplexor's) is left alone; with a
// good one it stops the whole group of forks.
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
    ts::Child other;
    ASSERT_TRUE(other.spawn({"/bin/sleep", "30"}));
    ts::write_file(inst.pid_path(), std::to_string(other.pid()) + "\nready\n");
    k = run_multiplexor({"-c", inst.conf_path(), "-k"});
    EXPECT_EQ(k.status, ESRCH);
    EXPECT_EQ(k.out, "stale multiplexor pidfile - no multiplexor holds it (pid " + std::to_string(other.pid()) + "): No such process\n");
    std::this_thread::sleep_for(milliseconds(200));
    EXPECT_TRUE(other.running());
    unlink(inst.pid_path().c_str());
    ASSERT_NO_FATAL_FAILURE(start({"-f", "3"}));
    ASSERT_TRUE(ts::wait_for([&] { return mux.group_size() == 3; }, 5000, 20));
    ASSERT_TRUE(inst.wait_log("Multiplexor started.", 3));
    if (kSignalsLoseThreads) GTEST_SKIP() << kSignalsLoseThreadsWhy << "; the stop of the three is not checked";
    k = run_multiplexor({"-c", inst.conf_path(), "-K"});
    EXPECT_EQ(k.status, 0);
    EXPECT_EQ(k.out, "");
    EXPECT_EQ(mux.wait_exit(5000), 0);
    EXPECT_TRUE(ts::wait_for([&] { return mux.group_size() == 0; }, 5000, 20));
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
// and environment names; -p binds the given address only (-i, and -I with
// its word, are taken and ignored). A stop right after the start is never
// lost.
TEST_F(Process, OptionsOverrideKeysAndEnvironmentAndAStopRightAfterStartIsNeverLost) {
    inst.set("orv_mux.serverport", std::to_string(server.port()));
    inst.write_config();
    const uint16_t port = free_port();
    const std::tuple<std::vector<std::string>, std::vector<std::string>, const char *> rows[] = {
        {{"-t", "0"}, {}, "127.0.0.1"},
        {{"-b", "127.0.0.1", "-x", "-b", "ignored after -x"}, {"NumThreads=1"}, "127.0.0.1"},
        {{"-i", "-I", "anything", "-p", "127.0.0.2:" + std::to_string(port)}, {}, "127.0.0.2"},
    };
    for (auto &[args, env, at] : rows) {
        MuxProcess m;
        ASSERT_TRUE(m.start(inst, args, env));
        ASSERT_NE(m.wait_port(inst.pid_path()), 0);
        if (args[0] == "-i") {
            EXPECT_EQ(m.port(), port);
            EXPECT_FALSE(connect_to(port, nullptr, "127.0.0.1").valid());
        }
        Stream c = connect_to(m.port(), nullptr, at);
        Stream link = server.accept();
        ASSERT_TRUE(link.valid()) << args[0];
        EXPECT_EQ(link.recv_n(3), hello());
    }
    if (kSignalsLoseThreads) GTEST_SKIP() << kSignalsLoseThreadsWhy << "; the early stops are not checked";
    for (int i = 0; i < 5; i++) {
        MuxProcess m;
        ASSERT_TRUE(m.start(inst));
        // Signal as soon as the handlers can be there, racing the first cycle.
        ts::wait_for([&] { return !read_file(inst.pid_path()).empty(); }, 3000, 0);
        m.signal(i % 2 ? SIGINT : SIGTERM);
        EXPECT_EQ(m.wait_exit(5000), 0) << "round " << i;
    }
}
