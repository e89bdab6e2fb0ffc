// Live metrics: scraped with curl and read by the reference text-format
// parser, counted against the traffic the test made; every other request
// gets a clean HTTP error; silent scrapers neither hold up the relay nor
// stay; forked processes under their pids, on the instance where one group
// per instance directory is checked with -r and -k.
#include "integration_harness.h"
#include "test_support.h"

namespace itest {
namespace {

const char kListening[] = "metrics: listening on http://127.0.0.1:";

class Metrics : public RelayFixture {
  protected:
    void start_metrics(const std::vector<std::string> &args = {}, const std::vector<std::string> &env = {}) {
        inst.set("orv_mux.metrics_listen", "127.0.0.1:0");
        inst.write_config();
        ASSERT_TRUE(mux.start(inst, args, env));
        ASSERT_TRUE(inst.wait_log(kListening)) << mux.err();
        std::string log = inst.log();
        mport = uint16_t(atoi(log.c_str() + log.find(kListening) + strlen(kListening)));
        ASSERT_NE(mux.wait_port(inst.pid_path(), 5000, mport), 0) << mux.err();
    }
    // One scrape by curl, as the reference parser reads it.
    std::string scrape() {
        ts::Result c = ts::run({"/usr/bin/curl", "-sS", "--max-time", "5", "-D", tmp / "head", "-o", tmp / "body",
                                "http://127.0.0.1:" + std::to_string(mport) + "/metrics"});
        EXPECT_EQ(c.status, 0) << c.err;
        EXPECT_NE(ts::read_file(tmp / "head").find("Content-Type: text/plain; version=0.0.4"), std::string::npos);
        ts::Result p = ts::run({"/usr/bin/python3", TOVI_SOURCE_DIR "/tests/integration/prom_text.py", tmp / "body"});
        EXPECT_EQ(p.status, 0) << p.err << ts::read_file(tmp / "body");
        return p.out;
    }
    std::string sample(const char *name, const std::string &labels = "") {
        return std::string(name) + "{pid=" + std::to_string(mux.pid()) + labels + "} ";
    }
    uint16_t mport = 0;
    ts::TempDir tmp;
};

TEST_F(Metrics, ScrapeCountsTheTrafficOfTheTestOtherRequestsGetCleanErrorsAndSilentScrapersGo) {
    ASSERT_NO_FATAL_FAILURE(start_metrics({}, {"Access=-127.0.0.2|255.255.255.255;"}));
    ASSERT_NO_FATAL_FAILURE(add_client(1));
    Stream refused = connect_to(mux.port(), "127.0.0.2");
    EXPECT_TRUE(refused.closed_within(5000));
    script({client_sends(0, "hello"), server_gets(rec_data(1, "hello")), server_sends(rec_data(1, "world!")), client_gets(0, "world!"),
            client_closes(0), server_gets(rec_close(1))});
    ASSERT_TRUE(inst.wait_log("[127.0.0.1][1]: client closed."));
    std::string samples = scrape();
    const std::pair<std::string, int> want[] = {
        {sample("mux_sessions_total"), 1},
        {sample("mux_sessions_active"), 0},
        {sample("mux_sessions_refused_total", ",reason=access_list"), 1},
        {sample("mux_sessions_refused_total", ",reason=session_limit"), 0},
        {sample("mux_client_received_bytes_total"), 5},
        {sample("mux_client_sent_bytes_total"), 6},
        {sample("mux_server_sent_records_total"), 3},  // open, data, close
        {sample("mux_server_sent_bytes_total"), 9 + 14 + 5},
        {sample("mux_server_received_records_total"), 1},
        {sample("mux_server_received_bytes_total"), 15},
        {sample("mux_server_link_up"), 1},
        {sample("mux_server_link_ups_total"), 1},
        {sample("mux_cycles_total"), 1},
        {sample("mux_ssl_handshakes_total", ",result=failed"), 0},
    };
    for (const auto &[line, value] : want)
        EXPECT_NE(samples.find(line + std::to_string(value) + "\n"), std::string::npos) << line << "\n" << samples;
    // Every other request gets a clean HTTP error.
    const struct {
        Bytes request;
        const char *status;
        bool counters;
    } rows[] = {
        {"GET /metrics HTTP/1.0\r\n\r\n", "HTTP/1.1 200 OK\r\n", true},
        {"\r\nHEAD /metrics?x=1 HTTP/1.1\nHost: a\n\n", "HTTP/1.1 200 OK\r\n", false},
        {"GET /other HTTP/1.1\r\nHost: a\r\n\r\n", "HTTP/1.1 404 Not Found\r\n", false},
        {"POST /metrics HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc", "HTTP/1.1 405 Method Not Allowed\r\n", false},
        {"garbage\r\n\r\n", "HTTP/1.1 400 Bad Request\r\n", false},
        {Bytes("\x16\x03\x01\x00\x05hello\r\n\r\n", 14), "HTTP/1.1 400 Bad Request\r\n", false},
        {"GET /metrics HTTP/1.1\r\n no-name\r\n\r\n", "HTTP/1.1 400 Bad Request\r\n", false},
        {"GET /metrics HTTP/2.0\r\n\r\n", "HTTP/1.1 400 Bad Request\r\n", false},
        {"GET /metrics HTTP/1.1\r\nX: " + Bytes(9000, 'a'), "HTTP/1.1 431 ", false},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(hex(r.request, 24));
        Stream s = connect_to(mport);
        ASSERT_TRUE(s.send(r.request));
        s.shutdown_write();
        Bytes answer;
        EXPECT_TRUE(s.closed_within(3000, &answer));
        EXPECT_EQ(answer.substr(0, strlen(r.status)), r.status);
        EXPECT_EQ(answer.find("\n# TYPE mux_sessions_total counter\n") != Bytes::npos, r.counters);
    }
    // Silent scrapers neither hold up the relay nor stay.
    std::vector<Stream> silent;
    for (int i = 0; i < 8; i++) silent.push_back(connect_to(mport));
    Stream beyond = connect_to(mport);
    Bytes busy;
    EXPECT_TRUE(beyond.closed_within(3000, &busy));
    EXPECT_EQ(busy.substr(0, 13), "HTTP/1.1 503 ");
    ASSERT_NO_FATAL_FAILURE(add_client(2));
    script({client_sends(1, "ping"), server_gets(rec_data(2, "ping")), server_sends(rec_data(2, "pong")), client_gets(1, "pong")});
    EXPECT_EQ(hex(silent[0].recv_for(0)), "") << "served only after the scrapers' time limit";
    for (Stream &s : silent) {
        Bytes late;
        EXPECT_TRUE(s.closed_within(8000, &late));
        EXPECT_EQ(late.substr(0, 13), "HTTP/1.1 408 ");
    }
    EXPECT_NE(scrape().find(sample("mux_sessions_active") + "1\n"), std::string::npos);
}

// Forked processes show up under their pids on one port. One group per
// instance directory while any process of it runs (the pid file's lock);
// -r and -k reach the whole group.
TEST_F(Metrics, ForkedProcessesShowUpUnderTheirPidsOnOnePortAndFormOneGroupPerInstanceDirectory) {
    ASSERT_NO_FATAL_FAILURE(start_metrics({"-f", "2"}));
    std::string samples;
    EXPECT_TRUE(ts::wait_for([&] { return count_of(samples = scrape(), "mux_cycles_total{pid=") == 2; }, 5000, 100)) << samples;
    EXPECT_EQ(count_of(samples, sample("mux_cycles_total") + "1\n"), 1);
    ASSERT_TRUE(ts::wait_for([&] { return mux.group_size() == 2; }));
    const std::string content = std::to_string(mux.pid()) + "\nready\n";
    Result second = run_multiplexor({"-c", inst.conf_path()});
    EXPECT_EQ(second.status, 255);
    EXPECT_NE(second.err.find("is in use by multiplexor process " + std::to_string(mux.pid())), std::string::npos) << second.err;
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
    kill(mux.pid(), SIGKILL);
    EXPECT_EQ(mux.wait_exit(), -SIGKILL);
    EXPECT_EQ(run_multiplexor({"-c", inst.conf_path()}).status, 255);
    Result k = run_multiplexor({"-c", inst.conf_path(), "-k"});
    EXPECT_EQ(k.status, 0) << k.out;
    EXPECT_TRUE(ts::wait_for([&] { return mux.group_size() == 0; }));
    EXPECT_TRUE(ts::wait_for([&] { return !has_regular_file(inst.pid_path()); })) << "removed by the last one";
}

}  // namespace
}  // namespace itest
