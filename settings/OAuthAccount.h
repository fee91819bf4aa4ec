#pragma once
#include <QString>
#include <memory>

#include "settings/OAuthHttp.h"
#include "settings/OAuthSettings.h"
#include "settings/OAuthTokens.h"
#include "settings/SecretStore.h"

namespace qp {

// The program's secret store: the keyring, else secrets.json in the data folder.
SecretStore& programSecretStore();

// Where the account's access tokens come from, as the settings say now;
// null for a password account. The same object for as long as the account
// and its sign-in settings stay the same, so that a token and the "sign in
// again" state outlive one check. Any thread.
std::shared_ptr<AccessTokenProvider> accountTokenProvider(const QString& accountId, const OAuthSettings& s);

// After a sign-in in the account window: the tokens are kept, and the
// account's provider starts from them.
SecretStore::Outcome accountSignedIn(const QString& accountId, const OAuthSettings& s, const TokenReply& reply);

// Signing out (the account back to the password): the refresh token is
// revoked where the server allows it (within timeoutMs) and removed from
// the store. It waits on the network: call it off the window's thread.
void accountSignedOut(const QString& accountId, const OAuthSettings& s, int timeoutMs = 10000);

// A password the user chose to keep in the keyring rather than in
// iniIdPass.ini: ini.ini's OAUTH section says PASSWORD=KEYRING, and NAME2
// stays empty.
bool passwordInKeyring();
// The password a check logs in with: NAME2 when it holds one, else the
// keyring's when the user chose it.
QString storedAccountPassword();
// Keeps the password in the keyring (or the owner-only file, said once),
// empties NAME2 and notes the choice.
SecretStore::Outcome keepPasswordInKeyring(const QString& id, const QString& password);
// The password back to the account file: the keyring's copy goes.
void forgetKeyringPassword(const QString& id);

} // namespace qp
