#include "platform/Cp932.h"

#include <QStringDecoder>
#include <QStringEncoder>

namespace qp::cp932 {

namespace {
// Qt's ICU back end maps the name "Shift_JIS" to the Windows table.
constexpr const char* kCodecName = "Shift_JIS";

bool isTrailByte(unsigned char b)
{
    return (b >= 0x40 && b <= 0x7E) || (b >= 0x80 && b <= 0xFC);
}

QString decodeRun(const QByteArray& bytes)
{
    QStringDecoder decoder(kCodecName, QStringConverter::Flag::Stateless);
    return decoder.decode(bytes);
}
} // namespace

bool isLeadByte(unsigned char b)
{
    return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
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
    // Walk the bytes ourselves so that an invalid byte is reported at its
    // offset and replaced by exactly one U+FFFD, whatever the converter does.
    QString out;
    out.reserve(bytes.size());
    qsizetype i = 0;
    qsizetype runStart = 0;
    auto flushRun = [&](qsizetype end) {
        if (end > runStart)
            out += decodeRun(bytes.mid(runStart, end - runStart));
    };
    while (i < bytes.size()) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        bool bad = false;
        qsizetype len = 1;
        if (isLeadByte(b)) {
            if (i + 1 < bytes.size() && isTrailByte(static_cast<unsigned char>(bytes[i + 1]))) {
                len = 2;
                QStringDecoder probe(kCodecName, QStringConverter::Flag::Stateless);
                const QString one = probe.decode(bytes.mid(i, 2));
                if (probe.hasError() || one.size() != 1 || one[0] == QChar::ReplacementCharacter)
                    bad = true;
            } else {
                bad = true;
            }
        } else if (b == 0x80 || b == 0xA0 || b >= 0xFD) {
            bad = true;
        }
        if (bad) {
            flushRun(i);
            out += QChar::ReplacementCharacter;
            if (result.ok) {
                result.ok = false;
                result.firstBadByte = i;
            }
            i += 1;
            runStart = i;
        } else {
            i += len;
        }
    }
    flushRun(i);
    result.text = out;
    return result;
}

Encoded encode(const QString& text)
{
    Encoded result;
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
