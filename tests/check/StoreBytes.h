#pragma once
// Keyword-store records as the keyword window writes them: CR LF, InUse
// (16-bit little-endian), 200 bytes of CP932 keyword padded with spaces.
#include "platform/AtomicFile.h"
#include "platform/Cp932.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace qp::test {

inline QByteArray storeRecord(const QString& keyword, qint16 inUse = 1)
{
    QByteArray r("\r\n", 2);
    r.append(char(inUse & 0xff));
    r.append(char((inUse >> 8) & 0xff));
    QByteArray k = cp932::encode(keyword).bytes.left(200);
    k.append(QByteArray(200 - k.size(), ' '));
    r.append(k);
    return r;
}

inline QByteArray storeBytes(const QStringList& keywords)
{
    QByteArray all;
    for (const QString& k : keywords)
        all += storeRecord(k);
    return all;
}

inline bool writeStore(const QString& path, const QStringList& keywords)
{
    return writeFileAtomically(path, storeBytes(keywords)).ok;
}

} // namespace qp::test
