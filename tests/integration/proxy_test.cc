// Clients behind a load balancer: the real multiplexor trusts 127.0.0.1 to
// send a PROXY header and a scripted IM server watches the link. Each row is
// one client: where it connects from, what it sends first, and either the
// open record (with the address the header names) and the data record of
// the bytes after the header, or its close, one log line and nothing at all
// on the link. Rows run in order on one link, so a stray record from a
// refused client would show up in the next row.
#include "integration_harness.h"

using namespace itest;

namespace {

const Bytes kSig("\r\n\r\n\0\r\nQUIT\n", 12);
Bytes v2(uint8_t cmd, uint8_t fam, const Bytes &body) {
    return kSig + char(cmd) + char(fam) + char(body.size() >> 8) + char(body.size() & 0xff) + body;
}
Bytes v2_inet(const char *client) {
    uint32_t a = inet_addr(client);
    return v2(0x21, 0x11, Bytes(reinterpret_cast<char *>(&a), 4) + Bytes("\x7f\0\0\x01\x30\x39\x26\x94", 8));
}

struct Row {
    const char *name;
    const char *from;
    Bytes first;
    const char *open_as;  // nullptr: refused
    Bytes relayed;        // the data record's bytes; for a refusal, the log line
    enum { Send, SendAndEnd, SendAndWait } how = Send;
};

class Proxy : public RelayFixture {};

TEST_F(Proxy, HeadersFromTrustedSourcesNameTheClient) {
    inst.set("orv_mux.proxy_trusted", "+127.0.0.1|255.255.255.255;");
    inst.set("orv_mux.access", "-10.9.9.9|255.255.255.255;");
    // clang-format off
    const Row rows[] = {
        {"untrusted source: a header is client bytes", "127.0.0.5", "PROXY TCP4 10.1.2.3 127.0.0.1 1 2\r\nhi", "127.0.0.5",
         "PROXY TCP4 10.1.2.3 127.0.0.1 1 2\r\nhi"},
        {"v1 and client bytes in one segment", "127.0.0.1", "PROXY TCP4 10.1.2.3 127.0.0.1 12345 9909\r\nhello", "10.1.2.3", "hello"},
        {"v2 and client bytes in one segment", "127.0.0.1", v2_inet("10.1.2.4") + Bytes("\x04\x03\0", 3), "10.1.2.4", Bytes("\x04\x03\0", 3)},
        {"v2 LOCAL: a health check", "127.0.0.1", v2(0x20, 0, ""), nullptr, "[127.0.0.1] PROXY header of the balancer itself (health check), closing"},
        {"v2 IPv6: the balancer's address", "127.0.0.1", v2(0x21, 0x21, Bytes(36, '\1')) + "six", "127.0.0.1", "six"},
        {"malformed", "127.0.0.1", "PROXY TCP4 10.1.2.300 127.0.0.1 1 2\r\nhi", nullptr, "[127.0.0.1] bad PROXY header (v1 header with a bad address), closing"},
        {"access list on the real address", "127.0.0.1", "PROXY TCP4 10.9.9.9 127.0.0.1 1 2\r\nhi", nullptr, ""},
        {"truncated", "127.0.0.1", "PROXY TCP4 10.1.2.3 ", nullptr,
         "[127.0.0.1] PROXY header cut short (end of stream after 20 bytes), closing", Row::SendAndEnd},
        {"slow", "127.0.0.1", v2_inet("10.1.2.5").substr(0, 20), nullptr,
         "[127.0.0.1] PROXY header not complete within 3 seconds, closing", Row::SendAndWait},
        {"after all that, a good one", "127.0.0.1", "PROXY TCP4 10.1.2.6 127.0.0.1 1 2\r\nend", "10.1.2.6", "end"},
    };
    // clang-format on
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_NO_FATAL_FAILURE(add_client(1, "127.0.0.2"));  // makes the link
    int32_t id = 1;
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        Stream c = connect_to(mux.port(), r.from);
        auto t0 = Clock::now();
        ASSERT_TRUE(c.send(r.first));
        if (r.how == Row::SendAndEnd) c.shutdown_write();
        if (r.open_as) {
            uint32_t a = inet_addr(r.open_as);
            const uint8_t *b = reinterpret_cast<const uint8_t *>(&a);
            ASSERT_EQ(hex(link.recv_n(9)), hex(rec_open(++id, b[0], b[1], b[2], b[3])));
            ASSERT_EQ(hex(link.recv_n(9 + r.relayed.size())), hex(rec_data(id, r.relayed)));
            clients.push_back(std::move(c));
            continue;
        }
        Bytes before;
        ASSERT_TRUE(c.closed_within(5000, &before));
        EXPECT_EQ(hex(before), "");
        int ms = int(std::chrono::duration_cast<milliseconds>(Clock::now() - t0).count());
        if (r.how == Row::SendAndWait) { EXPECT_GE(ms, 2900); }
        if (!r.relayed.empty()) { EXPECT_TRUE(inst.wait_log(r.relayed)) << inst.log(); }
    }
    ASSERT_EQ(hex(link.recv_for(300)), "");
    EXPECT_TRUE(inst.wait_log("[10.1.2.3][3]: client started.")) << inst.log();
    // One line for each refusal, none of them twice.
    EXPECT_EQ(count_of(inst.log(), "PROXY header of the balancer itself"), 1);
    EXPECT_EQ(count_of(inst.log(), "] bad PROXY header"), 1);
}

