#pragma once
#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <cstdint>

namespace qp {

// One entry of the keyword store ("ferruledata50.data"), as it lies on
// disk, a layout that existing stores keep. The file has no header: record n (from 1)
// starts at byte (n - 1) * 204.
//
//   offset 0, 2 bytes    separator, CR LF
//   offset 2, 2 bytes    InUse, signed 16-bit little-endian (1 live, 0 marked)
//   offset 4, 200 bytes  keyword in CP932, left-aligned, padded with spaces
struct KeywordRecord {
    static constexpr qsizetype kSize = 204;
    static constexpr qsizetype kKeywordOffset = 4;
    static constexpr qsizetype kKeywordBytes = 200;

    QByteArray separator = QByteArrayLiteral("\r\n"); // always 2 bytes
    std::int16_t inUse = 1;
    QByteArray keywordBytes; // always 200 bytes once parsed or built

    // The record for a keyword typed by the user: InUse 1, the text in CP932
    // cut to 200 bytes at a character boundary, then spaces up to 200.
    // Characters without a CP932 form come out as "?"; callers refuse such
    // text first (see cp932::canEncode).
    static KeywordRecord forKeyword(const QString& keyword);

    // Parses the 204 bytes at the start of bytes (which must hold them).
    static KeywordRecord parse(QByteArrayView bytes);

    // Exactly 204 bytes.
    QByteArray serialize() const;

    // The keyword field decoded from CP932, filler spaces included. Bytes
    // that are not valid CP932 come out as U+FFFD; the record itself is never
    // rewritten from this text, so nothing is lost.
    QString keyword() const;
};

// InUse of the record that starts at bytes[0], without a full parse.
std::int16_t keywordRecordInUse(QByteArrayView bytes);

} // namespace qp
