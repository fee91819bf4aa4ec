// The reply reader on arbitrary server bytes, cut into arbitrary pieces.
// Input: byte 0 picks single- or multi-line and the data bound, byte 1 the
// piece size, its top bit whether data over the bound is read on to the end
// of the reply (keeping a quarter of the bound) or the next reply started;
// the rest is what the server sent (possibly several replies).
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "mail/Pop3Reply.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    const bool multiLine = data[0] & 1;
    const qsizetype maxData = qsizetype(1) << ((data[0] >> 1) % 20); // 1 B .. 512 kB
    const qsizetype piece = (data[1] & 0x7f) ? (data[1] & 0x7f) : 4096;
    const bool readOn = data[1] & 0x80;
    const qsizetype keep = readOn ? maxData / 4 : -1;
    const QByteArrayView input(reinterpret_cast<const char*>(data + 2), qsizetype(size - 2));

    qp::Pop3ReplyReader reader;
    auto start = [&] {
        if (multiLine)
            reader.startMultiLine(maxData, keep);
        else
            reader.startSingleLine();
    };
    start();
    qsizetype at = 0;
    while (at < input.size()) {
        const qsizetype n = std::min(piece, input.size() - at);
        qsizetype used = -1;
        const auto status = reader.feed(input.sliced(at, n), &used);
        if (used < 0 || used > n)
            std::abort(); // consumed more than offered
        if (status == qp::Pop3ReplyReader::Status::NeedMore && used != n)
            std::abort(); // asked for more while leaving input unread
        if (reader.statusLine().size() > qp::Pop3ReplyReader::kMaxStatusLine + 1)
            std::abort(); // status line over its bound
        if (reader.data().size() > (keep < 0 ? maxData : keep) || reader.data().size() > reader.dataSize())
            std::abort(); // data over its bound
        at += used;
        if (status == qp::Pop3ReplyReader::Status::TooLarge && readOn) {
            if (!reader.overflowed())
                std::abort(); // over the bound without saying so
            continue; // the rest of the reply is dropped
        }
        if (status != qp::Pop3ReplyReader::Status::NeedMore) {
            (void)reader.isOk();
            (void)reader.statusText();
            start(); // the next reply
        } else if (used == 0) {
            std::abort(); // no progress
        }
    }
    return 0;
}
