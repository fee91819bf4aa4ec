#pragma once
#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <optional>

#include "mail/Charsets.h"

// Turning a mail's raw header into the texts the user and the keyword
// search see. Pure functions: no state, no I/O, safe on any bytes.
namespace qp::mailheader {

// The four header texts handed back by the mail layer.
struct DecodedHeader {
    QString subject; // "Subject" field
    QString date;    // "Date" field
    QString from;    // "From" field: the sender the keywords are searched in
    QString header;  // every field, unfolded and decoded, one per line (CRLF)
};

// The header block of a raw message: everything before the first empty line
// (the whole message when there is none).
QByteArrayView headerBlock(QByteArrayView message);
// What follows the first empty line (empty when there is none).
QByteArrayView body(QByteArrayView message);

DecodedHeader decodeHeader(QByteArrayView headerBlock);

// The raw value of the first field called name (case-insensitive),
// unfolded, with the white space after the colon removed; nullopt when the
// header has no such field.
std::optional<QByteArray> rawField(QByteArrayView headerBlock, QByteArrayView name);

// A field value as the user should read it: folding removed, RFC 2047
// encoded words decoded (adjacent words joined, also inside quoted strings
// and when a word cuts a multibyte character; a word with spaces, '?' or a
// fold inside still read up to its "?=", a fold and its white space dropped
// from its text), raw 8-bit text read in the charset it looks like. A label
// that makes C1 controls or private-use characters, or keeps no 8-bit
// character, loses to a convincing guess. Control characters (C0 and C1)
// become spaces, so a decoded NUL or line break can never cut or split the
// text.
QString decodeFieldValue(QByteArrayView rawValue);

} // namespace qp::mailheader
