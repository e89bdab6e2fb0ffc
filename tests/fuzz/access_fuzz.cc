// The client access list and the [host:]port texts. The input, cut at its
// NUL bytes, gives an access-list text, a host:port text and then client
// addresses (four bytes each).
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

#include "config/config.h"
#include "fuzz.h"
#include "process/mux_init.h"
#include "tovi/xmalloc.h"

namespace {

struct Entry {
    int deny;
    unsigned char addr[4], mask[4];
    bool operator==(const Entry &o) const { return deny == o.deny && !memcmp(addr, o.addr, 4) && !memcmp(mask, o.mask, 4); }
};

void dotted(const std::string &text, unsigned char out[4]) {
    std::string part;
    for (size_t i = 0, at = 0; i < 4; i++, at += part.size() + 1) {
        part = at > text.size() ? "" : text.substr(at, text.find('.', at) - at);
        out[i] = at > text.size() ? 0 : (unsigned char)atoi(part.c_str());
    }
}

std::vector<Entry> entries_of(const std::string &text) {
    AccessList *l = AccessList_Parse(nullptr, text.c_str());
    std::vector<Entry> out;
    for (AccessList *next; l; l = next) {
        out.push_back({l->deny, {}, {}});
        memcpy(out.back().addr, l->addr, 4), memcpy(out.back().mask, l->mask, 4);
        next = l->next;
        free(l);
    }
    return out;
}

void check_access(const std::string &text, const std::vector<uint32_t> &clients) {
    std::vector<Entry> want;
    bool plain = true;  // false once an entry has its ";" before its "|": how that reads is not fixed
    for (size_t at = 0;;) {
        size_t semi = text.find(';', at), bar = text.find('|', at);
        if (semi == std::string::npos || bar == std::string::npos || (text[at] != '+' && text[at] != '-')) break;
        if (semi < bar) { plain = false; break; }
        Entry e{text[at] == '-', {}, {}};
        dotted(text.substr(at + 1, bar - at - 1), e.addr), dotted(text.substr(bar + 1, semi - bar - 1), e.mask);
        want.push_back(e);
        at = semi + 1;
    }
    std::vector<Entry> got = entries_of(text);
    FUZZ_CHECK(plain ? got == want : got.size() >= want.size() && std::equal(want.begin(), want.end(), got.begin()));
    std::string written;
    char buf[64];
    for (const Entry &e : got) {
        snprintf(buf, sizeof buf, "%c%d.%d.%d.%d|%d.%d.%d.%d;", e.deny ? '-' : '+', e.addr[0], e.addr[1], e.addr[2],
                 e.addr[3], e.mask[0], e.mask[1], e.mask[2], e.mask[3]);
        written += buf;
    }
    FUZZ_CHECK(entries_of(written) == got);
    AccessList *list = AccessList_Parse(nullptr, text.c_str());
    std::vector<uint32_t> all = clients;
    for (const Entry &e : got) memcpy(&all.emplace_back(), e.addr, 4);
    for (uint32_t c : all) {
        bool allow_exists = false, allow_match = false, deny_match = false;
        for (const Entry &e : got) {
            bool m = true;
            for (int i = 0; i < 4; i++) m &= ((e.addr[i] ^ reinterpret_cast<unsigned char *>(&c)[i]) & e.mask[i]) == 0;
            (e.deny ? deny_match : allow_match) |= m;
            allow_exists |= !e.deny;
        }
        FUZZ_CHECK(AccessList_Check(list, c) == (allow_match || (!allow_exists && !deny_match)));
    }
    for (AccessList *next; list; list = next) next = list->next, free(list);
}

void check_ports(const std::string &text) {
    size_t colon = text.find(':');
    std::string host = text.substr(0, colon == std::string::npos ? 0 : colon);
    uint16_t want = uint16_t(atoi(text.c_str() + (colon == std::string::npos ? 0 : colon + 1))), port = 0;
    std::string copy = text;
    const char *h = mux_split_hostport(copy.data(), &port);
    FUZZ_CHECK(port == want && (colon == std::string::npos ? h == nullptr : h == copy.data() && host == h));
    copy = host + ":" + std::to_string(want);
    FUZZ_CHECK(mux_split_hostport(copy.data(), &port) == copy.data() && port == want && host == copy.data());

    gcfg.listen_addr = 0, gcfg.listen_port = 1;
    setenv("ListenPort", text.c_str(), 1);
    multiplexor_getenv();
    unsetenv("ListenPort");
    FUZZ_CHECK(text.empty() || (gcfg.listen_port == want && gcfg.listen_addr == (h ? inet_addr(host.c_str()) : 0)));
    char *values[] = {const_cast<char *>(text.c_str()), nullptr};
    for (const char *key : {"orv_mux.serverport", "orv_mux.listenport"})
        config_set_values(config_getdefaultcache(), key, text.empty() ? nullptr : values, 0, 0);
    mux_config_replace(&gcfg.server_host, xstrdup("none"));
    gcfg.server_port = gcfg.listen_port = 1;
    parse_hostport();
    parse_listenport();
    uint16_t def = text.empty() ? 9999 : want;
    FUZZ_CHECK(gcfg.server_port == def && gcfg.listen_port == (text.empty() ? 9909 : want));
    FUZZ_CHECK(!strcmp(gcfg.server_host, text.empty() ? "localhost" : h ? host.c_str() : "none"));
}

}  // namespace

FUZZ_TARGET {
    static int ready = (mux_config_init(), config_setdefaultcache(config_newcache()), 0);
    (void)ready;
    std::string in(reinterpret_cast<const char *>(data), size), access = in.substr(0, in.find('\0'));
    size_t next = std::min(in.size(), access.size() + 1);
    std::string ports = in.substr(next, in.find('\0', next) - next);
    std::vector<uint32_t> clients;
    for (size_t at = std::min(in.size(), next + ports.size() + 1); at + 4 <= in.size() && clients.size() < 8; at += 4)
        memcpy(&clients.emplace_back(), data + at, 4);
    check_access(access, clients);
    check_ports(ports);
    return 0;
}
