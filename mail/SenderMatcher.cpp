#include "mail/SenderMatcher.h"

#include "platform/Cp932.h"
#include "platform/ProgramFolder.h"

#include <QFile>
#include <QHash>

#include <algorithm>
#include <cstring>
#include <deque>
#include <utility>

namespace qp {

namespace {
constexpr qsizetype kRecordSize = 204;
constexpr qsizetype kKeywordOffset = 4;
constexpr qsizetype kKeywordSize = 200;
constexpr qsizetype kChunkSize = 256 * 1024;

QString storePath()
{
    return programPath(QStringLiteral("\\★MAilData\\Ferruledata50.data"));
}
} // namespace

KeywordStoreReader::KeywordStoreReader(QString path) : m_path(std::move(path)) {}

bool KeywordStoreReader::readAfresh()
{
    const QString path = m_path.isEmpty() ? storePath() : m_path;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        // Opening the store creates it when it is missing; a missing data
        // folder leaves nothing to create and reads as an empty store.
        if (!QFile::exists(path)) {
            QFile create(path);
            if (create.open(QIODevice::ReadWrite))
                create.close();
        }
    }

    // Compare chunk by chunk with the previous read, so an unchanged store
    // costs one pass over its bytes and no copy.
    const QByteArray& old = m_records;
    QByteArray fresh;
    bool diverged = false;
    qsizetype offset = 0;
    if (file.isOpen()) {
        if (m_chunk.size() != kChunkSize)
            m_chunk.resize(kChunkSize);
        for (;;) {
            const qint64 n = file.read(m_chunk.data(), kChunkSize);
            if (n <= 0)
                break; // end of file, or a read error: keep what was read
            if (!diverged) {
                const qsizetype comparable = std::clamp<qsizetype>(old.size() - offset, 0, n);
                if (comparable < n || std::memcmp(old.constData() + offset, m_chunk.constData(), comparable) != 0) {
                    diverged = true;
                    fresh = old.left(offset);
                    fresh.append(m_chunk.constData(), n);
                }
            } else {
                fresh.append(m_chunk.constData(), n);
            }
            offset += n;
        }
    }
    const qsizetype whole = offset - offset % kRecordSize;

    const bool first = !m_haveRead;
    m_haveRead = true;
    if (!diverged) {
        if (whole == old.size())
            return first;
        m_records.truncate(whole); // the store shrank
        return true;
    }
    fresh.truncate(whole);
    if (fresh == old)
        return first; // only a part-record was added at the end
    m_records = std::move(fresh);
    return true;
}

QString trimSpaces(const QString& text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && text[begin] == QLatin1Char(' '))
        ++begin;
    while (end > begin && text[end - 1] == QLatin1Char(' '))
        --end;
    return text.mid(begin, end - begin);
}

QStringList keywordsOfRecords(const QByteArray& records)
{
    QStringList keywords;
    const qsizetype count = records.size() / kRecordSize;
    keywords.reserve(count);
    for (qsizetype r = 0; r < count; ++r) {
        const QByteArray field = records.mid(r * kRecordSize + kKeywordOffset, kKeywordSize);
        keywords.append(trimSpaces(cp932::decode(field).text));
    }
    return keywords;
}

void SenderMatcher::setRecords(const QByteArray& records)
{
    if (m_built && records == m_records)
        return;
    rebuild(records);
}

