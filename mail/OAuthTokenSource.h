#pragma once
#include <QByteArray>
#include <QString>

namespace qp {

// Where a mail session gets the OAuth access token it signs in with. The
// sessions call it on the thread that runs them, just before each login.
class OAuthTokenSource {
public:
    struct Token {
        QByteArray accessToken; // empty: none to be had, see error
        QString error;          // Japanese, for the user
    };
    virtual ~OAuthTokenSource() = default;
    // A token that has not expired. renew: the server refused the last one
    // although it had not expired; get a new one whatever its time says.
    virtual Token accessToken(bool renew) = 0;
};

// One login with a token; when the server refuses it, one new token and one
// more try, never more (servers slow down every failed login further).
// tryLogin(token) -> bool, refused() -> whether the failure was the token.
template <class TryLogin, class Refused>
bool signInWithToken(OAuthTokenSource& source, TryLogin tryLogin, Refused refused, QString* error)
{
    for (bool renew : {false, true}) {
        const OAuthTokenSource::Token t = source.accessToken(renew);
        if (t.accessToken.isEmpty()) {
            *error = t.error;
            return false;
        }
        if (tryLogin(t.accessToken))
            return true;
        if (!refused())
            return false;
    }
    return false;
}

} // namespace qp
