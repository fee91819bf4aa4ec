#include "MailClientBase.h"

#include <QDir>
#include <QFileInfo>

#include "mail/MailText.h"
#include "mail/TlsMemory.h"

namespace qp {

void MailClientBase::beginConnection()
{
    m_broken = false;
    m_capabilities.clear();
    m_errorText.clear();
    m_transport.startSession(m_sessionMs);
}

bool MailClientBase::rememberTls(const MailEndpoint& endpoint)
{
    if (!m_tlsMemory || m_tlsMemory->remember(endpoint.host))
        return true;
    return refuseWithoutTls(mailtext::tlsNotRemembered(m_tlsMemory->errorText()));
}

bool MailClientBase::allowedWithoutTls(const MailEndpoint& endpoint)
{
    if (!m_tlsMemory)
        return true;
    switch (m_tlsMemory->lookUp(endpoint.host)) {
    case TlsMemory::Answer::Unknown:
        return true;
    case TlsMemory::Answer::Unreadable:
        return refuseWithoutTls(mailtext::tlsMemoryUnreadable(m_tlsMemory->errorText(), host()));
    case TlsMemory::Answer::Known:
        break;
    }
    // The file as the user finds it: the data folder and the file's name.
    const QString path = m_tlsMemory->path();
    const QFileInfo file(path);
    const QString shown = path.isEmpty() ? QString() : file.dir().dirName() + QLatin1Char('/') + file.fileName();
    return refuseWithoutTls(mailtext::tlsLost(host(), shown, TlsMemory::key(endpoint.host)));
}

bool MailClientBase::sendableCredentials(const QString& user, const QString& password)
{
    for (const QString* s : {&user, &password})
        for (QChar c : *s)
            if (c == QLatin1Char('\r') || c == QLatin1Char('\n') || c == QChar(0))
                return false;
    return true;
}

MailClientBase::OAuthOpening MailClientBase::openOAuth(const QList<QByteArray>& offered, const QString& user,
                                                      const QByteArray& token) const
{
    OAuthOpening o;
    o.mechanism = oauthsasl::choose(offered);
    if (o.mechanism == oauthsasl::Mechanism::None) {
        o.notOffered = true;
        o.failure = mailtext::oauthNotOffered(host());
    } else if (!oauthsasl::bearerAllowed(m_transport.isEncrypted(), m_transport.endpoint().host)) {
        o.notOffered = true; // not over this connection: the same kind for the user
        o.failure = mailtext::tokenNeedsTls(host());
    } else if (!oauthsasl::initialResponse(o.mechanism, user.toUtf8(), token, m_transport.endpoint().host.toUtf8(),
                                           m_transport.endpoint().port, &o.first)) {
        o.failure = mailtext::tokenNotSendable();
    }
    return o;
}

} // namespace qp
