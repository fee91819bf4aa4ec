#pragma once
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>

#include <atomic>
#include <functional>
#include <memory>

#include "settings/OAuthHttp.h"
#include "settings/OAuthSettings.h"

class QOAuthHttpServerReplyHandler;

namespace qp {

// Signing in through the user's browser: the authorization-code flow with
// PKCE (S256) and a redirect to a listener on loopback (RFC 8252). Qt
// Network Authorization runs the listener and the page the browser is
// sent back to. Its flow class is not used: before Qt 6.8 it sends no PKCE
// and at the token step it passes the code already percent-encoded, so the
// URL is built and the code exchanged here, where the encoding is ours.
//
// Nothing blocks the caller's thread: the exchange runs on a thread of its
// own and finished() comes back on the caller's.
class OAuthBrowserSignIn : public QObject {
    Q_OBJECT
public:
    explicit OAuthBrowserSignIn(OAuthSettings settings, QObject* parent = nullptr);
    ~OAuthBrowserSignIn() override;

    // Opens the authorization URL; the window layer passes the desktop's
    // browser, tests their own.
    void setOpener(std::function<void(const QUrl&)> opener) { m_opener = std::move(opener); }
    OAuthHttp& http() { return m_http; }

    // Listens on the redirect host and opens the browser; false with
    // errorText when the listener cannot be set up.
    bool start(QString* errorText);
    QUrl authorizationUrl() const { return m_url; }

    static QString donePageText();

signals:
    void finished(const qp::TokenReply& reply);

private:
    void callback(const QVariantMap& values);
    void finish(const TokenReply& reply);

    OAuthSettings m_settings;
    OAuthHttp m_http;
    std::function<void(const QUrl&)> m_opener;
    QOAuthHttpServerReplyHandler* m_handler = nullptr;
    QByteArray m_verifier;
    QByteArray m_state;
    QString m_redirectUri;
    QUrl m_url;
    bool m_done = false;
};

// Signing in on a machine without a browser: the device authorization grant
// (RFC 8628). The user opens the address shown on another device and types
// the code; this polls the token endpoint meanwhile, on a thread of its own.
class OAuthDeviceSignIn : public QObject {
    Q_OBJECT
public:
    explicit OAuthDeviceSignIn(OAuthSettings settings, QObject* parent = nullptr);
    ~OAuthDeviceSignIn() override;
    OAuthHttp& http() { return m_http; }

    void start();
    void cancel() { *m_cancelled = true; }

signals:
    // What to show the user: where to go and the code to type.
    void userCodeReady(const QString& verificationUri, const QString& userCode, const QString& completeUri);
    void finished(const qp::TokenReply& reply);

private:
    OAuthSettings m_settings;
    OAuthHttp m_http;
    std::shared_ptr<std::atomic_bool> m_cancelled = std::make_shared<std::atomic_bool>(false);
};

} // namespace qp
