#include "actions/DialUp.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QMap>
#include <QVariantMap>

#include <optional>

namespace qp {

namespace {

const QString kService = QStringLiteral("org.freedesktop.NetworkManager");
const QString kManagerPath = QStringLiteral("/org/freedesktop/NetworkManager");
const QString kManagerInterface = QStringLiteral("org.freedesktop.NetworkManager");
const QString kActiveInterface = QStringLiteral("org.freedesktop.NetworkManager.Connection.Active");
const QString kSettingsInterface = QStringLiteral("org.freedesktop.NetworkManager.Settings.Connection");
const QString kPropertiesInterface = QStringLiteral("org.freedesktop.DBus.Properties");

using SettingsMap = QMap<QString, QVariantMap>;

// Container values inside a variant may arrive still marshalled.
template <typename T>
std::optional<T> fromVariant(const QVariant& value)
{
    if (value.metaType() == QMetaType::fromType<T>())
        return value.value<T>();
    if (value.metaType() == QMetaType::fromType<QDBusArgument>())
        return qdbus_cast<T>(value.value<QDBusArgument>());
    return std::nullopt;
}

QString pathOf(const QVariant& value)
{
    if (value.metaType() == QMetaType::fromType<QDBusObjectPath>())
        return value.value<QDBusObjectPath>().path();
    return value.toString();
}

} // namespace

bool isDialUpType(const QString& connectionType, const QString& bluetoothType)
{
    if (connectionType == QLatin1String("gsm") || connectionType == QLatin1String("cdma")
        || connectionType == QLatin1String("pppoe"))
        return true;
    return connectionType == QLatin1String("bluetooth") && bluetoothType == QLatin1String("dun");
}

DialUpNetwork::DialUpNetwork(const QDBusConnection& bus, int callTimeoutMs)
    : m_bus(bus)
    , m_timeoutMs(callTimeoutMs)
{
}

DialUpNetwork DialUpNetwork::onSystemBus(int callTimeoutMs)
{
    return DialUpNetwork(QDBusConnection::systemBus(), callTimeoutMs);
}

namespace {

struct Caller {
    const QDBusConnection& bus;
    int timeoutMs;

    std::optional<QList<QVariant>> call(const QString& path, const QString& interface,
                                        const QString& method, const QList<QVariant>& args) const
    {
        if (!bus.isConnected())
            return std::nullopt;
        QDBusMessage message = QDBusMessage::createMethodCall(kService, path, interface, method);
        message.setArguments(args);
        // Hanging up must not start a network manager that was not running.
        message.setAutoStartService(false);
        const QDBusMessage reply = bus.call(message, QDBus::Block, timeoutMs);
        if (reply.type() != QDBusMessage::ReplyMessage)
            return std::nullopt;
        return reply.arguments();
    }

    std::optional<QVariant> property(const QString& path, const QString& interface,
                                     const QString& name) const
    {
        const auto reply = call(path, kPropertiesInterface, QStringLiteral("Get"), {interface, name});
        if (!reply || reply->isEmpty())
            return std::nullopt;
        return reply->first().value<QDBusVariant>().variant();
    }

    std::optional<QVariantMap> allProperties(const QString& path, const QString& interface) const
    {
        const auto reply = call(path, kPropertiesInterface, QStringLiteral("GetAll"), {interface});
        if (!reply || reply->isEmpty())
            return std::nullopt;
        return fromVariant<QVariantMap>(reply->first());
    }

    // The "type" of the profile's "bluetooth" setting, or empty when unknown.
    QString bluetoothType(const QString& settingsPath) const
    {
        if (settingsPath.isEmpty())
            return {};
        const auto reply = call(settingsPath, kSettingsInterface, QStringLiteral("GetSettings"), {});
        if (!reply || reply->isEmpty())
            return {};
        const auto settings = fromVariant<SettingsMap>(reply->first());
        if (!settings)
            return {};
        return settings->value(QStringLiteral("bluetooth")).value(QStringLiteral("type")).toString();
    }
};

} // namespace

QList<DialUpConnection> DialUpNetwork::activeDialUpConnections(bool* networkManagerFound) const
{
    if (networkManagerFound)
        *networkManagerFound = false;
    const Caller caller{m_bus, m_timeoutMs};
    const auto active = caller.property(kManagerPath, kManagerInterface, QStringLiteral("ActiveConnections"));
    if (!active)
        return {};
    const auto paths = fromVariant<QList<QDBusObjectPath>>(*active);
    if (!paths)
        return {};
    if (networkManagerFound)
        *networkManagerFound = true;

    QList<DialUpConnection> result;
    for (const QDBusObjectPath& path : *paths) {
        // A connection that vanished or does not answer is simply not listed.
        const auto properties = caller.allProperties(path.path(), kActiveInterface);
        if (!properties)
            continue;
        DialUpConnection connection;
        connection.activePath = path.path();
        connection.type = properties->value(QStringLiteral("Type")).toString();
        connection.id = properties->value(QStringLiteral("Id")).toString();
        QString bluetooth;
        if (connection.type == QLatin1String("bluetooth"))
            bluetooth = caller.bluetoothType(pathOf(properties->value(QStringLiteral("Connection"))));
        if (isDialUpType(connection.type, bluetooth))
            result.append(connection);
    }
    return result;
}

bool DialUpNetwork::deactivate(const DialUpConnection& connection) const
{
    const Caller caller{m_bus, m_timeoutMs};
    return caller
        .call(kManagerPath, kManagerInterface, QStringLiteral("DeactivateConnection"),
              {QVariant::fromValue(QDBusObjectPath(connection.activePath))})
        .has_value();
}

HangUpReport DialUpNetwork::hangUpAll() const
{
    HangUpReport report;
    report.found = activeDialUpConnections(&report.networkManagerFound);
    for (const DialUpConnection& connection : report.found) {
        if (deactivate(connection))
            report.hungUp.append(connection);
        else
            report.failed.append(connection);
    }
    return report;
}

HangUpReport hangUpDialUpConnections()
{
    return DialUpNetwork::onSystemBus().hangUpAll();
}

} // namespace qp
