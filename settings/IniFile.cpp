#include "settings/IniFile.h"

#include "platform/AtomicFile.h"
#include "platform/Cp932.h"
#include "platform/Numbers.h"

#include <QFile>
#include <QList>

namespace qp {

namespace {

constexpr qsizetype kMaxValueBytes = kMaxIniValueBytes;

struct Line {
    QByteArray text;   // without the line end
    QByteArray ending; // "\r\n", "\n", "\r" or empty for a last line without one
};

QList<Line> splitLines(const QByteArray& bytes)
{
    QList<Line> lines;
    qsizetype start = 0;
    const qsizetype n = bytes.size();
    qsizetype i = 0;
    while (i < n) {
        const char c = bytes[i];
        if (c == '\r' || c == '\n') {
            Line line{bytes.mid(start, i - start), {}};
            if (c == '\r' && i + 1 < n && bytes[i + 1] == '\n') {
                line.ending = "\r\n";
                i += 2;
            } else {
                line.ending = QByteArray(1, c);
                i += 1;
            }
            lines.append(line);
            start = i;
        } else {
            ++i;
        }
    }
    if (start < n)
        lines.append(Line{bytes.mid(start), {}});
    return lines;
}

QByteArray trimBlanks(const QByteArray& b)
{
    qsizetype s = 0;
    qsizetype e = b.size();
    while (s < e && (b[s] == ' ' || b[s] == '\t'))
        ++s;
    while (e > s && (b[e - 1] == ' ' || b[e - 1] == '\t'))
        --e;
    return b.mid(s, e - s);
}

bool equalsIgnoringAsciiCase(const QByteArray& a, const QByteArray& b)
{
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

// The section name when the line is a section header, else a null array.
QByteArray sectionName(const QByteArray& lineText)
{
    const QByteArray t = trimBlanks(lineText);
    if (!t.startsWith('['))
        return {};
    const qsizetype close = t.indexOf(']', 1);
    if (close < 0)
        return {};
    QByteArray name = trimBlanks(t.mid(1, close - 1));
    if (name.isNull())
        name = QByteArray("");
    return name;
}

struct KeyLine {
    bool isKey = false;
    QByteArray key;
    QByteArray value;
};

// What the profile functions make of the text after "=": blanks at both
// ends dropped, then one pair of enclosing quotes.
QByteArray storedValue(const QByteArray& raw)
{
    QByteArray value = trimBlanks(raw);
    if (value.size() >= 2) {
        const char q = value.front();
        if ((q == '"' || q == '\'') && value.back() == q)
            value = value.mid(1, value.size() - 2);
    }
    return value;
}

KeyLine parseKeyLine(const QByteArray& lineText)
{
    KeyLine k;
    // '=' (0x3D) can never be the trail byte of a double-byte character.
    const qsizetype eq = lineText.indexOf('=');
    if (eq < 0)
        return k;
    k.isKey = true;
    k.key = trimBlanks(lineText.left(eq));
    k.value = storedValue(lineText.mid(eq + 1));
    return k;
}

// The raw bytes of the key's value, or a null array when the key is missing.
QByteArray findValue(const QString& path, const QString& section, const QString& key)
{
    const ReadResult file = readWholeFile(path);
    if (!file.ok)
        return {};
    const QByteArray wantedSection = section.toLatin1();
    const QByteArray wantedKey = cp932::encode(key).bytes;
    bool inSection = false;
    for (const Line& line : splitLines(file.bytes)) {
        const QByteArray section = sectionName(line.text);
        if (!section.isNull()) {
            inSection = equalsIgnoringAsciiCase(section, wantedSection);
            continue;
        }
        if (!inSection)
            continue;
        const KeyLine k = parseKeyLine(line.text);
        if (k.isKey && equalsIgnoringAsciiCase(k.key, wantedKey))
            return k.value.isNull() ? QByteArray("") : k.value;
    }
    return {};
}

} // namespace

QString valueReadBackExactly(const QString& value)
{
    if (value.isEmpty())
        return value;
    auto special = [](QChar c) {
        return c == QLatin1Char(' ') || c == QLatin1Char('\t') || c == QLatin1Char('"') || c == QLatin1Char('\'');
    };
    if (!special(value.front()) && !special(value.back()))
        return value;
    // The read drops one pair of quotes and nothing inside them.
    return QLatin1Char('"') + value + QLatin1Char('"');
}

QString singleLine(const QString& text)
{
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] == QLatin1Char('\r') || text[i] == QLatin1Char('\n'))
            return text.left(i);
    }
    return text;
}

