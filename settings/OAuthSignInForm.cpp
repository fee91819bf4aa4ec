#include "settings/OAuthSignInForm.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QThread>

#include "platform/AppFont.h"
#include "platform/MessageBoxes.h"
#include "platform/ProgramIcon.h"
#include "settings/OAuthAccount.h"
#include "settings/OAuthSignIn.h"
#include "settings/SettingsPaths.h"

namespace qp {

OAuthSignInForm::OAuthSignInForm(const QString& accountId, const OAuthSettings& s, QWidget* parent)
    : QWidget(parent, Qt::Window), m_accountId(accountId), m_kind(s.kind)
{
    setAttribute(Qt::WA_DeleteOnClose);
    setObjectName(QStringLiteral("OAuthSignInForm"));
    setWindowTitle(QStringLiteral("サインイン"));
    setWindowIcon(programIcon());
    setFont(gothicFont(9.0));
    auto* form = new QFormLayout;
    auto field = [&](const QString& label, const QString& value, const char* name) {
        auto* e = new QLineEdit(value, this);
        e->setObjectName(QLatin1String(name));
        e->setMinimumWidth(360);
        form->addRow(label, e);
        return e;
    };
    m_issuer = field(QStringLiteral("発行者 (issuer)"), s.issuer, "issuer");
    m_discover = new QPushButton(QStringLiteral("サーバーから取得"), this);
    form->addRow(QString(), m_discover);
    m_authorize = field(QStringLiteral("認可 URL"), s.authorizeUrl, "authorize");
    m_token = field(QStringLiteral("トークン URL"), s.tokenUrl, "token");
    m_device = field(QStringLiteral("デバイス認可 URL"), s.deviceUrl, "device");
    m_clientId = field(QStringLiteral("クライアント ID"), s.clientId, "clientId");
    m_clientSecret = field(QStringLiteral("クライアントシークレット"), s.clientSecret, "clientSecret");
    m_scope = field(QStringLiteral("スコープ"), s.scope, "scope");
    m_redirectHost = field(QStringLiteral("戻り先ホスト"), s.redirectHost, "redirectHost");
    m_browser = new QPushButton(QStringLiteral("ブラウザでサインイン"), this);
    m_code = new QPushButton(QStringLiteral("コードでサインイン"), this);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(m_browser);
    buttons->addWidget(m_code);
    m_status = new QLabel(this);
    m_status->setObjectName(QStringLiteral("status"));
    m_status->setWordWrap(true);
    m_status->setTextInteractionFlags(Qt::TextSelectableByMouse);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addLayout(buttons);
    layout->addWidget(m_status);

    connect(m_discover, &QPushButton::clicked, this, &OAuthSignInForm::discover);
    connect(m_browser, &QPushButton::clicked, this, &OAuthSignInForm::browserSignIn);
    connect(m_code, &QPushButton::clicked, this, &OAuthSignInForm::deviceSignIn);
    if (m_clientId->text().isEmpty())
        m_status->setText(QStringLiteral("クライアント ID を入れてください（README「OAuth でのサインイン」を参照）"));
}

OAuthSettings OAuthSignInForm::settings() const
{
    OAuthSettings s;
    s.kind = m_kind;
    s.issuer = m_issuer->text().trimmed();
    s.authorizeUrl = m_authorize->text().trimmed();
    s.tokenUrl = m_token->text().trimmed();
    s.deviceUrl = m_device->text().trimmed();
    s.clientId = m_clientId->text().trimmed();
    s.clientSecret = m_clientSecret->text().trimmed();
    s.scope = m_scope->text().trimmed();
    s.redirectHost = m_redirectHost->text().trimmed();
    return s;
}

void OAuthSignInForm::setBusy(bool busy)
{
    for (QPushButton* b : {m_discover, m_browser, m_code})
        b->setEnabled(!busy);
}

void OAuthSignInForm::discover()
{
    // The metadata comes over the network: off the window's thread.
    setBusy(true);
    m_status->setText(QStringLiteral("サーバーに問い合わせています…"));
    const OAuthSettings s = settings();
    QPointer<OAuthSignInForm> self(this);
    QThread* t = QThread::create([self, s] {
        OAuthSettings found = s;
        QString error;
        const bool ok = OAuthHttp().discover(s.issuer, &found, &error);
        QMetaObject::invokeMethod(qApp, [self, ok, found, error] {
            if (!self)
                return;
            self->setBusy(false);
            self->m_status->setText(ok ? QStringLiteral("サーバーの情報を取得しました") : error);
            if (ok) {
                self->m_authorize->setText(found.authorizeUrl);
                self->m_token->setText(found.tokenUrl);
                self->m_device->setText(found.deviceUrl);
            }
        });
    });
    connect(t, &QThread::finished, t, &QObject::deleteLater);
    t->start();
}

void OAuthSignInForm::browserSignIn()
{
    auto* signIn = new OAuthBrowserSignIn(settings(), this);
    signIn->setOpener([](const QUrl& url) { QDesktopServices::openUrl(url); });
    connect(signIn, &OAuthBrowserSignIn::finished, this, &OAuthSignInForm::finished);
    QString error;
    delete m_running;
    m_running = signIn;
    if (!signIn->start(&error)) {
        m_status->setText(error);
        return;
    }
    m_status->setText(QStringLiteral("ブラウザでサインインしてください。開かないときは次のアドレスを開いてください:\n%1")
                          .arg(signIn->authorizationUrl().toString()));
}

void OAuthSignInForm::deviceSignIn()
{
    auto* signIn = new OAuthDeviceSignIn(settings(), this);
    connect(signIn, &OAuthDeviceSignIn::finished, this, &OAuthSignInForm::finished);
    connect(signIn, &OAuthDeviceSignIn::userCodeReady, this, [this](const QString& uri, const QString& code) {
        m_status->setText(QStringLiteral("別の機器で %1 を開き、コード %2 を入れてください").arg(uri, code));
    });
    delete m_running;
    m_running = signIn;
    setBusy(true);
    m_status->setText(QStringLiteral("認証サーバーに問い合わせています…"));
    signIn->start();
}

void OAuthSignInForm::finished(const TokenReply& reply)
{
    setBusy(false);
    if (!reply.ok) {
        m_status->setText(reply.errorText);
        return;
    }
    QString error;
    if (!saveOAuthSettings(iniPath(), settings(), &error)) {
        m_status->setText(QStringLiteral("設定を保存できませんでした（%1）").arg(error));
        return;
    }
    const SecretStore::Outcome kept = accountSignedIn(m_accountId, settings(), reply);
    if (!kept.ok) {
        m_status->setText(QStringLiteral("サインインしましたが、その情報を保存できませんでした（%1）").arg(kept.error));
        return;
    }
    if (!kept.notice.isEmpty())
        information(this, kept.notice);
    emit signedIn();
    close();
}

} // namespace qp
