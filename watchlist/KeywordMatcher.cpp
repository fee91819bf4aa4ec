#include "watchlist/KeywordMatcher.h"

#include "platform/Cp932.h"
#include "watchlist/KeywordRecord.h"

#include <QStringDecoder>

#include <algorithm>
#include <cstdint>
#include <vector>

namespace qp {

QStringView trimSpaces(QStringView text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && text[begin] == u' ')
        ++begin;
    while (end > begin && text[end - 1] == u' ')
        --end;
    return text.sliced(begin, end - begin);
}

int keywordPosition(QStringView sender, QStringView keyword)
{
    const QStringView s = trimSpaces(sender);
    const QStringView k = trimSpaces(keyword);
    if (s.isEmpty())
        return 0;
    if (k.isEmpty())
        return 1;
    const qsizetype at = s.indexOf(k, 0, Qt::CaseSensitive);
    return at < 0 ? 0 : static_cast<int>(at + 1);
}

// Aho-Corasick over UTF-16 units. Keywords are deduplicated; each distinct
// keyword remembers how many records hold it and the last of them, which is
// all the result needs. A sender is scanned once, whatever the number of
// keywords.
class KeywordMatcher::Automaton {
public:
    explicit Automaton(const QStringList& keywords);
    SenderMatch run(QStringView sender);

private:
    struct Pattern {
        int length = 0;
        int records = 0;    // how many records hold this keyword
        int lastRecord = 0; // 1-based number of the last of them
    };

    int child(int node, char16_t c) const
    {
        if (node == 0)
            return m_rootNext[c];
        const int* first = m_edgeChar.data() + m_edgeBegin[node];
        const int* last = m_edgeChar.data() + m_edgeBegin[node + 1];
        const int* it = std::lower_bound(first, last, int(c));
        return (it != last && *it == c) ? m_edgeTarget[it - m_edgeChar.data()] : -1;
    }

    std::vector<Pattern> m_patterns;
    std::vector<int> m_rootNext; // 65536 entries: most steps fall back to the root
    std::vector<int> m_edgeBegin; // per node, into m_edgeChar/m_edgeTarget (sorted)
    std::vector<int> m_edgeChar;
    std::vector<int> m_edgeTarget;
    std::vector<int> m_fail;
    std::vector<int> m_output;  // pattern ending at the node, -1 none
    std::vector<int> m_outLink; // nearest node on the fail chain with an output
    int m_emptyRecords = 0;
    int m_emptyLastRecord = 0;
    int m_recordCount = 0;
    QString m_lastKeyword;

    // Per-scan bookkeeping without clearing arrays for every sender.
    std::vector<std::uint32_t> m_seen;
    std::vector<int> m_firstStart;
    std::vector<int> m_found;
    std::uint32_t m_generation = 0;
};

KeywordMatcher::Automaton::Automaton(const QStringList& keywords)
    : m_rootNext(65536, -1)
{
    m_recordCount = static_cast<int>(keywords.size());

    // Distinct keywords in code-unit order, each with its number of records
    // and its last record. In this order a keyword shares its prefix nodes
    // with the one before it, and every node's children are created in
    // ascending order: the trie is built without any lookups.
    struct Entry {
        QStringView text;
        int record;
    };
    std::vector<Entry> entries;
    entries.reserve(keywords.size());
    for (int r = 0; r < keywords.size(); ++r) {
        const QStringView k = trimSpaces(keywords[r]);
        if (r == keywords.size() - 1)
            m_lastKeyword = k.toString();
        if (k.isEmpty()) {
            ++m_emptyRecords;
            m_emptyLastRecord = r + 1;
        } else {
            entries.push_back({k, r + 1});
        }
    }
    auto unitLess = [](QStringView a, QStringView b) {
        return std::lexicographical_compare(a.utf16(), a.utf16() + a.size(), b.utf16(), b.utf16() + b.size());
    };
    std::stable_sort(entries.begin(), entries.end(),
                     [&](const Entry& a, const Entry& b) { return unitLess(a.text, b.text); });

    struct Edge {
        int parent;
        int c;
        int target;
    };
    std::vector<Edge> edges;
    std::vector<int> path{0}; // path[d]: node of the previous keyword at depth d
    QStringView previous;
    m_output.push_back(-1); // the root
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const QStringView k = entries[i].text;
        if (i > 0 && k == previous) {
            Pattern& p = m_patterns.back();
            ++p.records;
            p.lastRecord = entries[i].record; // stable sort: record order kept
            continue;
        }
        qsizetype common = 0;
        while (common < k.size() && common < previous.size() && k[common] == previous[common])
            ++common;
        path.resize(common + 1);
        for (qsizetype d = common; d < k.size(); ++d) {
            const int next = static_cast<int>(m_output.size());
            m_output.push_back(-1);
            edges.push_back({path.back(), k[d].unicode(), next});
            path.push_back(next);
        }
        const int id = static_cast<int>(m_patterns.size());
        m_patterns.push_back({static_cast<int>(k.size()), 1, entries[i].record});
        m_output[path.back()] = id;
        previous = k;
    }

    // Children by parent (a stable counting sort keeps them ascending).
    const int nodes = static_cast<int>(m_output.size());
    m_edgeBegin.assign(nodes + 1, 0);
    for (const Edge& e : edges)
        ++m_edgeBegin[e.parent + 1];
    for (int n = 0; n < nodes; ++n)
        m_edgeBegin[n + 1] += m_edgeBegin[n];
    m_edgeChar.resize(edges.size());
    m_edgeTarget.resize(edges.size());
    std::vector<int> fill(m_edgeBegin.begin(), m_edgeBegin.end() - 1);
    for (const Edge& e : edges) {
        const int at = fill[e.parent]++;
        m_edgeChar[at] = e.c;
        m_edgeTarget[at] = e.target;
        if (e.parent == 0)
            m_rootNext[e.c] = e.target;
    }

    // Failure and output links, breadth first.
    m_fail.assign(nodes, 0);
    m_outLink.assign(nodes, -1);
    std::vector<int> queue;
    queue.reserve(nodes);
    for (int i = m_edgeBegin[0]; i < m_edgeBegin[1]; ++i)
        queue.push_back(m_edgeTarget[i]);
    for (std::size_t head = 0; head < queue.size(); ++head) {
        const int u = queue[head];
        for (int i = m_edgeBegin[u]; i < m_edgeBegin[u + 1]; ++i) {
            const int v = m_edgeTarget[i];
            const auto c = static_cast<char16_t>(m_edgeChar[i]);
            int f = m_fail[u];
            int target = child(f, c);
            while (target < 0 && f != 0) {
                f = m_fail[f];
                target = child(f, c);
            }
            m_fail[v] = target >= 0 ? target : 0;
            const int fv = m_fail[v];
            m_outLink[v] = m_output[fv] >= 0 ? fv : m_outLink[fv];
            queue.push_back(v);
        }
    }
    m_seen.assign(m_patterns.size(), 0);
    m_firstStart.assign(m_patterns.size(), 0);
}

