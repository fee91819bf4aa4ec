#pragma once
#include <QSet>
#include <QString>
#include <optional>

namespace qp {

// The servers that were seen with TLS. Once a host and port offered
// STLS/STARTTLS, or were reached with implicit TLS, a later session there
// without TLS is taken as TLS being stripped on the way, and the caller
// refuses it before the password goes out.
//
// Kept in a small file of our own (one "host port" line per server, host
// in lower case, ASCII), read afresh on every question and replaced
// atomically on every change. Lines that are not of that form are ignored
// and dropped at the next change. Without a file (empty path) the memory
// lasts as long as the object; with one, what could not be written still
// counts for the rest of the run.
//
//   TlsMemory memory(programPath(u"\\★MailData\\tlsservers.txt"));
//   if (offeredStls) memory.remember(host, port);
//   else if (memory.knows(host, port)) refuse("TLS が使えなくなりました");
class TlsMemory {
public:
    explicit TlsMemory(const QString& path = QString()) : m_path(path) {}

    void setPath(const QString& path) { m_path = path; }
    const QString& path() const { return m_path; }

    bool knows(const QString& host, quint16 port) const;
    // Adds the server; false (see errorText) when the file could not be
    // replaced. Already known: nothing is written.
    bool remember(const QString& host, quint16 port);
    QString errorText() const { return m_error; }

    // The key of a server: "host port", host in lower case (IDNs as ACE).
    static QString key(const QString& host, quint16 port);

private:
    // nullopt: the file is there but cannot be read.
    std::optional<QSet<QString>> readFile() const;

    QString m_path;
    QSet<QString> m_session; // remembered in this run
    QString m_error;
};

} // namespace qp
