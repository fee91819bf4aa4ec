#pragma once
#include <QByteArray>
#include <QElapsedTimer>
#include <QString>
#include <QStringList>
#include <QStringView>
#include <memory>

#include "watchlist/KeywordStore.h"

namespace qp {

// Text with the spaces (U+0020 only) at both ends removed, as the matching
// rule trims the sender and each keyword.
QStringView trimSpaces(QStringView text);

// The matching rule for one keyword: the 1-based position of the first
// occurrence of keyword in sender, both trimmed of spaces at both ends;
// exact comparison (case and width as stored) after both are put in the
// forms Shift-JIS text decodes to (cp932::toWindowsForms: U+301C is U+FF5E
// and so on); 0 when absent. An empty
// keyword is found at position 1 in any sender that is not empty after
// trimming. The position counts UTF-16 units of the trimmed sender.
int keywordPosition(QStringView sender, QStringView keyword);

// What reading the store and matching one sender found.
struct SenderMatch {
    KeywordStoreStatus status; // failures mean no keywords (never a crash)
    int recordCount = 0;       // whole records read
    int matchCount = 0;        // records whose keyword occurs in the sender
    QString lastKeyword;       // trimmed keyword of the last record, empty when none
    // The match of the last record (in file order) whose keyword occurred:
    // its 1-based position in the trimmed sender and the keyword's length.
    // 0 and 0 when nothing matched.
    int lastMatchPosition = 0;
    int lastMatchLength = 0;
};

// The check cycle's view of the keyword store. Every call of match() reads
// the store's bytes afresh from disk, exactly as the check does for each
// waiting message, and applies keywordPosition() to every record's trimmed
// keyword, InUse not consulted. What depends only on those bytes (the decoded
// keywords and a multi-pattern automaton over them) is rebuilt only when the
// bytes differ from the ones it was built from: the comparison is of the full
// contents, not of sizes or times, so an edit is never missed.
//
// Keep one instance for the program's life (or at least one check): the
// cache lives in it. Not thread-safe; the check runs on the GUI thread.
class KeywordMatcher {
public:
    KeywordMatcher();
    ~KeywordMatcher();
    KeywordMatcher(const KeywordMatcher&) = delete;
    KeywordMatcher& operator=(const KeywordMatcher&) = delete;

    // Reads the store and matches sender (the sender text as the mail
    // library gave it, cut at its first NUL by the caller).
    SenderMatch match(const QString& sender);

    // The same for one of many senders matched in a row (a check's run
    // through its messages): the store's file is looked at (device, inode,
    // size, modification and change times) at most once a millisecond and
    // read again only when it differs from what it was at the last read, so
    // a store replaced or edited meanwhile is still seen. forgetFile() makes
    // the next call read it whatever it looks like (a new run).
    SenderMatch matchUnlessUnchanged(const QString& sender);
    void forgetFile() { m_fileKnown = false; }

    // Matches sender against a keyword list held in memory (no file access);
    // each entry is trimmed as a stored keyword is. For tests and callers
    // that already have the list.
    static SenderMatch matchList(const QStringList& keywords, const QString& sender);

    // How often the decoded keywords were rebuilt (benchmarks, tests).
    int rebuildCount() const { return m_rebuilds; }

private:
    class Automaton;
    QByteArray m_bytes;   // bytes the automaton was built from
    QByteArray m_scratch; // read buffer, swapped with m_bytes on change
    bool m_built = false;
    std::unique_ptr<Automaton> m_automaton;
    int m_rebuilds = 0;
    // What the store's file looked like just before its last read by
    // matchUnlessUnchanged, and what that read gave.
    bool m_fileKnown = false;
    QByteArray m_filePath;
    struct FileLook {
        quint64 device = 0, inode = 0;
        qint64 size = -1, modifiedNs = 0, changedNs = 0;
        bool operator==(const FileLook&) const = default;
    } m_fileLook;
    KeywordStoreStatus m_fileStatus;
    QElapsedTimer m_lastLook;
    static bool lookAt(const QByteArray& path, FileLook& look);
};

} // namespace qp
