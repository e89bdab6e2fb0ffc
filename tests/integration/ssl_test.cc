// Client SSL of the real multiplexor: TLS clients (Python's ssl module and
// openssl s_client) in front, a scripted IM server behind, the certificate
// database made with certutil.
#include <fstream>
#include <future>
#include <regex>

#include "integration_harness.h"
#include "ssl_certdb.h"

namespace itest {
namespace {

using ssltest::ssl_db;

const char kPython[] = "/usr/bin/python3";

std::string unhex(const std::string &hexline) {
    std::string out;
    for (size_t i = 0; i + 1 < hexline.size(); i += 2) out += char(strtoul(hexline.substr(i, 2).c_str(), nullptr, 16));
    return out;
}

// Lines of `text` that contain one of the handshake's own messages, with
// the log prefix cut off.
std::vector<std::string> handshake_lines(const std::string &text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        size_t at = line.find("General ");
        if (at == std::string::npos) continue;
        std::string msg = line.substr(at + 8);
        if (msg.find("andshake") != std::string::npos || msg.find("bad cert") != std::string::npos) out.push_back(msg);
    }
    return out;
}

// A helper program in its own process group, ended with it.
class Spawned {
  public:
    explicit Spawned(const std::vector<std::string> &args) {
        pid_ = fork();
        if (pid_ == 0) {
            setpgid(0, 0);
            int devnull = open("/dev/null", O_RDWR);
            dup2(devnull, 0);
            dup2(devnull, 1);
            std::vector<char *> av;
            for (auto &a : args) av.push_back(const_cast<char *>(a.c_str()));
            av.push_back(nullptr);
            execv(av[0], av.data());
            _exit(127);
        }
        if (pid_ > 0) setpgid(pid_, pid_);
    }
    ~Spawned() {
        if (pid_ <= 0) return;
        kill(-pid_, SIGTERM);
        int st;
        for (int i = 0; i < 300; i++) {
            if (waitpid(pid_, &st, WNOHANG) == pid_) return;
            std::this_thread::sleep_for(milliseconds(10));
        }
        kill(-pid_, SIGKILL);
        waitpid(pid_, &st, 0);
    }
    Spawned(const Spawned &) = delete;
    Spawned &operator=(const Spawned &) = delete;

  private:
    pid_t pid_ = -1;
};

// Sockets the process holds open. With SSL on, one of them is the SSL
// layer's model socket, which accepted sockets copy their settings from.
int socket_count(pid_t pid) {
    int n = 0;
    std::string fddir = "/proc/" + std::to_string(pid) + "/fd";
    if (DIR *d = opendir(fddir.c_str())) {
        while (dirent *e = readdir(d)) {
            char target[64];
            ssize_t k = readlink((fddir + "/" + e->d_name).c_str(), target, sizeof target - 1);
            if (k > 0 && strncmp(target, "socket:", 7) == 0) n++;
        }
        closedir(d);
    }
    return n;
}

class Ssl : public RelayFixture {
  protected:
    // Reads the open record of a client from 127.0.0.1 and returns its
    // number (numbers are reused as soon as a client has gone).
    int32_t open_record() {
        Bytes r = link.recv_n(9);
        EXPECT_EQ(hex(r.substr(0, 1) + r.substr(5)), hex(Bytes("\x01\x7f\x00\x00\x01", 5)));
        if (r.size() != 9) return -1;
        return int32_t((uint8_t(r[1]) << 24) | (uint8_t(r[2]) << 16) | (uint8_t(r[3]) << 8) | uint8_t(r[4]));
    }
    bool wait_sockets(int n, int timeout_ms = 5000) {
        auto deadline = Clock::now() + milliseconds(timeout_ms);
        while (Clock::now() < deadline) {
            if (socket_count(mux.pid()) == n) return true;
            std::this_thread::sleep_for(milliseconds(10));
        }
        ADD_FAILURE() << "sockets: " << socket_count(mux.pid()) << ", want " << n;
        return false;
    }