SenderMatch KeywordMatcher::Automaton::run(QStringView sender)
{
    SenderMatch result;
    result.recordCount = m_recordCount;
    result.lastKeyword = m_lastKeyword;
    const QStringView s = trimSpaces(sender);
    if (s.isEmpty())
        return result;

    if (++m_generation == 0) {
        std::fill(m_seen.begin(), m_seen.end(), 0);
        m_generation = 1;
    }
    m_found.clear();
    int state = 0;
    for (qsizetype i = 0; i < s.size(); ++i) {
        const char16_t c = s[i].unicode();
        int next = child(state, c);
        while (next < 0 && state != 0) {
            state = m_fail[state];
            next = child(state, c);
        }
        state = next >= 0 ? next : 0;
        for (int o = m_output[state] >= 0 ? state : m_outLink[state]; o >= 0; o = m_outLink[o]) {
            const int id = m_output[o];
            if (m_seen[id] != m_generation) {
                // Occurrences of one keyword are reported in order, so the
                // first report is the first occurrence.
                m_seen[id] = m_generation;
                m_firstStart[id] = static_cast<int>(i + 1) - m_patterns[id].length;
                m_found.push_back(id);
            }
        }
    }

    int lastRecord = 0;
    if (m_emptyRecords > 0) {
        result.matchCount += m_emptyRecords;
        lastRecord = m_emptyLastRecord;
        result.lastMatchPosition = 1;
        result.lastMatchLength = 0;
    }
    for (int id : m_found) {
        const Pattern& p = m_patterns[id];
        result.matchCount += p.records;
        if (p.lastRecord > lastRecord) {
            lastRecord = p.lastRecord;
            result.lastMatchPosition = m_firstStart[id] + 1;
            result.lastMatchLength = p.length;
        }
    }
    return result;
}

KeywordMatcher::KeywordMatcher() = default;
KeywordMatcher::~KeywordMatcher() = default;

SenderMatch KeywordMatcher::match(const QString& sender)
{
    const KeywordStoreStatus status = KeywordStore::readBytes(m_scratch);
    if (!status.ok()) {
        SenderMatch none;
        none.status = status;
        return none;
    }
    if (!m_built || m_scratch != m_bytes) {
        m_bytes.swap(m_scratch);
        constexpr qsizetype size = KeywordRecord::kSize;
        const qsizetype records = m_bytes.size() / size;
        QStringList keywords;
        keywords.reserve(records);
        // One decoder for all fields (creating one per record costs more than
        // the rest of the build); a field it cannot decode cleanly goes
        // through the codec module, which marks each bad byte the same way
        // the window's list shows it.
        QStringDecoder decoder("Shift_JIS", QStringConverter::Flag::Stateless);
        for (qsizetype r = 0; r < records; ++r) {
            QByteArrayView field =
                QByteArrayView(m_bytes).sliced(r * size + KeywordRecord::kKeywordOffset, KeywordRecord::kKeywordBytes);
            // Trimming the filler before decoding gives the same text as
            // trimming after: 0x20 is never the second byte of a character.
            while (!field.isEmpty() && field.back() == ' ')
                field.chop(1);
            while (!field.isEmpty() && field.front() == ' ')
                field = field.sliced(1);
            QString text = decoder.decode(field);
            if (decoder.hasError() || text.contains(QChar::ReplacementCharacter)) {
                decoder.resetState();
                text = cp932::decode(field.toByteArray()).text;
            }
            keywords.append(text);
        }
        m_automaton = std::make_unique<Automaton>(keywords);
        m_built = true;
        ++m_rebuilds;
    }
    SenderMatch result = m_automaton->run(sender);
    result.status = status;
    return result;
}

SenderMatch KeywordMatcher::matchList(const QStringList& keywords, const QString& sender)
{
    Automaton automaton(keywords);
    return automaton.run(sender);
}

} // namespace qp
