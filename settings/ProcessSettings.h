#pragma once
#include <QString>
#include <cstdint>

namespace qp {

// The six values that live for the whole run: the server settings from
// "ferrule.ini" and the account. One object, owned by the application and
// passed to whoever reads or sets them.
class ProcessSettings {
public:
    const QString& smtpServer() const { return m_smtpServer; }
    const QString& pop3Server() const { return m_pop3Server; }
    const QString& mailAddress() const { return m_mailAddress; }
    std::int16_t useApop() const { return m_useApop; }
    const QString& accountId() const { return m_accountId; }
    const QString& accountPassword() const { return m_accountPassword; }

    void setSmtpServer(const QString& v) { m_smtpServer = v; }
    void setPop3Server(const QString& v) { m_pop3Server = v; }
    void setMailAddress(const QString& v) { m_mailAddress = v; }
    void setUseApop(std::int16_t v) { m_useApop = v; }
    void setAccountId(const QString& v) { m_accountId = v; }
    void setAccountPassword(const QString& v) { m_accountPassword = v; }

private:
    QString m_smtpServer;
    QString m_pop3Server;
    QString m_mailAddress;
    std::int16_t m_useApop = 0;
    QString m_accountId;
    QString m_accountPassword;
};

} // namespace qp
