#include "platform/Cp932.h"

#include <QStringDecoder>
#include <QStringEncoder>

#include <array>
#include <utility>
#include <vector>

namespace qp::cp932 {

namespace {
// Qt's ICU back end maps the name "Shift_JIS" to the Windows table.
constexpr const char* kCodecName = "Shift_JIS";

bool isTrailByte(unsigned char b)
{
    return (b >= 0x40 && b <= 0x7E) || (b >= 0x80 && b <= 0xFC);
}

constexpr char16_t kNoChar = 0xFFFF; // never produced by CP932

// The Windows table, one entry per single byte (index = byte) and per lead
// and trail pair (index = lead << 8 | trail), read from the converter once.
// Invalid input is then decoded by table look-ups in one pass, however many
// bad bytes it holds.
struct DecodeTable {
    std::array<char16_t, 256> single{};
    std::vector<char16_t> pair = std::vector<char16_t>(65536, kNoChar);

    DecodeTable()
    {
        single.fill(kNoChar);
        // A fresh converter for each: one that met an error keeps saying so.
        auto one = [](QByteArrayView bytes) -> char16_t {
            QStringDecoder decoder(kCodecName, QStringConverter::Flag::Stateless);
            const QString text = decoder.decode(bytes);
            const bool bad = decoder.hasError() || text.size() != 1 || text[0] == QChar::ReplacementCharacter;
            return bad ? kNoChar : text[0].unicode();
        };
        for (int b = 0; b < 256; ++b) {
            const char c = static_cast<char>(b);
            if (!isLeadByte(static_cast<unsigned char>(b)) && b != 0x80 && b != 0xA0 && b < 0xFD)
                single[b] = one(QByteArrayView(&c, 1));
        }
        for (int lead = 0x81; lead <= 0xFC; ++lead) {
            if (!isLeadByte(static_cast<unsigned char>(lead)))
                continue;
            for (int trail = 0x40; trail <= 0xFC; ++trail) {
                if (!isTrailByte(static_cast<unsigned char>(trail)))
                    continue;
                const char bytes[2] = {static_cast<char>(lead), static_cast<char>(trail)};
                pair[(lead << 8) | trail] = one(QByteArrayView(bytes, 2));
            }
        }
    }
};

const DecodeTable& decodeTable()
{
    static const DecodeTable table;
    return table;
}

// Input methods on Linux and macOS produce these Unicode forms where the
// Windows code page has its own characters; written to a file they take the
// Windows form, which is what reading the file gives back.
constexpr std::pair<char16_t, char16_t> kWindowsForms[] = {
    {u'\u301C', u'\uFF5E'}, // WAVE DASH -> FULLWIDTH TILDE
    {u'\u2212', u'\uFF0D'}, // MINUS SIGN -> FULLWIDTH HYPHEN-MINUS
    {u'\u2016', u'\u2225'}, // DOUBLE VERTICAL LINE -> PARALLEL TO
    {u'\u00A2', u'\uFFE0'}, // CENT SIGN -> FULLWIDTH CENT SIGN
    {u'\u00A3', u'\uFFE1'}, // POUND SIGN -> FULLWIDTH POUND SIGN
    {u'\u00AC', u'\uFFE2'}, // NOT SIGN -> FULLWIDTH NOT SIGN
    {u'\u2014', u'\u2015'}, // EM DASH -> HORIZONTAL BAR
};

char16_t windowsForm(char16_t c)
{
    for (const auto& [from, to] : kWindowsForms) {
        if (c == from)
            return to;
    }
    return c;
}
} // namespace

bool isLeadByte(unsigned char b)
{
    return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
}

QString toWindowsForms(const QString& text)
{
    // Read from the caller's text: only a character that changes makes a
    // copy, so the usual text (nothing to change) costs no allocation.
    QString out = text;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text[i].unicode();
        const char16_t w = windowsForm(c);
        if (w != c)
            out[i] = QChar(w);
    }
    return out;
}

Decoded decode(const QByteArray& bytes)
{
    Decoded result;
    {
        // Fast path: valid text decodes in one go.
        QStringDecoder whole(kCodecName, QStringConverter::Flag::Stateless);
        QString text = whole.decode(bytes);
        if (!whole.hasError() && !text.contains(QChar::ReplacementCharacter)) {
            result.text = text;
            return result;
        }
    }
    // Walk the bytes through the table so that an invalid byte is reported
    // at its offset and replaced by exactly one U+FFFD.
    const DecodeTable& table = decodeTable();
    QString out(bytes.size(), Qt::Uninitialized);
    qsizetype written = 0;
    qsizetype i = 0;
    const qsizetype n = bytes.size();
    while (i < n) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        char16_t c = kNoChar;
        qsizetype len = 1;
        if (isLeadByte(b)) {
            if (i + 1 < n) {
                const auto t = static_cast<unsigned char>(bytes[i + 1]);
                if (isTrailByte(t)) {
                    c = table.pair[(b << 8) | t];
                    len = 2;
                }
            }
        } else {
            c = table.single[b];
        }
        if (c == kNoChar) {
            out[written++] = QChar::ReplacementCharacter;
            if (result.ok) {
                result.ok = false;
                result.firstBadByte = i;
            }
            i += 1;
        } else {
            out[written++] = QChar(c);
            i += len;
        }
    }
    out.truncate(written);
    result.text = out;
    return result;
}

Encoded encode(const QString& typed)
{
    Encoded result;
    const QString text = toWindowsForms(typed);
    QStringEncoder whole(kCodecName, QStringConverter::Flag::Stateless);
    QByteArray bytes = whole.encode(text);
    if (!whole.hasError()) {
        result.bytes = bytes;
        return result;
    }
    // Go character by character to find and mark the ones without a form.
    bytes.clear();
    qsizetype i = 0;
    while (i < text.size()) {
        qsizetype len = (text[i].isHighSurrogate() && i + 1 < text.size()) ? 2 : 1;
        QStringEncoder one(kCodecName, QStringConverter::Flag::Stateless);
        const QByteArray piece = one.encode(QStringView(text).mid(i, len));
        if (one.hasError() || piece.isEmpty()) {
            bytes += '?';
            if (result.ok) {
                result.ok = false;
                result.firstBadChar = i;
            }
        } else {
            bytes += piece;
        }
        i += len;
    }
    result.bytes = bytes;
    return result;
}

bool canEncode(const QString& text)
{
    return encode(text).ok;
}

qsizetype byteLength(const QString& text)
{
    return encode(text).bytes.size();
}

QByteArray truncateAtCharBoundary(const QByteArray& bytes, qsizetype maxBytes)
{
    if (bytes.size() <= maxBytes)
        return bytes;
    qsizetype i = 0;
    while (i < maxBytes) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        const qsizetype len = isLeadByte(b) ? 2 : 1;
        if (i + len > maxBytes)
            break;
        i += len;
    }
    return bytes.left(i);
}

} // namespace qp::cp932