std::int32_t ReadIniInt(const QString& path, const QString& key)
{
    const QByteArray value = findValue(path, kIniSection, key);
    if (value.isNull())
        return 0;
    return leadingInt32(value);
}

QString ReadIniText(const QString& path, const QString& key, const QString& defaultValue)
{
    return ReadIniText(path, kIniSection, key, defaultValue);
}

QString ReadIniText(const QString& path, const QString& section, const QString& key, const QString& defaultValue)
{
    const QByteArray value = findValue(path, section, key);
    if (value.isEmpty())
        return defaultValue;
    return cp932::decode(cp932::truncateAtCharBoundary(value, kMaxValueBytes)).text;
}

IniWriteResult WriteIniText(const QString& path, const QString& key, const QString& value,
                            IniFileMode mode)
{
    return WriteIniText(path, kIniSection, key, value, mode);
}

IniWriteResult WriteIniText(const QString& path, const QString& section, const QString& key, const QString& value,
                            IniFileMode mode)
{
    IniWriteResult result;
    // A line break in the value would forge keys.
    const cp932::Encoded encodedValue = cp932::encode(singleLine(value));
    const cp932::Encoded encodedKey = cp932::encode(key);
    if (!encodedValue.ok || !encodedKey.ok) {
        result.error = QStringLiteral("Shift-JIS で表せない文字が含まれています。");
        return result;
    }
    // A read gives back at most 255 bytes: a longer value would come back cut.
    if (storedValue(encodedValue.bytes).size() > kMaxValueBytes) {
        result.error = QStringLiteral("長すぎます (%1 バイトまで)。").arg(kMaxValueBytes);
        return result;
    }
    const QByteArray newLine = encodedKey.bytes + '=' + encodedValue.bytes;

    QByteArray original;
    if (QFile::exists(path)) {
        const ReadResult file = readWholeFile(path);
        if (!file.ok) {
            result.error = QStringLiteral("設定ファイルを読めません。");
            return result;
        }
        original = file.bytes;
    }

    QList<Line> lines = splitLines(original);
    const QByteArray wantedSection = section.toLatin1();
    qsizetype sectionStart = -1;    // index of the header line
    qsizetype lastContentLine = -1; // last non-blank line of the section
    qsizetype keyLine = -1;
    bool inSection = false;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QByteArray section = sectionName(lines[i].text);
        if (!section.isNull()) {
            if (inSection)
                break; // the first matching section is the one written
            inSection = equalsIgnoringAsciiCase(section, wantedSection);
            if (inSection) {
                sectionStart = i;
                lastContentLine = i;
            }
            continue;
        }
        if (!inSection)
            continue;
        if (!trimBlanks(lines[i].text).isEmpty())
            lastContentLine = i;
        const KeyLine k = parseKeyLine(lines[i].text);
        if (k.isKey && equalsIgnoringAsciiCase(k.key, encodedKey.bytes)) {
            keyLine = i;
            break;
        }
    }

    if (keyLine >= 0) {
        lines[keyLine].text = newLine;
        if (lines[keyLine].ending.isEmpty())
            lines[keyLine].ending = "\r\n";
    } else if (sectionStart >= 0) {
        if (lines[lastContentLine].ending.isEmpty())
            lines[lastContentLine].ending = "\r\n";
        lines.insert(lastContentLine + 1, Line{newLine, "\r\n"});
    } else {
        if (!lines.isEmpty() && lines.last().ending.isEmpty())
            lines.last().ending = "\r\n";
        lines.append(Line{"[" + wantedSection + "]", "\r\n"});
        lines.append(Line{newLine, "\r\n"});
    }

    QByteArray out;
    out.reserve(original.size() + newLine.size() + 16);
    for (const Line& line : lines)
        out += line.text + line.ending;

    const int perms = mode == IniFileMode::OwnerOnly
        ? int(QFileDevice::ReadOwner | QFileDevice::WriteOwner)
        : -1;
    const WriteResult written = writeFileAtomically(path, out, perms);
    result.ok = written.ok;
    result.error = written.error;
    return result;
}

} // namespace qp
