#include "watchlist/KeywordRecord.h"

#include "platform/Cp932.h"

namespace qp {

KeywordRecord KeywordRecord::forKeyword(const QString& keyword)
{
    KeywordRecord record;
    QByteArray bytes = cp932::truncateAtCharBoundary(cp932::encode(keyword).bytes, kKeywordBytes);
    bytes.append(kKeywordBytes - bytes.size(), ' ');
    record.keywordBytes = bytes;
    return record;
}

std::int16_t keywordRecordInUse(QByteArrayView bytes)
{
    const auto lo = static_cast<unsigned char>(bytes[2]);
    const auto hi = static_cast<unsigned char>(bytes[3]);
    return static_cast<std::int16_t>(static_cast<std::uint16_t>(lo | (hi << 8)));
}

KeywordRecord KeywordRecord::parse(QByteArrayView bytes)
{
    Q_ASSERT(bytes.size() >= kSize);
    KeywordRecord record;
    record.separator = bytes.first(2).toByteArray();
    record.inUse = keywordRecordInUse(bytes);
    record.keywordBytes = bytes.sliced(kKeywordOffset, kKeywordBytes).toByteArray();
    return record;
}

QByteArray KeywordRecord::serialize() const
{
    QByteArray out;
    out.reserve(kSize);
    out.append(separator.left(2));
    out.append(2 - qMin<qsizetype>(2, separator.size()), '\0');
    const auto u = static_cast<std::uint16_t>(inUse);
    out.append(static_cast<char>(u & 0xFF));
    out.append(static_cast<char>(u >> 8));
    out.append(keywordBytes.left(kKeywordBytes));
    out.append(kKeywordBytes - qMin(kKeywordBytes, keywordBytes.size()), ' ');
    return out;
}

QString KeywordRecord::keyword() const
{
    return cp932::decode(keywordBytes).text;
}

} // namespace qp
