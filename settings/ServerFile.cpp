#include "settings/ServerFile.h"

#include "platform/AtomicFile.h"
#include "platform/Cp932.h"
#include "platform/Numbers.h"
#include "settings/IniFile.h"

#include <QDir>
#include <QFileInfo>

namespace qp {

namespace {

constexpr qsizetype kMaxValueChars = 100;

QString serverFilePath(const QString& folder)
{
    const QString dir = folder.isEmpty() ? QDir::currentPath() : folder;
    return QDir(dir).filePath(kServerFileName);
}

} // namespace

bool LoadServerFile(ProcessSettings& settings, const QString& folder)
{
    const QString path = serverFilePath(folder);
    if (!QFileInfo(path).isFile())
        return false;
    const ReadResult file = readWholeFile(path);
    if (!file.ok)
        return false;

    // Lines end at CR LF, a lone CR or a lone LF, as a line-input reader sees them.
    QList<QByteArray> lines;
    {
        qsizetype start = 0;
        const QByteArray& b = file.bytes;
        for (qsizetype i = 0; i < b.size(); ++i) {
            if (b[i] == '\r' || b[i] == '\n') {
                lines.append(b.mid(start, i - start));
                if (b[i] == '\r' && i + 1 < b.size() && b[i + 1] == '\n')
                    ++i;
                start = i + 1;
            }
        }
        if (start < b.size())
            lines.append(b.mid(start));
    }

    for (const QByteArray& raw : lines) {
        const QString line = cp932::decode(raw).text;
        if (line.size() < 5)
            continue;
        const QString prefix = line.left(5);
        const QString value = line.mid(5).left(kMaxValueChars);
        if (prefix == QLatin1String("SMTP="))
            settings.setSmtpServer(value);
        else if (prefix == QLatin1String("POP3="))
            settings.setPop3Server(value);
        else if (prefix == QLatin1String("MAIL="))
            settings.setMailAddress(value);
        else if (prefix == QLatin1String("APOP="))
            settings.setUseApop(clampToInt16(roundHalfEven(leadingNumber(value))));
    }
    return true;
}

ServerFileResult SaveServerFile(const ProcessSettings& settings, const QString& folder)
{
    ServerFileResult result;
    // Each value is one line of the file, whatever its box was given.
    const QString text = QStringLiteral("SMTP=") + singleLine(settings.smtpServer()) + QStringLiteral("\r\n")
        + QStringLiteral("POP3=") + singleLine(settings.pop3Server()) + QStringLiteral("\r\n")
        + QStringLiteral("MAIL=") + singleLine(settings.mailAddress()) + QStringLiteral("\r\n")
        + QStringLiteral("APOP=") + QString::number(settings.useApop()) + QStringLiteral("\r\n");
    const cp932::Encoded encoded = cp932::encode(text);
    if (!encoded.ok) {
        result.error = QStringLiteral("サーバー設定に Shift-JIS で表せない文字があるため、ferrule.ini を保存できませんでした。");
        return result;
    }
    const WriteResult written = writeFileAtomically(serverFilePath(folder), encoded.bytes);
    if (!written.ok) {
        result.error = QStringLiteral("ferrule.ini を保存できませんでした。(%1)").arg(written.error);
        return result;
    }
    result.ok = true;
    return result;
}

} // namespace qp
