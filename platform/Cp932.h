#pragma once
#include <QByteArray>
#include <QString>

namespace qp::cp932 {

// Shift-JIS as Windows writes it (code page 932, NEC and IBM extensions).
// Every file of the program and every text stored by it uses this encoding.

struct Decoded {
    QString text;
    bool ok = true;        // false: some bytes were not valid CP932
    qsizetype firstBadByte = -1; // offset of the first invalid byte, -1 when ok
};

struct Encoded {
    QByteArray bytes;
    bool ok = true;        // false: some characters have no CP932 form
    qsizetype firstBadChar = -1; // index (UTF-16) of the first such character
};

// Invalid bytes become U+FFFD in the text; ok says whether that happened.
Decoded decode(const QByteArray& bytes);

// U+301C, U+2212, U+2016, U+00A2, U+00A3, U+00AC and U+2014 (what input
// methods outside Windows type) are first replaced by the Windows forms
// (see toWindowsForms), so they are stored as Windows stores them.
// Characters CP932 cannot hold are reported through ok/firstBadChar. The
// bytes then hold "?" in their place, never the converter's 0xFC 0xFC, so a
// caller that goes on anyway writes nothing that reads back as another
// character. Callers that must not change stored text check ok first.
Encoded encode(const QString& text);

// text with U+301C, U+2212, U+2016, U+00A2, U+00A3, U+00AC and U+2014
// replaced by U+FF5E, U+FF0D, U+2225, U+FFE0, U+FFE1, U+FFE2 and U+2015, the
// forms decoding CP932 gives. Text from elsewhere (a sender written on a Mac)
// compares equal to stored text only after this. One unit for one, so
// positions do not move.
QString toWindowsForms(const QString& text);

// True when every character of text has a CP932 form.
bool canEncode(const QString& text);

// The length of text in CP932 bytes (unencodable characters count as 1).
qsizetype byteLength(const QString& text);

// The longest prefix of bytes that ends on a character boundary and is at
// most maxBytes long: a double-byte character is never cut in half.
QByteArray truncateAtCharBoundary(const QByteArray& bytes, qsizetype maxBytes);

// True when b is a lead byte of a double-byte CP932 character.
bool isLeadByte(unsigned char b);

} // namespace qp::cp932
