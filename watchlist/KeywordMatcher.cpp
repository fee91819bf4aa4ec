#include "watchlist/KeywordMatcher.h"

#include "platform/Cp932.h"
#include "watchlist/KeywordRecord.h"

#include <QStringDecoder>

#include <algorithm>
#include <utility>
#include <cstdint>
#include <vector>

#ifdef __GLIBC__
#include <malloc.h>
#include <QFile>
#include <sys/stat.h>
#endif

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
    // Both sides in the forms Shift-JIS text decodes to (one unit for one,
    // so the position is that in the sender as given).
    const QString sw = cp932::toWindowsForms(s.toString());
    const QString kw = cp932::toWindowsForms(k.toString());
    const qsizetype at = sw.indexOf(kw, 0, Qt::CaseSensitive);
    return at < 0 ? 0 : static_cast<int>(at + 1);
}

// Aho-Corasick over UTF-16 units, on at most the first kIndexedUnits of each
// keyword; the rest of a longer keyword is compared where its head was
// found. A trie of whole keywords would take a node (some 30 bytes) per
// character stored, a few dozen times the size of the store; with the head
// bounded, the matcher stays within a few times it. Keywords are
// deduplicated; each distinct keyword remembers how many records hold it and
// the last of them, which is all the result needs. A sender is scanned once.
class KeywordMatcher::Automaton {
public:
    // One keyword per record, in record order: spans of text (offset,
    // length), untrimmed. The automaton keeps text; nothing else is copied.
    Automaton(QString text, const std::vector<std::pair<int, int>>& records);
    SenderMatch run(QStringView sender);

private:
    static constexpr int kIndexedUnits = 16;

    struct Keyword {
        int offset = 0;     // into m_text
        int length = 0;
        int records = 0;    // how many records hold this keyword
        int lastRecord = 0; // 1-based number of the last of them
    };
    // The keywords whose head ends at a node: a run of ids (they are
    // numbered in sorted order, so keywords sharing a head are adjacent).
    struct Output {
        int first = 0;
        int last = 0; // one past
        int depth = 0; // length of the head
    };

    int child(int node, char16_t c) const
    {
        if (node == 0)
            return m_rootNext[c];
        const char16_t* first = m_edgeChar.data() + m_edgeBegin[node];
        const char16_t* last = m_edgeChar.data() + m_edgeBegin[node + 1];
        const char16_t* it = std::lower_bound(first, last, c);
        return (it != last && *it == c) ? m_edgeTarget[it - m_edgeChar.data()] : -1;
    }

