#include "OAuthAccount.h"

#include <QMutex>

#include "settings/GnomeOnlineAccounts.h"
#include "settings/IniFile.h"
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

const QString kPasswordKey = QStringLiteral("PASSWORD");

QString passwordSecretKey(const QString& accountId)
{
    return QStringLiteral("password %1").arg(accountId);
}

// The keyring's password, read once a run: the check asks at every tick on
// the window's thread, where a keyring that prompts to be unlocked would
// hold it. Read again after the account window saves it.
struct KeptPassword {
    QMutex mutex;
    bool read = false;
    QString id, password;
};

KeptPassword& keptPassword()
{
    static KeptPassword k;
    return k;
}

QString keyOf(const QString& accountId, const OAuthSettings& s)
{
    return QStringList{accountId, s.kind, s.tokenUrl, s.clientId, s.clientSecret, s.goaAccount}.join(QChar(0));
}

} // namespace

SecretStore& programSecretStore()
{
    // The file follows the data folder the program uses now.
    static SecretStore store(secretFilePath());
    store.setFallbackPath(secretFilePath());
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

void accountSignedOut(const QString& accountId, const OAuthSettings& s, int timeoutMs)
{
    // GNOME keeps its own tokens: nothing of ours to revoke.
    if (!s.isPassword() && !s.isGnomeAccount())
        OAuthTokens(s, accountId, &programSecretStore()).signOut(timeoutMs);
    Current& c = current();
    QMutexLocker lock(&c.mutex);
    if (c.key == keyOf(accountId, s)) {
        c.key.clear();
        c.provider.reset();
    }
}

bool passwordInKeyring()
{
    return ReadIniText(iniPath(), kOAuthSection, kPasswordKey, QString()) == QLatin1String("KEYRING");
}

QString storedAccountPassword()
{
    const QString file = idPassIniPath();
    const QString password = ReadIniText(file, QStringLiteral("NAME2"), QString());
    if (!password.isEmpty() || !passwordInKeyring())
        return password;
    const QString id = ReadIniText(file, QStringLiteral("NAME"), QString());
    KeptPassword& k = keptPassword();
    QMutexLocker lock(&k.mutex);
    if (!k.read || k.id != id) {
        k.read = true;
        k.id = id;
        k.password = QString::fromUtf8(programSecretStore().read(passwordSecretKey(id)));
    }
    return k.password;
}

SecretStore::Outcome keepPasswordInKeyring(const QString& id, const QString& password)
{
    SecretStore::Outcome o = programSecretStore().write(passwordSecretKey(id), password.toUtf8());
    if (!o.ok)
        return o;
    {
        // Read back at the next ask, from where it went (just unlocked).
        KeptPassword& k = keptPassword();
        QMutexLocker lock(&k.mutex);
        k.read = false;
    }
    // The choice first: a NAME2 emptied without it would lose the password.
    IniWriteResult r = WriteIniText(iniPath(), kOAuthSection, kPasswordKey, QStringLiteral("KEYRING"));
    if (r.ok)
        r = WriteIniText(idPassIniPath(), QStringLiteral("NAME2"), QString(), IniFileMode::OwnerOnly);
    if (!r.ok) {
        o.ok = false;
        o.error = r.error;
    }
    return o;
}

void forgetKeyringPassword(const QString& id)
{
    if (!passwordInKeyring())
        return;
    WriteIniText(iniPath(), kOAuthSection, kPasswordKey, QStringLiteral("FILE"));
    programSecretStore().remove(passwordSecretKey(id));
    KeptPassword& k = keptPassword();
    QMutexLocker lock(&k.mutex);
    k.read = false;
    k.password.clear();
}

} // namespace qp
