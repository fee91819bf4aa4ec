#include "settings/IdPassForm.h"

#include "platform/AppFont.h"
#include "platform/Cp932.h"
#include "platform/MessageBoxes.h"
#include "platform/ProgramIcon.h"
#include "platform/ReadableText.h"
#include "platform/Twips.h"
#include "settings/GnomeOnlineAccounts.h"
#include "settings/IniFile.h"
#include "settings/OAuthAccount.h"
#include "settings/OAuthSettings.h"
#include "settings/OAuthSignInForm.h"
#include "settings/ProcessSettings.h"
#include "settings/SettingsPaths.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QProxyStyle>
#include <QPushButton>
#include <QThread>

namespace qp {

namespace {

// The password box shows every character as "*", at once.
class AsteriskEchoStyle : public QProxyStyle {
public:
    int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                  QStyleHintReturn* returnData) const override
    {
        if (hint == SH_LineEdit_PasswordCharacter)
            return '*';
        if (hint == SH_LineEdit_PasswordMaskDelay)
            return 0;
        return QProxyStyle::styleHint(hint, option, widget, returnData);
    }
};

// Longest value the account file gives back unchanged.
constexpr qsizetype kMaxStoredBytes = 255;

} // namespace

IdPassForm::IdPassForm(ProcessSettings& settings, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint
                          | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint)
    , m_settings(settings)
{
    setAttribute(Qt::WA_DeleteOnClose);
    setObjectName(QStringLiteral("IdPassForm"));
    setWindowTitle(QStringLiteral("ID,PASS"));
    setWindowIcon(programIcon());
    setFont(gothicFont(9.0));
    // Two rows more than the password login needs: the sign-in kind, and
    // where a kept password goes.
    const QRect client = twipsRect(9240, 5370, 2880, 1785 + 420 + 360);
    setGeometry(client);
    setFixedSize(client.size());

    IdText = new QLineEdit(this);
    IdText->setObjectName(QStringLiteral("IdText"));
    IdText->setGeometry(twipsRect(960, 120, 1632, 264));

    PassText = new QLineEdit(this);
    PassText->setObjectName(QStringLiteral("PassText"));
    PassText->setGeometry(twipsRect(960, 600, 1632, 264));
    auto* echoStyle = new AsteriskEchoStyle;
    echoStyle->setParent(PassText);
    PassText->setStyle(echoStyle);
    PassText->setEchoMode(QLineEdit::Password);

    OKCommand = new QPushButton(QStringLiteral("OK"), this);
    OKCommand->setObjectName(QStringLiteral("OKCommand"));
    OKCommand->setGeometry(twipsRect(900, 1380, 852, 312));
    OKCommand->setDefault(true); // drawn as the button Enter presses

    CancelCommand = new QPushButton(QStringLiteral("Cancel"), this);
    CancelCommand->setObjectName(QStringLiteral("CancelCommand"));
    CancelCommand->setGeometry(twipsRect(1860, 1380, 852, 312));

    Check1 = new QCheckBox(this);
    Check1->setObjectName(QStringLiteral("Check1"));
    Check1->setGeometry(twipsRect(420, 1020, 255, 255));

    Label1 = new QLabel(QStringLiteral("ID"), this);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setGeometry(twipsRect(120, 180, 675, 255));
    Label1->setAlignment(Qt::AlignLeft | Qt::AlignTop);

    Label2[0] = new QLabel(QStringLiteral("Password"), this);
    Label2[0]->setObjectName(QStringLiteral("Label2_0"));
    Label2[0]->setGeometry(twipsRect(120, 600, 795, 255));
    Label2[0]->setAlignment(Qt::AlignLeft | Qt::AlignTop);

    Label2[1] = new QLabel(QStringLiteral("IDパスワードを保存する"), this);
    Label2[1]->setObjectName(QStringLiteral("Label2_1"));
    Label2[1]->setGeometry(twipsRect(780, 1020, 1875, 255));
    Label2[1]->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    QPalette blue = Label2[1]->palette();
    blue.setColor(QPalette::WindowText, QColor::fromRgb(bgrToRgb(0x00FF0000)));
    Label2[1]->setPalette(blue);
    keepFixedTextReadable(Label2[1]);
    // Each box is named by the label beside it.
    Label1->setBuddy(IdText);
    Label2[0]->setBuddy(PassText);
    Label2[1]->setBuddy(Check1);

    setTabOrder(IdText, PassText);
    setTabOrder(PassText, OKCommand);
    setTabOrder(OKCommand, CancelCommand);
    SignInKind = new QComboBox(this);
    SignInKind->setObjectName(QStringLiteral("SignInKind"));
    SignInKind->setAccessibleName(QStringLiteral("サインインの方法"));
    SignInKind->setGeometry(twipsRect(120, 1800, 1632, 312));
    for (const OAuthPreset& p : oauthPresets())
        SignInKind->addItem(p.name, p.id);
    // Offered only when GNOME lists them; the list is asked once per load.
    for (const GnomeMailAccount& a : gnomeMailAccounts(1000))
        SignInKind->addItem(QStringLiteral("GNOME: %1").arg(a.identity), QStringLiteral("goa ") + a.objectPath);
    SignInCommand = new QPushButton(QStringLiteral("サインイン"), this);
    SignInCommand->setObjectName(QStringLiteral("SignInCommand"));
    SignInCommand->setGeometry(twipsRect(1860, 1800, 852, 312));

    KeyringCheck = new QCheckBox(QStringLiteral("パスワードはキーリングに保存する"), this);
    KeyringCheck->setObjectName(QStringLiteral("KeyringCheck"));
    KeyringCheck->setGeometry(twipsRect(120, 2220, 2640, 255));

    setTabOrder(CancelCommand, Check1);
    setTabOrder(Check1, SignInKind);
    setTabOrder(SignInKind, SignInCommand);
    setTabOrder(SignInCommand, KeyringCheck);
    IdText->setFocus();

    connect(OKCommand, &QPushButton::clicked, this, [this] { OKCommand_Click(); });
    connect(CancelCommand, &QPushButton::clicked, this, [this] { CancelCommand_Click(); });
    connect(SignInCommand, &QPushButton::clicked, this, [this] { SignInCommand_Click(); });
    connect(SignInKind, &QComboBox::currentIndexChanged, this, [this] { SignInKind_Change(); });

    Form_Load();
}

