// Client SSL of the real multiplexor: TLS clients (Python's ssl module and
// openssl s_client) in front, a scripted IM server behind, the certificate
// database made with certutil.
#include <future>
#include <regex>

#include "integration_harness.h"
#include "ssl_certdb.h"

using namespace itest;

using ssltest::ssl_db;
using ssltest::to_hex;

class Ssl : public RelayFixture {
  protected:
    void SetUp() override {
        RelayFixture::SetUp();
        ASSERT_TRUE(ssl_db().ok) << "could not make the certificate database";
        inst.set("orv_mux.usessl", "yes");
        inst.set("orv_mux.secconfigdir", ssl_db().dir);
        inst.set("orv_mux.keystorepasswordfile", ssl_db().pwfile);
    }
    // Reads the open record of a client from 127.0.0.1 and returns its
    // number (numbers are reused as soon as a client has gone).
    int32_t open_record() {
        Record r = link.record();
        EXPECT_EQ(std::pair(r.type, hex(r.data)), std::pair(1, hex(Bytes("\x7f\x00\x00\x01", 4))));
        return r.type == 1 ? r.id : -1;
    }
    // Waits until the process holds n sockets. With SSL on, one of them is
    // the SSL layer's model socket, which accepted sockets copy.
    bool wait_sockets(size_t n) {
        bool ok = ts::wait_for([&] { return socket_inodes(mux.pid()).size() == n; }, 5000, 10);
        EXPECT_TRUE(ok) << "sockets: " << socket_inodes(mux.pid()).size() << ", want " << n;
        return ok;
    }
    // The Python client's command line with these arguments.
    std::vector<std::string> tls_client(const std::vector<std::string> &args) {
        std::vector<std::string> all = {
            "/usr/bin/python3", ssltest::ssl_script("tls_client.py"), "--port", std::to_string(mux.port()), "--ca", ssl_db().ca};
        all.insert(all.end(), args.begin(), args.end());
        return all;
    }
    // Runs the Python client in the background with these arguments.
    std::future<Result> python(const std::vector<std::string> &args, int timeout_ms = 15000) {
        return std::async(std::launch::async, [all = tls_client(args), timeout_ms] { return ts::run(all, timeout_ms); });
    }
    // One TLS client of `version` (and `args`) through the relay: its bytes
    // reach the server as a data record, the server's answer comes back
    // decrypted. The client's "VERSION CIPHER" line is kept in `first_line`.
    void relay_one(const std::string &version, std::vector<std::string> args = {}) {
        SCOPED_TRACE("TLS " + version);
        Bytes ask = "hello over TLS " + version, answer = "answer for TLS " + version;
        args.insert(args.end(), {"--tls", version, "--send", to_hex(ask), "--recv", std::to_string(answer.size())});
        auto client = python(args);
        if (!link.valid()) { ASSERT_NO_FATAL_FAILURE(accept_link()); }
        int32_t id = open_record();
        ASSERT_GT(id, 0);
        ASSERT_EQ(link.recv_n(9 + ask.size()), rec_data(id, ask));
        ASSERT_TRUE(link.send(rec_data(id, answer)));
        Result r = client.get();
        ASSERT_EQ(r.status, 0) << r.out << r.err;
        std::vector<std::string> out = ts::lines_of(r.out);
        ASSERT_EQ(out.size(), 2u) << r.out;
        first_line = out[0];
        EXPECT_EQ(first_line.substr(0, first_line.find(' ')), "TLSv" + version);
        EXPECT_EQ(out[1], to_hex(answer));
        EXPECT_EQ(link.recv_n(5, 5000), rec_close(id));
    }
    std::string first_line;
};

