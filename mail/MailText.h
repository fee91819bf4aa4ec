#pragma once
#include <QByteArray>
#include <QString>

// What the mail clients and their connection say to the user, each text
// written once: the POP3 and IMAP clients fail in the same ways and must
// say so in the same words.
namespace qp::mailtext {

// A server's text as the user may see it: printable, short. Japanese
// servers word their replies in Shift_JIS or ISO-2022-JP as often as in
// UTF-8, so the bytes are read in the charset they look like. (Status lines
// are bounded by the reply readers, so decoding all of one is cheap, and
// cutting after decoding never splits a character.)
QString printable(const QByteArray& bytes, qsizetype maxChars = 200);
// The server's reason, for the parentheses of a message; never empty.
QString serverSaid(const QByteArray& text);

QString notConnected();
// A reply that is not the protocol's: what was wrong, or what came.
QString badReply(const QString& host, const QString& detail);
QString lineTooLong(const QString& host);
QString replyTooLarge(const QString& host, qint64 bytes);
QString sessionTooLong(const QString& host, int seconds);
QString greetingRefused(const QString& host, const QString& said);
// protocol: "POP3", "IMAP".
QString notThisProtocol(const QString& host, const QString& protocol, const QString& said);
// command: "STLS", "STARTTLS".
QString tlsCommandRefused(const QString& host, const QString& command, const QString& said);
QString loginRefused(const QString& said);
// Signing in with an OAuth token: the server has neither mechanism, the
// token or ID cannot be sent, the server refused the token.
QString oauthNotOffered(const QString& host);
QString tokenNotSendable();
QString tokenNeedsTls(const QString& host);
QString tokenRefused(const QString& said);
QString credentialsWithLineBreak();
// encoding: how the ID and password go out ("Shift-JIS", "UTF-8").
QString credentialsNotEncodable(const QString& encoding);
QString noSuchMessage(int number);

// The TLS memory refuses a session. memoryError: why the memory cannot be
// read or written, in its own words.
QString tlsMemoryUnreadable(const QString& memoryError, const QString& host);
QString tlsNotRemembered(const QString& memoryError);
// A host seen with TLS before, now without. memoryFile: where the host's
// line is kept ("★MailData/tlsservers.txt"), and key that line; with no
// file the text says nothing of one.
QString tlsLost(const QString& host, const QString& memoryFile, const QString& key);

} // namespace qp::mailtext
