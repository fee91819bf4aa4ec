#include "notify/DesktopNotifier.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QSet>
#include <QVariantMap>

#include <iterator>

namespace qp {

namespace {
const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
// A service that takes longer than this is treated as absent for that one
// notification; nothing waits for it meanwhile.
constexpr int kCallTimeoutMs = 10000;
} // namespace

DesktopNotifier::DesktopNotifier(const QDBusConnection& bus, QObject* parent)
    : QObject(parent), m_bus(bus)
{
}

void DesktopNotifier::announce(const QList<Message>& messages)
{
    QSet<QString> current;
    for (const Message& m : messages) {
        if (current.size() >= kMaxPerCheck)
            break;
        if (current.contains(m.identity))
            continue;
        current.insert(m.identity);
        Entry& e = m_entries[m.identity];
        e.summary = m.sender.trimmed().isEmpty() ? QStringLiteral("（差出人なし）") : m.sender;
        // The body may carry markup on most services: the subject is text.
        e.body = (m.subject.trimmed().isEmpty() ? QStringLiteral("（件名なし）") : m.subject).toHtmlEscaped();
        send(m.identity);
    }
    for (auto it = m_entries.begin(); it != m_entries.end();)
        it = current.contains(it.key()) || it->inFlight ? std::next(it) : m_entries.erase(it);
}

void DesktopNotifier::send(const QString& identity)
{
    Entry& e = m_entries[identity];
    if (e.inFlight) {
        // Its id is not known yet: a second request now would stack.
        e.resend = true;
        return;
    }
    if (!m_bus.isConnected())
        return;
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kService, QStringLiteral("Notify"));
    const QVariantMap hints{{QStringLiteral("desktop-entry"), QStringLiteral("quillpost")},
                            {QStringLiteral("category"), QStringLiteral("email.arrived")}};
    call << QStringLiteral("Quillpost") << e.id << QStringLiteral("quillpost") << e.summary << e.body << QStringList()
         << hints << -1;
    e.inFlight = true;
    auto* watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(call, kCallTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, identity](QDBusPendingCallWatcher* w) {
        w->deleteLater();
        const QDBusPendingReply<uint> reply = *w;
        const auto it = m_entries.find(identity);
        if (it == m_entries.end())
            return;
        it->inFlight = false;
        if (reply.isValid())
            it->id = reply.value();
        if (it->resend) {
            it->resend = false;
            send(identity);
        }
        emit answered();
    });
}

} // namespace qp
