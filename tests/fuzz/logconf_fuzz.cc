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

const char *const kNum[] = {"rollovertime", "expirytime", "maxlogfilesize", "maxlogfiles", "maxlogsize", "minfreediskspace"};
const char *const kLevels[] = {"Emergency", "Alert", "Critical", "Error", "Warning", "Notice", "Information", "Debug"};
const char *const kFacilities[] = {"General", "LDAP", "Network", "User", "Account", "Protocol", "Stats", "Store", "Unknown"};
const char *const kSyslog[] = {"none", "", "user", "mail", "daemon", "local0", "local1", "local2", "local3", "local4", "local5", "local6", "local7"};
const int kSyslogCodes[] = {-1, -1, 8, 16, 24, 128, 136, 144, 152, 160, 168, 176, 184};
const char *const kWords[] = {"servicename", "processname", "loglevel", "logfacility", "rollovertime", "expirytime", "maxlogfilesize", "maxlogfiles", "maxlogsize",
                              "minfreediskspace", "flushinterval", "buffersize", "serveruid", "servergid", "syslogfacility"};
const char *const kKeys[] = {"severity", "logfacility", "rollovertime", "expirytime", "maxlogfilesize", "maxlogfiles", "maxlogsize", "minfreediskspace", "flushinterval", "buffersize"};
const char *const kKeyDefaults[] = {"Notice", "General", "86400", "604800", "2097152", "10", "20971520", "5242880", "60", "0"};

template <size_t N> int find(const char *const (&table)[N], const char *v, int otherwise) {
    for (size_t i = 0; i < N; i++) if (v && !strcasecmp(v, table[i])) return int(i);
    return otherwise;
}

struct Model {
    std::optional<std::string> str[4];  // servicename, processname, serveruid, servergid
    int32_t level, facility, syslog, flush, bufsz;
    uint32_t num[6];
    bool operator==(const Model &) const = default;

    explicit Model(const LogHandle *h)
        : level(h->loglevel), facility(h->logfacility), syslog(h->syslogfacility), flush(h->flushinterval), bufsz(h->buffersize),
          num{h->rollovertime, h->expirytime, h->maxlogfilesize, h->maxlogfiles, h->maxlogsize, h->minfreediskspace} {
        const char *s[] = {h->servicename, h->processname, h->serveruid, h->servergid};
        for (int i = 0; i < 4; i++) if (s[i]) str[i] = s[i];
    }
    // One pair as the option table says; false when "Nolog" ends its list.
    bool apply(const char *w, const char *v) {
        static const uint32_t defaults[] = {86400, 604800, 2097152, 10, 20971520, 5242880};
        long n = v ? strtol(v, nullptr, 10) : 0;
        int k = find(kWords, w, -1), num_at = find(kNum, w, -1);
        if (k == 0 || k == 1) { if (!str[k] && v) str[k] = v; }
        else if (k == 2 && v && !strcasecmp(v, "Nolog")) return level = -1, false;
        else if (k == 2) level = find(kLevels, v, 6);
        else if (k == 3) facility = find(kFacilities, v, 0);
        else if (num_at >= 0) num[num_at] = uint32_t(int(n)) ? uint32_t(int(n)) : defaults[num_at];
        else if (k == 10) flush = int(n) > 0 ? int(n) : 60;
        else if (k == 11) bufsz = int(n);
        else if (k == 12 || k == 13) str[k - 10] = v ? std::optional<std::string>(v) : std::nullopt;
        else if (k == 14 && find(kSyslog, v, -1) >= 0) syslog = kSyslogCodes[find(kSyslog, v, -1)];
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
    static int ready = (config_setdefaultcache(config_newcache()), 0);
    static LogHandle *channel = (void(ready), muxlog_init("fuzz", "fuzz", 0));
    FuzzedDataProvider in(data, size);
    LogHandle *h = qxlog_open();
    Model want(h);
    while (in.remaining_bytes() && in.ConsumeBool()) {
        std::vector<std::string> words;
        std::vector<std::optional<std::string>> values;
        for (int n = in.ConsumeIntegralInRange(1, 4); n > 0; n--) {
            std::string w = in.ConsumeBool() ? kWords[in.ConsumeIntegralInRange(0, 14)] : in.ConsumeRandomLengthString(12);
            for (char &c : w) c = in.ConsumeBool() ? char(toupper((unsigned char)c)) : c;
            if (strcasecmp(w.c_str(), "logdir")) words.push_back(w), values.push_back(text(in));
        }
        std::vector<LogConfigPair> pairs;
        for (size_t i = 0; i < words.size(); i++) pairs.push_back({words[i].data(), values[i] ? values[i]->data() : nullptr});
        pairs.push_back({nullptr, nullptr});
        qxlog_config(h, pairs.data());
        for (size_t i = 0; i < words.size() && want.apply(words[i].c_str(), pairs[i].value);) i++;
        FUZZ_CHECK(Model(h) == want);
    }
    qxlog_close(h);

    Model before(channel);
    std::string values[10];
    for (int i = 0; i < 10; i++) {
        std::optional<std::string> v = text(in);
        char *list[] = {v ? v->data() : nullptr, nullptr};
        config_set_values(config_getdefaultcache(), ("orv.log.orv_mux." + std::string(kKeys[i])).c_str(), v && !v->empty() ? list : nullptr, 0, 0);
        values[i] = v && !v->empty() ? *v : kKeyDefaults[i];
    }
    muxlog_refresh();
    for (int i = 0; i < 10 && before.apply(i ? kKeys[i] : "loglevel", values[i].c_str()); i++) {}
    FUZZ_CHECK(Model(channel) == before);
    return 0;
}
