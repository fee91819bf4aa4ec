// The header decoder on arbitrary bytes: whole messages and single values.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "mail/HeaderDecoder.h"

namespace h = qp::mailheader;

namespace {
bool hasControl(const QString& s, bool allowLineBreaks)
{
    for (QChar c : s) {
        const char16_t u = c.unicode();
        if (allowLineBreaks && (u == '\r' || u == '\n'))
            continue;
        if ((u < 0x20 && u != '\t') || u == 0x7F)
            return true;
    }
    return false;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArrayView bytes(reinterpret_cast<const char*>(data), qsizetype(size));

    const QByteArrayView block = h::headerBlock(bytes);
    const QByteArrayView body = h::body(bytes);
    if (block.size() > bytes.size() || body.size() > bytes.size() || block.data() != bytes.data())
        std::abort();

    const h::DecodedHeader d = h::decodeHeader(block);
    // The sender and subject are single lines without control characters:
    // a NUL or line break in them would cut or split what the user sees.
    if (hasControl(d.from, false) || hasControl(d.subject, false) || hasControl(d.date, false))
        std::abort();
    if (hasControl(d.header, true))
        std::abort();

    const QString value = h::decodeFieldValue(bytes);
    if (hasControl(value, false))
        std::abort();
    // Decoding never inflates beyond what the bytes can carry (one UTF-16
    // unit per input byte at most, plus replacement characters).
    if (value.size() > 2 * bytes.size() + 16)
        std::abort();
    (void)h::decodeUnlabelled(bytes);
    // The lossy reading of a charset agrees with the strict one wherever
    // that succeeds, and never makes more characters than there are bytes.
    for (const char* cs : {"ISO-2022-JP", "UTF-8", "Shift_JIS", "EUC-JP"}) {
        const QString lossy = h::decodeCharsetLossy(bytes, cs);
        if (lossy.size() > bytes.size())
            std::abort();
        if (const auto strict = h::decodeCharset(bytes, cs); strict && *strict != lossy)
            std::abort();
    }
    (void)h::rawField(block, "From");
    return 0;
}
