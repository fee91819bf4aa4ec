#include "platform/AppFont.h"

#include <QApplication>
#include <QFontDatabase>
#include <QStringList>

namespace qp {

namespace {
QString gothicFamily()
{
    static const QString family = [] {
        const QStringList wanted = {
            QStringLiteral("ＭＳ Ｐゴシック"), QStringLiteral("MS PGothic"),
            QStringLiteral("IPAPGothic"), QStringLiteral("IPAPゴシック"),
            QStringLiteral("Noto Sans CJK JP"), QStringLiteral("IPAGothic"),
            QStringLiteral("VL PGothic"), QStringLiteral("TakaoPGothic"),
        };
        const QStringList families = QFontDatabase::families();
        for (const QString& w : wanted) {
            if (families.contains(w, Qt::CaseInsensitive))
                return w;
        }
        for (const QString& f : families) {
            if (QFontDatabase::writingSystems(f).contains(QFontDatabase::Japanese))
                return f;
        }
        return QString();
    }();
    return family;
}
} // namespace

QFont gothicFont(double pointSize, bool bold)
{
    QFont font;
    const QString family = gothicFamily();
    if (!family.isEmpty())
        font.setFamily(family);
    font.setPointSizeF(pointSize);
    font.setBold(bold);
    return font;
}

void installApplicationFont()
{
    QApplication::setFont(gothicFont(9.0));
}

} // namespace qp