    void SetUp() override {
        RelayFixture::SetUp();
        ASSERT_TRUE(ssl_db().ok) << "could not make the certificate database";
        inst.set("orv_mux.usessl", "yes");
        inst.set("orv_mux.secconfigdir", ssl_db().dir);
        inst.set("orv_mux.keystorepasswordfile", ssl_db().pwfile);
    }

    // Runs the Python client in the background with these arguments.
    std::future<Result> python(std::vector<std::string> args, int timeout_ms = 15000) {
        std::vector<std::string> all = {kPython, ssltest::ssl_script("tls_client.py"), "--port",
                                        std::to_string(mux.port()), "--ca", ssl_db().ca};
        all.insert(all.end(), args.begin(), args.end());
        return std::async(std::launch::async, [all, timeout_ms] { return run_program(all, timeout_ms); });
    }

    // One TLS client of `version` through the relay: its bytes reach the
    // server as a data record, the server's answer comes back decrypted.
    void relay_one(const std::string &version, bool first) {
        SCOPED_TRACE("TLS " + version);
        Bytes ask = "hello over TLS " + version, answer = "answer for TLS " + version;
        auto client = python({"--tls", version, "--send", ssltest::to_hex(ask), "--recv", std::to_string(answer.size())});
        if (first) {
            ASSERT_NO_FATAL_FAILURE(accept_link());
        }
        int32_t id = open_record();
        ASSERT_GT(id, 0);
        ASSERT_EQ(link.recv_n(9 + ask.size()), rec_data(id, ask));
        ASSERT_TRUE(link.send(rec_data(id, answer)));
        Result r = client.get();
        ASSERT_TRUE(r.exited) << r.err;
        ASSERT_EQ(r.status, 0) << r.out << r.err;
        std::istringstream out(r.out);
        std::string proto, cipher, got;
        out >> proto >> cipher >> got;
        EXPECT_EQ(proto, "TLSv" + version);
        EXPECT_EQ(unhex(got), answer);
        EXPECT_EQ(link.recv_n(5, 5000), rec_close(id));
    }
};

TEST_F(Ssl, PythonClientsOfTls12AndTls13AreRelayedAsDataRecords) {
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_NO_FATAL_FAILURE(relay_one("1.3", true));
    ASSERT_NO_FATAL_FAILURE(relay_one("1.2", false));
    std::string log = inst.log();
    EXPECT_EQ(count_of(log, "SSL Initialized"), 1);
    EXPECT_EQ(count_of(log, "SSL Enabled"), 1);
}

// A client the server closes sees the TLS close-notify before the end of
// the stream, not a bare end of the connection.
TEST_F(Ssl, ServerCloseEndsTheClientWithCloseNotify) {
    ASSERT_NO_FATAL_FAILURE(start());
    auto client = python({"--send", ssltest::to_hex("x"), "--recv", "1", "--closed"});
    ASSERT_NO_FATAL_FAILURE(accept_link());
    int32_t id = open_record();
    ASSERT_EQ(link.recv_n(10), rec_data(id, "x"));
    ASSERT_TRUE(link.send(rec_data(id, "y") + rec_close(id)));
    Result r = client.get();
    EXPECT_EQ(r.status, 0) << r.out << r.err;
}

TEST_F(Ssl, OpensslClientOfTls12AndTls13) {
    ASSERT_NO_FATAL_FAILURE(start());
    for (const char *flag : {"-tls1_3", "-tls1_2"}) {
        SCOPED_TRACE(flag);
        // s_client ends when its input does; the pause leaves time for the
        // answer to come back first.
        std::string cmd = "(printf 'ping from s_client'; sleep 1) | openssl s_client -brief -connect 127.0.0.1:" +
                          std::to_string(mux.port()) + " " + flag + " -servername localhost -CAfile " +
                          ssl_db().ca + " -verify_return_error";
        auto client = std::async(std::launch::async, [cmd] { return run_program({"/bin/sh", "-c", cmd}, 15000); });
        if (!link.valid()) {
            ASSERT_NO_FATAL_FAILURE(accept_link());
        }
        int32_t id = open_record();
        ASSERT_EQ(link.recv_n(9 + 18), rec_data(id, "ping from s_client"));
        ASSERT_TRUE(link.send(rec_data(id, "pong from the server")));
        Result r = client.get();
        EXPECT_TRUE(r.exited);
        EXPECT_NE(r.out.find("pong from the server"), std::string::npos) << r.out << r.err;
        EXPECT_NE(r.err.find("Verification: OK"), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(std::string("Protocol version: TLSv1.") + (flag[6] == '3' ? "3" : "2")), std::string::npos)
            << r.err;
        EXPECT_EQ(link.recv_n(5, 5000), rec_close(id));
    }
}

TEST_F(Ssl, RsaAndEcdsaCertificatesServeSideBySide) {
    // Both nicknames come from the environment: the configuration key names
    // only the first.
    ASSERT_NO_FATAL_FAILURE(start({}, {"SSLEnable=yes", "SSLCertNickname=Server-Cert$Server-Cert-EC"}));
    for (const char *cipher : {"ECDHE-ECDSA-AES128-GCM-SHA256", "ECDHE-RSA-AES128-GCM-SHA256"}) {
        SCOPED_TRACE(cipher);
        auto client = python({"--tls", "1.2", "--ciphers", cipher, "--send", ssltest::to_hex("x"), "--recv", "1"});
        if (!link.valid()) {
            ASSERT_NO_FATAL_FAILURE(accept_link());
        }
        int32_t id = open_record();
        ASSERT_EQ(link.recv_n(10), rec_data(id, "x"));
        ASSERT_TRUE(link.send(rec_data(id, "y")));
        Result r = client.get();
        ASSERT_EQ(r.status, 0) << r.out << r.err;
        EXPECT_NE(r.out.find(cipher), std::string::npos) << r.out;
        EXPECT_EQ(link.recv_n(5, 5000), rec_close(id));
    }
}

TEST_F(Ssl, LargeRecordsReadInPiecesDoNotStall) {
    ASSERT_NO_FATAL_FAILURE(start());
    // One 16 KiB write is one TLS record; the relay reads at most 4087 bytes
    // at a time, so most of it waits inside the SSL layer, not in the socket.
    Bytes big;
    for (int i = 0; i < 16384; i++) big += char('a' + i % 26);
    Bytes back;
    for (int i = 0; i < 16384; i++) back += char('A' + i % 26);
    auto client = python({"--tls", "1.3", "--send", ssltest::to_hex(big), "--recv", std::to_string(back.size())});
    ASSERT_NO_FATAL_FAILURE(accept_link());
    ASSERT_EQ(hex(link.recv_n(9)), hex(rec_open(1, 127, 0, 0, 1)));
    Bytes relayed;
    auto deadline = Clock::now() + milliseconds(5000);
    while (relayed.size() < big.size() && Clock::now() < deadline) {
        Bytes head = link.recv_n(9, remaining_ms(deadline));
        ASSERT_EQ(head.size(), 9u) << "stalled after " << relayed.size() << " bytes";
        ASSERT_EQ(head[0], '\x03');
        uint32_t n = (uint8_t(head[5]) << 24) | (uint8_t(head[6]) << 16) | (uint8_t(head[7]) << 8) | uint8_t(head[8]);
        ASSERT_LE(n, 4087u);
        relayed += link.recv_n(n, remaining_ms(deadline));
    }
    ASSERT_EQ(relayed.size(), big.size());
    EXPECT_TRUE(relayed == big);
    // And the other way: one record from the server becomes TLS records the
    // client decrypts whole.
    ASSERT_TRUE(link.send(rec_data(1, back)));
    Result r = client.get();
    ASSERT_EQ(r.status, 0) << r.err;
    std::istringstream out(r.out);
    std::string proto, cipher, got;
    out >> proto >> cipher >> got;
    EXPECT_TRUE(unhex(got) == back);
}

TEST_F(Ssl, OneHandshakeLogsExactlyItsLines) {
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_NO_FATAL_FAILURE(relay_one("1.3", true));
    std::vector<std::string> lines = handshake_lines(inst.log());
    // Every readiness event logs one "Triggering"; all but the last find the
    // handshake still waiting for the client.
    ASSERT_GE(lines.size(), 3u);
    std::string joined;
    for (auto &l : lines) joined += l + "\n";
    std::regex want(
        "(Debug: Triggering SSL handshake\nDebug: trigger_handshake: Try again\n)*"
        "Debug: Triggering SSL handshake\n"
        "Debug: SSL Handshake completed\n"
        "Debug: trigger_handshake: Handshake complete\n");
    EXPECT_TRUE(std::regex_match(joined, want)) << joined;
    EXPECT_EQ(count_of(inst.log(), "Warning"), 0) << inst.log();
}

TEST_F(Ssl, ClientWithAnUntrustedCertificateIsAcceptedWithOneWarning) {
    ASSERT_NO_FATAL_FAILURE(start());
    auto client = python({"--tls", "1.3", "--cert", ssl_db().client_cert, "--key", ssl_db().client_key, "--send",
                          ssltest::to_hex("hi"), "--recv", "2"});
    ASSERT_NO_FATAL_FAILURE(accept_link());
    ASSERT_EQ(hex(link.recv_n(9)), hex(rec_open(1, 127, 0, 0, 1)));
    ASSERT_EQ(link.recv_n(11), rec_data(1, "hi"));
    ASSERT_TRUE(link.send(rec_data(1, "ho")));
    Result r = client.get();
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(count_of(inst.log(), "Warning: [] bad cert, accepting anyway"), 1) << inst.log();
}

// --------------------------------------------------------- set-up failures

class SslSetupFailure : public Ssl {
  protected:
    // The process must log the failure, say why on standard error, remove
    // its pid file and end with 1 without ever accepting a client.
    void expect_orderly_failure(const std::string &warning) {
        inst.write_config();
        ASSERT_TRUE(mux.start(inst));
        EXPECT_EQ(mux.wait_exit(10000), 1) << mux.err();
        EXPECT_EQ(mux.err().rfind("multiplexor: SSL Init failed: ", 0), 0u) << mux.err();
        EXPECT_NE(mux.err().find(warning), std::string::npos) << mux.err();
        std::string log = inst.log();
        EXPECT_EQ(count_of(log, "Error: SSL Init failed"), 1) << log;
        EXPECT_EQ(count_of(log, "SSL Enabled"), 0);
        EXPECT_NE(log.find("Warning: " + warning), std::string::npos) << log;
        EXPECT_NE(log.find("Notice: exiting"), std::string::npos);
        EXPECT_EQ(count_of(log, "Restarting the multiplexor"), 0);
        EXPECT_NE(access(inst.pid_path().c_str(), F_OK), 0) << "pid file left behind";
    }
};

TEST_F(SslSetupFailure, WrongPassword) {
    inst.set("orv_mux.keystorepasswordfile", ssl_db().wrong_pwfile);
    expect_orderly_failure("SSL: the password in " + ssl_db().wrong_pwfile + " does not unlock the key database");
}

TEST_F(SslSetupFailure, MissingPasswordFile) {
    inst.set("orv_mux.keystorepasswordfile", "nowhere.conf");
    expect_orderly_failure("SSL: cannot read the password file " + ssl_db().dir + "/nowhere.conf");
}

TEST_F(SslSetupFailure, MissingNickname) {
    inst.set("orv_mux.certnickname", "No-Such-Cert");
    expect_orderly_failure("SSL: certificate \"No-Such-Cert\" not found");
    EXPECT_NE(inst.log().find("Warning: SSL: no usable server certificate"), std::string::npos);
}

TEST_F(SslSetupFailure, SessionCacheDirectoryMissing) {
    inst.set("orv_mux.sslcache", inst.root() + "/nocache");
    expect_orderly_failure("SSL: cannot set up the session cache in " + inst.root() + "/nocache");
}

TEST_F(SslSetupFailure, MissingDatabase) {
    inst.set("orv_mux.secconfigdir", inst.root() + "/nodb");
    expect_orderly_failure("SSL: cannot open the certificate databases in " + inst.root() + "/nodb");
}

TEST_F(Ssl, PasswordFileWithoutTokenNameAndAMissingSecondNickname) {
    inst.set("orv_mux.keystorepasswordfile", ssl_db().plain_pwfile);
    ASSERT_NO_FATAL_FAILURE(start({}, {"SSLEnable=yes", "SSLCertNickname=Server-Cert$Gone-Cert"}));
    EXPECT_TRUE(inst.wait_log("Warning: SSL: certificate \"Gone-Cert\" not found"));
    EXPECT_TRUE(inst.wait_log("Information: SSL Enabled"));
    ASSERT_NO_FATAL_FAILURE(relay_one("1.2", true));
}

TEST_F(Ssl, SessionCacheResumesTls12Sessions) {
    inst.set("orv_mux.sslcache", inst.var());
    ASSERT_NO_FATAL_FAILURE(start());
    // The server caches a session as its handshake completes, which may be
    // just after the client saw its last flight; the client offers the
    // session again only once the multiplexor has logged the completion.
    std::string gate = inst.root() + "/resume-gate";
    auto client = python({"--tls", "1.2", "--resume", "--gate", gate});
    ASSERT_NO_FATAL_FAILURE(accept_link());
    EXPECT_TRUE(inst.wait_log("SSL Handshake completed", 1, 10000));
    { std::ofstream(gate).put('\n'); }
    Result r = client.get();
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "reused\n");
    EXPECT_EQ(count_of(inst.log(), "SSL Handshake completed"), 2);
}