// Python clients of TLS 1.3 and 1.2, an openssl s_client (which ends with a
// close_notify) and one the server closes; each handshake logs exactly its own lines: every
// readiness event one "Triggering", all but the last finding the
// handshake still waiting for the client.
TEST_F(Ssl, TlsClientsAreRelayedAsDataRecordsAndLogTheirHandshakes) {
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_NO_FATAL_FAILURE(relay_one("1.3"));
    ASSERT_NO_FATAL_FAILURE(relay_one("1.2"));
    // s_client ends when its input does; the pause leaves time for the answer.
    auto client = std::async(std::launch::async, [&] {
        return ts::run({"/bin/sh", "-c",
                        "(printf 'ping from s_client'; sleep 1) | openssl s_client -brief -connect 127.0.0.1:" +
                            std::to_string(mux.port()) + " -servername localhost -CAfile " + ssl_db().ca + " -verify_return_error"},
                       15000);
    });
    int32_t id = open_record();
    ASSERT_EQ(link.recv_n(9 + 18), rec_data(id, "ping from s_client"));
    ASSERT_TRUE(link.send(rec_data(id, "pong from the server")));
    Result r = client.get();
    EXPECT_NE(r.out.find("pong from the server"), std::string::npos) << r.out << r.err;
    EXPECT_NE(r.err.find("Verification: OK"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("Protocol version: TLSv1.3"), std::string::npos) << r.err;
    EXPECT_EQ(link.recv_n(5, 5000), rec_close(id));
    // A client the server closes sees the TLS close-notify before the end of
    // the stream, not a bare end of the connection.
    client = python({"--send", to_hex("x"), "--recv", "1", "--closed"});
    id = open_record();
    ASSERT_EQ(link.recv_n(10), rec_data(id, "x"));
    ASSERT_TRUE(link.send(rec_data(id, "y") + rec_close(id)));
    r = client.get();
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    std::string log = inst.log(), lines;
    for (const std::string &l : ts::lines_of(log)) {
        size_t at = l.find("General ");
        if (at != std::string::npos && (ts::count_of(l, "andshake") || ts::count_of(l, "bad cert"))) lines += l.substr(at + 8) + "\n";
    }
    std::regex want(
        "((Debug: Triggering SSL handshake\nDebug: trigger_handshake: Try again\n)*"
        "Debug: Triggering SSL handshake\nDebug: SSL Handshake completed\n"
        "Debug: trigger_handshake: Handshake complete\n){4}");
    EXPECT_TRUE(std::regex_match(lines, want)) << lines;
    EXPECT_EQ(count_of(log, "Warning"), 0) << log;
    EXPECT_EQ(count_of(log, "SSL Initialized"), 1);
    EXPECT_EQ(count_of(log, "SSL Enabled"), 1);
}

// A balancer's PROXY header comes before the handshake: the handshake goes
// on right after it, and the open record names the client from the header.
TEST_F(Ssl, ProxyHeaderBeforeTheHandshakeNamesTheClient) {
    inst.set("orv_mux.proxy_trusted", "+127.0.0.1|255.255.255.255;");
    ASSERT_NO_FATAL_FAILURE(start());
    auto client = python({"--proxy", to_hex("PROXY TCP4 10.7.7.7 127.0.0.1 1 2\r\n"), "--send", to_hex("hi"), "--recv", "2"});
    ASSERT_NO_FATAL_FAILURE(accept_link());
    Record r = link.record();
    ASSERT_EQ(std::pair(r.type, hex(r.data)), std::pair(1, hex(Bytes("\x0a\x07\x07\x07", 4))));
    ASSERT_EQ(link.recv_n(11), rec_data(r.id, "hi"));
    ASSERT_TRUE(link.send(rec_data(r.id, "ok")));
    Result res = client.get();
    ASSERT_EQ(res.status, 0) << res.out << res.err;
    EXPECT_EQ(ts::lines_of(res.out).back(), to_hex("ok"));
}

// The nicknames come from the environment (the configuration key names
// only the first); one not in the database is a warning. The password file
// holds the password alone, without the token's name.
TEST_F(Ssl, RsaAndEcdsaCertificatesServeSideBySide) {
    inst.set("orv_mux.keystorepasswordfile", ssl_db().plain_pwfile);
    ASSERT_NO_FATAL_FAILURE(start({}, {"SSLEnable=yes", "SSLCertNickname=Server-Cert$Server-Cert-EC$Gone-Cert"}));
    EXPECT_TRUE(inst.wait_log("Warning: SSL: certificate \"Gone-Cert\" not found"));
    EXPECT_TRUE(inst.wait_log("Information: SSL Enabled"));
    for (const char *cipher : {"ECDHE-ECDSA-AES128-GCM-SHA256", "ECDHE-RSA-AES128-GCM-SHA256"}) {
        ASSERT_NO_FATAL_FAILURE(relay_one("1.2", {"--ciphers", cipher}));
        EXPECT_NE(first_line.find(cipher), std::string::npos) << first_line;
    }
}

TEST_F(Ssl, ClientWithAnUntrustedCertificateIsAcceptedWithOneWarning) {
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_NO_FATAL_FAILURE(relay_one("1.3", {"--cert", ssl_db().client_cert, "--key", ssl_db().client_key}));
    EXPECT_EQ(count_of(inst.log(), "Warning: [] bad cert, accepting anyway"), 1) << inst.log();
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
    ts::write_file(gate, "\n");
    Result r = client.get();
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "reused\n");
    EXPECT_EQ(count_of(inst.log(), "SSL Handshake completed"), 2);
}