QString IdPassForm::idText() const { return IdText->text(); }
void IdPassForm::setIdText(const QString& text) { IdText->setText(text); }
QString IdPassForm::passText() const { return PassText->text(); }
void IdPassForm::setPassText(const QString& text) { PassText->setText(text); }

void IdPassForm::Form_Load()
{
    const QString file = idPassIniPath();
    setIdText(ReadIniText(file, QStringLiteral("NAME"), QString()));
    setPassText(storedAccountPassword());
    KeyringCheck->setChecked(passwordInKeyring());
    // The keep box always starts unticked, whatever NAME3 says.
    Check1->setChecked(false);
    const OAuthSettings s = loadOAuthSettings(iniPath());
    const QString kind = s.isGnomeAccount() ? QStringLiteral("goa ") + s.goaAccount : s.kind;
    // A GNOME account GNOME does not list just now stays chosen: OK must
    // not turn it into a password login.
    if (s.isGnomeAccount() && SignInKind->findData(kind) < 0)
        SignInKind->addItem(QStringLiteral("GNOME: %1").arg(s.goaAccount.section(QLatin1Char('/'), -1)), kind);
    SignInKind->setCurrentIndex(std::max(0, SignInKind->findData(kind)));
    SignInKind_Change();
}

void IdPassForm::SignInKind_Change()
{
    // An OAuth account has no password of its own.
    const bool password = SignInKind->currentData().toString() == QLatin1String("password");
    PassText->setEnabled(password);
    KeyringCheck->setEnabled(password);
    SignInCommand->setEnabled(!password);
}

void IdPassForm::SignInCommand_Click()
{
    const QString kind = SignInKind->currentData().toString();
    OAuthSettings s = loadOAuthSettings(iniPath());
    // The tokens are kept under the account's ID.
    if (IdText->text().isEmpty() && !kind.startsWith(QLatin1String("goa "))) {
        warning(this, QStringLiteral("先に ID（メールアドレス）を入れてください。"));
        return;
    }
    if (kind.startsWith(QLatin1String("goa "))) {
        // GNOME keeps the tokens: choosing the account is the whole sign-in.
        s = OAuthSettings{};
        s.kind = QStringLiteral("goa");
        s.goaAccount = kind.mid(4);
        for (const GnomeMailAccount& a : gnomeMailAccounts(1000))
            if (a.objectPath == s.goaAccount && IdText->text().isEmpty())
                setIdText(a.imapUserName.isEmpty() ? a.email : a.imapUserName);
        QString error;
        if (!saveOAuthSettings(iniPath(), s, &error))
            warning(this, QStringLiteral("サインインの設定を保存できませんでした。\n%1").arg(error));
        return;
    }
    if (s.kind != kind) {
        // Another provider than the one saved: start from its preset.
        for (const OAuthPreset& p : oauthPresets())
            if (p.id == kind)
                s = p.settings;
    }
    auto* form = new OAuthSignInForm(IdText->text(), s, this);
    form->show();
}