// --------------------------------------------------------- unfinished handshakes

TEST_F(Ssl, SilentClientDoesNotCountAndIsClosedAfterTheTimeLimit) {
    inst.set("orv_mux.maxsessions", "1");
    inst.set("orv_mux.sslhandshaketimeout", "2");
    ASSERT_NO_FATAL_FAILURE(start());
    // The silent client makes the link and then never speaks.
    Stream silent = connect_to(mux.port());
    ASSERT_TRUE(silent.valid());
    auto t0 = Clock::now();
    ASSERT_NO_FATAL_FAILURE(accept_link());
    // With one session allowed, a real client still gets in.
    ASSERT_NO_FATAL_FAILURE(relay_one("1.3", false));
    EXPECT_EQ(count_of(inst.log(), "Reached MAX Sessions"), 0);
    EXPECT_TRUE(silent.closed_within(5000));
    EXPECT_GE(Clock::now() - t0, milliseconds(1800));
    EXPECT_TRUE(inst.wait_log("Warning: [127.0.0.1] SSL handshake not completed within 2 seconds, closing"));
    EXPECT_EQ(hex(link.recv_for(200)), "") << "the silent client never reaches the server";
}

TEST_F(Ssl, PlaintextClientIsClosedAndNeverReachesTheServer) {
    inst.set("orv_mux.sslhandshaketimeout", "2");
    ASSERT_NO_FATAL_FAILURE(start());
    Stream plain = connect_to(mux.port());
    ASSERT_TRUE(plain.valid());
    ASSERT_NO_FATAL_FAILURE(accept_link());
    ASSERT_TRUE(plain.send("GET / HTTP/1.0\r\nHost: localhost\r\n\r\n"));
    EXPECT_TRUE(plain.closed_within(5000));
    EXPECT_EQ(hex(link.recv_for(300)), "");
    std::string log = inst.log();
    EXPECT_EQ(count_of(log, "SSL Handshake completed"), 0);
}