// A client that does not read is closed at the same bound as a plain one.
TEST_F(Ssl, ClientThatDoesNotReadIsClosedAtTheSameBound) {
    inst.set("orv_mux.client_queue_max", "65536");
    ASSERT_NO_FATAL_FAILURE(start());
    ts::Child tls;
    ASSERT_TRUE(tls.spawn(tls_client({"--send", to_hex("x"), "--delay", "60"})));
    ASSERT_NO_FATAL_FAILURE(accept_link());
    int32_t id = open_record();
    Record r = link.record(10000);
    ASSERT_EQ(hex(rec_data(r.id, r.data)), hex(rec_data(id, "x")));
    const Bytes piece = pattern(16000, 6);
    for (int i = 0; i < 2000 && (r = link.record(0)).type == -1; i++) ASSERT_TRUE(link.send(rec_data(id, piece)));
    EXPECT_EQ(hex(rec_close(r.id)), hex(rec_close(id)));
    EXPECT_TRUE(inst.wait_log("Warning: [127.0.0.1][" + std::to_string(id) + "]: client queue over limit, closing."));
}

// --------------------------------------------------------- set-up failures

// A key set to a value ({db}: the database directory, {root}: the
// instance) and the warnings that must follow. The SSL layer's own tests
// see a wrong password and missing nicknames, the operator's tests a
// missing database.
struct SetupFailure {
    const char *name, *key, *value;
    std::vector<std::string> warnings;
};
void PrintTo(const SetupFailure &row, std::ostream *os) { *os << row.name; }

class SslSetupFailure : public Ssl, public ::testing::WithParamInterface<SetupFailure> {
  protected:
    std::string fill(const std::string &s) { return subst(s, {{"{db}", ssl_db().dir}, {"{root}", inst.root()}}); }
};

// The process logs the failure, says why on standard error, removes its
// pid file and ends with 1 without ever accepting a client.
TEST_P(SslSetupFailure, IsLoggedAndEndsTheProcessInOrder) {
    inst.set(GetParam().key, fill(GetParam().value));
    inst.write_config();
    ASSERT_TRUE(mux.start(inst));
    EXPECT_EQ(mux.wait_exit(10000), 1) << mux.err();
    EXPECT_EQ(mux.err().rfind("multiplexor: SSL Init failed: " + fill(GetParam().warnings[0]), 0), 0u) << mux.err();
    std::string log = inst.log();
    EXPECT_EQ(count_of(log, "Error: SSL Init failed"), 1) << log;
    for (const std::string &w : GetParam().warnings) EXPECT_NE(log.find("Warning: " + fill(w)), std::string::npos) << w;
    EXPECT_EQ(count_of(log, "SSL Enabled") + count_of(log, "Restarting the multiplexor"), 0);
    EXPECT_NE(log.find("Notice: exiting"), std::string::npos);
    EXPECT_NE(access(inst.pid_path().c_str(), F_OK), 0) << "pid file left behind";
}

INSTANTIATE_TEST_SUITE_P(Ssl, SslSetupFailure,
                         // clang-format off
    ::testing::Values(
        SetupFailure{"MissingPasswordFile", "orv_mux.keystorepasswordfile", "nowhere.conf",
                     {"SSL: cannot read the password file {db}/nowhere.conf"}},
        SetupFailure{"SessionCacheDirectoryMissing", "orv_mux.sslcache", "{root}/nocache",
                     {"SSL: cannot set up the session cache in {root}/nocache"}}),
                         // clang-format on
                         [](const auto &info) { return std::string(info.param.name); });

// --------------------------------------------------------- unfinished handshakes

// A silent client does not count as a session and is closed after the time
// limit; a plain-text one is closed at once with its own warning (not left
// to the limit); neither ever reaches the server.
TEST_F(Ssl, UnfinishedHandshakesDoNotCountAndAreClosedAfterTheTimeLimit) {
    inst.set("orv_mux.maxsessions", "1");
    inst.set("orv_mux.sslhandshaketimeout", "2");
    ASSERT_NO_FATAL_FAILURE(start());
    Stream silent = connect_to(mux.port()), plain = connect_to(mux.port());  // the silent one makes the link
    auto t0 = Clock::now();
    ASSERT_NO_FATAL_FAILURE(accept_link());
    ASSERT_TRUE(plain.send("GET / HTTP/1.0\r\nHost: localhost\r\n\r\n"));
    // With one session allowed, a real client still gets in.
    ASSERT_NO_FATAL_FAILURE(relay_one("1.3"));
    EXPECT_EQ(count_of(inst.log(), "Reached MAX Sessions"), 0);
    EXPECT_TRUE(silent.closed_within(5000));
    EXPECT_TRUE(plain.closed_within(5000));
    EXPECT_GE(Clock::now() - t0, milliseconds(1800));
    EXPECT_TRUE(inst.wait_log("Warning: [127.0.0.1] SSL handshake not completed within 2 seconds, closing"));
    EXPECT_TRUE(inst.wait_log("Warning: [127.0.0.1] SSL handshake: first bytes are not TLS, closing"));
    EXPECT_EQ(count_of(inst.log(), "Warning"), 2) << inst.log();
    EXPECT_EQ(count_of(inst.log(), "SSL Handshake completed"), 1);
    EXPECT_EQ(hex(link.recv_for(200)), "");
}