    QString m_text; // the keywords as given; Keyword::offset points here
    std::vector<Keyword> m_keywords;
    std::vector<Output> m_outputs;
    std::vector<int> m_rootNext; // 65536 entries: most steps fall back to the root
    std::vector<int> m_edgeBegin; // per node, into m_edgeChar/m_edgeTarget (sorted)
    std::vector<char16_t> m_edgeChar;
    std::vector<int> m_edgeTarget;
    std::vector<int> m_fail;
    std::vector<int> m_output;  // index into m_outputs of the heads ending at the node, -1 none
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

KeywordMatcher::Automaton::Automaton(QString text, const std::vector<std::pair<int, int>>& records)
    : m_text(std::move(text))
    , m_rootNext(65536, -1)
{
    m_recordCount = static_cast<int>(records.size());

    // Distinct keywords in code-unit order, each with its number of records
    // and its last record. In this order a head shares its prefix nodes with
    // the one before it, and every node's children are created in ascending
    // order: the trie is built without any lookups.
    struct Entry {
        QStringView text;
        int record;
    };
    std::vector<Entry> entries;
    entries.reserve(records.size());
    const QStringView all(m_text);
    for (std::size_t r = 0; r < records.size(); ++r) {
        const QStringView k = trimSpaces(all.sliced(records[r].first, records[r].second));
        if (r == records.size() - 1)
            m_lastKeyword = k.toString();
        if (k.isEmpty()) {
            ++m_emptyRecords;
            m_emptyLastRecord = static_cast<int>(r + 1);
        } else {
            entries.push_back({k, static_cast<int>(r + 1)});
        }
    }
    auto unitLess = [](QStringView a, QStringView b) {
        return std::lexicographical_compare(a.utf16(), a.utf16() + a.size(), b.utf16(), b.utf16() + b.size());
    };
    std::stable_sort(entries.begin(), entries.end(),
                     [&](const Entry& a, const Entry& b) { return unitLess(a.text, b.text); });

    struct Edge {
        int parent;
        char16_t c;
        int target;
    };
    std::vector<Edge> edges;
    std::vector<int> path{0}; // path[d]: node of the previous head at depth d
    QStringView previous;
    QStringView previousHead;
    m_output.push_back(-1); // the root
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const QStringView k = entries[i].text;
        if (i > 0 && k == previous) {
            Keyword& same = m_keywords.back();
            ++same.records;
            same.lastRecord = entries[i].record; // stable sort: record order kept
            continue;
        }
        const int id = static_cast<int>(m_keywords.size());
        m_keywords.push_back({static_cast<int>(k.utf16() - all.utf16()), static_cast<int>(k.size()), 1,
                              entries[i].record});
        previous = k;
        const QStringView head = k.first(qMin<qsizetype>(k.size(), kIndexedUnits));
        if (id > 0 && head == previousHead) {
            ++m_outputs.back().last;
            continue;
        }
        qsizetype common = 0;
        while (common < head.size() && common < previousHead.size() && head[common] == previousHead[common])
            ++common;
        path.resize(common + 1);
        for (qsizetype d = common; d < head.size(); ++d) {
            const int next = static_cast<int>(m_output.size());
            m_output.push_back(-1);
            edges.push_back({path.back(), head[d].unicode(), next});
            path.push_back(next);
        }
        m_output[path.back()] = static_cast<int>(m_outputs.size());
        m_outputs.push_back({id, id + 1, static_cast<int>(head.size())});
        previousHead = head;
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
    {
        std::vector<int> fill(m_edgeBegin.begin(), m_edgeBegin.end() - 1);
        for (const Edge& e : edges) {
            const int at = fill[e.parent]++;
            m_edgeChar[at] = e.c;
            m_edgeTarget[at] = e.target;
            if (e.parent == 0)
                m_rootNext[e.c] = e.target;
        }
    }
    edges = {};

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
            const char16_t c = m_edgeChar[i];
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
    m_seen.assign(m_keywords.size(), 0);
    m_firstStart.assign(m_keywords.size(), 0);
}

SenderMatch KeywordMatcher::Automaton::run(QStringView original)
{
    SenderMatch result;
    result.recordCount = m_recordCount;
    result.lastKeyword = m_lastKeyword;
    // A sender typed outside Windows compares in the forms a stored keyword has.
    const QString mapped = cp932::toWindowsForms(trimSpaces(original).toString());
    const QStringView s(mapped);
    if (s.isEmpty())
        return result;

    if (++m_generation == 0) {
        std::fill(m_seen.begin(), m_seen.end(), 0);
        m_generation = 1;
    }
    m_found.clear();
    const QStringView text(m_text);
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
            const Output& out = m_outputs[m_output[o]];
            const qsizetype start = i + 1 - out.depth;
            for (int id = out.first; id < out.last; ++id) {
                if (m_seen[id] == m_generation)
                    continue;
                const Keyword& k = m_keywords[id];
                if (k.length > out.depth) {
                    // The head matched here; the rest must follow it.
                    const qsizetype rest = k.length - out.depth;
                    if (start + k.length > s.size()
                        || s.sliced(i + 1, rest) != text.sliced(k.offset + out.depth, rest))
                        continue;
                }
                // Heads are reported in order of their end, so the first
                // report of a keyword is its first occurrence.
                m_seen[id] = m_generation;
                m_firstStart[id] = static_cast<int>(start);
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
        const Keyword& k = m_keywords[id];
        result.matchCount += k.records;
        if (k.lastRecord > lastRecord) {
            lastRecord = k.lastRecord;
            result.lastMatchPosition = m_firstStart[id] + 1;
            result.lastMatchLength = k.length;
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
        m_built = false;
        constexpr qsizetype size = KeywordRecord::kSize;
        const qsizetype records = m_bytes.size() / size;
        // All keywords decoded into one text (at most one unit per byte),
        // which the automaton keeps: no string per record.
        qsizetype units = 0;
        std::vector<QByteArrayView> fields;
        fields.reserve(records);
        for (qsizetype r = 0; r < records; ++r) {
            QByteArrayView field =
                QByteArrayView(m_bytes).sliced(r * size + KeywordRecord::kKeywordOffset, KeywordRecord::kKeywordBytes);
            // Trimming the filler before decoding gives the same text as
            // trimming after: 0x20 is never the second byte of a character.
            while (!field.isEmpty() && field.back() == ' ')
                field.chop(1);
            while (!field.isEmpty() && field.front() == ' ')
                field = field.sliced(1);
            fields.push_back(field);
            units += field.size();
        }
        QString text;
        text.reserve(units);
        std::vector<std::pair<int, int>> spans;
        spans.reserve(records);
        // One decoder for all fields (creating one per record costs more than
        // the rest of the build); a field it cannot decode cleanly goes
        // through the codec module, which marks each bad byte the same way
        // the window's list shows it.
        QStringDecoder decoder("Shift_JIS", QStringConverter::Flag::Stateless);
        for (const QByteArrayView field : fields) {
            QString one = decoder.decode(field);
            if (decoder.hasError() || one.contains(QChar::ReplacementCharacter)) {
                // A converter that met an error keeps reporting one.
                decoder = QStringDecoder("Shift_JIS", QStringConverter::Flag::Stateless);
                one = cp932::decode(field.toByteArray()).text;
            }
            spans.emplace_back(static_cast<int>(text.size()), static_cast<int>(one.size()));
            text += one;
        }
        fields = {};
        m_automaton.reset(); // the old one goes before the new one is built
        m_automaton = std::make_unique<Automaton>(std::move(text), spans);
        m_built = true;
        ++m_rebuilds;
#ifdef __GLIBC__
        // The build's scaffolding (decoded fields, edge list, queue) can be
        // several times the store; give it back rather than keep it for the
        // life of the program.
        malloc_trim(0);
#endif
    }
    SenderMatch result = m_automaton->run(sender);
    result.status = status;
    return result;
}

bool KeywordMatcher::lookAt(const QByteArray& path, FileLook& look)
{
    struct stat st {};
    if (::stat(path.constData(), &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    look.device = st.st_dev;
    look.inode = st.st_ino;
    look.size = st.st_size;
    look.modifiedNs = qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    look.changedNs = qint64(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
    return true;
}

SenderMatch KeywordMatcher::matchUnlessUnchanged(const QString& sender)
{
    FileLook now;
    // Within a millisecond of the last look nothing can have changed that a
    // user could tell apart from a change just after the run; this keeps a
    // run through 50,000 senders from making 50,000 system calls.
    if (m_fileKnown && m_built && m_lastLook.isValid() && !m_lastLook.hasExpired(1)) {
        SenderMatch result = m_automaton->run(sender);
        result.status = m_fileStatus;
        return result;
    }
    m_lastLook.start();
    if (m_fileKnown && m_built && lookAt(m_filePath, now) && now == m_fileLook) {
        SenderMatch result = m_automaton->run(sender);
        result.status = m_fileStatus;
        return result;
    }
    // Looked at before the read: a change during the read shows next time.
    m_filePath = QFile::encodeName(KeywordStore::storePath());
    const bool looked = lookAt(m_filePath, now);
    SenderMatch result = match(sender);
    m_fileKnown = looked && m_built && result.status.ok();
    m_fileLook = now;
    m_fileStatus = result.status;
    m_fileStatus.recoveredFromTemp = false; // told by the read that found it
    return result;
}

SenderMatch KeywordMatcher::matchList(const QStringList& keywords, const QString& sender)
{
    QString text;
    std::vector<std::pair<int, int>> spans;
    for (const QString& k : keywords) {
        spans.emplace_back(static_cast<int>(text.size()), static_cast<int>(k.size()));
        text += k;
    }
    Automaton automaton(cp932::toWindowsForms(text), spans);
    return automaton.run(sender);
}

} // namespace qp
