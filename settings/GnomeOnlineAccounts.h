#pragma once
#include <QList>
#include <QMutex>
#include <QString>

#include "settings/OAuthTokens.h"

namespace qp {

// Mail accounts the user added in GNOME Settings (GNOME Online Accounts),
// reached over the session bus; no library of theirs is needed. Only
// accounts that sign in with OAuth 2.0 and have mail switched on are
// listed.
struct GnomeMailAccount {
    QString objectPath;   // the account's D-Bus object: its id here
    QString provider;     // "Google", ...
    QString identity;     // as GNOME shows it, usually the address
    QString email;
    QString imapHost;
    QString imapUserName;
    bool imapUseSsl = false;
    bool attentionNeeded = false; // GNOME wants the user to sign in again
};
// An empty list when the service is not there (no GNOME, no session bus).
QList<GnomeMailAccount> gnomeMailAccounts(int timeoutMs = 5000);

// The access token of one such account, asked of GNOME before each login.
// An account that needs the user's attention is not used: the user is told
// to sign in again in GNOME Settings.
class GnomeAccountTokens final : public AccessTokenProvider {
public:
    explicit GnomeAccountTokens(QString objectPath, int timeoutMs = 10000);
    Token accessToken(bool renew) override;
    bool mustSignIn() const override;

private:
    const QString m_path;
    const int m_timeoutMs;
    mutable QMutex m_mutex;
    bool m_attention = false;
};

} // namespace qp
