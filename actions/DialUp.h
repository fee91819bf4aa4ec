#pragma once
#include <QDBusConnection>
#include <QList>
#include <QString>

namespace qp {

// One active dial-up connection as NetworkManager lists it.
struct DialUpConnection {
    QString activePath; // object path of the active connection
    QString type;       // NetworkManager connection type: "gsm", "cdma", "pppoe", "bluetooth"
    QString id;         // the connection's name as the user knows it
};

// What a hang-up did. The user is never told; callers may log or ignore it.
struct HangUpReport {
    bool networkManagerFound = false; // false: no bus, or no NetworkManager on it
    QList<DialUpConnection> found;    // dial-up connections, in NetworkManager's order
    QList<DialUpConnection> hungUp;   // deactivations NetworkManager accepted
    QList<DialUpConnection> failed;   // deactivations refused or timed out
};

// True for connection types that dial: mobile broadband modems (GSM, CDMA),
// PPPoE, and Bluetooth when it is a dial-up (DUN) link rather than a
// personal-area network. bluetoothType is the "bluetooth" setting's "type"
// ("dun", "panu", ...), looked at only for Bluetooth.
bool isDialUpType(const QString& connectionType, const QString& bluetoothType = QString());

// Dial-up connections through NetworkManager on a D-Bus bus. Every call is
// blocking and bounded by the time-out; NetworkManager is never started by
// bus activation just to be asked. A missing bus or service means no
// connections, silently.
class DialUpNetwork {
public:
    static constexpr int kDefaultCallTimeoutMs = 3000;

    explicit DialUpNetwork(const QDBusConnection& bus, int callTimeoutMs = kDefaultCallTimeoutMs);

    // The system bus, where NetworkManager lives.
    static DialUpNetwork onSystemBus(int callTimeoutMs = kDefaultCallTimeoutMs);

    // Active dial-up connections in the order NetworkManager lists them.
    // networkManagerFound (optional) tells whether the list could be read.
    QList<DialUpConnection> activeDialUpConnections(bool* networkManagerFound = nullptr) const;

    // Asks NetworkManager to take one connection down. True when it accepted.
    bool deactivate(const DialUpConnection& connection) const;

    // Lists, then deactivates each in order; a refusal does not stop the next.
    HangUpReport hangUpAll() const;

private:
    QDBusConnection m_bus;
    int m_timeoutMs;
};

// Command5_Click: hang up every dial-up connection on this machine.
HangUpReport hangUpDialUpConnections();

} // namespace qp
