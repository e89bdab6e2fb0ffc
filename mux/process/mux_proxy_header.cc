/* The PROXY protocol header parser: nothing here touches a socket. */
#include "process/mux_proxy_header.h"

#include <arpa/inet.h>
#include <string.h>

#include <string>

namespace {

const unsigned char kV2Signature[12] = {0x0D, 0x0A, 0x0D, 0x0A, 0x00, 0x0D, 0x0A, 0x51, 0x55, 0x49, 0x54, 0x0A};
const char kV1Signature[] = "PROXY ";

MuxProxyStatus _invalid(MuxProxyHeader *h, const char *why) {
    h->why = why;
    return MUX_PROXY_INVALID;
}

/* Takes the next blank-free word of a v1 line into `word`; false when none
 * or when it is not followed by `end` (a blank, or the line's end). */
bool _word(const char *&s, const char *line_end, std::string &word, bool last) {
    const char *e = s;
    while (e < line_end && *e != ' ') e++;
    if (e == s) return false;
    word.assign(s, e);
    if (last) {
        s = e;
        return e == line_end;
    }
    if (e == line_end) return false;
    s = e + 1;
    return true;
}

/* Dotted IPv4 with one to three digits a part, each at most 255. */
bool _ipv4(const std::string &t, uint32_t *out) {
    unsigned char b[4];
    size_t i = 0;
    for (int part = 0; part < 4; part++) {
        if (part > 0 && (i >= t.size() || t[i++] != '.')) return false;
        unsigned v = 0, digits = 0;
        while (i < t.size() && t[i] >= '0' && t[i] <= '9' && digits < 4) v = v * 10 + unsigned(t[i++] - '0'), digits++;
        if (digits == 0 || digits > 3 || v > 255) return false;
        b[part] = static_cast<unsigned char>(v);
    }
    if (i != t.size()) return false;
    memcpy(out, b, 4);
    return true;
}

bool _port(const std::string &t, uint16_t *out) {
    if (t.empty() || t.size() > 5) return false;
    unsigned v = 0;
    for (char c : t) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + unsigned(c - '0');
    }
    if (v > 65535) return false;
    *out = static_cast<uint16_t>(v);
    return true;
}

MuxProxyStatus _v1(const unsigned char *p, size_t n, MuxProxyHeader *h) {
    size_t sig = sizeof kV1Signature - 1;
    if (memcmp(p, kV1Signature, n < sig ? n : sig) != 0) return _invalid(h, "not a PROXY header");
    size_t limit = n < MUX_PROXY_V1_MAX ? n : MUX_PROXY_V1_MAX;
    size_t cr = 0;
    while (cr < limit && p[cr] != '\r') {
        if (p[cr] == '\n' || p[cr] == 0) return _invalid(h, "v1 header with a control byte");
        cr++;
    }
    if (cr == limit) {
        if (n >= MUX_PROXY_V1_MAX) return _invalid(h, "v1 header longer than 107 bytes");
        return MUX_PROXY_NEED_MORE;
    }
    if (cr + 1 >= n) {
        if (cr + 1 >= MUX_PROXY_V1_MAX) return _invalid(h, "v1 header longer than 107 bytes");
        return MUX_PROXY_NEED_MORE;
    }
    if (p[cr + 1] != '\n') return _invalid(h, "v1 header with a bare CR");
    if (cr + 2 > MUX_PROXY_V1_MAX) return _invalid(h, "v1 header longer than 107 bytes");
    if (cr < sig) return _invalid(h, "not a PROXY header");
    h->version = 1;
    h->length = cr + 2;
    const char *s = reinterpret_cast<const char *>(p) + sig;
    const char *end = reinterpret_cast<const char *>(p) + cr;
    std::string proto, src, dst, sport, dport;
    if (end - s >= 7 && memcmp(s, "UNKNOWN", 7) == 0 && (end - s == 7 || s[7] == ' ')) {
        h->local = 1;
        h->family = MUX_PROXY_UNSPEC;
        return MUX_PROXY_COMPLETE;
    }
    if (!_word(s, end, proto, false) || !_word(s, end, src, false) || !_word(s, end, dst, false) ||
        !_word(s, end, sport, false) || !_word(s, end, dport, true))
        return _invalid(h, "v1 header without its five fields");
    if (!_port(sport, &h->src_port) || !_port(dport, &h->dst_port)) return _invalid(h, "v1 header with a bad port");
    if (proto == "TCP4") {
        if (!_ipv4(src, &h->src_addr) || !_ipv4(dst, &h->dst_addr)) return _invalid(h, "v1 header with a bad address");
        h->family = MUX_PROXY_INET;
        return MUX_PROXY_COMPLETE;
    }
    if (proto == "TCP6") {
        unsigned char a6[16];
        if (inet_pton(AF_INET6, src.c_str(), a6) != 1 || inet_pton(AF_INET6, dst.c_str(), a6) != 1)
            return _invalid(h, "v1 header with a bad address");
        h->src_port = h->dst_port = 0;
        h->family = MUX_PROXY_INET6;
        return MUX_PROXY_COMPLETE;
    }
    return _invalid(h, "v1 header with an unknown protocol");
}

MuxProxyStatus _v2(const unsigned char *p, size_t n, MuxProxyHeader *h) {
    size_t sig = sizeof kV2Signature;
    if (memcmp(p, kV2Signature, n < sig ? n : sig) != 0) return _invalid(h, "not a PROXY header");
    if (n < 16) return MUX_PROXY_NEED_MORE;
    if ((p[12] >> 4) != 2) return _invalid(h, "v2 header of an unknown version");
    unsigned command = p[12] & 0x0F, family = p[13] >> 4, transport = p[13] & 0x0F;
    if (command > 1) return _invalid(h, "v2 header with an unknown command");
    if (family > 3 || transport > 2) return _invalid(h, "v2 header with an unknown address family");
    size_t body = (size_t(p[14]) << 8) | p[15];
    if (body > MUX_PROXY_V2_BODY_MAX) return _invalid(h, "v2 header longer than the bound");
    static const size_t kAddrBytes[4] = {0, 12, 36, 216};
    if (command == 1 && body < kAddrBytes[family]) return _invalid(h, "v2 header shorter than its addresses");
    if (n < 16 + body) return MUX_PROXY_NEED_MORE;
    h->version = 2;
    h->length = 16 + body;
    h->local = command == 0;
    h->family = static_cast<MuxProxyFamily>(family);
    if (h->local) h->family = MUX_PROXY_UNSPEC;
    if (h->family == MUX_PROXY_INET) {
        memcpy(&h->src_addr, p + 16, 4);
        memcpy(&h->dst_addr, p + 20, 4);
        h->src_port = static_cast<uint16_t>((p[24] << 8) | p[25]);
        h->dst_port = static_cast<uint16_t>((p[26] << 8) | p[27]);
    }
    return MUX_PROXY_COMPLETE;
}

}  // namespace

MuxProxyStatus mux_proxy_parse(const unsigned char *p, size_t n, MuxProxyHeader *h) {
    *h = MuxProxyHeader{};
    if (n == 0) return MUX_PROXY_NEED_MORE;
    if (p[0] == 'P') return _v1(p, n, h);
    if (p[0] == kV2Signature[0]) return _v2(p, n, h);
    return _invalid(h, "not a PROXY header");
}
