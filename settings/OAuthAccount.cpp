#include "OAuthAccount.h"

#include <QMutex>

#include "settings/GnomeOnlineAccounts.h"
#include "settings/SettingsPaths.h"

namespace qp {

namespace {

struct Current {
    QMutex mutex;
    QString key; // account and settings the provider was made for
    std::shared_ptr<AccessTokenProvider> provider;
};

Current& current()
{
    static Current c;
    return c;
}

QString keyOf(const QString& accountId, const OAuthSettings& s)
{
    return QStringList{accountId, s.kind, s.tokenUrl, s.clientId, s.clientSecret, s.goaAccount}.join(QChar(0));
}

} // namespace

SecretStore& programSecretStore()
{
    static SecretStore store(secretFilePath());
    return store;
}

std::shared_ptr<AccessTokenProvider> accountTokenProvider(const QString& accountId, const OAuthSettings& s)
{
    if (s.isPassword())
        return nullptr;
    Current& c = current();
    QMutexLocker lock(&c.mutex);
    const QString key = keyOf(accountId, s);
    if (c.key != key || !c.provider) {
        c.key = key;
        if (s.isGnomeAccount())
            c.provider = std::make_shared<GnomeAccountTokens>(s.goaAccount);
        else
            c.provider = std::make_shared<OAuthTokens>(s, accountId, &programSecretStore());
    }
    return c.provider;
}

SecretStore::Outcome accountSignedIn(const QString& accountId, const OAuthSettings& s, const TokenReply& reply)
{
    auto tokens = std::make_shared<OAuthTokens>(s, accountId, &programSecretStore());
    const SecretStore::Outcome o = tokens->signedIn(reply);
    Current& c = current();
    QMutexLocker lock(&c.mutex);
    c.key = keyOf(accountId, s);
    c.provider = tokens;
    return o;
}

} // namespace qp
