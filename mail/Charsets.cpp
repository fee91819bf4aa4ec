#include "Charsets.h"

#include <QStringDecoder>
#include <QVarLengthArray>

#include <algorithm>
#include <cstring>

namespace qp::mailheader {

namespace {

constexpr QChar kLost = QChar::ReplacementCharacter;


// One decoding attempt with Qt's converter (ICU behind it on Debian, Qt's
// own code for UTF-8). Stateless, so a sequence cut off at the end counts as
// an error.
QStringDecoder makeDecoder(const char* name)
{
    if (qstrcmp(name, "UTF-8") == 0)
        return QStringDecoder(QStringConverter::Utf8, QStringConverter::Flag::Stateless);
    return QStringDecoder(name, QStringConverter::Flag::Stateless);
}

bool isIso2022Jp(const char* name)
{
    return qstricmp(name, "ISO-2022-JP") == 0;
}

// ICU refuses an escape sequence that comes right after another one (a guard
// against hidden text), yet that is what RFC 2047 words joined into one run
// hold ("...ESC ( B" + "ESC $ B...", each word back in ASCII at its end) and
// what the JIS X 0208-1990 announcer "ESC & @ ESC $ B" is. A G0 designation
// or the announcer directly followed by another escape sequence has no
// effect: drop it. Returns the bytes unchanged when there is none.
QByteArray dropShadowedEscapes(QByteArrayView b)
{
    QByteArray out;
    const qsizetype n = b.size();
    qsizetype copied = 0; // bytes before this index are in out (or dropped)
    for (qsizetype i = 0; i + 1 < n; ++i) {
        if (b[i] != '\x1B' || (b[i + 1] != '(' && b[i + 1] != '$' && b[i + 1] != '&'))
            continue;
        // ESC, intermediate bytes 0x20-0x2F, one final byte 0x30-0x7E.
        qsizetype j = i + 1;
        while (j < n && b[j] >= 0x20 && b[j] <= 0x2F)
            ++j;
        if (j + 1 < n && b[j] >= 0x30 && b[j] <= 0x7E && b[j + 1] == '\x1B') {
            out.append(b.sliced(copied, i - copied));
            copied = j + 1;
            i = j;
        }
    }
    if (copied == 0)
        return b.toByteArray();
    out.append(b.sliced(copied));
    return out;
}

// UTF-16 and UTF-32 by hand: Qt reads them little-endian when there is no
// byte-order mark (RFC 2781 says big-endian then), and silently drops a
// lone surrogate or a unit cut off at the end. Each unit it cannot read is
// one U+FFFD, counted in lost.
constexpr const char* kWideNames[] = {"UTF-16", "UTF-16BE", "UTF-16LE", "UTF-32", "UTF-32BE", "UTF-32LE"};

bool isWide(const char* name)
{
    if (name[0] != 'U' || name[1] != 'T' || name[2] != 'F' || name[3] != '-' || (name[4] != '1' && name[4] != '3'))
        return false;
    return std::any_of(std::begin(kWideNames), std::end(kWideNames), [name](const char* w) { return qstrcmp(name, w) == 0; });
}

QString decodeWide(QByteArrayView b, const char* name, qsizetype& lost)
{
    const qsizetype width = name[4] == '1' ? 2 : 4;
    const bool marked = name[6] != '\0'; // "UTF-16BE", "UTF-32LE"
    bool big = !marked || name[6] == 'B';
    const QByteArrayView bigMark = width == 2 ? QByteArrayView("\xFE\xFF", 2) : QByteArrayView("\0\0\xFE\xFF", 4);
    const QByteArrayView littleMark = width == 2 ? QByteArrayView("\xFF\xFE", 2) : QByteArrayView("\xFF\xFE\0\0", 4);
    qsizetype i = 0;
    if ((!marked || big) && b.startsWith(bigMark)) {
        i = width;
    } else if ((!marked || !big) && b.startsWith(littleMark)) {
        big = false;
        i = width;
    }
    auto unit = [&](qsizetype at) {
        char32_t v = 0;
        for (qsizetype k = 0; k < width; ++k)
            v = (v << 8) | static_cast<unsigned char>(b[at + (big ? k : width - 1 - k)]);
        return v;
    };
    auto surrogate = [](char32_t u) { return u >= 0xD800 && u <= 0xDFFF; };
    QString out;
    const qsizetype n = b.size();
    for (; i + width <= n; i += width) {
        const char32_t u = unit(i);
        if (width == 2 && u <= 0xDBFF && u >= 0xD800 && i + 4 <= n) {
            const char32_t low = unit(i + 2);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                out += QChar(char16_t(u));
                out += QChar(char16_t(low));
                i += 2;
                continue;
            }
        }
        if (surrogate(u) || u > 0x10FFFF) {
            out += kLost;
            ++lost;
        } else if (u >= 0x10000) {
            out += QChar(QChar::highSurrogate(u));
            out += QChar(QChar::lowSurrogate(u));
        } else {
            out += QChar(char16_t(u));
        }
    }
    if (i < n) { // a unit cut off at the end
        out += kLost;
        ++lost;
    }
    return out;
}

// Windows' Western European code page: Latin-1 with signs at 0x80-0x9F.
// By table, as Latin-1 is by Qt: an ICU converter costs more than the
// short texts it reads here. Its five unused codes stay C1 controls.
QString decodeWindows1252(QByteArrayView b)
{
    static constexpr char16_t high[32] = {
        0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
        0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
        0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};
    QString out = QString::fromLatin1(b);
    for (QChar& c : out)
        if (c.unicode() >= 0x80 && c.unicode() <= 0x9F)
            c = QChar(high[c.unicode() - 0x80]);
    return out;
}

std::optional<QString> tryDecode(QByteArrayView bytes, const char* name)
{
    if (qstrcmp(name, "windows-1252") == 0)
        return decodeWindows1252(bytes);
    if (isWide(name)) {
        qsizetype lost = 0;
        QString text = decodeWide(bytes, name, lost);
        return lost ? std::nullopt : std::optional<QString>(std::move(text));
    }
    QStringDecoder d = makeDecoder(name);
    if (!d.isValid())
        return std::nullopt;
    QString text = d.decode(bytes);
    if (!d.hasError())
        return text;
    if (isIso2022Jp(name)) {
        const QByteArray cleaned = dropShadowedEscapes(bytes);
        if (cleaned.size() != bytes.size()) {
            QStringDecoder again = makeDecoder(name);
            text = again.decode(cleaned);
            if (!again.hasError())
                return text;
        }
    }
    return std::nullopt;
}

// --- Decoding that keeps every character it can ---

bool inRange(QByteArrayView b, qsizetype i, unsigned lo, unsigned hi)
{
    if (i >= b.size())
        return false;
    const auto c = static_cast<unsigned char>(b[i]);
    return c >= lo && c <= hi;
}

// Characters already cut apart by their byte structure, decoded a run at a
// time while the run is valid and one by one (U+FFFD for each that the
// charset has no character for) when it is not. A fresh converter for each
// attempt: Qt's error flag does not reset. Runs are short, so a bad
// character costs only its own run, whatever the length of the text.
class CharRun {
public:
    CharRun(QString& out, const char* name) : m_out(out), m_name(name) {}
    CharRun(const CharRun&) = delete;
    CharRun& operator=(const CharRun&) = delete;

