#pragma once
#include <QList>
#include <QString>

namespace qp {

// How the account signs in, and for OAuth where its tokens come from. Kept
// in a section of its own ("OAUTH") of ini.ini, so that the keys other
// programs and older versions read stay as they were. No section, or KIND
// "password", is the password login.
struct OAuthSettings {
    QString kind = QStringLiteral("password"); // a preset id, or "goa"
    QString issuer;       // custom: where the server's metadata is found
    QString authorizeUrl;
    QString tokenUrl;
    QString deviceUrl;    // device authorization endpoint; empty: none
    QString revokeUrl;    // revocation endpoint (RFC 7009); empty: none
    QString clientId;
    QString clientSecret; // some providers issue one even to desktop programs
    QString scope;
    QString redirectHost = QStringLiteral("127.0.0.1"); // of the loopback redirect
    QString goaAccount;   // kind "goa": the GNOME Online Accounts account id

    bool isPassword() const { return kind.isEmpty() || kind == QLatin1String("password"); }
    bool isGnomeAccount() const { return kind == QLatin1String("goa"); }
    // The key its secrets are kept under: one per account and token server.
    QString secretKey(const QString& accountId) const;
};

// A preset of the data file: a provider's endpoints and servers.
struct OAuthPreset {
    QString id, name;
    QString imapServer, pop3Server;
    QString scopePop3; // when POP3 needs another scope than IMAP
    OAuthSettings settings;
};
QList<OAuthPreset> oauthPresets();

inline const QString kOAuthSection = QStringLiteral("OAUTH");
OAuthSettings loadOAuthSettings(const QString& iniPath);
// false with error set when a value cannot be stored (too long, not CP932).
bool saveOAuthSettings(const QString& iniPath, const OAuthSettings& s, QString* error);

// Whether the account can sign in as it stands: an ID and a password, or an
// ID and OAuth settings with a client. Start-up opens the account window
// when it cannot.
bool accountCanSignIn(const QString& id, const QString& password, const OAuthSettings& s);

} // namespace qp
