// Both configuration file drivers' syntax (the first byte's low bit picks
// props or file). The rest of the input is parsed as it stands: every option
// handed over must be well formed, and written out again it must read back
// the same. The input also drives a writer that lays random options out in
// random valid ways (blanks, bare or quoted values with escapes, value lists
// continued before or after a comma, comments, blank lines, each driver's
// line ends, no final line end): parsing that must give back exactly them.
#include <cctype>

#include "config/configdrv_parse.h"
#include "fuzz.h"
#include "log/qxlogger.h"

namespace {

using Options = std::vector<std::vector<std::string>>;  // name, then its values

int collect(void *arg, const char *name, char **values) {
    auto &o = static_cast<Options *>(arg)->emplace_back(1, name);
    for (char **v = values; *v; v++) o.emplace_back(*v);
    return 0;
}

int parse(bool props, const std::string &text, Options *out) {
    return configdrv_parse(props ? &configdrv_props_syntax : &configdrv_file_syntax, text.data(), text.size(), collect, out);
}

bool well_formed(const std::vector<std::string> &o) {
    const std::string &n = o[0];
    bool ok = !n.empty() && n.size() < 512 && o.size() > 1;
    for (size_t i = 0; i < n.size(); i++)
        ok &= n[i] == ';' ? n.compare(i, 6, ";lang-") == 0 && n.size() - i >= 7 : isalnum((unsigned char)n[i]) || strchr("-._*", n[i]);
    for (size_t i = 1; i < o.size(); i++) ok &= !o[i].empty();
    return ok;
}

// Lays the options out; each choice comes from `in` (when it runs dry: the plainest form).
std::string write(const Options &opts, bool props, FuzzedDataProvider &in) {
    auto pick = [&](std::initializer_list<const char *> l) { return l.begin()[in.ConsumeIntegralInRange<size_t>(0, l.size() - 1)]; };
    auto blanks = [&] { return std::string(pick({"", " ", "\t", " \t  "})); };
    std::string eol = props ? pick({"\n", "\r", "\r\n", "\n\r\n"}) : pick({"\n", "\r\n", "\n\n", "\r\n\r\n"});
    std::string t;
    for (const auto &o : opts) {
        if (in.ConsumeBool()) t += std::string("!") + pick({"", "a = b", " x \\", "\"q\r"}) + (props ? "\n" : "\r\n");
        if (in.ConsumeBool()) t += (props ? blanks() : "") + eol;  // a blank line (the file driver would continue a list at a blank)
        t += o[0] + blanks() + "=" + blanks();
        for (size_t i = 1; i < o.size(); i++) {
            if (i > 1) {
                std::string cont = (props ? pick({"\\\n", "\\\r", "\\\r\n"}) : pick({"\n ", "\r\n\t"})) + blanks();
                int at = in.ConsumeIntegralInRange(0, 2);
                t += blanks() + (at == 1 ? cont : "") + "," + blanks() + (at == 2 ? cont : "");
            }
            bool bare = !in.ConsumeBool();
            for (unsigned char c : o[i]) bare &= c && !strchr("\t\n\r \",\\", c);
            std::string quoted = "\"";
            for (char c : o[i])
                quoted += c == '"'    ? "\\\""
                          : c == '\\' ? "\\\\"
                          : c == '\n' ? "\\n"
                          : c == '\r' ? "\\r"
                          : c == '\t' ? "\\t"
                                      : std::string(1, c);
            t += bare ? o[i] : quoted + '"';
        }
        t += blanks();
        if (&o != &opts.back() || !in.ConsumeBool()) t += eol;
    }
    return t;
}

}  // namespace

FUZZ_TARGET {
    [[maybe_unused]] static int muted = (qxlog_setoptions(QXLOG_OPT_NOSTDERR), 0);
    if (size < 1) return 0;
    bool props = data[0] & 1;
    std::string raw(reinterpret_cast<const char *>(data) + 1, size - 1);
    Options got, again;
    FUZZ_CHECK(parse(props, raw, &got) <= 1);
    for (const auto &o : got) FUZZ_CHECK(well_formed(o));
    FuzzedDataProvider none(nullptr, 0);
    FUZZ_CHECK(parse(props, write(got, props, none), &again) == 0 && again == got);

    FuzzedDataProvider in(data + 1, size - 1);
    Options opts, back;
    for (int n = in.ConsumeIntegralInRange(0, 5); n > 0; n--) {
        std::string name;
        for (unsigned char c : in.ConsumeRandomLengthString(24)) name += "abcXYZ019-._*"[c % 13];
        if (name.empty() || in.ConsumeBool()) name += ";lang-" + std::string(1 + in.ConsumeIntegralInRange(0, 2), 'e');
        auto &o = opts.emplace_back(1, name);
        for (int k = in.ConsumeIntegralInRange(1, 4); k > 0; k--) {
            std::string v = in.ConsumeRandomLengthString(16);
            v.erase(std::remove(v.begin(), v.end(), '\0'), v.end());
            o.push_back(v.empty() ? "v" : v);
        }
    }
    FUZZ_CHECK(parse(props, write(opts, props, in), &back) == 0 && back == opts);
    return 0;
}
