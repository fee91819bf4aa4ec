#include "GnomeOnlineAccounts.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>

namespace qp {

namespace {

const QString kService = QStringLiteral("org.gnome.OnlineAccounts");
const QString kAccount = QStringLiteral("org.gnome.OnlineAccounts.Account");
const QString kOAuth2 = QStringLiteral("org.gnome.OnlineAccounts.OAuth2Based");
const QString kMail = QStringLiteral("org.gnome.OnlineAccounts.Mail");

QDBusMessage call(const QString& path, const QString& interface, const QString& method, int timeoutMs,
                  const QVariantList& args = {})
{
    QDBusMessage m = QDBusMessage::createMethodCall(kService, path, interface, method);
    m.setArguments(args);
    return QDBusConnection::sessionBus().call(m, QDBus::Block, timeoutMs);
}

bool attentionNeeded(const QString& path, int timeoutMs)
{
    const QDBusMessage r = call(path, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"),
                                timeoutMs, {kAccount, QStringLiteral("AttentionNeeded")});
    return r.type() == QDBusMessage::ReplyMessage
           && r.arguments().value(0).value<QDBusVariant>().variant().toBool();
}

} // namespace

QList<GnomeMailAccount> gnomeMailAccounts(int timeoutMs)
{
    QList<GnomeMailAccount> out;
    // Asked of the bus first, which answers at once: no GNOME, no wait.
    const QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() || !bus.interface() || !bus.interface()->isServiceRegistered(kService))
        return out;
    const QDBusMessage r = call(QStringLiteral("/org/gnome/OnlineAccounts"),
                                QStringLiteral("org.freedesktop.DBus.ObjectManager"),
                                QStringLiteral("GetManagedObjects"), timeoutMs);
    if (r.type() != QDBusMessage::ReplyMessage || r.arguments().isEmpty()
        || r.signature() != QLatin1String("a{oa{sa{sv}}}"))
        return out;
    const QDBusArgument objects = r.arguments().at(0).value<QDBusArgument>();
    objects.beginMap();
    while (!objects.atEnd()) {
        QDBusObjectPath path;
        QMap<QString, QVariantMap> interfaces;
        objects.beginMapEntry();
        objects >> path;
        objects.beginMap();
        while (!objects.atEnd()) {
            QString name;
            QVariantMap properties;
            objects.beginMapEntry();
            objects >> name >> properties;
            objects.endMapEntry();
            interfaces.insert(name, properties);
        }
        objects.endMap();
        objects.endMapEntry();
        const QVariantMap account = interfaces.value(kAccount);
        const QVariantMap mail = interfaces.value(kMail);
        if (!interfaces.contains(kOAuth2) || !interfaces.contains(kMail)
            || account.value(QStringLiteral("MailDisabled")).toBool())
            continue;
        GnomeMailAccount a;
        a.objectPath = path.path();
        a.provider = account.value(QStringLiteral("ProviderName")).toString();
        a.identity = account.value(QStringLiteral("PresentationIdentity")).toString();
        a.attentionNeeded = account.value(QStringLiteral("AttentionNeeded")).toBool();
        a.email = mail.value(QStringLiteral("EmailAddress")).toString();
        a.imapHost = mail.value(QStringLiteral("ImapHost")).toString();
        a.imapUserName = mail.value(QStringLiteral("ImapUserName")).toString();
        a.imapUseSsl = mail.value(QStringLiteral("ImapUseSsl")).toBool();
        out.append(a);
    }
    objects.endMap();
    return out;
}

GnomeAccountTokens::GnomeAccountTokens(QString objectPath, int timeoutMs)
    : m_path(std::move(objectPath)), m_timeoutMs(timeoutMs)
{
}

AccessTokenProvider::Token GnomeAccountTokens::accessToken(bool renew)
{
    QMutexLocker lock(&m_mutex);
    // Asked afresh each time: the user may have signed in again in GNOME.
    m_attention = attentionNeeded(m_path, m_timeoutMs);
    if (m_attention)
        return Token{{}, QStringLiteral("GNOME のオンラインアカウントでサインインし直す必要があります（設定 → オンラインアカウント）")};
    // GNOME hands out its cached token until it expires; after a refusal
    // EnsureCredentials makes it check and refresh.
    if (renew)
        call(m_path, kAccount, QStringLiteral("EnsureCredentials"), m_timeoutMs);
    const QDBusMessage r = call(m_path, kOAuth2, QStringLiteral("GetAccessToken"), m_timeoutMs);
    const QByteArray token = r.arguments().value(0).toString().toUtf8();
    if (r.type() != QDBusMessage::ReplyMessage || token.isEmpty())
        return Token{{}, QStringLiteral("GNOME のオンラインアカウントからトークンを受け取れません（%1）")
                             .arg(r.errorMessage().isEmpty() ? r.errorName() : r.errorMessage().left(200))};
    return Token{token, {}};
}

bool GnomeAccountTokens::mustSignIn() const
{
    // Asked of GNOME each time: the user fixes it there, not here.
    QMutexLocker lock(&m_mutex);
    return m_attention && attentionNeeded(m_path, m_timeoutMs);
}

} // namespace qp
