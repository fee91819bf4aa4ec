#include "notify/DesktopNotifier.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QSet>
#include <QVariantMap>

#include <iterator>
#include <utility>

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
        e.body = m.subject.trimmed().isEmpty() ? QStringLiteral("（件名なし）") : m.subject;
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
    if (!m_capabilitiesKnown) {
        m_waiting.insert(identity);
        askCapabilities();
        return;
    }
    // The subject is text: where the service reads markup, a "<" or "&" in
    // it must not be taken as markup.
    const QString body = m_bodyMarkup ? e.body.toHtmlEscaped() : e.body;
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kService, QStringLiteral("Notify"));
    const QVariantMap hints{{QStringLiteral("desktop-entry"), QStringLiteral("quillpost")},
                            {QStringLiteral("category"), QStringLiteral("email.arrived")}};
    call << QStringLiteral("Quillpost") << e.id << QStringLiteral("quillpost") << e.summary << body << QStringList()
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
    });
}

void DesktopNotifier::askCapabilities()
{
    if (m_askingCapabilities)
        return;
    m_askingCapabilities = true;
    const QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kService, QStringLiteral("GetCapabilities"));
    auto* watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(call, kCallTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
        w->deleteLater();
        m_askingCapabilities = false;
        const QDBusPendingReply<QStringList> reply = *w;
        const QSet<QString> waiting = std::exchange(m_waiting, {});
        if (!reply.isValid())
            return; // no service: nothing is shown, and the next check asks again
        m_capabilitiesKnown = true;
        m_bodyMarkup = reply.value().contains(QStringLiteral("body-markup"));
        for (const QString& identity : waiting)
            if (m_entries.contains(identity))
                send(identity);
    });
}

} // namespace qp
