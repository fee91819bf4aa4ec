#pragma once
#include <QDBusConnection>
#include <QHash>
#include <QSet>
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

    // At most this many notifications per check: a mailbox full of watched
    // mail gives the user a handful, not a flood.
    static constexpr int kMaxPerCheck = 10;

private:
    struct Entry {
        uint id = 0;          // the service's id, 0 until known
        bool inFlight = false; // a request is out; its answer brings the id
        bool resend = false;  // announced again while in flight
        QString summary;
        QString body;
    };
    void send(const QString& identity);
    void askCapabilities();

    QDBusConnection m_bus;
    QHash<QString, Entry> m_entries;
    // Whether the service reads markup in the body decides whether the
    // subject is escaped; asked once, the first time there is something to say.
    bool m_capabilitiesKnown = false;
    bool m_askingCapabilities = false;
    bool m_bodyMarkup = false;
    QSet<QString> m_waiting; // announced before the answer came
};

} // namespace qp
