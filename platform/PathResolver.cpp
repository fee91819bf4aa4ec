#include "platform/PathResolver.h"

#include <QDir>
#include <QStringList>

namespace qp {

namespace {
QChar asciiLower(QChar c)
{
    const char16_t u = c.unicode();
    return (u >= u'A' && u <= u'Z') ? QChar(char16_t(u + 32)) : c;
}
} // namespace

bool sameNameIgnoringAsciiCase(const QString& a, const QString& b)
{
    if (a.size() != b.size())
        return false;
    for (qsizetype i = 0; i < a.size(); ++i) {
        if (asciiLower(a[i]) != asciiLower(b[i]))
            return false;
    }
    return true;
}

QString resolvePath(const QString& base, const QString& tail)
{
    QString normalized = tail;
    normalized.replace(QLatin1Char('\\'), QLatin1Char('/'));
    const QStringList parts = normalized.split(QLatin1Char('/'), Qt::SkipEmptyParts);

    QString current = base;
    bool stillExisting = QDir(current).exists();
    for (const QString& part : parts) {
        QString chosen = part;
        if (stillExisting && part != QLatin1String(".") && part != QLatin1String("..")) {
            // Every spelling must land on the same entry, so the first match
            // in sorted order is taken even when the given spelling exists.
            const QStringList entries = QDir(current).entryList(
                QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
            for (const QString& entry : entries) {
                if (sameNameIgnoringAsciiCase(entry, part)) {
                    chosen = entry;
                    break;
                }
            }
        }
        current = current.isEmpty() ? chosen
                  : current.endsWith(QLatin1Char('/')) ? current + chosen
                                                       : current + QLatin1Char('/') + chosen;
        if (stillExisting)
            stillExisting = QFileInfo(current).isDir();
    }
    return current;
}

} // namespace qp
