#pragma once
#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>

namespace qp {

// What earlier checks read of each message, so that a check asks the server
// only about messages it has not seen: an unchanged mailbox of 1,000
// messages costs STAT, UIDL and LIST, not 1,000 TOPs. POP3 keys a message
// by its UIDL and its size: RFC 1939 lets a UIDL name one content for good,
// but some servers give a freed UIDL to a new message, and a size that
// differs tells those apart. IMAP keys it by UID within one UIDVALIDITY (in
// the mailbox key), which RFC 3501 guarantees names one content.
//
// It holds the mailbox of one server and account; another one empties it.
// Per message: the fields a check uses as they came (From, Subject, Date:
// typically 100-300 bytes, at most 3 x 48 KB from a hostile server), the
// size, and the key (at most 70 bytes). Messages gone from the mailbox are
// dropped at each check; past kMaxBytes in all, further messages are not
// remembered (they are read at every check, as without a key).
//
// With a file set, the memory is read from it at the first use and written
// back (save()) after a check that changed it, so that the first check
// after a restart costs what any later one does. The file holds senders
// and subjects: owner-only. A file that is damaged, truncated, foreign or
// too large is not trusted; the memory starts empty and the next save
// replaces it.
class Pop3HeaderMemory {
public:
    // 50,000 messages of real headers (some 300 bytes for the three
    // fields and the key, with the hash's own cost) take about 15 MB.
    static constexpr qsizetype kMaxBytes = 32 * 1024 * 1024;
    // The file never holds more than the memory does, plus its framing.
    static constexpr qint64 kMaxFileBytes = kMaxBytes + 64 * 1024;

    struct Entry {
        QByteArray fields;     // raw header fields; empty until read
        bool hasFields = false;
        qint64 size = -1;      // -1 until known
        quint32 mark = 0;      // keepOnly's pass that last listed it
    };

    void setPath(const QString& path);
    // The mailbox a session is about to read; a different one than before
    // empties the memory.
    void useMailbox(const QString& key);
    // Keeps only the messages still listed.
    void keepOnly(const QList<QByteArray>& ids);

    const Entry* find(const QByteArray& id) const;
    void rememberFields(const QByteArray& id, const QByteArray& fields);
    void rememberSize(const QByteArray& id, qint64 size);
    void forget(const QByteArray& id);

    // Writes the file when the memory changed since it was read or written;
    // false with errorText() when the write failed (the memory stays).
    bool save();
    QString errorText() const { return m_error; }

    qsizetype count() const { return m_entries.size(); }
    qsizetype bytes() const { return m_bytes; }

private:
    Entry* entryFor(const QByteArray& id);
    void load();
    void clear();

    QString m_path;
    bool m_loaded = false;
    bool m_dirty = false;
    QString m_error;
    QString m_key;
    QHash<QByteArray, Entry> m_entries;
    qsizetype m_bytes = 0;
    quint32 m_pass = 0;
};

} // namespace qp
