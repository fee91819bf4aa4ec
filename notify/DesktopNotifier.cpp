#include "notify/DesktopNotifier.h"

#include "platform/AtomicFile.h"

#include <QCryptographicHash>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QFileDevice>
#include <QVariantMap>

#include <utility>

namespace qp {

namespace {
const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
// A service that takes longer than this is treated as absent for that one
// notification; nothing waits for it meanwhile.
constexpr int kCallTimeoutMs = 10000;
// The ids of this program's notifications that an action may still come
// from; older ones are long gone from the screen.
constexpr int kOursMax = 100;
// A digest is 64 hex digits and a line end; anything longer is no memory of ours.
constexpr qint64 kMemoryFileMax = qint64(DesktopNotifier::kRememberedMax) * 65 * 2;
} // namespace

DesktopNotifier::DesktopNotifier(const QDBusConnection& bus, QObject* parent)
    : QObject(parent), m_bus(bus)
{
    if (m_bus.isConnected()) {
        m_bus.connect(kService, kPath, kService, QStringLiteral("ActionInvoked"), this,
                      SLOT(onActionInvoked(uint,QString)));
        m_bus.connect(kService, kPath, kService, QStringLiteral("NotificationClosed"), this,
                      SLOT(onNotificationClosed(uint,uint)));
    }
}

void DesktopNotifier::setMemoryFile(const QString& path)
{
    m_memoryPath = path;
    m_memoryLoaded = false;
}

QString DesktopNotifier::digestOf(const QString& identity)
{
    // Only a digest is kept: the file tells nobody who wrote.
    return QString::fromLatin1(QCryptographicHash::hash(identity.toUtf8(), QCryptographicHash::Sha256).toHex());
}

void DesktopNotifier::loadMemory()
{
    if (m_memoryLoaded)
        return;
    m_memoryLoaded = true;
    if (m_memoryPath.isEmpty())
        return;
    // A missing, unreadable or foreign file is an empty memory: at worst a
    // message is announced once more.
    const ReadResult read = readWholeFile(m_memoryPath, kMemoryFileMax);
    if (!read.ok)
        return;
    for (const QByteArray& line : read.bytes.split('\n')) {
        const QString digest = QString::fromLatin1(line.trimmed());
        if (digest.size() != 64 || m_rememberedSet.contains(digest))
            continue;
        bool hex = true;
        for (QChar c : digest)
            hex = hex && ((c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f'));
        if (!hex)
            continue;
        m_remembered.append(digest);
        m_rememberedSet.insert(digest);
    }
    while (m_remembered.size() > kRememberedMax)
        m_rememberedSet.remove(m_remembered.takeFirst());
}

void DesktopNotifier::remember(const QString& digest)
{
    if (m_rememberedSet.contains(digest))
        return;
    m_remembered.append(digest);
    m_rememberedSet.insert(digest);
    while (m_remembered.size() > kRememberedMax)
        m_rememberedSet.remove(m_remembered.takeFirst());
    if (m_memoryPath.isEmpty())
        return;
    QByteArray bytes;
    for (const QString& d : std::as_const(m_remembered))
        bytes += d.toLatin1() + '\n';
    // A failed write keeps the memory for this run; the file stays as it was.
    writeFileAtomically(m_memoryPath, bytes, int(QFileDevice::ReadOwner | QFileDevice::WriteOwner));
}

void DesktopNotifier::announce(const QList<Message>& messages, bool offerMailProgram)
{
    loadMemory();
    m_offerMailProgram = offerMailProgram;
    int added = 0;
    for (const Message& m : messages) {
        if (added >= kMaxPerCheck)
            break;
        const QString digest = digestOf(m.identity);
        if (m_rememberedSet.contains(digest) || m_inFlight.contains(digest))
            continue;
        bool queued = false;
        for (const Pending& p : std::as_const(m_pending))
            queued = queued || p.digest == digest;
        if (queued)
            continue;
        m_pending.append({digest, m.sender.trimmed().isEmpty() ? QStringLiteral("（差出人なし）") : m.sender,
                          m.subject.trimmed().isEmpty() ? QStringLiteral("（件名なし）") : m.subject});
        ++added;
    }
    if (!m_pending.isEmpty())
        askCapabilitiesThenSend();
}

void DesktopNotifier::askCapabilitiesThenSend()
{
    if (m_asking)
        return;
    if (!m_bus.isConnected()) {
        m_pending.clear();
        return;
    }
    m_asking = true;
    const QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kService, QStringLiteral("GetCapabilities"));
    auto* watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(call, kCallTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
        w->deleteLater();
        m_asking = false;
        const QDBusPendingReply<QStringList> reply = *w;
        const QList<Pending> pending = std::exchange(m_pending, {});
        if (!reply.isValid())
            return; // no service: nothing is shown or remembered, and the next check asks again
        m_bodyMarkup = reply.value().contains(QStringLiteral("body-markup"));
        m_actions = reply.value().contains(QStringLiteral("actions"));
        for (const Pending& p : pending)
            send(p);
    });
}

void DesktopNotifier::send(const Pending& p)
{
    // Sender and subject are text. Where the service reads markup, a "<" or
    // "&" in them must not become a link or bold type; some services read it
    // in the summary too, so both are escaped.
    const QString summary = m_bodyMarkup ? p.summary.toHtmlEscaped() : p.summary;
    const QString body = m_bodyMarkup ? p.body.toHtmlEscaped() : p.body;
    QStringList actions;
    if (m_actions) {
        actions << QString::fromLatin1(kShowAction) << QStringLiteral("表示");
        if (m_offerMailProgram)
            actions << QString::fromLatin1(kMailerAction) << QStringLiteral("メールソフトを起動");
    }
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kService, QStringLiteral("Notify"));
    const QVariantMap hints{{QStringLiteral("desktop-entry"), QStringLiteral("quillpost")},
                            {QStringLiteral("category"), QStringLiteral("email.arrived")}};
    call << QStringLiteral("Quillpost") << uint(0) << QStringLiteral("quillpost") << summary << body << actions
         << hints << -1;
    m_inFlight.insert(p.digest);
    auto* watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(call, kCallTimeoutMs), this);
    const QString digest = p.digest;
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, digest](QDBusPendingCallWatcher* w) {
        w->deleteLater();
        m_inFlight.remove(digest);
        const QDBusPendingReply<uint> reply = *w;
        if (!reply.isValid())
            return; // not shown: the next check tries again
        remember(digest);
        m_ours.append(reply.value());
        while (m_ours.size() > kOursMax)
            m_ours.removeFirst();
    });
}

void DesktopNotifier::onActionInvoked(uint id, const QString& key)
{
    // The service tells every client of every action: only ours count.
    if (!m_ours.contains(id))
        return;
    if (key == QLatin1String(kShowAction))
        emit showRequested();
    else if (key == QLatin1String(kMailerAction))
        emit mailProgramRequested();
}

void DesktopNotifier::onNotificationClosed(uint id, uint /*reason*/)
{
    m_ours.removeAll(id);
}

} // namespace qp
