#pragma once
#include <QString>
#include <cstdint>

namespace qp {

// INI files as the Windows profile functions read and write them: CP932
// text, CRLF lines, section "EXEINI", section and key names matched without
// regard to case. Values are never cached: each call goes to the file.

inline const QString kIniSection = QStringLiteral("EXEINI");

// The most bytes of a value a read gives back (a 256-byte buffer).
inline constexpr qsizetype kMaxIniValueBytes = 255;

// The text up to its first line break (CR or LF). Settings are lines in
// their files, and a box of one line can still be pasted into with a line
// break; this is the part such a box stands for.
QString singleLine(const QString& text);

// The value to write so that ReadIniText gives back exactly value: a value
// with a blank (space, tab) or a quote at either end, which the read would
// trim or unquote, is enclosed in double quotes, which the read removes.
// Any other value is returned as it is. Files keep their format: Windows
// reads such a line the same way.
QString valueReadBackExactly(const QString& value);

// The decimal number at the start of the key's value; 0 when the file, the
// section or the key is missing or the value starts with no number.
std::int32_t ReadIniInt(const QString& path, const QString& key);

// The key's value, at most 255 bytes of it (cut on a character boundary);
// defaultValue when the key is missing or its value is empty.
QString ReadIniText(const QString& path, const QString& key, const QString& defaultValue);
// The same in another section (ASCII name) of the file.
QString ReadIniText(const QString& path, const QString& section, const QString& key, const QString& defaultValue);

enum class IniFileMode {
    Normal,    // a new file gets the usual permissions, an old one keeps its own
    OwnerOnly, // the file is made readable and writable by its owner only
};

struct IniWriteResult {
    bool ok = false;
    QString error;
};

// Sets key=value in section "EXEINI": the key's line is replaced (or added at
// the end of the section), the section and the file are created when missing,
// every other line is kept byte for byte, and the file is replaced
// atomically. The data folder is never created: a write into a missing folder
// is lost. A value with characters CP932 cannot hold, or longer than the 255
// bytes a read gives back, is refused rather than stored changed.
// Most callers go on whatever the result: a lost option must not stop the
// user's action.
IniWriteResult WriteIniText(const QString& path, const QString& key, const QString& value,
                            IniFileMode mode = IniFileMode::Normal);
// The same in another section (ASCII name); "EXEINI" is left as it was.
IniWriteResult WriteIniText(const QString& path, const QString& section, const QString& key, const QString& value,
                            IniFileMode mode = IniFileMode::Normal);

} // namespace qp