    void add(QByteArrayView ch)
    {
        m_bytes.append(ch.data(), ch.size());
        m_lengths.append(static_cast<unsigned char>(ch.size()));
        if (m_lengths.size() == kMaxRun)
            flush();
    }
    // A character found without the converter.
    void put(QChar c)
    {
        flush();
        m_out += c;
    }
    void flush()
    {
        if (m_lengths.isEmpty())
            return;
        QStringDecoder d = makeDecoder(m_name);
        const QString s = d.decode(m_bytes);
        if (!d.hasError() && s.size() == m_lengths.size()) { // one UTF-16 unit each: all these tables are BMP
            m_out += s;
        } else {
            qsizetype at = 0;
            for (unsigned char len : m_lengths) {
                QStringDecoder one = makeDecoder(m_name);
                const QString c = one.decode(QByteArrayView(m_bytes).sliced(at, len));
                m_out += one.hasError() || c.isEmpty() ? QString(kLost) : c;
                at += len;
            }
        }
        m_bytes.clear();
        m_lengths.clear();
    }

private:
    static constexpr qsizetype kMaxRun = 64;
    QString& m_out;
    const char* m_name;
    QByteArray m_bytes;
    QVarLengthArray<unsigned char, kMaxRun> m_lengths;
};

// How many bytes the character at b[i] spans in Shift_JIS (CP932) or
// EUC-JP by the byte structure alone; a lead byte without a fitting trail
// is one character by itself (and undecodable), the next byte read afresh.
qsizetype sjisCharLength(QByteArrayView b, qsizetype i)
{
    const bool lead = inRange(b, i, 0x81, 0x9F) || inRange(b, i, 0xE0, 0xFC);
    return lead && (inRange(b, i + 1, 0x40, 0x7E) || inRange(b, i + 1, 0x80, 0xFC)) ? 2 : 1;
}

qsizetype eucCharLength(QByteArrayView b, qsizetype i)
{
    if (inRange(b, i, 0x8F, 0x8F)) // JIS X 0212: three bytes
        return !inRange(b, i + 1, 0xA1, 0xFE) ? 1 : !inRange(b, i + 2, 0xA1, 0xFE) ? 2 : 3;
    const bool lead = inRange(b, i, 0x8E, 0x8E) || inRange(b, i, 0xA1, 0xFE);
    return lead && inRange(b, i + 1, 0xA1, 0xFE) ? 2 : 1;
}

// Shift_JIS or EUC-JP, each character as the converter reads it.
QString lossyJapanese8Bit(QByteArrayView b, const char* name, bool euc)
{
    QString out;
    CharRun run(out, name);
    for (qsizetype i = 0; i < b.size();) {
        const qsizetype len = euc ? eucCharLength(b, i) : sjisCharLength(b, i);
        run.add(b.sliced(i, len));
        i += len;
    }
    run.flush();
    return out;
}

// UTF-8 with each ill-formed sequence (its longest valid beginning, as
// Unicode recommends) replaced by one U+FFFD.
QString lossyUtf8(QByteArrayView b)
{
    QString out;
    const qsizetype n = b.size();
    qsizetype i = 0;
    if (b.startsWith("\xEF\xBB\xBF")) // the strict decoder drops it too
        i = 3;
    while (i < n) {
        const auto c = static_cast<unsigned char>(b[i]);
        if (c < 0x80) {
            out += QChar(c);
            ++i;
            continue;
        }
        int need = 0;
        unsigned lo = 0x80, hi = 0xBF;
        char32_t cp = 0;
        if (c >= 0xC2 && c <= 0xDF) {
            need = 1;
            cp = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            need = 2;
            cp = c & 0x0F;
            if (c == 0xE0)
                lo = 0xA0;
            else if (c == 0xED)
                hi = 0x9F; // no surrogates
        } else if (c >= 0xF0 && c <= 0xF4) {
            need = 3;
            cp = c & 0x07;
            if (c == 0xF0)
                lo = 0x90;
            else if (c == 0xF4)
                hi = 0x8F;
        }
        qsizetype len = 1;
        while (len <= need && inRange(b, i + len, len == 1 ? lo : 0x80, len == 1 ? hi : 0xBF)) {
            cp = (cp << 6) | (static_cast<unsigned char>(b[i + len]) & 0x3F);
            ++len;
        }
        if (need > 0 && len == need + 1 && cp >= 0x10000) {
            out += QChar(QChar::highSurrogate(cp));
            out += QChar(QChar::lowSurrogate(cp));
        } else if (need > 0 && len == need + 1)
            out += QChar(char16_t(cp)); // also U+FEFF: fromUcs4 would drop it
        else
            out += kLost;
        i += len;
    }
    return out;
}

// ISO-2022-JP as Windows mailers write it: besides ASCII, JIS-Roman and
// JIS X 0208 (NEC and IBM rows included), half-width katakana by ESC ( I
// or SO ... SI, 8-bit katakana bytes, and JIS X 0212 after ESC $ ( D.
// The JIS tables are EUC-JP's (the same ones the ISO-2022-JP converter
// uses), so each double-byte character is looked up there on its own.
QString lossyIso2022Jp(QByteArrayView b)
{
    enum class Set { Ascii, Roman, Kana, Kanji, Supplement, Other94, Other94x94 };
    Set g0 = Set::Ascii;
    bool shifted = false; // SO: katakana until SI
    QString out;
    CharRun run(out, "EUC-JP");
    const qsizetype n = b.size();
    for (qsizetype i = 0; i < n;) {
        const auto c = static_cast<unsigned char>(b[i]);
        if (c == 0x1B) {
            qsizetype j = i + 1;
            while (j < n && inRange(b, j, 0x20, 0x2F))
                ++j;
            if (j >= n)
                break; // a closing escape cut off at the end of the text
            if (!inRange(b, j, 0x30, 0x7E)) {
                i = j; // an escape sequence cut short: no character in it
                continue;
            }
            const QByteArrayView seq = b.sliced(i + 1, j - i);
            i = j + 1;
            if (seq == "(B") {
                g0 = Set::Ascii;
            } else if (seq == "(J" || seq == "(H") {
                g0 = Set::Roman;
            } else if (seq == "(I") {
                g0 = Set::Kana;
            } else if (seq == "$@" || seq == "$B" || seq == "&@" || seq == "$(@" || seq == "$(B" || seq == "$(O"
                       || seq == "$(Q") {
                // JIS C 6226, X 0208; the X 0208-1990 announcer alone (ICU
                // reads it so too); X 0213 plane 1 (its X 0208 part).
                g0 = Set::Kanji;
            } else if (seq == "$(D") {
                g0 = Set::Supplement;
            } else if (seq.startsWith("$(") || (seq.size() == 2 && seq[0] == '$')) {
                g0 = Set::Other94x94;
            } else if (seq.startsWith("(")) {
                g0 = Set::Other94;
            } else {
                continue; // G1 designations and others: no G0 change
            }
            shifted = false;
            continue;
        }
        if (c == 0x0E || c == 0x0F) {
            shifted = c == 0x0E;
            ++i;
            continue;
        }
        const Set set = shifted ? Set::Kana : g0;
        const bool doubleByte = set == Set::Kanji || set == Set::Supplement || set == Set::Other94x94;
        if (c <= 0x20 || c == 0x7F) { // space and controls in every set
            run.put(QChar(c));
            ++i;
            if (c == '\r' || c == '\n') { // a line starts in ASCII (or stays in JIS-Roman)
                shifted = false;
                if (g0 != Set::Roman)
                    g0 = Set::Ascii;
            }
        } else if (c >= 0x80) { // 8-bit katakana, else nothing JIS knows
            run.put(c >= 0xA1 && c <= 0xDF && !doubleByte ? QChar(0xFF61 + c - 0xA1) : kLost);
            ++i;
        } else if (set == Set::Ascii) {
            run.put(QChar(c));
            ++i;
        } else if (set == Set::Roman) {
            run.put(c == 0x5C ? QChar(0xA5) : c == 0x7E ? QChar(0x203E) : QChar(c));
            ++i;
        } else if (set == Set::Kana) {
            run.put(c <= 0x5F ? QChar(0xFF61 + c - 0x21) : kLost);
            ++i;
        } else if (set == Set::Other94) {
            run.put(kLost);
            ++i;
        } else if (!inRange(b, i + 1, 0x21, 0x7E)) {
            run.put(kLost); // half a character: odd byte count or cut short
            ++i;
        } else {
            if (set == Set::Other94x94) {
                run.put(kLost);
            } else {
                char euc[3];
                int len = 0;
                if (set == Set::Supplement)
                    euc[len++] = char(0x8F);
                euc[len++] = char(c | 0x80);
                euc[len++] = char(b[i + 1] | 0x80);
                run.add(QByteArrayView(euc, len));
            }
            i += 2;
        }
    }
    run.flush();
    return out;
}

// Bytes that did not decode strictly in the named charset, read in it all
// the same: every character it holds is kept, each one it does not becomes
// one U+FFFD.
QString lossyDecode(QByteArrayView bytes, const char* name)
{
    if (isIso2022Jp(name))
        return lossyIso2022Jp(bytes);
    if (qstrcmp(name, "UTF-8") == 0)
        return lossyUtf8(bytes);
    if (isWide(name)) {
        qsizetype lost = 0;
        return decodeWide(bytes, name, lost);
    }
    if (qstrcmp(name, "windows-1252") == 0)
        return decodeWindows1252(bytes);
    if (qstrcmp(name, "Shift_JIS") == 0 || qstrcmp(name, "EUC-JP") == 0)
        return lossyJapanese8Bit(bytes, name, name[0] == 'E');
    QStringDecoder d = makeDecoder(name);
    if (!d.isValid())
        return QString::fromLatin1(bytes);
    return d.decode(bytes);
}

// Rough share of the high bytes that only Shift_JIS uses as lead bytes
// (0x81-0x9F without the EUC single-shifts) decides between the two
// Japanese 8-bit encodings when both decode cleanly.
bool looksLikeEucJp(QByteArrayView b)
{
    for (char ch : b) {
        const auto c = static_cast<unsigned char>(ch);
        if (c >= 0x80 && c < 0xA1 && c != 0x8E && c != 0x8F)
            return false;
    }
    return true;
}

bool sevenBitCharset(const QByteArray& name)
{
    return name == "ISO-2022-JP" || name == "us-ascii" || name == "ascii";
}

bool hasNonAscii(QByteArrayView b)
{
    for (char c : b)
        if (static_cast<unsigned char>(c) >= 0x80)
            return true;
    return false;
}

// C1 control codes and private-use characters: no sender types them into
// a name, but a wrong charset makes them (Shift_JIS bytes 0x80-0x9F read as
// EUC-JP, an ASCII letter taken as the trail of a Shift_JIS user-defined
// lead byte).
bool isStray(char16_t u)
{
    return (u >= 0x80 && u <= 0x9F) || (u >= 0xE000 && u <= 0xF8FF)
        || (u >= 0xDB80 && u <= 0xDBFF); // high surrogates of planes 15 and 16
}

bool hasStray(const QString& text)
{
    return std::any_of(text.begin(), text.end(), [](QChar c) { return isStray(c.unicode()); });
}

// A label's reading that keeps not one 8-bit character, or makes a stray
// one: the label may be wrong.
bool labelInDoubt(const QString& text)
{
    bool kept = false;
    for (QChar c : text) {
        const char16_t u = c.unicode();
        if (isStray(u))
            return true;
        kept = kept || (u >= 0x80 && c != kLost);
    }
    return !kept;
}

// Every character is text (none lost, none stray) and there are at least
// minimum non-ASCII ones.
bool readsAsText(const QString& text, qsizetype minimum)
{
    qsizetype nonAscii = 0;
    for (QChar c : text) {
        if (c == kLost || isStray(c.unicode()))
            return false;
        nonAscii += c.unicode() >= 0x80;
    }
    return nonAscii >= minimum;
}

// Western European text in Latin-1: every 8-bit byte a letter or sign
// (0xA0-0xFF), in runs of at most two, each run beside an ASCII letter.
// Shift_JIS and EUC-JP names come as longer runs or with lead bytes below
// 0xA0.
bool looksLikeLatin1(QByteArrayView b)
{
    auto letter = [&](qsizetype i) {
        if (i < 0 || i >= b.size())
            return false;
        const char c = b[i];
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
    };
    bool any = false;
    for (qsizetype i = 0; i < b.size();) {
        if (static_cast<unsigned char>(b[i]) < 0x80) {
            ++i;
            continue;
        }
        qsizetype end = i;
        while (end < b.size() && static_cast<unsigned char>(b[end]) >= 0x80) {
            if (static_cast<unsigned char>(b[end]) < 0xA0)
                return false;
            ++end;
        }
        if (end - i > 2 || !(letter(i - 1) || letter(end)))
            return false;
        any = true;
        i = end;
    }
    return any;
}

// A reading of bytes that name no charset. It is convincing enough to
// overrule a label when its characters are whole, none stray, and enough of
// them to mean something: one UTF-8 sequence, two Japanese characters,
// Latin-1 letters inside words. Checked only when a label asks.
struct Guess {
    QString text;
    qsizetype minimum = -1; // non-ASCII characters it needs; -1: never convincing

