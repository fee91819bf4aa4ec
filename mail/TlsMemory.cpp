#include "mail/TlsMemory.h"

#include "platform/AtomicFile.h"

#include <QFileInfo>
#include <QLockFile>
#include <QStringList>
#include <QUrl>

#include <algorithm>

namespace qp {

namespace {

// A host of printable ASCII without spaces, optionally followed by one
// space and a port of 1 to 65535 (the form earlier versions wrote).
bool parseLine(const QByteArray& line, QString* host)
{
    const QList<QByteArray> parts = line.split(' ');
    if (parts.size() > 2 || parts.at(0).isEmpty())
        return false;
    for (char c : parts.at(0))
        if (uchar(c) <= 0x20 || uchar(c) >= 0x7F)
            return false;
    if (parts.size() == 2) {
        bool ok = false;
        const uint port = parts.at(1).toUInt(&ok);
        if (!ok || port < 1 || port > 65535 || parts.at(1) != QByteArray::number(port))
            return false;
    }
    *host = QString::fromLatin1(parts.at(0)).toLower();
    return true;
}

QString fileName(const QString& path)
{
    return QFileInfo(path).fileName();
}

} // namespace

QString TlsMemory::key(const QString& host)
{
    QString h = QString::fromLatin1(QUrl::toAce(host));
    if (h.isEmpty())
        h = host; // an address, or a name ACE cannot take: kept as typed
    h = h.toLower();
    // Whatever was typed, the line written must read back as one host.
    for (QChar c : h)
        if (c.unicode() <= 0x20 || c.unicode() >= 0x7F)
            return QString::fromLatin1(h.toUtf8().toPercentEncoding());
    return h;
}

bool TlsMemory::readFile(QSet<QString>* keys) const
{
    if (m_path.isEmpty())
        return true;
    const ReadResult file = readWholeFile(m_path, kMaxFileBytes);
    if (!file.ok) {
        if (!QFileInfo(m_path).exists() && !QFileInfo(m_path).isSymLink())
            return true; // none yet
        m_error = QStringLiteral("TLS で接続したサーバーの記録「%1」を読めません（%2）")
                      .arg(fileName(m_path), file.error);
        return false;
    }
    int number = 0;
    for (QByteArray line : file.bytes.split('\n')) {
        ++number;
        if (line.endsWith('\r'))
            line.chop(1);
        if (line.isEmpty())
            continue;
        QString host;
        if (!parseLine(line, &host)) {
            m_error = QStringLiteral("TLS で接続したサーバーの記録「%1」の %2 行目が読めない形です")
                          .arg(fileName(m_path))
                          .arg(number);
            return false;
        }
        keys->insert(host);
    }
    return true;
}

TlsMemory::Answer TlsMemory::lookUp(const QString& host) const
{
    const QString k = key(host);
    if (m_session.contains(k))
        return Answer::Known;
    QSet<QString> keys;
    if (!readFile(&keys))
        return Answer::Unreadable;
    return keys.contains(k) ? Answer::Known : Answer::Unknown;
}

bool TlsMemory::remember(const QString& host)
{
    const QString k = key(host);
    m_session.insert(k);
    m_error.clear();
    if (m_path.isEmpty())
        return true;
    // A host the file already holds needs no write, and no lock: a full or
    // read-only data folder must not refuse a server that is remembered.
    QSet<QString> keys;
    if (!readFile(&keys))
        return false;
    if (keys.contains(k))
        return true;
    // Two instances on one data folder must not drop each other's hosts:
    // read again, add and replace under one lock.
    QLockFile lock(m_path + QStringLiteral(".lock"));
    if (!lock.tryLock(3000)) {
        m_error = lock.error() == QLockFile::LockFailedError
                      ? QStringLiteral("TLS で接続したサーバーの記録「%1」を別のプログラムが使っています（%1.lock）")
                      : QStringLiteral("TLS で接続したサーバーの記録「%1」に書き込めません（%1.lock を作れません）");
        m_error = m_error.arg(fileName(m_path));
        return false;
    }
    keys.clear();
    if (!readFile(&keys))
        return false;
    if (keys.contains(k))
        return true;
    keys.insert(k);
    QStringList lines(keys.begin(), keys.end());
    std::sort(lines.begin(), lines.end());
    const WriteResult written = writeFileAtomically(m_path, lines.join(QLatin1Char('\n')).toLatin1() + '\n');
    if (!written.ok) {
        m_error = QStringLiteral("TLS で接続したサーバーの記録「%1」に書き込めません（%2）")
                      .arg(fileName(m_path), written.error);
        return false;
    }
    return true;
}

ExtraCaFile readExtraCaFile(const QString& path)
{
    ExtraCaFile result;
    const ReadResult file = readWholeFile(path, ExtraCaFile::kMaxCaFileBytes);
    if (!file.ok) {
        if (QFileInfo(path).exists() || QFileInfo(path).isSymLink())
            result.problem = QStringLiteral("証明書ファイル「%1」を読めません（%2）").arg(fileName(path), file.error);
        return result;
    }
    result.certificates = QSslCertificate::fromData(file.bytes, QSsl::Pem);
    if (result.certificates.isEmpty() && !file.bytes.trimmed().isEmpty())
        result.problem = QStringLiteral("証明書ファイル「%1」に PEM 形式の証明書がありません").arg(fileName(path));
    return result;
}

} // namespace qp
