#include "Pop3HeaderMemory.h"

#include <QSet>

namespace qp {

namespace {
// What one entry costs beyond its texts (hash node, size, flags), roughly.
constexpr qsizetype kEntryOverhead = 64;
} // namespace

void Pop3HeaderMemory::useMailbox(const QString& key)
{
    if (key == m_key)
        return;
    m_key = key;
    m_entries.clear();
    m_bytes = 0;
}

void Pop3HeaderMemory::keepOnly(const QList<QByteArray>& uidls)
{
    const QSet<QByteArray> listed(uidls.begin(), uidls.end());
    for (auto it = m_entries.begin(); it != m_entries.end();) {
        if (listed.contains(it.key())) {
            ++it;
            continue;
        }
        m_bytes -= it.key().size() + it->fields.size() + kEntryOverhead;
        it = m_entries.erase(it);
    }
}

const Pop3HeaderMemory::Entry* Pop3HeaderMemory::find(const QByteArray& uidl) const
{
    const auto it = m_entries.constFind(uidl);
    return it == m_entries.constEnd() ? nullptr : &*it;
}

Pop3HeaderMemory::Entry* Pop3HeaderMemory::entryFor(const QByteArray& uidl)
{
    const auto it = m_entries.find(uidl);
    if (it != m_entries.end())
        return &*it;
    if (m_bytes + uidl.size() + kEntryOverhead > kMaxBytes)
        return nullptr;
    m_bytes += uidl.size() + kEntryOverhead;
    return &m_entries[uidl];
}

void Pop3HeaderMemory::rememberFields(const QByteArray& uidl, const QByteArray& fields)
{
    if (m_bytes + fields.size() > kMaxBytes)
        return;
    Entry* e = entryFor(uidl);
    if (!e || e->hasFields)
        return;
    e->fields = fields;
    e->hasFields = true;
    m_bytes += fields.size();
}

void Pop3HeaderMemory::rememberSize(const QByteArray& uidl, qint64 size)
{
    if (Entry* e = entryFor(uidl))
        e->size = size;
}

} // namespace qp
