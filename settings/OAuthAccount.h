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

} // namespace qp