void SenderMatcher::rebuild(const QByteArray& records)
{
    m_records = records;
    m_built = true;
    const QStringList keywords = keywordsOfRecords(records);
    m_recordCount = keywords.size();
    m_emptyKeywords = 0;
    m_lastKeyword = keywords.isEmpty() ? QString() : keywords.last();
    m_multiplicity.clear();

    // The trie of the distinct non-empty keywords, built with child lists
    // and then flattened.
    std::vector<std::vector<std::pair<char16_t, int>>> kids(1);
    std::vector<Node> nodes(1);
    QHash<QString, int> ids;
    for (const QString& keyword : keywords) {
        if (keyword.isEmpty()) {
            ++m_emptyKeywords;
            continue;
        }
        auto found = ids.constFind(keyword);
        if (found != ids.constEnd()) {
            ++m_multiplicity[*found];
            continue;
        }
        const int id = int(m_multiplicity.size());
        ids.insert(keyword, id);
        m_multiplicity.push_back(1);
        int node = 0;
        for (QChar qc : keyword) {
            const char16_t c = qc.unicode();
            auto& list = kids[node];
            auto it = std::find_if(list.begin(), list.end(), [c](const auto& e) { return e.first == c; });
            if (it != list.end()) {
                node = it->second;
            } else {
                const int next = int(nodes.size());
                nodes.emplace_back();
                kids.emplace_back();
                kids[node].emplace_back(c, next); // kids may have moved: index again
                node = next;
            }
        }
        nodes[node].keyword = id;
    }

    m_firstEdge.assign(nodes.size() + 1, 0);
    m_edgeChar.clear();
    m_edgeTarget.clear();
    for (std::size_t u = 0; u < nodes.size(); ++u) {
        auto& list = kids[u];
        std::sort(list.begin(), list.end());
        m_firstEdge[u] = std::uint32_t(m_edgeChar.size());
        for (const auto& [c, v] : list) {
            m_edgeChar.push_back(c);
            m_edgeTarget.push_back(v);
        }
    }
    m_firstEdge[nodes.size()] = std::uint32_t(m_edgeChar.size());
    m_nodes = std::move(nodes);

    // Failure links, breadth first.
    std::deque<int> queue;
    for (std::uint32_t e = m_firstEdge[0]; e < m_firstEdge[1]; ++e) {
        m_nodes[m_edgeTarget[e]].fail = 0;
        queue.push_back(m_edgeTarget[e]);
    }
    while (!queue.empty()) {
        const int u = queue.front();
        queue.pop_front();
        for (std::uint32_t e = m_firstEdge[u]; e < m_firstEdge[u + 1]; ++e) {
            const char16_t c = m_edgeChar[e];
            const int v = m_edgeTarget[e];
            int f = m_nodes[u].fail;
            int g = child(f, c);
            while (g < 0 && f != 0) {
                f = m_nodes[f].fail;
                g = child(f, c);
            }
            m_nodes[v].fail = g >= 0 ? g : 0;
            const Node& fn = m_nodes[m_nodes[v].fail];
            m_nodes[v].outLink = fn.keyword >= 0 ? m_nodes[v].fail : fn.outLink;
            queue.push_back(v);
        }
    }
    m_seen.assign(m_nodes.size(), 0);
    m_stamp = 0;
}

int SenderMatcher::child(int node, char16_t c) const
{
    const auto first = m_edgeChar.begin() + m_firstEdge[node];
    const auto last = m_edgeChar.begin() + m_firstEdge[node + 1];
    const auto it = std::lower_bound(first, last, c);
    if (it == last || *it != c)
        return -1;
    return m_edgeTarget[std::size_t(it - m_edgeChar.begin())];
}

SenderMatch SenderMatcher::match(const QString& sender)
{
    SenderMatch result;
    if (!m_built)
        rebuild(QByteArray());
    result.anyRecord = m_recordCount > 0;
    result.lastKeyword = m_lastKeyword;
    const QString text = trimSpaces(sender);
    if (text.isEmpty() || m_recordCount == 0)
        return result; // nothing is found in an empty text, not even ""

    result.matchingRecords = m_emptyKeywords;
    result.lastPosition = m_lastKeyword.isEmpty() ? 1 : int(text.indexOf(m_lastKeyword)) + 1;

    if (++m_stamp == 0) { // the stamps wrapped: start them over
        std::fill(m_seen.begin(), m_seen.end(), 0);
        m_stamp = 1;
    }
    int state = 0;
    for (QChar qc : text) {
        const char16_t c = qc.unicode();
        int next = child(state, c);
        while (next < 0 && state != 0) {
            state = m_nodes[state].fail;
            next = child(state, c);
        }
        state = next >= 0 ? next : 0;
        // Every keyword ending here; a node seen before in this scan had its
        // whole chain counted then.
        for (int v = m_nodes[state].keyword >= 0 ? state : m_nodes[state].outLink; v >= 0; v = m_nodes[v].outLink) {
            if (m_seen[v] == m_stamp)
                break;
            m_seen[v] = m_stamp;
            result.matchingRecords += m_multiplicity[m_nodes[v].keyword];
        }
    }
    return result;
}

} // namespace qp
