// The client access list and the [host:]port texts. The input, cut at its
// NUL bytes, gives an access-list text, a host:port text and then client
// addresses (four bytes each, at most eight).
// Access list: the entries a plain reading of the text gives (sign, address,
// "|", mask, ";", each address and mask up to four dot-separated numbers
// kept to their low eight bits; the list ends at the first entry that is not
// so), the entries again after writing them back in the settings' form, and
// for every client the verdict "admitted when an allow entry matches it, or
// when there is no allow entry and no deny entry matches it".
// Ports: host part and port as the text gives them, through the split
// itself, the "ListenPort" name and the "orv_mux.serverport" and
// "orv_mux.listenport" keys.
#include <arpa/inet.h>

#include <sstream>

#include "config/config.h"
#include "fuzz.h"
#include "process/mux_init.h"
#include "tovi/xmalloc.h"

namespace {

std::string entry(int deny, const unsigned char *a, const unsigned char *m) {
    char b[64];
    return std::string(
        b, snprintf(b, sizeof b, "%c%d.%d.%d.%d|%d.%d.%d.%d;", deny ? '-' : '+', a[0], a[1], a[2], a[3], m[0], m[1], m[2], m[3]));
}

// The entries in the settings' written form; frees the list.
std::string written(AccessList *l) {
    std::string s;
    for (AccessList *next; l; l = next) s += entry(l->deny, l->addr, l->mask), next = l->next, free(l);
    return s;
}

// Each dot-separated part's number (atoi stops at the dot); missing parts are 0.
void dotted(std::string text, unsigned char out[4]) {
    for (int i = 0; i < 4; i++, text = text.find('.') == std::string::npos ? "" : text.substr(text.find('.') + 1))
        out[i] = (unsigned char)atoi(text.c_str());
}

void check_access(const std::string &text, std::vector<uint32_t> clients) {
    std::string want;
    bool plain = true;  // false once an entry has its ";" before its "|": how that reads is not fixed
    for (size_t at = 0;;) {
        size_t semi = text.find(';', at), bar = text.find('|', at);
        if (semi == std::string::npos || bar == std::string::npos || (text[at] != '+' && text[at] != '-')) break;
        if (semi < bar) {
            plain = false;
            break;
        }
        unsigned char a[4], m[4];
        dotted(text.substr(at + 1, bar - at - 1), a), dotted(text.substr(bar + 1, semi - bar - 1), m);
        want += entry(text[at] == '-', a, m);
        at = semi + 1;
    }
    std::string got = written(AccessList_Parse(nullptr, text.c_str()));
    FUZZ_CHECK(plain ? got == want : got.compare(0, want.size(), want) == 0);
    FUZZ_CHECK(written(AccessList_Parse(nullptr, got.c_str())) == got);
    AccessList *list = AccessList_Parse(nullptr, text.c_str());
    for (AccessList *e = list; e && clients.size() < 16; e = e->next) memcpy(&clients.emplace_back(), e->addr, 4);
    for (uint32_t c : clients) {
        bool allow_exists = false, allow_match = false, deny_match = false;
        for (AccessList *e = list; e; e = e->next) {
            bool m = true;
            for (int i = 0; i < 4; i++) m &= ((e->addr[i] ^ reinterpret_cast<unsigned char *>(&c)[i]) & e->mask[i]) == 0;
            (e->deny ? deny_match : allow_match) |= m;
            allow_exists |= !e->deny;
        }
        FUZZ_CHECK(AccessList_Check(list, c) == (allow_match || (!allow_exists && !deny_match)));
    }
    written(list);
}

void check_ports(const std::string &text) {
    size_t colon = text.find(':');
    bool has_host = colon != std::string::npos;
    std::string host = text.substr(0, has_host ? colon : 0), copy = text;
    uint16_t want = uint16_t(atoi(text.c_str() + (has_host ? colon + 1 : 0))), port = 0;
    const char *h = mux_split_hostport(copy.data(), &port);
    FUZZ_CHECK(port == want && (has_host ? h == copy.data() && host == h : h == nullptr));

    gcfg.listen_addr = 0, gcfg.listen_port = 1;
    setenv("ListenPort", text.c_str(), 1), multiplexor_getenv(), unsetenv("ListenPort");
    FUZZ_CHECK(text.empty() || (gcfg.listen_port == want && gcfg.listen_addr == (has_host ? inet_addr(host.c_str()) : 0)));
    char *values[] = {const_cast<char *>(text.c_str()), nullptr};
    for (const char *key : {"orv_mux.serverport", "orv_mux.listenport"})
        config_set_values(config_getdefaultcache(), key, text.empty() ? nullptr : values, 0, 0);
    mux_config_replace(&gcfg.server_host, xstrdup("none"));
    parse_hostport(), parse_listenport();
    FUZZ_CHECK(gcfg.server_port == (text.empty() ? 9999 : want) && gcfg.listen_port == (text.empty() ? 9909 : want));
    FUZZ_CHECK(!strcmp(gcfg.server_host, text.empty() ? "localhost" : has_host ? host.c_str() : "none"));
}

}  // namespace

FUZZ_TARGET {
    [[maybe_unused]] static int ready = (mux_config_init(), config_setdefaultcache(config_newcache()), 0);
    std::istringstream in(std::string(reinterpret_cast<const char *>(data), size));
    std::string access, ports, rest;
    std::getline(std::getline(in, access, '\0'), ports, '\0'), rest.assign(std::istreambuf_iterator<char>(in), {});
    std::vector<uint32_t> clients(std::min<size_t>(rest.size() / 4, 8));
    std::copy_n(rest.data(), clients.size() * 4, reinterpret_cast<char *>(clients.data()));
    check_access(access, clients);
    check_ports(ports);
    return 0;
}
