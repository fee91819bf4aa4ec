// The IMAP response reader and parser on arbitrary server bytes, cut into
// arbitrary pieces. Byte 0 picks the bounds, byte 1 the piece size; the rest
// is what the server sent (any number of responses).
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "mail/ImapResponse.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    const qsizetype maxText = qsizetype(16) << (data[0] & 7);          // 16 B .. 2 kB
    const qsizetype maxLiteral = qsizetype(1) << ((data[0] >> 3) & 15); // 1 B .. 32 kB
    const qsizetype maxResponse = maxText + 4 * maxLiteral;
    const qsizetype piece = data[1] ? data[1] : 4096;
    const QByteArrayView input(reinterpret_cast<const char*>(data + 2), qsizetype(size - 2));

    qp::ImapResponseReader reader;
    reader.start(maxText, maxLiteral, maxResponse);
    qsizetype at = 0;
    while (at < input.size()) {
        const qsizetype n = std::min(piece, input.size() - at);
        qsizetype used = -1;
        const auto status = reader.feed(input.sliced(at, n), &used);
        if (used < 0 || used > n)
            std::abort(); // consumed more than offered
        if (status == qp::ImapResponseReader::Status::NeedMore && used != n)
            std::abort(); // asked for more while leaving input unread
        // Each literal adds its "{n}\r\n" framing to the text it is counted in.
        if (reader.raw().size() > maxResponse + 2)
            std::abort(); // over the whole bound
        at += used;
        if (status == qp::ImapResponseReader::Status::Done) {
            if (const auto r = qp::parseImapResponse(reader.raw())) {
                (void)r->capabilities();
                (void)r->searchNumbers();
                if (const auto f = qp::imapFetch(*r))
                    if (f->headerFields && f->headerFields->size() > maxLiteral && f->headerFields->size() > maxText)
                        std::abort(); // a value bigger than anything the reader let in
            }
        }
        if (status == qp::ImapResponseReader::Status::Done)
            reader.start(maxText, maxLiteral, maxResponse);
        else if (status != qp::ImapResponseReader::Status::NeedMore)
            break; // over a bound: the client gives the connection up here
        else if (used == 0)
            std::abort(); // no progress
    }
    // The parser alone, on the raw bytes as if the reader had let them in.
    (void)qp::parseImapResponse(input);
    return 0;
}