// A client that leaves during its handshake is released at once; one still
// handshaking when the link goes is closed with its cycle.
TEST_F(Ssl, HandshakesEndWithTheirClientOrTheirCycle) {
    ASSERT_NO_FATAL_FAILURE(start());
    Stream quitter = connect_to(mux.port());
    ASSERT_TRUE(quitter.valid());
    ASSERT_NO_FATAL_FAILURE(accept_link());
    ASSERT_TRUE(wait_sockets(4));  // listening socket, SSL model, link, the client
    // Half a hello, then gone: the handshake is under way when the client closes.
    ASSERT_TRUE(quitter.send(Bytes("\x16\x03\x01\x02\x00\x01", 6)));
    quitter.close();
    EXPECT_TRUE(inst.wait_log("Warning: trigger_handshake: Connection closed by client"));
    EXPECT_TRUE(wait_sockets(3)) << "the socket of a client that left was kept";
    ASSERT_NO_FATAL_FAILURE(relay_one("1.3"));
    Stream silent = connect_to(mux.port());
    ASSERT_TRUE(wait_sockets(4));
    ASSERT_TRUE(link.send(rec_bye()));
    EXPECT_TRUE(silent.closed_within(5000)) << "a handshake outlived its cycle";
    EXPECT_TRUE(inst.wait_log("Restarting the multiplexor", 2));
    EXPECT_TRUE(wait_sockets(2));
}

// --------------------------------------------------------- load and stop

TEST_F(Ssl, HundredsOfConcurrentHandshakesAllComplete) {
    if (ts::emulated()) GTEST_SKIP() << "300 emulated RSA signatures do not fit the clients' 40-second limit";
    Tool im("imserver", {"--mode", "echo"});  // every client gets its own line back
    ASSERT_NE(im.port(), 0);
    inst.server_port(im.port());
    ASSERT_NO_FATAL_FAILURE(start());
    Result r = python({"--parallel", "300", "--timeout", "40"}, 60000).get();
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("ok 300"), std::string::npos) << r.out << r.err;
    EXPECT_EQ(count_of(inst.log(), "SSL Handshake completed"), 300);
    EXPECT_EQ(count_of(inst.log(), "Warning"), 0);
    mux.stop();
    EXPECT_EQ(count_of(inst.log(), "NSS_Shutdown failed"), 0);
}

// The load generator's TLS mode through the relay to the echo server:
// every byte of small records, whole records and records that arrive
// together comes back intact and in order.
TEST_F(Ssl, LoadgenTlsStreamsAndPingsComeBackIntact) {
    Tool im("imserver", {"--mode", "echo"});
    ASSERT_NE(im.port(), 0);
    inst.server_port(im.port());
    ASSERT_NO_FATAL_FAILURE(start());
    const std::vector<std::string> rows[] = {
        {"--mode", "stream", "--conns", "4", "--size", "16384", "--threads", "2"},
        {"--mode", "stream", "--conns", "2", "--size", "100", "--window", "5000"},
        {"--mode", "ping", "--conns", "50", "--size", "64"},
    };
    for (auto &row : rows) {
        std::vector<std::string> args = {"--target", "127.0.0.1:" + std::to_string(mux.port()), "--tls", "--duration", "0.5", "--json"};
        args.insert(args.end(), row.begin(), row.end());
        Result r = run_bin("loadgen", args, 60000);
        SCOPED_TRACE(row[1] + " " + row[5] + ": " + r.out + r.err);
        EXPECT_EQ(r.status, 0);
        EXPECT_NE(r.out.find("\"mismatches\":0,"), std::string::npos);
    }
    EXPECT_EQ(count_of(inst.log(), "Warning"), 0);
}

TEST_F(Ssl, StopWhileClientsAreConnectedAndHandshakingShutsNssDownCleanly) {
    ASSERT_NO_FATAL_FAILURE(start());
    auto holder = python({"--tls", "1.3", "--send", to_hex("stay"), "--hold", "5"});
    ASSERT_NO_FATAL_FAILURE(accept_link());
    ASSERT_EQ(open_record(), 1);
    ASSERT_EQ(link.recv_n(13), rec_data(1, "stay"));
    Stream silent = connect_to(mux.port());
    ASSERT_TRUE(silent.valid());
    ASSERT_TRUE(wait_sockets(5));  // listening socket, SSL model, link, the connected client, the silent one
    mux.stop();
    std::string log = inst.log();
    EXPECT_NE(log.find("Notice: exiting"), std::string::npos);
    EXPECT_EQ(count_of(log, "NSS_Shutdown failed"), 0) << log;
    EXPECT_TRUE(silent.closed_within(2000));
    holder.wait_for(std::chrono::seconds(10));
}
