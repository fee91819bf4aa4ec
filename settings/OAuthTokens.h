#pragma once
#include <QByteArray>
#include <QMutex>
#include <QString>

#include "settings/OAuthHttp.h"
#include "settings/OAuthSettings.h"
#include "settings/SecretStore.h"

namespace qp {

// Where an OAuth account's access tokens come from: our own sign-in, or the
// desktop's online accounts.
class AccessTokenProvider {
public:
    struct Token {
        QByteArray accessToken; // empty: see error
        QString error;          // Japanese, for the user
    };
    virtual ~AccessTokenProvider() = default;
    // renew: the server refused the last token; get a new one regardless.
    virtual Token accessToken(bool renew) = 0;
    // No token can be had until the user signs in again: a check does not
    // try (and the user has been told once).
    virtual bool mustSignIn() const = 0;
};

// The tokens of one OAuth account: the access token in memory for its
// life, the refresh token in the secret store (so it outlives the run).
// accessToken() hands out a token that is good for a while yet, refreshing
// first when it is not. A refresh the server refuses with invalid_grant
// (revoked, expired, password changed) puts the account into the
// "sign in again" state: no further request is made until signedIn().
// Thread-safe: the check asks on its worker, the account window signs in.
class OAuthTokens final : public AccessTokenProvider {
public:
    // A token expiring sooner than this is refreshed before a login.
    static constexpr qint64 kMarginSeconds = 120;

    OAuthTokens(OAuthSettings settings, QString accountId, SecretStore* store);

    OAuthHttp& http() { return m_http; }
    Token accessToken(bool renew) override;
    // After a sign-in: keeps both tokens; the outcome says where the
    // refresh token went (the notice, once, when not to the keyring).
    SecretStore::Outcome signedIn(const TokenReply& reply);
    // The refresh token was refused: the user must sign in again.
    bool mustSignIn() const override;
    // Forgets both tokens (signing out, or another account).
    void forget();
    // Signing out: the server is asked to revoke the refresh token (when it
    // has a revocation endpoint; best-effort, within timeoutMs), then both
    // tokens are forgotten whatever it said.
    void signOut(int timeoutMs = 10000);

private:
    Token fail(const QString& text);

    const OAuthSettings m_settings;
    const QString m_accountId;
    SecretStore* m_store;
    OAuthHttp m_http;
    mutable QMutex m_mutex;
    QByteArray m_accessToken;
    qint64 m_expiresAt = 0; // seconds since the epoch; 0 = unknown, use it until refused
    bool m_mustSignIn = false;
};

} // namespace qp
