#include "settings/OptionForm.h"

#include "platform/AppFont.h"
#include "platform/MessageBoxes.h"
#include "platform/ProgramIcon.h"
#include "platform/ReadableText.h"
#include "platform/Twips.h"
#include "settings/IniFile.h"
#include "settings/ProcessSettings.h"
#include "settings/ServerFile.h"

#include <QCheckBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace qp {

namespace {

void makeBlue(QWidget* w)
{
    QPalette p = w->palette();
    const QColor blue = QColor::fromRgb(bgrToRgb(0x00FF0000));
    p.setColor(QPalette::WindowText, blue);
    p.setColor(QPalette::ButtonText, blue);
    w->setPalette(p);
    keepFixedTextReadable(w);
}

} // namespace

// Above every other window while open: the hint is given at creation, since
// changing it later re-creates the native window.
OptionForm::OptionForm(ProcessSettings& settings, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint
                          | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint
                          | Qt::WindowStaysOnTopHint)
    , m_settings(settings)
{
    setAttribute(Qt::WA_DeleteOnClose);
    setObjectName(QStringLiteral("OptionForm"));
    setWindowTitle(QStringLiteral("サーバー設定"));
    setWindowIcon(programIcon());
    setFont(gothicFont(9.0));
    const QRect client = twipsRect(9570, 2340, 2895, 3015);
    setGeometry(client);
    setFixedSize(client.size());

    Label1 = new QLabel(QStringLiteral("SMTPサーバー名(&S)"), this);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setGeometry(twipsRect(120, 120, 1575, 195));
    makeBlue(Label1);

    SmtpText = new QLineEdit(this);
    SmtpText->setObjectName(QStringLiteral("SmtpText"));
    SmtpText->setGeometry(twipsRect(120, 360, 2652, 264));

    Label2 = new QLabel(QStringLiteral("POP3サーバー名(&P)"), this);
    Label2->setObjectName(QStringLiteral("Label2"));
    Label2->setGeometry(twipsRect(120, 720, 1635, 195));
    makeBlue(Label2);

    Pop3Text = new QLineEdit(this);
    Pop3Text->setObjectName(QStringLiteral("Pop3Text"));
    Pop3Text->setGeometry(twipsRect(120, 960, 2652, 264));

    Label3 = new QLabel(QStringLiteral("メールアドレス(&M)"), this);
    Label3->setObjectName(QStringLiteral("Label3"));
    Label3->setGeometry(twipsRect(120, 1320, 1635, 195));
    makeBlue(Label3);

    MailText = new QLineEdit(this);
    MailText->setObjectName(QStringLiteral("MailText"));
    MailText->setGeometry(twipsRect(120, 1560, 2652, 264));

    ApopCheck = new QCheckBox(QStringLiteral("APOP を使用する(&A)"), this);
    ApopCheck->setObjectName(QStringLiteral("ApopCheck"));
    ApopCheck->setGeometry(twipsRect(480, 2040, 2172, 252));
    makeBlue(ApopCheck);

    OkCommand = new QPushButton(QStringLiteral("設定"), this);
    OkCommand->setObjectName(QStringLiteral("OkCommand"));
    OkCommand->setGeometry(twipsRect(660, 2520, 972, 372));

    CancelCommand = new QPushButton(QStringLiteral("中止"), this);
    CancelCommand->setObjectName(QStringLiteral("CancelCommand"));
    CancelCommand->setGeometry(twipsRect(1860, 2520, 912, 372));

    // Each label's access key leads to the box under it.
    Label1->setBuddy(SmtpText);
    Label2->setBuddy(Pop3Text);
    Label3->setBuddy(MailText);

    setTabOrder(SmtpText, Pop3Text);
    setTabOrder(Pop3Text, ApopCheck);
    setTabOrder(ApopCheck, OkCommand);
    setTabOrder(OkCommand, CancelCommand);
    setTabOrder(CancelCommand, MailText);
    SmtpText->setFocus();

    connect(OkCommand, &QPushButton::clicked, this, [this] { OKCommand_Click(); });
    connect(CancelCommand, &QPushButton::clicked, this, [this] { CancelCommand_Click(); });

    Form_Load();
}

void OptionForm::Form_Load()
{
    SmtpText->setText(m_settings.smtpServer());
    Pop3Text->setText(m_settings.pop3Server());
    MailText->setText(m_settings.mailAddress());
    // The check logs in with APOP for any value other than 0; show it so.
    ApopCheck->setChecked(m_settings.useApop() != 0);
}

void OptionForm::OKCommand_Click()
{
    // What was pasted after a line break is no part of the entry; the check
    // connects to the server the file names.
    m_settings.setSmtpServer(singleLine(SmtpText->text()));
    m_settings.setPop3Server(singleLine(Pop3Text->text()));
    m_settings.setMailAddress(singleLine(MailText->text()));
    m_settings.setUseApop(ApopCheck->isChecked() ? 1 : 0);

    const ServerFileResult saved = SaveServerFile(m_settings);
    if (!saved.ok) {
        // The values hold for this run; the window stays open so the entry
        // can be corrected and saved again.
        warning(this, saved.error + QStringLiteral("\n入力した設定は今回の起動中だけ使われます。"));
        return;
    }
    close();
}

void OptionForm::CancelCommand_Click()
{
    close();
}

void OptionForm::keyPressEvent(QKeyEvent* event)
{
    switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        // Only a focused button answers Enter; in a box it confirms nothing.
        if (auto* button = qobject_cast<QPushButton*>(focusWidget()))
            button->click();
        return;
    case Qt::Key_Escape:
        CancelCommand_Click();
        return;
    default:
        QWidget::keyPressEvent(event);
    }
}

} // namespace qp