TEST_F(Ssl, ClientClosingDuringTheHandshakeIsReleased) {
    ASSERT_NO_FATAL_FAILURE(start());
    Stream quitter = connect_to(mux.port());
    ASSERT_TRUE(quitter.valid());
    ASSERT_NO_FATAL_FAILURE(accept_link());
    // Listening socket, SSL model, link, the client.
    ASSERT_TRUE(wait_sockets(4));
    // Half a hello, then gone: the handshake is under way when the client
    // closes.
    ASSERT_TRUE(quitter.send(Bytes("\x16\x03\x01\x02\x00\x01", 6)));
    quitter.close();
    EXPECT_TRUE(inst.wait_log("Warning: trigger_handshake: Connection closed by client"));
    EXPECT_TRUE(wait_sockets(3)) << "the socket of a client that left was kept";
    ASSERT_NO_FATAL_FAILURE(relay_one("1.3", false));
}

TEST_F(Ssl, LostServerLinkClosesHandshakesOfThatCycle) {
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_NO_FATAL_FAILURE(relay_one("1.2", true));
    Stream silent = connect_to(mux.port());
    ASSERT_TRUE(silent.valid());
    ASSERT_TRUE(wait_sockets(4));
    ASSERT_TRUE(link.send(rec_bye()));
    EXPECT_TRUE(silent.closed_within(5000)) << "a handshake outlived its cycle";
    EXPECT_TRUE(inst.wait_log("Restarting the multiplexor", 2));
    EXPECT_TRUE(wait_sockets(2));
}