void IdPassForm::OKCommand_Click()
{
    const QString id = IdText->text();
    const QString password = PassText->text();
    const bool passwordLogin = SignInKind->currentData().toString() == QLatin1String("password");
    // The ID the tokens were kept under, before this OK changes it.
    const QString savedId = ReadIniText(idPassIniPath(), QStringLiteral("NAME"), QString());
    m_settings.setAccountId(id);
    m_settings.setAccountPassword(password);

    if (Check1->isChecked()) {
        const bool keyring = passwordLogin && KeyringCheck->isChecked();
        if (keyring) {
            // The keyring first: the file's copy goes only once it is there.
            const SecretStore::Outcome kept = keepPasswordInKeyring(id, password);
            if (!kept.ok) {
                warning(this, QStringLiteral("パスワードを保存できませんでした。\n%1").arg(kept.error));
                return;
            }
            if (!kept.notice.isEmpty())
                information(this, kept.notice);
        }
        // A failed save leaves the window open with what the user typed.
        if (!saveAccount(id, keyring ? QString() : password))
            return;
        if (!keyring)
            forgetKeyringPassword(savedId.isEmpty() ? id : savedId);
    } else {
        WriteIniText(idPassIniPath(), QStringLiteral("NAME3"), QStringLiteral("0"),
                     IniFileMode::OwnerOnly);
    }
    // Back to the password: said in ini.ini only where a sign-in was kept
    // before, so that a password user's file stays as it was. The old
    // sign-in's refresh token is revoked off this thread, best-effort.
    const OAuthSettings before = loadOAuthSettings(iniPath());
    if (passwordLogin && !before.isPassword()) {
        WriteIniText(iniPath(), kOAuthSection, QStringLiteral("KIND"), QStringLiteral("password"));
        QThread* signOut = QThread::create(
            [accountId = savedId.isEmpty() ? id : savedId, before] { accountSignedOut(accountId, before); });
        connect(signOut, &QThread::finished, signOut, &QObject::deleteLater);
        signOut->start();
    }
    close();
}

bool IdPassForm::saveAccount(const QString& id, const QString& password)
{
    // Each check reads the account back from the file: a value the file
    // cannot give back unchanged must not pass for saved.
    for (const QString& value : {id, password}) {
        if (!cp932::canEncode(value)) {
            warning(this, QStringLiteral("IDまたはパスワードに Shift-JIS で表せない文字があるため、保存できませんでした。"));
            return false;
        }
        if (cp932::byteLength(value) > kMaxStoredBytes) {
            warning(this, QStringLiteral("IDまたはパスワードが長すぎるため (%1 バイトまで)、保存できませんでした。")
                              .arg(kMaxStoredBytes));
            return false;
        }
    }
    const QString file = idPassIniPath();
    const std::pair<QString, QString> writes[] = {
        // Quoted where the read would otherwise trim or unquote them.
        {QStringLiteral("NAME"), valueReadBackExactly(id)},
        {QStringLiteral("NAME2"), valueReadBackExactly(password)},
        {QStringLiteral("NAME3"), QStringLiteral("1")},
    };
    for (const auto& [key, value] : writes) {
        const IniWriteResult written = WriteIniText(file, key, value, IniFileMode::OwnerOnly);
        if (!written.ok) {
            warning(this, QStringLiteral("IDとパスワードを保存できませんでした。\n%1\n(%2)")
                              .arg(written.error, QDir::toNativeSeparators(file)));
            return false;
        }
    }
    return true;
}

void IdPassForm::CancelCommand_Click()
{
    close();
}

void IdPassForm::keyPressEvent(QKeyEvent* event)
{
    switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        // A focused button takes Enter itself; anywhere else it means OK.
        if (auto* button = qobject_cast<QPushButton*>(focusWidget()))
            button->click();
        else
            OKCommand_Click();
        return;
    case Qt::Key_Escape:
        CancelCommand_Click();
        return;
    default:
        QWidget::keyPressEvent(event);
    }
}

} // namespace qp
