// The PROXY header parser: each row is the bytes a balancer (or an impostor)
// sends first and what the parser makes of them. Every proper prefix of a
// good header must ask for more, and the client's bytes after a header are
// never counted in it.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <string>

#include "process/mux_proxy_header.h"

namespace {

const std::string kSig("\r\n\r\n\0\r\nQUIT\n", 12);

std::string v2(uint8_t cmd, uint8_t fam, const std::string &body) {
    return kSig + char(cmd) + char(fam) + char(body.size() >> 8) + char(body.size() & 0xff) + body;
}
const std::string kInet("\x0a\x01\x02\x03\x7f\x00\x00\x01\x30\x39\x26\x94", 12);  // 10.1.2.3:12345 -> 127.0.0.1:9876

// What the parser says, as one line.
std::string parse(const std::string &in) {
    MuxProxyHeader h;
    MuxProxyStatus st = mux_proxy_parse(reinterpret_cast<const unsigned char *>(in.data()), in.size(), &h);
    if (st == MUX_PROXY_NEED_MORE) return "more";
    if (st == MUX_PROXY_INVALID) return std::string("invalid: ") + h.why;
    char src[16], dst[16];
    inet_ntop(AF_INET, &h.src_addr, src, sizeof src), inet_ntop(AF_INET, &h.dst_addr, dst, sizeof dst);
    std::string s = "v" + std::to_string(h.version) + " len " + std::to_string(h.length) + (h.local ? " local" : "");
    if (h.family == MUX_PROXY_INET)
        s += " " + std::string(src) + ":" + std::to_string(h.src_port) + " " + dst + ":" + std::to_string(h.dst_port);
    return s + (h.family == MUX_PROXY_INET6 ? " inet6" : h.family == MUX_PROXY_UNIX ? " unix" : "");
}

struct Row {
    const char *name;
    std::string in;
    std::string want;
};

TEST(ProxyHeader, Table) {
    const std::string v6body = std::string(32, '\x01') + "\x01\x02\x03\x04";
    // clang-format off
    const Row rows[] = {
        {"v1 tcp4 with client bytes after it", "PROXY TCP4 10.1.2.3 127.0.0.1 12345 9876\r\nhello", "v1 len 42 10.1.2.3:12345 127.0.0.1:9876"},
        {"v1 tcp6", "PROXY TCP6 ::1 2001:db8::2 1 2\r\n", "v1 len 32 inet6"},
        {"v1 unknown with addresses", "PROXY UNKNOWN ::1 ::2 1 2\r\nxyz", "v1 len 27 local"},
        {"v1 unknown alone", "PROXY UNKNOWN\r\n", "v1 len 15 local"},
        {"v1 of exactly 107 bytes", "PROXY UNKNOWN " + std::string(91, 'x') + "\r\n", "v1 len 107 local"},
        {"v1 of 108 bytes", "PROXY UNKNOWN " + std::string(92, 'x') + "\r\n", "invalid: v1 header longer than 107 bytes"},
        {"v1 without an end in 107 bytes", "PROXY TCP4 " + std::string(100, '1'), "invalid: v1 header longer than 107 bytes"},
        {"v1 with a bad octet", "PROXY TCP4 10.1.2.256 127.0.0.1 1 2\r\n", "invalid: v1 header with a bad address"},
        {"v1 with a short address", "PROXY TCP4 10.1.2 127.0.0.1 1 2\r\n", "invalid: v1 header with a bad address"},
        {"v1 with a port above 65535", "PROXY TCP4 10.1.2.3 127.0.0.1 65536 2\r\n", "invalid: v1 header with a bad port"},
        {"v1 with two blanks", "PROXY TCP4 10.1.2.3  127.0.0.1 1 2\r\n", "invalid: v1 header without its five fields"},
        {"v1 with a field too many", "PROXY TCP4 10.1.2.3 127.0.0.1 1 2 3\r\n", "invalid: v1 header without its five fields"},
        {"v1 with an unknown protocol", "PROXY UDP4 10.1.2.3 127.0.0.1 1 2\r\n", "invalid: v1 header with an unknown protocol"},
        {"v1 with a bare LF", "PROXY TCP4 10.1.2.3 127.0.0.1 1 2\n", "invalid: v1 header with a control byte"},
        {"v1 with a bare CR", "PROXY TCP4\rx", "invalid: v1 header with a bare CR"},
        {"v1 cut short", "PROXY TCP4 10.1.2.3 127.0.0.1 1 2\r", "more"},
        {"plain client bytes", "GET / HTTP/1.0\r\n\r\n", "invalid: not a PROXY header"},
        {"lower-case signature", "proxy TCP4 10.1.2.3 127.0.0.1 1 2\r\n", "invalid: not a PROXY header"},
        {"nothing yet", "", "more"},
        {"v2 inet with client bytes after it", v2(0x21, 0x11, kInet) + "\x04\x03", "v2 len 28 10.1.2.3:12345 127.0.0.1:9876"},
        {"v2 inet with an extension", v2(0x21, 0x11, kInet + std::string("\x04\x00\x01z", 4)), "v2 len 32 10.1.2.3:12345 127.0.0.1:9876"},
        {"v2 local", v2(0x20, 0x00, "") + "x", "v2 len 16 local"},
        {"v2 local with addresses", v2(0x20, 0x11, kInet), "v2 len 28 local"},
        {"v2 inet6", v2(0x21, 0x21, v6body), "v2 len 52 inet6"},
        {"v2 unix", v2(0x21, 0x31, std::string(216, 'u')), "v2 len 232 unix"},
        {"v2 unspec proxy", v2(0x21, 0x00, ""), "v2 len 16"},
        {"v2 inet shorter than its addresses", v2(0x21, 0x11, kInet.substr(0, 11)), "invalid: v2 header shorter than its addresses"},
        {"v2 version 1", v2(0x11, 0x11, kInet), "invalid: v2 header of an unknown version"},
        {"v2 command 2", v2(0x22, 0x11, kInet), "invalid: v2 header with an unknown command"},
        {"v2 family 4", v2(0x21, 0x41, kInet), "invalid: v2 header with an unknown address family"},
        {"v2 body at the bound", v2(0x21, 0x11, kInet + std::string(MUX_PROXY_V2_BODY_MAX - 12, 0)), "v2 len 1040 10.1.2.3:12345 127.0.0.1:9876"},
        {"v2 body above the bound", kSig + "\x21\x11\x04\x01", "invalid: v2 header longer than the bound"},
        {"v2 bad signature", std::string("\r\n\r\n\0\r\nQUIT\r", 12) + "\x21\x11", "invalid: not a PROXY header"},
        {"v2 body cut short", v2(0x21, 0x11, kInet).substr(0, 27), "more"},
    };
    // clang-format on
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        EXPECT_EQ(parse(r.in), r.want);
        if (r.want.rfind("v", 0) != 0) continue;
        size_t len = std::stoul(r.want.substr(r.want.find("len ") + 4));
        for (size_t cut = 0; cut < len; cut++) ASSERT_EQ(parse(r.in.substr(0, cut)), "more") << "cut at " << cut;
    }
}

}  // namespace
