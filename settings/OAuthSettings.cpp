#include "OAuthSettings.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "settings/IniFile.h"

namespace qp {

namespace {

struct Key {
    const char* name;
    QString OAuthSettings::*field;
};
const Key kKeys[] = {
    {"KIND", &OAuthSettings::kind},
    {"ISSUER", &OAuthSettings::issuer},
    {"AUTHORIZE", &OAuthSettings::authorizeUrl},
    {"TOKEN", &OAuthSettings::tokenUrl},
    {"DEVICE", &OAuthSettings::deviceUrl},
    {"REVOKE", &OAuthSettings::revokeUrl},
    {"CLIENT_ID", &OAuthSettings::clientId},
    {"CLIENT_SECRET", &OAuthSettings::clientSecret},
    {"SCOPE", &OAuthSettings::scope},
    {"REDIRECT_HOST", &OAuthSettings::redirectHost},
    {"GOA_ACCOUNT", &OAuthSettings::goaAccount},
};

} // namespace

QString OAuthSettings::secretKey(const QString& accountId) const
{
    const QString server = isGnomeAccount() ? goaAccount : (tokenUrl.isEmpty() ? issuer : tokenUrl);
    return QStringLiteral("refresh-token %1 %2").arg(accountId, server);
}

QList<OAuthPreset> oauthPresets()
{
    QFile f(QStringLiteral(":/quillpost/oauth-providers.json"));
    QList<OAuthPreset> out;
    if (!f.open(QIODevice::ReadOnly))
        return out;
    const QJsonArray list = QJsonDocument::fromJson(f.readAll()).object().value(QLatin1String("providers")).toArray();
    for (const QJsonValue& v : list) {
        const QJsonObject o = v.toObject();
        auto s = [&](const char* k) { return o.value(QLatin1String(k)).toString(); };
        OAuthPreset p;
        p.id = s("id");
        p.name = s("name");
        p.imapServer = s("imap");
        p.pop3Server = s("pop3");
        p.scopePop3 = s("scopePop3");
        p.settings.kind = p.id;
        p.settings.authorizeUrl = s("authorize");
        p.settings.tokenUrl = s("token");
        p.settings.deviceUrl = s("device");
        p.settings.scope = s("scope");
        p.settings.clientId = s("clientId");
        p.settings.clientSecret = s("clientSecret");
        if (!s("redirectHost").isEmpty())
            p.settings.redirectHost = s("redirectHost");
        out.append(p);
    }
    return out;
}

OAuthSettings loadOAuthSettings(const QString& iniPath)
{
    OAuthSettings s;
    for (const Key& k : kKeys)
        s.*k.field = ReadIniText(iniPath, kOAuthSection, QLatin1String(k.name), s.*k.field);
    return s;
}

bool saveOAuthSettings(const QString& iniPath, const OAuthSettings& s, QString* error)
{
    for (const Key& k : kKeys) {
        const IniWriteResult r =
            WriteIniText(iniPath, kOAuthSection, QLatin1String(k.name), valueReadBackExactly(s.*k.field));
        if (!r.ok) {
            *error = QStringLiteral("%1: %2").arg(QLatin1String(k.name), r.error);
            return false;
        }
    }
    return true;
}

bool accountCanSignIn(const QString& id, const QString& password, const OAuthSettings& s)
{
    if (id.isEmpty())
        return false;
    if (s.isPassword())
        return !password.isEmpty();
    if (s.isGnomeAccount())
        return !s.goaAccount.isEmpty();
    return !s.clientId.isEmpty() && !s.tokenUrl.isEmpty();
}

} // namespace qp
