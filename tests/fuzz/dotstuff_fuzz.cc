// The dot-stuffing data source over the input's text (after a first byte
// that picks the body-line limit and the trailer), held in memory of its
// own size. The pieces joined must be the text with a dot put before every
// line that begins with one, ended after the limit's body line, with CR LF
// added when the text ends without a line end, then the trailer; every
// piece lies in the text or is that CR LF or the trailer; un-stuffing gives
// the text back; a line of a lone dot never appears before the trailer; and
// for CR LF text the upper bound never falls below what is still to come.
#include "fuzz.h"
#include "tovi/asdyn.h"

FUZZ_TARGET {
    if (size < 1) return 0;
    int limit = data[0] % 8 - 1;
    const char *const trailers[] = {nullptr, "", ".\r\n", "\r\n.\r\n"};
    const char *trailer = trailers[data[0] / 8 % 4];
    std::vector<char> text(data + 1, data + size);
    std::string str(text.begin(), text.end()), want, plain;
    int line = -2;
    for (size_t at = 0, end; at < str.size() && line != limit; at = end) {
        size_t nl = str.find('\n', at);
        end = nl == std::string::npos ? str.size() : nl + 1;
        if (line >= 0) line++;
        else if (!str.compare(at, 2, "\r\n")) line = 0;
        want += (str[at] == '.' ? "." : "") + str.substr(at, end - at) + (nl == std::string::npos ? "\r\n" : "");
    }
    size_t stuffed = want.size();
    want += trailer ? trailer : "";
    bool crlf = true;
    for (size_t i = 0; i < str.size(); i++) crlf &= str[i] != '\n' || (i > 0 && str[i - 1] == '\r');

    struct iovec post = {const_cast<char *>(trailer), trailer ? strlen(trailer) : 0};
    ASockDynamic *src = asdyn_dotstuff(text.data(), uint32_t(text.size()), trailer ? &post : nullptr, limit);
    std::string got;
    for (size_t calls = 0;; calls++) {
        FUZZ_CHECK(calls <= text.size() + 3 && (!crlf || src->getUpperBound(src) >= want.size() - got.size()));
        struct iovec v = {nullptr, 0};
        FUZZ_CHECK(src->getBuf(src, &v, nullptr) == 0);
        const char *p = static_cast<const char *>(v.iov_base);
        if (v.iov_len == 0) break;
        FUZZ_CHECK((p >= text.data() && p + v.iov_len <= text.data() + text.size()) || (p == trailer && v.iov_len == post.iov_len) ||
                   (v.iov_len == 2 && !memcmp(p, "\r\n", 2)));
        got.append(p, v.iov_len);
    }
    struct iovec v = {nullptr, 1};
    FUZZ_CHECK(got == want && src->getBuf(src, &v, nullptr) == 0 && v.iov_len == 0);
    asdyn_dotstuff_free(src);
    for (size_t at = 0, end; at < stuffed; at = end) {
        end = std::min(got.find('\n', at), stuffed - 1) + 1;
        plain += got.substr(at + (got[at] == '.'), end - at - (got[at] == '.'));
    }
    FUZZ_CHECK(limit != -1 || plain == str + (str.empty() || str.back() == '\n' ? "" : "\r\n"));
    FUZZ_CHECK(("\r\n" + want.substr(0, stuffed)).find("\r\n.\r\n") == std::string::npos);
    return 0;
}
