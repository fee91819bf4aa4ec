#pragma once
// Keyword-store records laid out byte by byte as the keyword window writes
// them: a separator (CR LF), InUse as 16-bit little-endian, then 200 bytes of
// CP932 keyword padded with spaces.
#include "platform/AtomicFile.h"
#include "platform/Cp932.h"
#include "watchlist/KeywordStore.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace qp::test {

// Adds a keyword where the keyword window's 登録 puts it: the next record
// number, then that record.
inline KeywordStoreStatus appendKeyword(const QString& keyword)
{
    const KeywordRecordNumber next = KeywordStore::nextRecordNumber();
    return next.status.ok() ? KeywordStore::putRecord(next.number, keyword) : next.status;
}

inline QByteArray record(const QByteArray& keywordBytes, qint16 inUse = 1, const QByteArray& sep = "\r\n")
{
    QByteArray r = sep;
    r.append(char(quint16(inUse) & 0xFF));
    r.append(char(quint16(inUse) >> 8));
    r.append(keywordBytes.left(200));
    r.append(200 - qMin<qsizetype>(200, keywordBytes.size()), ' ');
    return r;
}

inline QByteArray record(const QString& keyword, qint16 inUse = 1)
{
    return record(cp932::encode(keyword).bytes, inUse);
}

// A whole store of keywords in use.
inline QByteArray storeBytes(const QStringList& keywords)
{
    QByteArray all;
    for (const QString& k : keywords)
        all += record(k);
    return all;
}

inline bool writeStore(const QString& path, const QStringList& keywords)
{
    return writeFileAtomically(path, storeBytes(keywords)).ok;
}

// A keyword as the store gives it back: padded to its 200 bytes.
inline QString padded(const QString& keyword)
{
    return keyword + QString(200 - cp932::byteLength(keyword), QLatin1Char(' '));
}

} // namespace qp::test
