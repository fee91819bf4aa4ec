#include "mail/TlsMemory.h"

#include "platform/AtomicFile.h"

#include <QFileInfo>
#include <QStringList>
#include <QUrl>

#include <algorithm>

namespace qp {

namespace {

// A line of the file: a host of printable ASCII without spaces, one space,
// a port of 1 to 65535.
bool validKey(const QString& line)
{
    const QStringList parts = line.split(QLatin1Char(' '));
    if (parts.size() != 2 || parts.at(0).isEmpty())
        return false;
    for (QChar c : parts.at(0))
        if (c.unicode() <= 0x20 || c.unicode() >= 0x7F)
            return false;
    bool ok = false;
    const uint port = parts.at(1).toUInt(&ok);
    return ok && port >= 1 && port <= 65535 && parts.at(1) == QString::number(port);
}

} // namespace

QString TlsMemory::key(const QString& host, quint16 port)
{
    QString h = QString::fromLatin1(QUrl::toAce(host));
    if (h.isEmpty())
        h = host; // an address, or a name ACE cannot take: kept as typed
    return h.toLower() + QLatin1Char(' ') + QString::number(port);
}

std::optional<QSet<QString>> TlsMemory::readFile() const
{
    QSet<QString> keys;
    if (m_path.isEmpty())
        return keys;
    const ReadResult file = readWholeFile(m_path);
    if (!file.ok) {
        if (QFileInfo::exists(m_path))
            return std::nullopt; // there, but unreadable: never overwrite it
        return keys; // none yet
    }
    for (const QByteArray& raw : file.bytes.split('\n')) {
        const QString line = QString::fromLatin1(raw).trimmed();
        if (validKey(line))
            keys.insert(line);
    }
    return keys;
}

bool TlsMemory::knows(const QString& host, quint16 port) const
{
    const QString k = key(host, port);
    if (m_session.contains(k))
        return true;
    const auto keys = readFile();
    return keys && keys->contains(k);
}

bool TlsMemory::remember(const QString& host, quint16 port)
{
    const QString k = key(host, port);
    m_session.insert(k);
    m_error.clear();
    if (m_path.isEmpty())
        return true;
    auto keys = readFile();
    if (!keys) {
        m_error = QStringLiteral("cannot read %1").arg(m_path);
        return false;
    }
    if (keys->contains(k))
        return true;
    keys->insert(k);
    QStringList lines(keys->begin(), keys->end());
    std::sort(lines.begin(), lines.end());
    const WriteResult written = writeFileAtomically(m_path, lines.join(QLatin1Char('\n')).toLatin1() + '\n');
    if (!written.ok) {
        m_error = written.error;
        return false;
    }
    return true;
}

} // namespace qp
