// The PROXY header parser. The input (in memory of its own size, so a read
// past it is a finding) is parsed as it is: a complete header lies inside
// the input and within its version's bound and parses the same from exactly
// its own bytes, with one byte fewer asking for more; "need more" is only
// said below the longest header. Then a v2 header and a v1
// line are built from fields the input gives, followed by client bytes, and
// must parse back to exactly those fields and their own length.
#include <arpa/inet.h>

#include "fuzz.h"
#include "process/mux_proxy_header.h"

namespace {

// libFuzzer hands the input in memory of exactly its size; the headers
// built here are parsed from their own strings.
MuxProxyStatus parse(const std::string &s, MuxProxyHeader *h) {
    return mux_proxy_parse(reinterpret_cast<const uint8_t *>(s.data()), s.size(), h);
}

bool same(const MuxProxyHeader &a, const MuxProxyHeader &b) {
    return a.version == b.version && a.local == b.local && a.family == b.family && a.src_addr == b.src_addr && a.dst_addr == b.dst_addr &&
           a.src_port == b.src_port && a.dst_port == b.dst_port && a.length == b.length;
}

void check_as_is(const uint8_t *in, size_t size) {
    MuxProxyHeader h, again;
    MuxProxyStatus st = mux_proxy_parse(in, size, &h);
    if (st == MUX_PROXY_INVALID) FUZZ_CHECK(h.why != nullptr);
    if (st == MUX_PROXY_NEED_MORE) FUZZ_CHECK(size < MUX_PROXY_HEADER_MAX);
    if (st != MUX_PROXY_COMPLETE) return;
    FUZZ_CHECK(h.length <= size && h.length >= 15);
    FUZZ_CHECK(h.version == 1 ? h.length <= MUX_PROXY_V1_MAX : h.length <= MUX_PROXY_HEADER_MAX);
    FUZZ_CHECK(mux_proxy_parse(in, h.length, &again) == MUX_PROXY_COMPLETE && same(h, again));
    FUZZ_CHECK(mux_proxy_parse(in, h.length - 1, &again) == MUX_PROXY_NEED_MORE);
}

void check_built(FuzzedDataProvider &fdp) {
    uint32_t src = fdp.ConsumeIntegral<uint32_t>(), dst = fdp.ConsumeIntegral<uint32_t>();
    uint16_t sport = fdp.ConsumeIntegral<uint16_t>(), dport = fdp.ConsumeIntegral<uint16_t>();
    std::string extra = fdp.ConsumeRandomLengthString(MUX_PROXY_V2_BODY_MAX - 12);
    std::string after = fdp.ConsumeRandomLengthString(64);
    MuxProxyHeader want{}, got;
    want.family = MUX_PROXY_INET, want.src_addr = src, want.dst_addr = dst, want.src_port = sport, want.dst_port = dport;

    std::string body(reinterpret_cast<char *>(&src), 4);
    body += std::string(reinterpret_cast<char *>(&dst), 4) + char(sport >> 8) + char(sport) + char(dport >> 8) + char(dport) + extra;
    std::string v2 = std::string("\r\n\r\n\0\r\nQUIT\n\x21\x11", 14) + char(body.size() >> 8) + char(body.size()) + body;
    want.version = 2, want.length = v2.size();
    FUZZ_CHECK(parse(v2 + after, &got) == MUX_PROXY_COMPLETE && same(want, got));

    char a[16], b[16];
    inet_ntop(AF_INET, &src, a, sizeof a), inet_ntop(AF_INET, &dst, b, sizeof b);
    std::string v1 = "PROXY TCP4 " + std::string(a) + " " + b + " " + std::to_string(sport) + " " + std::to_string(dport) + "\r\n";
    want.version = 1, want.length = v1.size();
    FUZZ_CHECK(parse(v1 + after, &got) == MUX_PROXY_COMPLETE && same(want, got));
}

}  // namespace

FUZZ_TARGET {
    check_as_is(data, size);
    FuzzedDataProvider fdp(data, size);
    check_built(fdp);
    return 0;
}