    bool convincing() const { return minimum >= 0 && readsAsText(text, minimum); }
};

Guess guessCharset(QByteArrayView bytes)
{
    if (allAscii(bytes))
        return {QString::fromLatin1(bytes), -1};
    const bool hasEsc = bytes.contains('\x1B');
    if (hasEsc) {
        if (auto t = tryDecode(bytes, "ISO-2022-JP"))
            return {*t, 1};
        // 7-bit with escapes is JIS, however broken: no 8-bit charset
        // would show more than the escape sequences as text.
        if (!hasNonAscii(bytes))
            return {lossyIso2022Jp(bytes), -1};
    }
    if (auto t = tryDecode(bytes, "UTF-8"))
        return {*t, 1};
    // Shift_JIS or EUC-JP by the byte pattern, but a reading with stray
    // characters loses to one without.
    const auto sjis = tryDecode(bytes, "Shift_JIS");
    const auto euc = tryDecode(bytes, "EUC-JP");
    const bool eucFirst = looksLikeEucJp(bytes);
    const bool sjisText = sjis && !hasStray(*sjis);
    const bool eucText = euc && !hasStray(*euc);
    if (eucText && (eucFirst || !sjisText))
        return {*euc, 2};
    if (sjisText)
        return {*sjis, 2};
    if (looksLikeLatin1(bytes))
        return {QString::fromLatin1(bytes), 0};
    if (euc && (eucFirst || !sjis))
        return {*euc, -1};
    if (sjis)
        return {*sjis, -1};
    // Nothing fits: keep what can be read, with replacement characters.
    // UTF-8 with a bad sequence or two still shows its structure (Shift_JIS
    // and EUC-JP bytes seldom make one whole UTF-8 character).
    if (!hasEsc) {
        QString utf8 = lossyUtf8(bytes);
        const qsizetype lost = utf8.count(kLost);
        const qsizetype whole = std::count_if(utf8.begin(), utf8.end(), [](QChar c) {
            return c.unicode() >= 0x80 && c != kLost && !c.isLowSurrogate();
        });
        if (whole > lost)
            return {std::move(utf8), -1};
    }
    return {lossyDecode(bytes, hasEsc ? "ISO-2022-JP" : (eucFirst ? "EUC-JP" : "Shift_JIS")), -1};
}


} // namespace

