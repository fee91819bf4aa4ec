#pragma once
#include <QByteArray>
#include <QMap>
#include <QString>
#include <memory>

#include "tests/support/ScriptedServer.h"

namespace qp::test {

// A small OAuth 2.0 authorization server on 127.0.0.1 (plain HTTP, its own
// thread) for the sign-in tests and for Dovecot's token checks: metadata
// (RFC 8414), authorize with PKCE S256 (answers with the redirect at once,
// as if the user had agreed), token (authorization_code, refresh_token,
// device_code), device authorization (RFC 8628), introspection (RFC 7662) and
// revocation (RFC 7009). One client ID; every token is the user's set
// with setUser(). Codes hold '/' and '+' so that encoding faults show.
class OAuthTestServer {
public:
    static constexpr char kClientId[] = "quillpost-test";

    OAuthTestServer();
    ~OAuthTestServer();
    bool start();
    QString issuer() const; // "http://127.0.0.1:<port>"
    QString url(const char* path) const { return issuer() + QLatin1String(path); }

    void setUser(const QString& user);
    // Seconds an access token lives, as told in expires_in (default 3600).
    void setLifetime(int seconds);
    // Every access token issued so far stops being active.
    void expireAccessTokens();
    // Every refresh token issued so far is refused with invalid_grant.
    void revokeRefreshTokens();
    // The user agrees to the pending device code.
    void approveDevice();

    int refreshCount() const;

    struct State;

private:
    class Server;
    std::unique_ptr<State> m_state;
    ServerThread m_thread; // ends before m_state, which its server uses
    quint16 m_port = 0;
};

} // namespace qp::test
