#pragma once
#include <QDBusConnection>
#include <QHash>
#include <QList>
#include <QObject>
#include <QString>

namespace qp {

// Tells the desktop's notification service (org.freedesktop.Notifications)
// who wrote, beside the alert's tune and pictures, so the desktop's history,
// Do Not Disturb and screen readers know of it too. One notification per
// message: the same message announced again replaces its notification
// instead of stacking another. Every call is asynchronous; with no bus or no
// notification service on it, nothing happens and nothing waits.
class DesktopNotifier : public QObject {
    Q_OBJECT
public:
    struct Message {
        QString identity; // what tells one message from another across checks
        QString sender;   // the From field as decoded
        QString subject;
    };

    explicit DesktopNotifier(const QDBusConnection& bus = QDBusConnection::sessionBus(), QObject* parent = nullptr);

    // The watched messages of one check. Messages of earlier checks that are
    // not among them are forgotten (they left the mailbox), so the memory
    // kept stays as small as the mailbox.
    void announce(const QList<Message>& messages);

    // The service's id of a message's notification; 0 before its answer came.
    uint notificationId(const QString& identity) const { return m_entries.value(identity).id; }

    // At most this many notifications per check: a mailbox full of watched
    // mail gives the user a handful, not a flood.
    static constexpr int kMaxPerCheck = 10;

signals:
    // The service answered a request (tests wait for it).
    void answered();

private:
    struct Entry {
        uint id = 0;          // the service's id, 0 until known
        bool inFlight = false; // a request is out; its answer brings the id
        bool resend = false;  // announced again while in flight
        QString summary;
        QString body;
    };
    void send(const QString& identity);

    QDBusConnection m_bus;
    QHash<QString, Entry> m_entries;
};

} // namespace qp
