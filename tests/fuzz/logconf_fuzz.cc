// The log writer's option words and the multiplexor's "orv.log.orv_mux.*"
// keys. The input gives lists of (word, value) pairs, known words in any
// case or other text, values known words, numbers or other text or none,
// for a fresh handle; then values for the ten keys, set in the default
// configuration and read by a refresh of the log channels. After each, the
// handle must hold what the option table says those pairs give.
#include <strings.h>

#include <optional>

#include "config/config.h"
#include "fuzz.h"
#include "log/mux_log.h"
#include "log/qxlogger_internal.h"

namespace {

const char *const kWords[] = {"servicename",   "processname",    "loglevel",    "logfacility", "rollovertime",
                              "expirytime",    "maxlogfilesize", "maxlogfiles", "maxlogsize",  "minfreediskspace",
                              "flushinterval", "buffersize",     "serveruid",   "servergid",   "syslogfacility"};
const char *const kLevels[] = {"Emergency", "Alert", "Critical", "Error", "Warning", "Notice", "Information", "Debug"};
const char *const kFacilities[] = {"General", "LDAP", "Network", "User", "Account", "Protocol", "Stats", "Store", "Unknown"};
const char *const kSyslog[] = {"none",   "",       "user",   "mail",   "daemon", "local0", "local1",
                               "local2", "local3", "local4", "local5", "local6", "local7"};
const int kSyslogCodes[] = {-1, -1, 8, 16, 24, 128, 136, 144, 152, 160, 168, 176, 184};
// "orv.log.orv_mux.<key>" gives the word kWords[2 + i], "severity" the level.
const char *const kKeyDefaults[] = {"Notice", "General", "86400", "604800", "2097152", "10", "20971520", "5242880", "60", "0"};

template <size_t N>
int find(const char *const (&table)[N], const char *v, int otherwise) {
    for (size_t i = 0; i < N; i++)
        if (v && !strcasecmp(v, table[i])) return int(i);
    return otherwise;
}

struct Model {
    std::optional<std::string> str[4];  // servicename, processname, serveruid, servergid
    int64_t num[11];  // loglevel, logfacility, rollovertime .. minfreediskspace, flushinterval, buffersize, syslogfacility
    bool operator==(const Model &) const = default;

    explicit Model(const LogHandle *h)
        : num{h->loglevel,   h->logfacility,      h->rollovertime,  h->expirytime, h->maxlogfilesize, h->maxlogfiles,
              h->maxlogsize, h->minfreediskspace, h->flushinterval, h->buffersize, h->syslogfacility} {
        const char *s[] = {h->servicename, h->processname, h->serveruid, h->servergid};
        for (int i = 0; i < 4; i++)
            if (s[i]) str[i] = s[i];
    }
    // One pair as the option table says; false when "Nolog" ends its list.
    bool apply(const char *w, const char *v) {
        static const uint32_t defaults[] = {86400, 604800, 2097152, 10, 20971520, 5242880};
        int k = find(kWords, w, -1), n = v ? int(strtol(v, nullptr, 10)) : 0;
        if (k == 0 || k == 1) {
            if (!str[k] && v) str[k] = v;
        } else if (k == 2 && v && !strcasecmp(v, "Nolog")) return num[0] = -1, false;
        else if (k == 2 || k == 3) num[k - 2] = k == 2 ? find(kLevels, v, 6) : find(kFacilities, v, 0);
        else if (k >= 4 && k <= 9) num[k - 2] = n ? uint32_t(n) : defaults[k - 4];
        else if (k == 10 || k == 11) num[k - 2] = k == 10 && n <= 0 ? 60 : n;
        else if (k == 12 || k == 13) str[k - 10] = v ? std::optional<std::string>(v) : std::nullopt;
        else if (k == 14 && find(kSyslog, v, -1) >= 0) num[10] = kSyslogCodes[find(kSyslog, v, -1)];
        return true;
    }
};

std::optional<std::string> text(FuzzedDataProvider &in) {
    switch (in.ConsumeIntegralInRange(0, 5)) {
    case 0: return std::nullopt;
    case 1: return kLevels[in.ConsumeIntegralInRange(0, 7)];
    case 2: return kFacilities[in.ConsumeIntegralInRange(0, 8)];
    case 3: return kSyslog[in.ConsumeIntegralInRange(0, 12)];
    case 4: return std::to_string(in.ConsumeIntegral<int64_t>() >> in.ConsumeIntegralInRange(0, 63));
    default: return in.ConsumeRandomLengthString(12);
    }
}

}  // namespace

FUZZ_TARGET {
    static LogHandle *channel = (config_setdefaultcache(config_newcache()), muxlog_init("fuzz", "fuzz", 0));
    FuzzedDataProvider in(data, size);
    LogHandle *h = qxlog_open();
    Model want(h);
    while (in.remaining_bytes() && in.ConsumeBool()) {
        std::vector<std::pair<std::string, std::optional<std::string>>> list;
        for (int n = in.ConsumeIntegralInRange(1, 4); n > 0; n--) {
            std::string w = in.ConsumeBool() ? kWords[in.ConsumeIntegralInRange(0, 14)] : in.ConsumeRandomLengthString(12);
            for (char &c : w) c = in.ConsumeBool() ? char(toupper((unsigned char)c)) : c;
            if (strcasecmp(w.c_str(), "logdir")) list.emplace_back(w, text(in));  // no directories made
        }
        std::vector<LogConfigPair> pairs;
        for (auto &[w, v] : list) pairs.push_back({w.data(), v ? v->data() : nullptr});
        pairs.push_back({nullptr, nullptr});
        qxlog_config(h, pairs.data());
        for (size_t i = 0; i < list.size() && want.apply(pairs[i].option, pairs[i].value);) i++;
        FUZZ_CHECK(Model(h) == want);
    }
    qxlog_close(h);

    Model before(channel);
    std::string values[10];
    for (int i = 0; i < 10; i++) {
        std::string v = text(in).value_or("");
        char *list[] = {v.data(), nullptr};
        config_set_values(config_getdefaultcache(), (std::string("orv.log.orv_mux.") + (i ? kWords[2 + i] : "severity")).c_str(),
                          v.empty() ? nullptr : list, 0, 0);
        values[i] = v.empty() ? kKeyDefaults[i] : v;
    }
    muxlog_refresh();
    for (int i = 0; i < 10 && before.apply(kWords[2 + i], values[i].c_str()); i++) {}
    FUZZ_CHECK(Model(channel) == before);
    return 0;
}
