// The protocol stream's line reader, with block and character reads mixed
// in, over a stream whose reads return the text in pieces of sizes the input
// chooses (into a buffer of a size it chooses), or over the text's bytes
// directly. Every line is the next bytes of the text up to and including a
// newline, cut shorter only by the caller's size or the end of the text,
// and ends in a NUL inside the caller's buffer; lines and blocks joined
// give back the text.
#include "fuzz.h"
#include "tovi/prot.h"

namespace {

struct Source {
    const std::string &text;
    std::vector<uint32_t> cuts;
    size_t at = 0, k = 0;
};

int piece_read(protstream *s, void *buf, uint32_t sz) {
    Source &src = *static_cast<Source *>(s->iorock);
    size_t n = std::min<size_t>({sz, src.text.size() - src.at, src.cuts.empty() ? sz : src.cuts[src.k++ % src.cuts.size()]});
    memcpy(buf, src.text.data() + src.at, n);
    src.at += n;
    return int(n);
}

// Bytes handed out so far.
size_t consumed(const protstream *s) { return s->iofunc == eof_read ? size_t(s->ptr - s->buf) : s->bytes - s->cnt; }

}  // namespace

FUZZ_TARGET {
    FuzzedDataProvider in(data, size);
    bool direct = in.ConsumeBool();
    uint32_t bufsz = in.ConsumeIntegralInRange(5, 300);
    std::vector<uint32_t> cuts;
    for (int n = in.ConsumeIntegralInRange(0, 6); n > 0; n--) cuts.push_back(in.ConsumeIntegralInRange(1, 400));
    std::string text = in.ConsumeBytesAsString(in.ConsumeIntegralInRange<size_t>(0, in.remaining_bytes()));
    Source src{text, cuts};
    protstream *s = direct ? prot_frombuffer(text.data(), uint32_t(text.size())) : prot_new(piece_read, nullptr, &src, 0);
    FUZZ_CHECK(s && (direct || prot_setbuf(s, nullptr, bufsz) == 0));
    std::string got;
    for (bool end = false; !end;) {
        size_t before = consumed(s);
        int op = in.ConsumeIntegralInRange(0, 3), want = 80 - in.ConsumeIntegralInRange(0, 80);
        std::vector<char> buf(want);  // exactly the caller's size
        if (op <= 1) {
            char *line = prot_fgets(buf.data(), want, s);
            size_t k = consumed(s) - before;
            FUZZ_CHECK(line == (k ? buf.data() : nullptr) && (k == 0 || k <= size_t(want) - 2));
            FUZZ_CHECK(!k || (!buf[k] && !memchr(buf.data(), '\n', k - 1) && !text.compare(got.size(), k, buf.data(), k)));
            FUZZ_CHECK(!k || buf[k - 1] == '\n' || k == size_t(want) - 2 || got.size() + k == text.size());
            end = !k && want > 2;  // sizes 1 and 2 never give a line
            got.append(buf.data(), k);
        } else if (op == 2) {
            int n = prot_read(s, buf.data(), want);
            FUZZ_CHECK(n >= 0 && n <= want && size_t(n) == consumed(s) - before && !text.compare(got.size(), n, buf.data(), n));
            end = n == 0 && want > 0;
            got.append(buf.data(), n);
        } else {
            int c = prot_getc(s);
            FUZZ_CHECK(c == (got.size() < text.size() ? (unsigned char)text[got.size()] : EOF));
            if (!(end = c == EOF)) got += char(c);
        }
    }
    FUZZ_CHECK(got == text && prot_getc(s) == EOF);
    prot_free(s);
    return 0;
}
