#pragma once
#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <optional>

// Mail text in the charsets senders use, as QString: charset labels and
// their aliases, guesses for bytes without a label, and the readings that
// keep every character they can. Pure functions: no state, no I/O, safe on
// any bytes. The header parsing above it is HeaderDecoder.
namespace qp::mailheader {

// Bytes that name no charset: ESC sequences mean ISO-2022-JP; then UTF-8
// when valid; then EUC-JP or Shift_JIS (CP932) by their byte patterns, a
// reading with C1 controls or private-use characters losing to one without;
// then Latin-1 when the 8-bit bytes look like letters inside Western words;
// failing all, UTF-8 when its whole characters outnumber its bad sequences.
QString decodeUnlabelled(QByteArrayView bytes);

// Bytes in a named charset (MIME names and the usual aliases; gb2312 read as
// GBK, iso-8859-1 as windows-1252, UTF-16/32 big-endian without a
// byte-order mark). nullopt when the name is unknown or the bytes are not
// valid in it.
std::optional<QString> decodeCharset(QByteArrayView bytes, QByteArrayView charset);

// Bytes in a named charset, read in it whatever they hold: every character
// it has is kept, each one it has not (bad or cut-off bytes, unassigned
// codes) becomes one U+FFFD. For valid bytes the same as decodeCharset.
// ISO-2022-JP also takes the Windows forms: SO/SI and ESC ( I half-width
// katakana, JIS X 0212 after ESC $ ( D. An unknown name reads as Latin-1.
QString decodeCharsetLossy(QByteArrayView bytes, QByteArrayView charset);

// What the header parsing needs besides the above.

// 7-bit and free of ESC (which starts ISO-2022-JP): nothing to convert.
bool allAscii(QByteArrayView bytes);

// MIME charset labels Japanese mail uses, mapped to the converter names
// that behave as Windows does (CP932 behind "Shift_JIS", the NEC row 13
// behind "ISO-2022-JP"); an unknown label comes back in lower case.
QByteArray canonicalCharset(QByteArrayView label);

// Characters a reading of the bytes in the canonical charset name loses.
qsizetype lostCharacters(QByteArrayView bytes, const QByteArray& name);

// Bytes under a charset label as written: read in the label, lossily where
// they must be, unless a guess from the bytes shows the label cannot be
// right.
QString decodeLabelled(const QByteArray& bytes, const QByteArray& label);

} // namespace qp::mailheader
