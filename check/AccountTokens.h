#pragma once
#include <memory>

#include "mail/OAuthTokenSource.h"
#include "settings/OAuthTokens.h"

namespace qp {

// An OAuth account's tokens as the mail library asks for them before a login.
class AccountTokenSource final : public OAuthTokenSource {
public:
    explicit AccountTokenSource(std::shared_ptr<AccessTokenProvider> tokens) : m_tokens(std::move(tokens)) {}
    Token accessToken(bool renew) override
    {
        const AccessTokenProvider::Token t = m_tokens->accessToken(renew);
        return Token{t.accessToken, t.error};
    }

private:
    std::shared_ptr<AccessTokenProvider> m_tokens;
};

} // namespace qp
