#include "OAuthSignIn.h"

#include <QDeadlineTimer>
#include <QHostAddress>
#include <QOAuthHttpServerReplyHandler>
#include <QThread>
#include <QUrlQuery>

namespace qp {

namespace {

// Runs work on a thread of its own; done(result) is then called on
// receiver's thread, unless receiver is gone.
template <class Result>
QThread* runAside(QObject* receiver, std::function<Result()> work, std::function<void(const Result&)> done)
{
    QPointer<QObject> guard(receiver);
    QThread* t = QThread::create([guard, work, done] {
        const Result r = work();
        if (guard)
            QMetaObject::invokeMethod(guard, [guard, done, r] {
                if (guard)
                    done(r);
            }, Qt::QueuedConnection);
    });
    QObject::connect(t, &QThread::finished, t, &QObject::deleteLater);
    t->start();
    return t;
}

} // namespace

OAuthBrowserSignIn::OAuthBrowserSignIn(OAuthSettings settings, QObject* parent)
    : QObject(parent), m_settings(std::move(settings))
{
    qRegisterMetaType<qp::TokenReply>();
}

OAuthBrowserSignIn::~OAuthBrowserSignIn() = default;

QString OAuthBrowserSignIn::donePageText()
{
    return QStringLiteral("サインインしました。このページは閉じてかまいません");
}

bool OAuthBrowserSignIn::start(QString* errorText)
{
    // Microsoft accepts only "localhost" as the redirect's host; it still
    // resolves to the loopback address listened on here.
    const bool named = m_settings.redirectHost.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0;
    const QHostAddress address = named ? QHostAddress(QHostAddress::LocalHost) : QHostAddress(m_settings.redirectHost);
    if (address.isNull() || !address.isLoopback()) {
        *errorText = QStringLiteral("戻り先「%1」はこのコンピューターの中（127.0.0.1 か localhost）でなければなりません")
                         .arg(m_settings.redirectHost);
        return false;
    }
    // Given the address, it listens there and nowhere else.
    m_handler = new QOAuthHttpServerReplyHandler(address, 0, this);
    if (!m_handler->isListening()) {
        *errorText = QStringLiteral("サインインの戻り先を開けません");
        return false;
    }
    m_handler->setCallbackText(donePageText());
    connect(m_handler, &QOAuthHttpServerReplyHandler::callbackReceived, this, &OAuthBrowserSignIn::callback);

    m_verifier = newPkceVerifier();
    m_state = newPkceVerifier().left(22);
    m_redirectUri = QStringLiteral("http://%1:%2/")
                        .arg(named ? QStringLiteral("localhost") : address.toString())
                        .arg(m_handler->port());
    QUrl url(m_settings.authorizeUrl);
    QUrlQuery q(url);
    q.addQueryItem(QStringLiteral("response_type"), QStringLiteral("code"));
    q.addQueryItem(QStringLiteral("client_id"), QString::fromUtf8(QUrl::toPercentEncoding(m_settings.clientId)));
    q.addQueryItem(QStringLiteral("redirect_uri"), QString::fromUtf8(QUrl::toPercentEncoding(m_redirectUri)));
    q.addQueryItem(QStringLiteral("scope"), QString::fromUtf8(QUrl::toPercentEncoding(m_settings.scope)));
    q.addQueryItem(QStringLiteral("state"), QString::fromLatin1(m_state));
    q.addQueryItem(QStringLiteral("code_challenge"), QString::fromLatin1(pkceChallenge(m_verifier)));
    q.addQueryItem(QStringLiteral("code_challenge_method"), QStringLiteral("S256"));
    // Google hands out a refresh token only when asked for offline access.
    if (m_settings.kind == QLatin1String("gmail"))
        q.addQueryItem(QStringLiteral("access_type"), QStringLiteral("offline"));
    url.setQuery(q);
    m_url = url;
    if (!m_url.isValid() || (m_url.scheme() != QLatin1String("https") && m_url.scheme() != QLatin1String("http"))) {
        *errorText = QStringLiteral("認証のアドレス「%1」が正しくありません").arg(m_settings.authorizeUrl.left(100));
        return false;
    }
    if (m_opener)
        m_opener(m_url);
    return true;
}

void OAuthBrowserSignIn::callback(const QVariantMap& values)
{
    if (m_done)
        return;
    // The listener hands the query values on as they came, percent-encoded.
    auto value = [&](const char* name) {
        return QUrl::fromPercentEncoding(values.value(QLatin1String(name)).toString().toUtf8()).toUtf8();
    };
    TokenReply failed;
    if (value("state") != m_state) {
        failed.errorText = QStringLiteral("サインインの応答が、この画面で始めたものと一致しません");
        return finish(failed);
    }
    if (!value("error").isEmpty()) {
        failed.error = QString::fromUtf8(value("error"));
        failed.errorText = failed.error == QLatin1String("access_denied")
            ? QStringLiteral("サインインが取り消されました")
            : QStringLiteral("サインインできませんでした（%1）").arg(failed.error.left(100));
        return finish(failed);
    }
    const QByteArray code = value("code");
    if (code.isEmpty()) {
        failed.errorText = QStringLiteral("サインインの応答にコードがありません");
        return finish(failed);
    }
    m_done = true;
    m_handler->close();
    auto http = std::make_shared<OAuthHttp>(m_http);
    const OAuthSettings s = m_settings;
    const QByteArray verifier = m_verifier;
    const QString redirect = m_redirectUri;
    runAside<TokenReply>(
        this, [=] { return http->exchangeCode(s, code, verifier, redirect); },
        [this](const TokenReply& r) { emit finished(r); });
}

void OAuthBrowserSignIn::finish(const TokenReply& reply)
{
    m_done = true;
    if (m_handler)
        m_handler->close();
    emit finished(reply);
}

OAuthDeviceSignIn::OAuthDeviceSignIn(OAuthSettings settings, QObject* parent)
    : QObject(parent), m_settings(std::move(settings))
{
    qRegisterMetaType<qp::TokenReply>();
}

OAuthDeviceSignIn::~OAuthDeviceSignIn()
{
    *m_cancelled = true;
}

void OAuthDeviceSignIn::start()
{
    auto http = std::make_shared<OAuthHttp>(m_http);
    const OAuthSettings s = m_settings;
    auto cancelled = m_cancelled;
    QPointer<OAuthDeviceSignIn> self(this);
    runAside<TokenReply>(
        this,
        [=]() -> TokenReply {
            TokenReply r;
            const DeviceStart d = http->startDevice(s);
            if (!d.ok) {
                r.errorText = d.errorText;
                return r;
            }
            QMetaObject::invokeMethod(self, [self, d] {
                if (self)
                    emit self->userCodeReady(d.verificationUri, d.userCode, d.verificationUriComplete);
            }, Qt::QueuedConnection);
            int interval = d.interval;
            const QDeadlineTimer expiry(qint64(d.expiresIn) * 1000);
            while (!*cancelled && !expiry.hasExpired()) {
                for (int waited = 0; waited < interval * 10 && !*cancelled; ++waited)
                    QThread::msleep(100);
                if (*cancelled)
                    break;
                r = http->pollDevice(s, d.deviceCode);
                if (r.ok)
                    return r;
                if (r.error == QLatin1String("slow_down"))
                    interval = std::max(interval + 5, r.interval); // RFC 8628 3.5
                else if (r.error != QLatin1String("authorization_pending"))
                    return r;
            }
            r = TokenReply{};
            r.errorText = *cancelled ? QStringLiteral("サインインを取り消しました")
                                     : QStringLiteral("コードの有効期限が切れました。もう一度サインインしてください");
            return r;
        },
        [this](const TokenReply& r) { emit finished(r); });
}

} // namespace qp