// 7-bit and free of ESC (which starts ISO-2022-JP). Eight bytes at a time:
// message bodies go through here.
bool allAscii(QByteArrayView b)
{
    if (b.isEmpty())
        return true;
    const char* p = b.data();
    qsizetype n = b.size();
    quint64 high = 0;
    for (; n >= 8; p += 8, n -= 8) {
        quint64 w;
        std::memcpy(&w, p, 8);
        high |= w;
    }
    for (; n > 0; ++p, --n)
        high |= static_cast<unsigned char>(*p);
    if (high & 0x8080808080808080ULL)
        return false;
    return std::memchr(b.data(), 0x1B, size_t(b.size())) == nullptr;
}

// MIME charset labels Japanese mail uses, mapped to the converter names
// that behave as Windows does (CP932 behind "Shift_JIS", the NEC row 13
// behind "ISO-2022-JP").
QByteArray canonicalCharset(QByteArrayView label)
{
    // The labels nearly every mail uses, without building anything.
    for (const char* common : {"ISO-2022-JP", "UTF-8", "Shift_JIS", "EUC-JP"})
        if (label.size() == qsizetype(std::strlen(common)) && qstrnicmp(label.data(), common, label.size()) == 0)
            return QByteArray(common);
    QByteArray l = label.toByteArray().trimmed().toLower();
    const qsizetype star = l.indexOf('*'); // RFC 2231 language suffix
    if (star >= 0)
        l.truncate(star);
    static const char* const sjis[] = {"shift_jis", "shift-jis", "sjis", "x-sjis", "cp932", "windows-31j",
                                       "ms932", "ms_kanji", "csshiftjis", "x-ms-cp932", "csWindows31J"};
    for (const char* a : sjis)
        if (qstricmp(l.constData(), a) == 0)
            return "Shift_JIS";
    static const char* const jis[] = {"iso-2022-jp", "csiso2022jp", "iso-2022-jp-1", "iso-2022-jp-ms",
                                      "cp50220", "cp50221", "cp50222", "jis", "x-jis"};
    for (const char* a : jis)
        if (l == a)
            return "ISO-2022-JP";
    static const char* const euc[] = {"euc-jp", "x-euc-jp", "eucjp", "cseucpkdfmtjapanese", "euc-jp-ms",
                                      "eucjp-ms", "x-euc"};
    for (const char* a : euc)
        if (l == a)
            return "EUC-JP";
    if (l == "utf8" || l == "utf-8")
        return "UTF-8";
    // Mail readers read these labels as the wider charset senders really
    // use under them: Windows' Western European code page (its signs at
    // 0x80-0x9F, where Latin-1 has only control codes) and GBK.
    static const char* const western[] = {"iso-8859-1", "iso8859-1", "iso_8859-1", "latin1", "l1", "cp819",
                                          "ibm819", "csisolatin1", "iso-ir-100", "iso_8859-1:1987", "cp1252", "x-cp1252"};
    for (const char* a : western)
        if (l == a)
            return "windows-1252";
    static const char* const chinese[] = {"gb2312", "gb_2312", "gb_2312-80", "csgb2312", "iso-ir-58",
                                          "csiso58gb231280", "chinese", "euc-cn", "x-euc-cn", "gbk",
                                          "x-gbk", "cp936", "ms936", "windows-936"};
    for (const char* a : chinese)
        if (l == a)
            return "GB18030";
    for (const char* a : kWideNames)
        if (qstricmp(l.constData(), a) == 0)
            return a;
    if (l == "ucs-2" || l == "iso-10646-ucs-2" || l == "csunicode")
        return "UTF-16";
    if (l == "ucs-4" || l == "iso-10646-ucs-4" || l == "csucs4")
        return "UTF-32";
    return l;
}

