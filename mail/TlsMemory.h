#pragma once
#include <QList>
#include <QSet>
#include <QSslCertificate>
#include <QString>

namespace qp {

// The servers that were reached with TLS. Once a TLS session to a host
// succeeded (implicit TLS or STLS/STARTTLS), a later session to that host
// without TLS, on any port and in either protocol, is taken as TLS being
// stripped on the way, and the caller refuses it before the password goes
// out. A host is a name or an address as the user typed it: a name and the
// address it resolves to are not tied together (that would need DNS).
//
// Kept in a small file of our own, one host a line (lower case, ASCII, IDNs
// as ACE); lines "host port" of earlier versions are read as their host.
// The file is read afresh on every question and replaced atomically, under
// a lock file beside it, on every change. It fails closed: a file that is
// there but cannot be read, holds a line of another form or is larger than
// kMaxFileBytes makes every host count as unreadable, and the caller refuses
// sessions without TLS until the file is mended. Without a file (empty path)
// the memory lasts as long as the object; with one, what could not be
// written still counts for the rest of the run.
//
//   TlsMemory memory(programPath(u"\\★MailData\\tlsservers.txt"));
//   if (tlsSessionUp && !memory.remember(host)) refuse(memory.errorText());
//   else if (!tls && memory.lookUp(host) != TlsMemory::Answer::Unknown) refuse(...);
class TlsMemory {
public:
    // Some thousand host names; a file beyond this is not one of ours.
    static constexpr qint64 kMaxFileBytes = 256 * 1024;

    explicit TlsMemory(const QString& path = QString()) : m_path(path) {}

    void setPath(const QString& path) { m_path = path; }
    const QString& path() const { return m_path; }

    enum class Answer { Unknown, Known, Unreadable };
    // Unreadable: errorText() says why, in words for the user.
    Answer lookUp(const QString& host) const;
    // Adds the host; false (see errorText) when the file could not be
    // read or replaced. A host the file already holds takes neither lock
    // nor write, so a full or read-only folder refuses only a new host.
    bool remember(const QString& host);
    QString errorText() const { return m_error; }

    // The key of a server: its host in lower case (IDNs as ACE).
    static QString key(const QString& host);

private:
    // false with m_error set: the file is there but cannot be used.
    bool readFile(QSet<QString>* keys) const;

    QString m_path;
    QSet<QString> m_session; // remembered in this run
    mutable QString m_error;
};

// The authorities the user trusts besides the system's (a PEM file in the
// data folder). A missing file is no extra authority; a file that is there
// but cannot be read, holds no certificate or is larger than kMaxCaFileBytes
// gives problem, in words for the user, and the caller makes no connection.
struct ExtraCaFile {
    static constexpr qint64 kMaxCaFileBytes = 1024 * 1024; // several hundred certificates
    QList<QSslCertificate> certificates;
    QString problem;
};
ExtraCaFile readExtraCaFile(const QString& path);

} // namespace qp
