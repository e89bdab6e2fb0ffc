// The operator's path: one group per instance directory (the pid file's
// lock) with -r and -k, and the README's start, stop, -u and TLS steps run
// as they are written (the configuration check: the start-up failures).
#include <pwd.h>
#include <sys/stat.h>

#include "integration_harness.h"
#include "test_support.h"

namespace itest {
namespace {

using Vars = std::map<std::string, std::string>;

bool alive(pid_t pid) {
    std::string st = read_file("/proc/" + std::to_string(pid) + "/stat");
    size_t rp = st.rfind(')');
    return rp != std::string::npos && st.size() > rp + 2 && st[rp + 2] != 'Z';
}

// One group per instance directory while any process of it runs; -r and -k
// reach the whole group.
TEST(Operator, OneGroupPerInstanceDirectoryWhileAnyOfItRuns) {
    Instance inst;
    inst.write_config();
    MuxProcess first;
    ASSERT_TRUE(first.start(inst, {"-f", "2"}));
    ASSERT_NE(first.wait_port(inst.pid_path()), 0);
    ASSERT_TRUE(ts::wait_for([&] { return first.group_size() == 2; }));
    const std::string content = std::to_string(first.pid()) + "\nready\n";
    Result second = run_multiplexor({"-c", inst.conf_path()});
    EXPECT_EQ(second.status, 255);
    EXPECT_NE(second.err.find("is in use by multiplexor process " + std::to_string(first.pid())), std::string::npos)
        << second.err;
    EXPECT_EQ(read_file(inst.pid_path()), content);

    // -r reaches every process of the group: two lines from two processes.
    inst.set("orv_mux.conn_rate_limit", "2");
    inst.write_config();
    Result r = run_multiplexor({"-c", inst.conf_path(), "-r"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.out, "");
    const std::string line = "configuration reloaded from " + inst.conf_path() + ": orv_mux.conn_rate_limit 0 -> 2\n";
    EXPECT_TRUE(inst.wait_log(line, 2)) << inst.log();
    std::vector<std::string> pids;
    for (const std::string &l : ts::lines_of(inst.log()))
        if (l.find(line.substr(0, line.size() - 1)) != std::string::npos) pids.push_back(l.substr(l.find(" mux[")));
    ASSERT_EQ(pids.size(), 2u);
    EXPECT_NE(pids[0].substr(0, pids[0].find(']')), pids[1].substr(0, pids[1].find(']')));

    // The first process dies: its forked process runs on and holds the file.
    kill(first.pid(), SIGKILL);
    EXPECT_EQ(first.wait_exit(), -SIGKILL);
    EXPECT_EQ(run_multiplexor({"-c", inst.conf_path()}).status, 255);
    Result k = run_multiplexor({"-c", inst.conf_path(), "-k"});
    EXPECT_EQ(k.status, 0) << k.out;
    EXPECT_TRUE(ts::wait_for([&] { return first.group_size() == 0; }));
    EXPECT_TRUE(ts::wait_for([&] { return !has_regular_file(inst.pid_path()); })) << "removed by the last one";
}

// The README's shell blocks, each under a "<!-- checked: NAME -->" line.
std::map<std::string, std::string> readme_blocks() {
    std::map<std::string, std::string> out;
    std::string text = read_file(std::string(TOVI_SOURCE_DIR) + "/README.md");
    const std::string tag = "<!-- checked: ";
    for (size_t p = text.find(tag); p != std::string::npos; p = text.find(tag, p + 1)) {
        size_t end = text.find(" -->", p), body = text.find("```sh\n", end) + 6;
        out[text.substr(p + tag.size(), end - p - tag.size())] = text.substr(body, text.find("```", body) - body);
    }
    return out;
}

struct ReadmeRun {
    const char *what;
    std::vector<std::string> steps;  // README blocks, or shell lines of the test's own
    std::string ca;                  // with TLS: the certificate a client trusts
    std::string uid;                 // the process's user id
};

TEST(Operator, ReadmeStepsWorkAsWritten) {
    auto blocks = readme_blocks();
    for (const char *name : {"setup", "start", "stop", "user", "tls", "reload"}) ASSERT_TRUE(blocks.count(name)) << name;
    const std::string pem = "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=localhost -addext "
                            "subjectAltName=DNS:localhost -keyout /srv/im/k.pem -out /srv/im/c.pem 2>/dev/null";
    const ReadmeRun runs[] = {
        {"minimal start", {"setup", "start"}, "", "0"},
        {"-u nobody", {"setup", "user"}, "", std::to_string(getpwnam("nobody")->pw_uid)},
        {"TLS, trial certificate", {"setup", "tls"}, "/srv/im/config/trial-ca.pem", "0"},
        {"TLS, PEM files",
         {"setup", pem, "multiplexor-certdb /srv/im/config pem /srv/im/c.pem /srv/im/k.pem",
          "echo 'orv_mux.usessl = yes' >> /srv/im/config/orv.conf", "start"},
         "/srv/im/c.pem", "0"},
    };
    const std::string path = "PATH=" + build_dir() + "/bin:" + getenv("PATH");
    for (const ReadmeRun &run : runs) {
        SCOPED_TRACE(run.what);
        ts::TempDir tmp;
        chmod(tmp.path().c_str(), 0755);  // as /srv is
        Tool im("imserver", {"--listen", "127.0.0.1"});
        uint16_t port = Listener().port();  // free a moment ago
        const std::string im_port = std::to_string(im.port());
        const Vars vars = {{"/srv/im", tmp / "srv/im"},
                           {"imserver.example.com:9999", "127.0.0.1:" + im_port},
                           {"-p 9909", "-p 127.0.0.1:" + std::to_string(port)},
                           {"im.example.com", "localhost"}};
        std::string script;
        for (auto &step : run.steps) script += subst(blocks.count(step) ? blocks[step] : step + "\n", vars);
        const std::string pidfile = tmp / "srv/im/var/log/mux.pid";
        struct Reaper {  // whatever happens, nothing started from this directory runs on
            std::string dir;
            ~Reaper() {
                for (pid_t p : procs_with("cmdline", dir)) kill(p, SIGKILL);
            }
        } reaper{tmp.path() + "/"};
        // The shell stays until the process has left its group (which the
        // end of the run kills) and is ready.
        script += "for i in $(seq 200); do grep -qs ready " + pidfile + " && exit 0; sleep 0.05; done; exit 1\n";
        ts::Result started = ts::run({"/bin/bash", "-ec", script}, 60000, {path});
        ASSERT_EQ(started.status, 0) << script << started.err;
        ASSERT_TRUE(ts::wait_for([&] { return connect_to(port).valid(); }, 10000));
        pid_t pid = atoi(ts::read_file(pidfile).c_str());
        ts::Result client = run.ca.empty()
            ? ts::run({"/bin/sh", "-c", "printf 'hello\\n' | nc -w 2 127.0.0.1 " + std::to_string(port)})
            : ts::run({"/usr/bin/python3", std::string(TOVI_SOURCE_DIR) + "/tests/ssl/tls_client.py", "--port",
                       std::to_string(port), "--ca", subst(run.ca, vars), "--send", "68656c6c6f0a", "--recv", "6"});
        EXPECT_EQ(client.status, 0) << client.err;
        EXPECT_NE(client.out.find(run.ca.empty() ? "hello\n" : "68656c6c6f0a"), std::string::npos) << client.out;
        std::string status = ts::read_file("/proc/" + std::to_string(pid) + "/status");
        EXPECT_NE(status.find("\nUid:\t" + run.uid + "\t"), std::string::npos) << status;
        EXPECT_NE(ts::read_file(tmp / "srv/im/var/log/mux.log")
                      .find("Connected to server 127.0.0.1. Server using 3.0 protocol (port " + im_port +
                            ", address 127.0.0.1)"),
                  std::string::npos);
        ts::Result reload = ts::run({"/bin/bash", "-ec", subst(blocks["reload"], vars)}, 30000, {path});
        EXPECT_EQ(reload.status, 0) << reload.out << reload.err;
        EXPECT_TRUE(ts::wait_for([&] {
            return ts::read_file(tmp / "srv/im/var/log/mux.log").find("configuration reloaded from") != std::string::npos;
        }));
        ts::Result stop = ts::run({"/bin/bash", "-ec", subst(blocks["stop"], vars)}, 10000, {path});
        EXPECT_EQ(stop.status, 0) << stop.out;
        EXPECT_TRUE(ts::wait_for([&] { return !alive(pid); }, 10000));
        EXPECT_FALSE(has_regular_file(pidfile));
    }
}

}  // namespace
}  // namespace itest