// Scale-out: haproxy on 127.0.0.1 balances clients from several loopback
// addresses over two multiplexors (127.0.0.2, 127.0.0.3) with send-proxy-v2
// and health checks; the reference IM server reports every open record with
// its address and link.
TEST(ProxyScaleOut, TwoMultiplexorsBehindHaproxyKeepEveryClientsAddress) {
    if (access("/usr/sbin/haproxy", X_OK) != 0) GTEST_SKIP() << "haproxy (Debian package haproxy) is not installed";
    Tool im("imserver", {"--verbose"});
    Instance inst[2];
    MuxProcess mux[2];
    std::string servers;
    for (int i = 0; i < 2; i++) {
        std::string addr = "127.0.0." + std::to_string(i + 2);
        inst[i].server_port(im.port());
        inst[i].set("orv_mux.proxy_trusted", "+127.0.0.1|255.255.255.255;");
        inst[i].write_config();
        ASSERT_TRUE(mux[i].start(inst[i], {}, {"ListenPort=" + addr + ":0"}));
        ASSERT_NE(mux[i].wait_port(inst[i].pid_path()), 0) << mux[i].err();
        servers += "  server m" + std::to_string(i) + " " + addr + ":" + std::to_string(mux[i].port()) + "\n";
    }
    ts::TempDir dir("muxha");
    uint16_t port = Listener().port();  // free a moment ago
    ts::write_file(dir / "ha.cfg",
                   "defaults\n  mode tcp\n  timeout connect 2s\n  timeout client 60s\n  timeout server 60s\n"
                   "listen im\n  bind 127.0.0.1:" +
                       std::to_string(port) +
                       "\n  balance roundrobin\n"
                       "  default-server send-proxy-v2 check check-send-proxy inter 200ms fall 2 rise 1\n" +
                       servers);
    ts::Child ha;
    ASSERT_TRUE(ha.spawn({"/usr/sbin/haproxy", "-db", "-f", dir / "ha.cfg"}));
    ASSERT_TRUE(ts::wait_for([&] { return listening_port_of(ha.pid()) == port; }, 5000, 20)) << ha.err();
    // n clients, each from one of five addresses, all connected at once;
    // every one gets its own line back through the echoing IM server.
    auto clients = [&](int first, int n) {
        std::vector<Stream> cs;
        std::vector<std::string> lines;
        for (int i = first; i < first + n; i++) {
            std::string from = "127.0.1." + std::to_string(1 + i % 5);
            lines.push_back("client " + std::to_string(i) + " from " + from + "\n");
            cs.push_back(connect_to(port, from.c_str()));
            ASSERT_TRUE(cs.back().send(lines.back()));
        }
        for (size_t k = 0; k < cs.size(); k++) ASSERT_EQ(cs[k].recv_n(lines[k].size()), lines[k]);
    };
    ASSERT_NO_FATAL_FAILURE(clients(0, 300));
    EXPECT_EQ(count_of(im.err(), "link  accepted"), 2) << im.err();
    EXPECT_EQ(count_of(im.err(), "open "), 300);
    for (int k = 1; k <= 5; k++) EXPECT_EQ(count_of(im.err(), "from 127.0.1." + std::to_string(k) + " on link"), 60);
    EXPECT_TRUE(inst[0].wait_log("PROXY header of the balancer itself")) << "health checks send LOCAL headers";

    mux[0].stop();
    ASSERT_TRUE(ts::wait_for([&] { return count_of(ha.err(), "m0 is DOWN") == 1 && count_of(im.err(), "link  closed") == 1; }, 5000, 20))
        << ha.err();
    std::string closed = im.err().substr(im.err().find("link  closed (fd ") + 17), before = im.err();
    ASSERT_NO_FATAL_FAILURE(clients(300, 50));
    std::string after = im.err().substr(before.size());
    EXPECT_EQ(count_of(after, "open "), 50);
    EXPECT_EQ(count_of(after, "on link fd " + closed.substr(0, closed.find(')')) + "\n"), 0) << after;
}

}  // namespace
