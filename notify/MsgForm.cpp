#include "notify/MsgForm.h"

#include "platform/AppFont.h"
#include "platform/Twips.h"

#include <QGuiApplication>
#include <QLineEdit>
#include <QScreen>

namespace qp {

// Above every other window from the moment it is loaded: the hint is given
// at creation, since changing it later re-creates the native window.
MsgForm::MsgForm(QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint
                          | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint
                          | Qt::WindowCloseButtonHint
                          | Qt::WindowStaysOnTopHint)
{
    setAttribute(Qt::WA_DeleteOnClose);
    setObjectName(QStringLiteral("MsgForm"));
    setWindowTitle(QStringLiteral("新着お知らせボード"));
    setFont(gothicFont(9.0));

    // Centred on the screen when first shown.
    QRect client(QPoint(0, 0), QSize(twips(3600), twips(285)));
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        client.moveCenter(screen->availableGeometry().center());
    setGeometry(client);
    setFixedSize(client.size());

    // The board only reports: its boxes are not for typing into.
    Text1 = new QLineEdit(QStringLiteral("新着メールがあります。"), this);
    Text1->setObjectName(QStringLiteral("Text1"));
    Text1->setGeometry(twipsRect(0, 0, 3135, 270));
    Text1->setAlignment(Qt::AlignCenter);
    Text1->setReadOnly(true);
    QPalette blue = Text1->palette();
    blue.setColor(QPalette::Text, QColor(0, 0, 255));
    blue.setColor(QPalette::Base, Qt::white); // the blue stays readable on a dark palette
    Text1->setPalette(blue);

    Text2 = new QLineEdit(this);
    Text2->setObjectName(QStringLiteral("Text2"));
    Text2->setGeometry(twipsRect(3120, 0, 495, 270));
    Text2->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    Text2->setReadOnly(true);
    Text1->setAccessibleName(QStringLiteral("お知らせ"));
    Text2->setAccessibleName(QStringLiteral("新着メールの数"));
}

QString MsgForm::text1() const { return Text1->text(); }
void MsgForm::setText1(const QString& text) { Text1->setText(text); }
QString MsgForm::text2() const { return Text2->text(); }
void MsgForm::setText2(const QString& text) { Text2->setText(text); }

} // namespace qp
