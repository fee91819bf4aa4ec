#include "HeaderDecoder.h"

#include <QList>

#include <algorithm>
#include <cstring>

namespace qp::mailheader {

namespace {

bool isWsp(char c)
{
    return c == ' ' || c == '\t';
}

QString sanitize(QString text)
{
    for (QChar& c : text) {
        const char16_t u = c.unicode();
        if ((u < 0x20 && u != '\t') || (u >= 0x7F && u <= 0x9F)) // C1 too: U+0085 is a line break
            c = QLatin1Char(' ');
    }
    return text;
}

// --- RFC 2047 ---

struct Piece {
    bool encoded = false;
    QByteArray raw;      // raw text (encoded == false)
    QByteArray charset;  // encoded word: label as written
    char encoding = 0;   // 'B' or 'Q'
    QByteArray text;     // encoded word: the encoded text
};

// The opening "=?charset?X?" of an encoded word at s[i]: the index where
// its encoded text starts, or 0.
qsizetype openEncodedWord(QByteArrayView s, qsizetype i, Piece* out = nullptr)
{
    const qsizetype n = s.size();
    if (i + 1 >= n || s[i] != '=' || s[i + 1] != '?')
        return 0;
    qsizetype j = i + 2;
    const qsizetype csStart = j;
    while (j < n && s[j] != '?' && !isWsp(s[j]) && s[j] != '\r' && s[j] != '\n')
        ++j;
    if (j >= n || s[j] != '?' || j == csStart)
        return 0;
    const QByteArrayView cs = s.sliced(csStart, j - csStart);
    ++j;
    if (j + 1 >= n || s[j + 1] != '?')
        return 0;
    const char enc = char(s[j] & ~0x20);
    if (enc != 'B' && enc != 'Q')
        return 0;
    if (out) {
        out->charset = cs.toByteArray();
        out->encoding = enc;
    }
    return j + 2;
}

// s[from, to) without the folds in it: at each place a line break was
// taken out (folds, ascending), the white space after it goes too. A mailer
// that folds inside an encoded word's text splits the text, not a word.
QByteArray withoutFolds(QByteArrayView s, qsizetype from, qsizetype to, const QList<qsizetype>& folds)
{
    QByteArray out;
    qsizetype at = from;
    for (auto f = std::lower_bound(folds.begin(), folds.end(), from); f != folds.end() && *f < to; ++f) {
        if (*f < at)
            continue;
        out += s.sliced(at, *f - at);
        at = *f;
        while (at < to && isWsp(s[at]))
            ++at;
    }
    out += s.sliced(at, to - at);
    return out;
}

// Parses an encoded word at s[i] ("=?cs?X?text?="); returns its length or
// 0. The text runs to the first "?=": a space, a '?' or a fold inside it is
// the sending mailer's fault and does not end the word (a fold is dropped
// with its white space), but another word opening before that "?=" leaves
// the first one unclosed. noCloser: no "?=" follows an earlier word's text,
// so none follows this one's either (a line of openers without closers is
// read once). folds: where s had its line breaks.
qsizetype parseEncodedWord(QByteArrayView s, qsizetype i, const QList<qsizetype>& folds, Piece& out, bool& noCloser)
{
    Piece w;
    const qsizetype textStart = noCloser ? 0 : openEncodedWord(s, i, &w);
    if (textStart == 0)
        return 0;
    const qsizetype n = s.size();
    qsizetype close = textStart;
    for (;; ++close) { // from one '?' to the next
        const void* q = close < n ? std::memchr(s.data() + close, '?', size_t(n - close)) : nullptr;
        if (!q) {
            noCloser = true;
            return 0;
        }
        close = static_cast<const char*>(q) - s.data();
        if (close > textStart && s[close - 1] == '=' && openEncodedWord(s, close - 1))
            return 0;
        if (close + 1 < n && s[close + 1] == '=')
            break;
    }
    w.encoded = true;
    w.text = withoutFolds(s, textStart, close, folds);
    if (w.encoding == 'B') // white space is no part of base64; a Q word keeps it as text
        w.text.removeIf([](char c) { return isWsp(c); });
    out = std::move(w);
    return close + 2 - i;
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

QByteArray decodeQ(const QByteArray& text)
{
    QByteArray out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char c = text.at(i);
        if (c == '_') {
            out.append(' ');
        } else if (c == '=' && i + 2 < text.size() && hexValue(text.at(i + 1)) >= 0 && hexValue(text.at(i + 2)) >= 0) {
            out.append(char(hexValue(text.at(i + 1)) * 16 + hexValue(text.at(i + 2))));
            i += 2;
        } else {
            out.append(c);
        }
    }
    return out;
}

// A base64 word whose length is not a multiple of four: the rest of its
// last group in the next word, or a word that left its padding off? A
// leftover of one character, or low bits the encoder would have left zero,
// can only be a cut. Otherwise it is a cut only if joining the two loses
// fewer characters than reading them apart. Only the last bytes before the
// word are looked at (a character cut between words needs no more), so a
// long run of such words costs no more than its length.
bool cutBase64Group(const QByteArray& before, const QByteArray& word, const QByteArray& next, const QByteArray& name)
{
    const qsizetype rest = word.size() % 4;
    if (rest == 0 || word.contains('='))
        return false;
    if (rest == 1)
        return true;
    auto sextet = [](char c) -> int {
        if (c >= 'A' && c <= 'Z')
            return c - 'A';
        if (c >= 'a' && c <= 'z')
            return c - 'a' + 26;
        if (c >= '0' && c <= '9')
            return c - '0' + 52;
        return c == '+' ? 62 : c == '/' ? 63 : -1;
    };
    const int v = sextet(word.back());
    if (v < 0)
        return false;
    if (v & (rest == 2 ? 0x0F : 0x03))
        return true;
    const QByteArray tail = before.right(4);
    const QByteArray alone = tail + QByteArray::fromBase64(word) + QByteArray::fromBase64(next);
    const QByteArray joined = tail + QByteArray::fromBase64(word + next);
    return lostCharacters(joined, name) < lostCharacters(alone, name);
}

QList<Piece> splitEncodedWords(QByteArrayView s, const QList<qsizetype>& folds)
{
    QList<Piece> pieces;
    qsizetype rawStart = 0;
    qsizetype i = 0;
    auto flushRaw = [&](qsizetype end) {
        if (end > rawStart)
            pieces.append(Piece{false, s.sliced(rawStart, end - rawStart).toByteArray(), {}, 0, {}});
    };
    bool noCloser = false;
    while (i < s.size()) {
        const qsizetype at = s.indexOf("=?", i);
        if (at < 0)
            break;
        Piece w;
        if (const qsizetype len = parseEncodedWord(s, at, folds, w, noCloser)) {
            flushRaw(at);
            pieces.append(std::move(w));
            i = at + len;
            rawStart = i;
        } else {
            i = at + 1;
        }
    }
    flushRaw(s.size());
    return pieces;
}

// RFC 5322 ftext: printable ASCII except the colon.
bool isFieldName(QByteArrayView name)
{
    for (char c : name)
        if (c < 0x21 || c > 0x7E)
            return false;
    return true;
}

bool onlyWhiteSpace(const QByteArray& b)
{
    for (char c : b)
        if (!isWsp(c))
            return false;
    return true;
}

// CRLF + WSP is a fold: drop the line break, keep the space. A stray line
// break is not part of any text either.
bool hasLineBreak(QByteArrayView v)
{
    return !v.isEmpty() && (std::memchr(v.data(), '\n', size_t(v.size())) || std::memchr(v.data(), '\r', size_t(v.size())));
}

// White space (folding included) off both ends, without copying.
QByteArrayView trimmedView(QByteArrayView v)
{
    auto space = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!v.isEmpty() && space(v.front()))
        v = v.sliced(1);
    while (!v.isEmpty() && space(v.back()))
        v.chop(1);
    return v;
}

// Line breaks removed; folds, when given, gets the index in the result of
// each place where some were.
QByteArray unfoldBytes(QByteArrayView value, QList<qsizetype>* folds = nullptr)
{
    QByteArray out(value.size(), Qt::Uninitialized);
    char* o = out.data();
    bool inBreak = false;
    for (char c : value) {
        const bool lineBreak = c == '\r' || c == '\n';
        if (!lineBreak)
            *o++ = c;
        else if (folds && !inBreak)
            folds->append(o - out.constData());
        inBreak = lineBreak;
    }
    out.truncate(o - out.constData());
    return out;
}

} // namespace