// --------------------------------------------------------- load and stop

TEST_F(Ssl, HundredsOfConcurrentHandshakesAllComplete) {
    // A real echoing server: every client gets its own line back.
    std::string port_file = inst.root() + "/im.port";
    Spawned im({bin_path("imserver"), "--mode", "echo", "--listen", "127.0.0.1", "--port", "0", "--port-file",
                port_file});
    uint16_t im_port = 0;
    for (int i = 0; i < 500 && !im_port; i++) {
        im_port = uint16_t(atoi(read_file(port_file).c_str()));
        if (!im_port) std::this_thread::sleep_for(milliseconds(10));
    }
    ASSERT_NE(im_port, 0);
    inst.server_port(im_port);
    ASSERT_NO_FATAL_FAILURE(start());
    auto client = python({"--parallel", "300", "--timeout", "40"}, 60000);
    Result r = client.get();
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("ok 300"), std::string::npos) << r.out << r.err;
    EXPECT_EQ(count_of(inst.log(), "SSL Handshake completed"), 300);
    EXPECT_EQ(count_of(inst.log(), "Warning"), 0);
    mux.signal(SIGTERM);
    EXPECT_EQ(mux.wait_exit(10000), 0);
    EXPECT_EQ(count_of(inst.log(), "NSS_Shutdown failed"), 0);
}

TEST_F(Ssl, StopWhileClientsAreConnectedAndHandshakingShutsNssDownCleanly) {
    ASSERT_NO_FATAL_FAILURE(start());
    auto holder = python({"--tls", "1.3", "--send", ssltest::to_hex("stay"), "--hold", "5"});
    ASSERT_NO_FATAL_FAILURE(accept_link());
    ASSERT_EQ(hex(link.recv_n(9)), hex(rec_open(1, 127, 0, 0, 1)));
    ASSERT_EQ(link.recv_n(13), rec_data(1, "stay"));
    Stream silent = connect_to(mux.port());
    ASSERT_TRUE(silent.valid());
    // Listening socket, SSL model, link, the connected client, the silent one.
    ASSERT_TRUE(wait_sockets(5));
    mux.signal(SIGTERM);
    EXPECT_EQ(mux.wait_exit(10000), 0) << mux.err();
    std::string log = inst.log();
    EXPECT_NE(log.find("Notice: exiting"), std::string::npos);
    EXPECT_EQ(count_of(log, "NSS_Shutdown failed"), 0) << log;
    EXPECT_TRUE(silent.closed_within(2000));
    holder.wait_for(std::chrono::seconds(10));
}

}  // namespace
}  // namespace itest
