#pragma once
#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <vector>

namespace qp {

// Reads the keyword store for the check cycle: the whole file, afresh on
// every call, as the check reads it once per waiting message. A missing
// store is created empty (when the data folder exists); a missing folder or
// an unreadable file reads as an empty store. Only whole 204-byte records
// count; a part-record at the end is ignored.
class KeywordStoreReader {
public:
    // path: the store file; empty means the program's store, resolved on
    // each read ({P}\★MAilData\Ferruledata50.data, any letter case).
    explicit KeywordStoreReader(QString path = QString());

    // Reads the store again. Returns true when its records differ from the
    // previous read (the first read always counts as a change).
    bool readAfresh();

    // The whole records of the last read.
    const QByteArray& records() const { return m_records; }

private:
    QString m_path;
    QByteArray m_records;
    QByteArray m_chunk;
    bool m_haveRead = false;
};

// The keyword of each 204-byte record (bytes 4..203, CP932) with spaces
// removed at both ends, in record order. InUse is not consulted.
QStringList keywordsOfRecords(const QByteArray& records);

// VB-style Trim: spaces (U+0020 only) removed at both ends.
QString trimSpaces(const QString& text);

// What matching one sender against every record gives.
struct SenderMatch {
    // Records whose keyword occurs in the sender (each record counts once,
    // however often its keyword occurs).
    std::int64_t matchingRecords = 0;
    // Whether the store held any record: the work boxes are set only then.
    bool anyRecord = false;
    // The last record's keyword (what Text6 ends up holding) and its
    // 1-based position in the trimmed sender, 0 when absent.
    QString lastKeyword;
    int lastPosition = 0;
};

// Finds which keywords occur in a sender: position of the keyword (trimmed)
// in the sender (trimmed), exact comparison, case and width as stored; an
// empty keyword is found in any non-empty sender. The keyword set is
// rebuilt only when the store's bytes change, so reading the store for
// every message costs one read and one comparison; a sender is then
// scanned once, whatever the number of keywords (Aho-Corasick).
class SenderMatcher {
public:
    // Takes the store's records; rebuilds only when they differ from the
    // ones last given.
    void setRecords(const QByteArray& records);

    SenderMatch match(const QString& sender);

    qsizetype recordCount() const { return m_recordCount; }

private:
    void rebuild(const QByteArray& records);
    int child(int node, char16_t c) const;

    struct Node {
        int fail = 0;
        int keyword = -1;  // index into m_multiplicity, -1 when no keyword ends here
        int outLink = -1;  // nearest node on the fail chain where a keyword ends
    };

    QByteArray m_records;
    bool m_built = false;
    qsizetype m_recordCount = 0;
    std::int64_t m_emptyKeywords = 0;
    QString m_lastKeyword;
    std::vector<Node> m_nodes;
    // Children of node u: m_edgeChar/m_edgeTarget[m_firstEdge[u] .. m_firstEdge[u + 1]),
    // sorted by character.
    std::vector<std::uint32_t> m_firstEdge;
    std::vector<char16_t> m_edgeChar;
    std::vector<int> m_edgeTarget;
    std::vector<std::int64_t> m_multiplicity;        // records per distinct keyword
    std::vector<std::uint32_t> m_seen;               // per node: scan stamp
    std::uint32_t m_stamp = 0;
};

} // namespace qp