// Characters a reading of the bytes loses: U+FFFD in the lossy reading, or
// 8-bit bytes where the charset has none.
qsizetype lostCharacters(QByteArrayView bytes, const QByteArray& name)
{
    if (sevenBitCharset(name))
        return std::count_if(bytes.begin(), bytes.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
    return lossyDecode(bytes, name.constData()).count(kLost);
}

// The label decides, lossily where it must. A guess from the bytes replaces
// it only when it cannot be right: an unknown charset, 8-bit bytes under a
// 7-bit label (Windows mailers sent Shift_JIS as "ISO-2022-JP"), or escape
// sequences under "us-ascii"; or when the label keeps not one 8-bit
// character, or makes stray ones, while a convincing guess reads them all.
QString decodeLabelled(const QByteArray& bytes, const QByteArray& label)
{
    const QByteArray name = canonicalCharset(label);
    const bool sevenBit = sevenBitCharset(name);
    if (sevenBit && (name == "ISO-2022-JP" ? hasNonAscii(bytes) : !allAscii(bytes)))
        return decodeUnlabelled(bytes);
    std::optional<QString> text = tryDecode(bytes, name.constData());
    // The label as written, in case our alias table was too eager (not for
    // UTF-16/32, which Qt would read in the wrong byte order).
    if (!text && label != name && !isWide(name.constData()))
        text = tryDecode(bytes, label.constData());
    if (!text) {
        const char* usable = isWide(name.constData()) || makeDecoder(name.constData()).isValid() ? name.constData()
            : makeDecoder(label.constData()).isValid()                                           ? label.constData()
                                                                                                 : nullptr;
        if (!usable)
            return decodeUnlabelled(bytes);
        text = lossyDecode(bytes, usable);
    }
    if (!sevenBit && !allAscii(bytes) && labelInDoubt(*text)) { // plain ASCII guesses nothing
        Guess guess = guessCharset(bytes);
        if (guess.convincing())
            return std::move(guess.text);
    }
    return std::move(*text);
}

std::optional<QString> decodeCharset(QByteArrayView bytes, QByteArrayView charset)
{
    const QByteArray name = canonicalCharset(charset);
    if (auto t = tryDecode(bytes, name.constData()))
        return t;
    return std::nullopt;
}

QString decodeCharsetLossy(QByteArrayView bytes, QByteArrayView charset)
{
    return lossyDecode(bytes, canonicalCharset(charset).constData());
}

QString decodeUnlabelled(QByteArrayView bytes)
{
    return guessCharset(bytes).text;
}

} // namespace qp::mailheader
