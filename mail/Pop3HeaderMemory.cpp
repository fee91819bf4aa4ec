#include "Pop3HeaderMemory.h"

#include "platform/AtomicFile.h"

#include <QCryptographicHash>
#include <QDataStream>
#include <QFileDevice>
#include <QFileInfo>
#include <QSet>

namespace qp {

namespace {
// What one entry costs beyond its texts (hash node, size, flags), roughly.
constexpr qsizetype kEntryOverhead = 64;
// The file: this line, the entries as a QDataStream, then the SHA-256 of
// everything before it. A new layout takes a new line, so an older file is
// dropped rather than misread.
constexpr char kMagic[] = "Quillpost header memory 1\n";
constexpr int kStreamVersion = QDataStream::Qt_6_4;
constexpr qsizetype kDigestBytes = 32;
// No key is longer (POP3 UIDL: 70 bytes; IMAP UID: digits), no field list
// longer than three cut fields and their line ends.
constexpr qsizetype kMaxIdBytes = 70;
constexpr qsizetype kMaxFieldsBytes = 3 * (48 * 1024 + 1024 + 2);
} // namespace

void Pop3HeaderMemory::setPath(const QString& path)
{
    m_path = path;
    m_loaded = false;
}

void Pop3HeaderMemory::clear()
{
    m_key.clear();
    m_entries.clear();
    m_bytes = 0;
}

void Pop3HeaderMemory::load()
{
    if (m_loaded)
        return;
    m_loaded = true;
    if (m_path.isEmpty())
        return;
    const ReadResult file = readWholeFile(m_path, kMaxFileBytes);
    if (!file.ok) {
        // None yet is the usual case; anything else there is replaced at
        // the next save.
        m_dirty = QFileInfo::exists(m_path) || QFileInfo(m_path).isSymLink();
        return;
    }
    const QByteArray& bytes = file.bytes;
    const qsizetype magic = qsizetype(sizeof kMagic) - 1;
    if (bytes.size() < magic + kDigestBytes || !bytes.startsWith(kMagic)
        || QCryptographicHash::hash(QByteArrayView(bytes).first(bytes.size() - kDigestBytes), QCryptographicHash::Sha256)
               != bytes.right(kDigestBytes)) {
        m_dirty = true;
        return;
    }
    QDataStream in(QByteArray::fromRawData(bytes.constData() + magic, bytes.size() - magic - kDigestBytes));
    in.setVersion(kStreamVersion);
    QString key;
    quint32 count = 0;
    in >> key >> count;
    QHash<QByteArray, Entry> entries;
    qsizetype total = 0;
    for (quint32 i = 0; i < count && in.status() == QDataStream::Ok; ++i) {
        QByteArray id;
        Entry e;
        in >> id >> e.size >> e.hasFields >> e.fields;
        if (id.isEmpty() || id.size() > kMaxIdBytes || e.fields.size() > kMaxFieldsBytes || e.size < -1
            || (!e.hasFields && !e.fields.isEmpty()) || entries.contains(id))
            in.setStatus(QDataStream::ReadCorruptData);
        total += id.size() + e.fields.size() + kEntryOverhead;
        if (total > kMaxBytes)
            in.setStatus(QDataStream::ReadCorruptData);
        entries.insert(id, e);
    }
    if (in.status() != QDataStream::Ok || !in.atEnd()) {
        m_dirty = true;
        return;
    }
    m_key = key;
    m_entries = std::move(entries);
    m_bytes = total;
}

bool Pop3HeaderMemory::save()
{
    if (m_path.isEmpty() || !m_dirty)
        return true;
    QByteArray bytes(kMagic);
    {
        QByteArray payload;
        QDataStream out(&payload, QIODevice::WriteOnly);
        out.setVersion(kStreamVersion);
        out << m_key << quint32(m_entries.size());
        for (auto it = m_entries.cbegin(); it != m_entries.cend(); ++it)
            out << it.key() << it->size << it->hasFields << it->fields;
        bytes += payload;
    }
    bytes += QCryptographicHash::hash(bytes, QCryptographicHash::Sha256);
    const WriteResult written =
        writeFileAtomically(m_path, bytes, int(QFileDevice::ReadOwner | QFileDevice::WriteOwner));
    if (!written.ok) {
        m_error = QStringLiteral("メールの記録「%1」に書き込めません（%2）").arg(QFileInfo(m_path).fileName(), written.error);
        return false;
    }
    m_dirty = false;
    m_error.clear();
    return true;
}

void Pop3HeaderMemory::useMailbox(const QString& key)
{
    load();
    if (key == m_key)
        return;
    m_dirty = m_dirty || !m_entries.isEmpty() || !m_key.isEmpty();
    clear();
    m_key = key;
}

void Pop3HeaderMemory::keepOnly(const QList<QByteArray>& ids)
{
    // Marks rather than a set of the listed: one look-up per message.
    const quint32 pass = ++m_pass;
    for (const QByteArray& id : ids) {
        const auto it = m_entries.find(id);
        if (it != m_entries.end())
            it->mark = pass;
    }
    for (auto it = m_entries.begin(); it != m_entries.end();) {
        if (it->mark == pass) {
            ++it;
            continue;
        }
        m_bytes -= it.key().size() + it->fields.size() + kEntryOverhead;
        it = m_entries.erase(it);
        m_dirty = true;
    }
}

const Pop3HeaderMemory::Entry* Pop3HeaderMemory::find(const QByteArray& id) const
{
    const auto it = m_entries.constFind(id);
    return it == m_entries.constEnd() ? nullptr : &*it;
}

Pop3HeaderMemory::Entry* Pop3HeaderMemory::entryFor(const QByteArray& id)
{
    const auto it = m_entries.find(id);
    if (it != m_entries.end())
        return &*it;
    if (id.isEmpty() || id.size() > kMaxIdBytes || m_bytes + id.size() + kEntryOverhead > kMaxBytes)
        return nullptr;
    m_bytes += id.size() + kEntryOverhead;
    m_dirty = true;
    return &m_entries[id];
}

void Pop3HeaderMemory::rememberFields(const QByteArray& id, const QByteArray& fields)
{
    if (m_bytes + fields.size() > kMaxBytes || fields.size() > kMaxFieldsBytes)
        return;
    Entry* e = entryFor(id);
    if (!e || e->hasFields)
        return;
    e->fields = fields;
    e->hasFields = true;
    m_bytes += fields.size();
    m_dirty = true;
}

void Pop3HeaderMemory::rememberSize(const QByteArray& id, qint64 size)
{
    Entry* e = entryFor(id);
    if (e && e->size != size) {
        e->size = size;
        m_dirty = true;
    }
}

void Pop3HeaderMemory::forget(const QByteArray& id)
{
    const auto it = m_entries.find(id);
    if (it == m_entries.end())
        return;
    m_bytes -= it.key().size() + it->fields.size() + kEntryOverhead;
    m_entries.erase(it);
    m_dirty = true;
}

} // namespace qp