QByteArrayView headerBlock(QByteArrayView message)
{
    // A blank line: "\n\n" or "\n\r\n"; the header may also start with one.
    if (message.startsWith("\r\n") || message.startsWith("\n"))
        return message.first(0);
    const char* const begin = message.data();
    const qsizetype n = message.size();
    for (qsizetype i = 0; i + 1 < n;) {
        const void* nl = std::memchr(begin + i, '\n', size_t(n - i - 1));
        if (!nl)
            break;
        i = static_cast<const char*>(nl) - begin;
        if (begin[i + 1] == '\n' || (begin[i + 1] == '\r' && i + 2 < n && begin[i + 2] == '\n'))
            return message.first(i + 1);
        ++i;
    }
    return message;
}

QByteArrayView body(QByteArrayView message)
{
    const qsizetype h = headerBlock(message).size();
    if (h >= message.size())
        return message.last(0);
    QByteArrayView rest = message.sliced(h);
    if (rest.startsWith("\r\n"))
        return rest.sliced(2);
    if (rest.startsWith("\n"))
        return rest.sliced(1);
    return rest;
}

QString decodeFieldValue(QByteArrayView rawValue)
{
    // Most fields are plain ASCII without encoded words.
    if (allAscii(rawValue) && !rawValue.contains("=?"))
        return sanitize(hasLineBreak(rawValue) ? QString::fromLatin1(unfoldBytes(rawValue)) : QString::fromLatin1(rawValue));
    QList<qsizetype> folds;
    const QByteArray unfolded = unfoldBytes(rawValue, &folds);
    const QList<Piece> pieces = splitEncodedWords(unfolded, folds);

    QString out;
    qsizetype i = 0;
    while (i < pieces.size()) {
        const Piece& p = pieces.at(i);
        if (!p.encoded) {
            out += decodeUnlabelled(p.raw);
            ++i;
            continue;
        }
        // A run of encoded words in one charset, separated by nothing but
        // white space, is one text: join the bytes before converting, so a
        // multibyte character cut at a word boundary comes out whole. Base64
        // cut in the middle of a group is carried over to the next word.
        QByteArray bytes;
        QByteArray pendingB64;
        const QByteArray charset = canonicalCharset(p.charset);
        qsizetype j = i;
        for (;;) {
            const Piece& w = pieces.at(j);
            // Next word in the same charset, with only white space between?
            qsizetype k = j + 1;
            if (k < pieces.size() && !pieces.at(k).encoded && onlyWhiteSpace(pieces.at(k).raw))
                ++k;
            const bool more = k < pieces.size() && pieces.at(k).encoded && canonicalCharset(pieces.at(k).charset) == charset;
            if (w.encoding == 'B') {
                pendingB64 += w.text;
                if (more && pieces.at(k).encoding == 'B' && cutBase64Group(bytes, pendingB64, pieces.at(k).text, charset)) {
                    // Only the cut group waits for the next word.
                    const qsizetype whole = pendingB64.size() - pendingB64.size() % 4;
                    bytes += QByteArray::fromBase64(pendingB64.first(whole));
                    pendingB64.remove(0, whole);
                } else {
                    bytes += QByteArray::fromBase64(pendingB64);
                    pendingB64.clear();
                }
            } else {
                bytes += decodeQ(w.text);
            }
            if (!more)
                break;
            j = k;
        }
        out += decodeLabelled(bytes, p.charset);
        i = j + 1;
        // White space between this run and a following encoded word in
        // another charset is dropped as well.
        if (i + 1 < pieces.size() && !pieces.at(i).encoded && onlyWhiteSpace(pieces.at(i).raw)
            && pieces.at(i + 1).encoded)
            ++i;
    }
    return sanitize(out);
}

