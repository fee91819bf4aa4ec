#pragma once
#include <QLocale>
#include <QString>
#include <cstdint>

namespace qp {

// The number a text starts with, read leniently so that a hand-edited or
// half-typed value still gives its number: leading blanks (spaces, tabs) ignored, an optional sign, decimal
// digits with an optional fraction and exponent; 0 when the text starts
// with none. "12abc" -> 12, "1.5" -> 1.5, "abc" -> 0, " -3" -> -3.
double leadingNumber(const QString& text);

// Rounds halves to the even neighbour (2.5 -> 2, 3.5 -> 4).
double roundHalfEven(double value);

// The automatic-check interval a text gives, in whole minutes: the
// counters step in whole minutes, so a fraction would never be met. A value
// above 0 is rounded as roundHalfEven does, to at least 1; 0 and negative
// values come back unchanged.
double intervalMinutes(const QString& text);

// Integer parse of the decimal number at the start of a byte string, as the
// profile functions read integers: optional blanks and sign, then digits.
// 0 when none; saturates at the 32-bit range instead of overflowing.
std::int32_t leadingInt32(const QByteArray& bytes);

// Clamps into the 16-bit range.
std::int16_t clampToInt16(double value);

// A date and time in the named format "General Date": the locale's short
// date, a space, its long time, in the compact form users of that locale
// know (ja_JP "2026/12/07 11:13:19", en_US "12/7/2026 11:13:19 AM"). The
// desktop's locale data is wordier (Japanese long time "11時13分19秒 JST",
// two-digit years), so the common locales use fixed patterns; others take
// the locale's own with a four-digit year and no time zone.
QString generalDateText(const QDateTime& when, const QLocale& locale = QLocale());

} // namespace qp
