// The operator's path: the README's start, stop, -u and TLS steps run as
// they are written (the configuration check: the start-up failures; one
// group per instance directory with -r and -k: the metrics' forked case).
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
    if (ts::emulated()) GTEST_SKIP() << "the steps run the target's multiplexor by name, which only binfmt could run";
    auto blocks = readme_blocks();
    for (const char *name : {"setup", "start", "stop", "user", "tls", "reload"}) ASSERT_TRUE(blocks.count(name)) << name;
    const std::string pem =
        "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=localhost -addext "
        "subjectAltName=DNS:localhost -keyout /srv/im/k.pem -out /srv/im/c.pem 2>/dev/null";
    // clang-format off
    const ReadmeRun runs[] = {
        {"minimal start", {"setup", "start"}, "", "0"},
        {"-u nobody", {"setup", "user"}, "", std::to_string(getpwnam("nobody")->pw_uid)},
        {"TLS, trial certificate", {"setup", "tls"}, "/srv/im/config/trial-ca.pem", "0"},
        {"TLS, PEM files",
         {"setup", pem, "multiplexor-certdb /srv/im/config pem /srv/im/c.pem /srv/im/k.pem",
          "echo 'orv_mux.usessl = yes' >> /srv/im/config/orv.conf", "start"},
         "/srv/im/c.pem", "0"},
    };
    // clang-format on
    const std::string path = "PATH=" + build_dir() + "/bin:" + getenv("PATH");
    for (const ReadmeRun &run : runs) {
        SCOPED_TRACE(run.what);
        ts::TempDir tmp;
        chmod(tmp.path().c_str(), 0755);  // as /srv is
        Tool im("imserver", {"--listen", "127.0.0.1"});
        uint16_t port = free_port();
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
                      .find("Connected to server 127.0.0.1. Server using 3.0 protocol (port " + im_port + ", address 127.0.0.1)"),
                  std::string::npos);
        ts::Result reload = ts::run({"/bin/bash", "-ec", subst(blocks["reload"], vars)}, 30000, {path});
        EXPECT_EQ(reload.status, 0) << reload.out << reload.err;
        EXPECT_TRUE(ts::wait_for(
            [&] { return ts::read_file(tmp / "srv/im/var/log/mux.log").find("configuration reloaded from") != std::string::npos; }));
        ts::Result stop = ts::run({"/bin/bash", "-ec", subst(blocks["stop"], vars)}, 10000, {path});
        EXPECT_EQ(stop.status, 0) << stop.out;
        EXPECT_TRUE(ts::wait_for([&] { return !alive(pid); }, 10000));
        EXPECT_FALSE(has_regular_file(pidfile));
    }
}

}  // namespace
}  // namespace itest
