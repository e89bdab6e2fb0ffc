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
    const Row rows[] = {
        {"untrusted source: a header is client bytes", "127.0.0.5", "PROXY TCP4 10.1.2.3 127.0.0.1 1 2\r\nhi", "127.0.0.5",
         "PROXY TCP4 10.1.2.3 127.0.0.1 1 2\r\nhi"},
        {"v1 and client bytes in one segment", "127.0.0.1", "PROXY TCP4 10.1.2.3 127.0.0.1 12345 9909\r\nhello", "10.1.2.3", "hello"},
        {"v2 and client bytes in one segment", "127.0.0.1", v2_inet("10.1.2.4") + Bytes("\x04\x03\0", 3), "10.1.2.4", Bytes("\x04\x03\0", 3)},
        {"v2 LOCAL: a health check", "127.0.0.1", v2(0x20, 0, ""), nullptr, "[127.0.0.1] PROXY header of the balancer itself (health check), closing"},
        {"v1 UNKNOWN", "127.0.0.1", "PROXY UNKNOWN\r\nxyz", nullptr, "[127.0.0.1] PROXY header of the balancer itself (health check), closing"},
        {"v2 IPv6: the balancer's address", "127.0.0.1", v2(0x21, 0x21, Bytes(36, '\1')) + "six", "127.0.0.1", "six"},
        {"malformed", "127.0.0.1", "PROXY TCP4 10.1.2.300 127.0.0.1 1 2\r\nhi", nullptr, "[127.0.0.1] bad PROXY header (v1 header with a bad address), closing"},
        {"no header from a trusted source", "127.0.0.1", "hello", nullptr, "[127.0.0.1] bad PROXY header (not a PROXY header), closing"},
        {"oversized v2", "127.0.0.1", kSig + "\x21\x11\x7f\xff", nullptr, "[127.0.0.1] bad PROXY header (v2 header longer than the bound), closing"},
        {"access list on the real address", "127.0.0.1", "PROXY TCP4 10.9.9.9 127.0.0.1 1 2\r\nhi", nullptr, ""},
        {"truncated", "127.0.0.1", "PROXY TCP4 10.1.2.3 ", nullptr,
         "[127.0.0.1] PROXY header cut short (end of stream after 20 bytes), closing", Row::SendAndEnd},
        {"slow", "127.0.0.1", v2_inet("10.1.2.5").substr(0, 20), nullptr,
         "[127.0.0.1] PROXY header not complete within 3 seconds, closing", Row::SendAndWait},
        {"after all that, a good one", "127.0.0.1", "PROXY TCP4 10.1.2.6 127.0.0.1 1 2\r\nend", "10.1.2.6", "end"},
    };
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
    EXPECT_EQ(count_of(inst.log(), "PROXY header of the balancer itself"), 2);
    EXPECT_EQ(count_of(inst.log(), "] bad PROXY header"), 3);
}

}  // namespace
