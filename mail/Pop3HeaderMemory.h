#pragma once
#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>

namespace qp {

// What earlier checks of this run read of each message, by its UIDL, so that
// a check asks the server only about messages it has not seen: an unchanged
// mailbox of 1,000 messages costs STAT and UIDL, not 1,000 TOPs. A POP3
// message's UIDL names its content for good (RFC 1939), so what was read
// under it stays true.
//
// It holds the mailbox of one server and account; another one empties it.
// Per message: the fields a check uses as they came (From, Subject, Date:
// typically 100-300 bytes, at most 3 x 48 KB from a hostile server), the
// size, and the UIDL (at most 70 bytes). Messages gone from the mailbox are
// dropped at each check; past kMaxBytes in all, further messages are not
// remembered (they are read at every check, as without UIDL).
// Lives in memory only, for one run; NMail owns it and hands it to each
// POP3 session.
class Pop3HeaderMemory {
public:
    static constexpr qsizetype kMaxBytes = 16 * 1024 * 1024;

    struct Entry {
        QByteArray fields;     // raw header fields; empty until read
        bool hasFields = false;
        qint64 size = -1;      // from LIST; -1 until read
    };

    // The mailbox a session is about to read; a different one than before
    // empties the memory.
    void useMailbox(const QString& key);
    // Keeps only the messages still listed (their UIDLs).
    void keepOnly(const QList<QByteArray>& uidls);

    const Entry* find(const QByteArray& uidl) const;
    void rememberFields(const QByteArray& uidl, const QByteArray& fields);
    void rememberSize(const QByteArray& uidl, qint64 size);

    qsizetype count() const { return m_entries.size(); }
    qsizetype bytes() const { return m_bytes; }

private:
    Entry* entryFor(const QByteArray& uidl);

    QString m_key;
    QHash<QByteArray, Entry> m_entries;
    qsizetype m_bytes = 0;
};

} // namespace qp
