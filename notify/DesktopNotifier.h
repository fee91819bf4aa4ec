#pragma once
#include <QDBusConnection>
#include <QHash>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>

namespace qp {

// Tells the desktop's notification service (org.freedesktop.Notifications)
// who wrote, beside the alert's tune and pictures, so the desktop's history,
// Do Not Disturb and screen readers know of it too. One notification per
// message, ever: a message still waiting at the next check, or after a
// restart, is not announced again (a memory file, when one is set, keeps
// what was announced). Where the service offers actions, a notification
// carries 表示 (show the main window; also what a click on it does) and,
// when a mail program is set, メールソフトを起動. Every call is
// asynchronous; with no bus or no notification service on it, nothing
// happens and nothing waits.
class DesktopNotifier : public QObject {
    Q_OBJECT
public:
    struct Message {
        QString identity; // what tells one message from another across checks
        QString sender;   // the From field as decoded
        QString subject;
    };

    explicit DesktopNotifier(const QDBusConnection& bus = QDBusConnection::sessionBus(), QObject* parent = nullptr);

    // Where the announced messages are remembered across runs (in the data
    // folder): digests of their identities, one a line, the newest last,
    // owner-only, replaced atomically. None set: remembered for this run.
    void setMemoryFile(const QString& path);

    // The watched messages of one check; those announced before are passed
    // over. offerMailProgram: a mail program is set, so its action is offered.
    void announce(const QList<Message>& messages, bool offerMailProgram = false);

    // At most this many notifications per check: a mailbox full of watched
    // mail gives the user a handful, not a flood.
    static constexpr int kMaxPerCheck = 10;
    // Messages remembered, at most; the oldest are forgotten first. Far more
    // than a mailbox holds watched mail at once.
    static constexpr int kRememberedMax = 500;

    // The keys of the actions offered.
    static constexpr const char* kShowAction = "default";
    static constexpr const char* kMailerAction = "mailer";

signals:
    // 表示, or a click on one of this program's notifications.
    void showRequested();
    // メールソフトを起動.
    void mailProgramRequested();

private slots:
    void onActionInvoked(uint id, const QString& key);
    void onNotificationClosed(uint id, uint reason);

private:
    struct Pending {
        QString digest; // of the message's identity
        QString summary;
        QString body;
    };
    void askCapabilitiesThenSend();
    void send(const Pending& p);
    void remember(const QString& digest);
    void loadMemory();
    static QString digestOf(const QString& identity);

    QDBusConnection m_bus;
    QString m_memoryPath;
    bool m_memoryLoaded = false;
    QStringList m_remembered;     // digests, oldest first
    QSet<QString> m_rememberedSet;
    QSet<QString> m_inFlight;     // digests whose Notify has not been answered
    QList<Pending> m_pending;     // waiting for the capabilities of this check
    bool m_asking = false;
    bool m_offerMailProgram = false;
    // Asked afresh for every check: the service may have been replaced by
    // one that reads markup, or offers no actions, since the last.
    bool m_bodyMarkup = false;
    bool m_actions = false;
    QList<uint> m_ours; // ids of this program's notifications, newest last
};

} // namespace qp