std::optional<QByteArray> rawField(QByteArrayView block, QByteArrayView name)
{
    qsizetype pos = 0;
    const qsizetype n = block.size();
    while (pos < n) {
        qsizetype eol = block.indexOf('\n', pos);
        if (eol < 0)
            eol = n;
        const QByteArrayView line = block.sliced(pos, eol - pos);
        if (line.size() > name.size() && line[name.size()] == ':'
            && qstrnicmp(line.data(), name.data(), name.size()) == 0) {
            // Extend over the continuation lines.
            qsizetype end = eol;
            while (end + 1 < n && isWsp(block[end + 1])) {
                const qsizetype next = block.indexOf('\n', end + 1);
                end = next < 0 ? n : next;
            }
            QByteArrayView value = block.sliced(pos + name.size() + 1, std::min(end, n) - pos - name.size() - 1);
            QByteArray v = unfoldBytes(value);
            return v.trimmed();
        }
        pos = eol + 1;
    }
    return std::nullopt;
}

DecodedHeader decodeHeader(QByteArrayView block)
{
    // One pass: every field decoded once, the first Subject, Date and From
    // taken from it.
    DecodedHeader h;
    bool haveSubject = false, haveDate = false, haveFrom = false;
    QString& all = h.header;
    all.reserve(block.size());
    auto addLine = [&all](const QString& line) {
        if (!all.isEmpty())
            all += QLatin1String("\r\n");
        all += line;
    };
    qsizetype pos = 0;
    const qsizetype n = block.size();
    while (pos < n) {
        qsizetype end = block.indexOf('\n', pos);
        if (end < 0)
            end = n;
        while (end + 1 < n && isWsp(block[end + 1])) {
            const qsizetype next = block.indexOf('\n', end + 1);
            end = next < 0 ? n : next;
        }
        const QByteArrayView field = block.sliced(pos, end - pos);
        pos = end + 1;
        const qsizetype colon = field.indexOf(':');
        const QByteArrayView fieldName = colon > 0 ? field.first(colon) : QByteArrayView();
        const bool validName = colon > 0 && isFieldName(fieldName);
        if (validName) {
            const QString value = decodeFieldValue(trimmedView(field.sliced(colon + 1)));
            if (!all.isEmpty())
                all += QLatin1String("\r\n");
            all += QLatin1String(fieldName.data(), fieldName.size());
            all += QLatin1String(": ");
            all += value;
            auto take = [&](const char* name, bool& have, QString& into) {
                if (!have && qstrnicmp(fieldName.data(), fieldName.size(), name, qsizetype(std::strlen(name))) == 0) {
                    have = true;
                    into = value;
                }
            };
            take("Subject", haveSubject, h.subject);
            take("Date", haveDate, h.date);
            take("From", haveFrom, h.from);
        } else if (!trimmedView(field).isEmpty()) {
            addLine(decodeFieldValue(field));
        }
    }
    return h;
}

} // namespace qp::mailheader
