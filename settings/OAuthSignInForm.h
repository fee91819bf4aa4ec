#pragma once
#include <QWidget>

#include "settings/OAuthSettings.h"

class QLabel;
class QLineEdit;
class QPushButton;

namespace qp {

struct TokenReply;

// "サインイン": the OAuth settings of the account, every field shown and
// editable (filled from a preset or what was saved), and the two ways to
// sign in: the browser, or a code typed on another device. A sign-in that
// succeeds stores the settings in ini.ini and the refresh token in the
// keyring (or the owner-only file, said once).
class OAuthSignInForm : public QWidget {
    Q_OBJECT
public:
    OAuthSignInForm(const QString& accountId, const OAuthSettings& settings, QWidget* parent = nullptr);
    OAuthSettings settings() const;

signals:
    void signedIn();

private:
    void discover();
    void browserSignIn();
    void deviceSignIn();
    void finished(const TokenReply& reply);
    void setBusy(bool busy);

    const QString m_accountId;
    const QString m_kind;
    QLineEdit* m_issuer = nullptr;
    QLineEdit* m_authorize = nullptr;
    QLineEdit* m_token = nullptr;
    QLineEdit* m_device = nullptr;
    QLineEdit* m_clientId = nullptr;
    QLineEdit* m_clientSecret = nullptr;
    QLineEdit* m_scope = nullptr;
    QLineEdit* m_redirectHost = nullptr;
    QPushButton* m_discover = nullptr;
    QPushButton* m_browser = nullptr;
    QPushButton* m_code = nullptr;
    QLabel* m_status = nullptr;
    QObject* m_running = nullptr; // the sign-in in progress
};

} // namespace qp
