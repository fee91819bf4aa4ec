#include "app/TrayIcon.h"

#include <QAction>
#include <QCoreApplication>
#include <QDBusAbstractAdaptor>
#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCall>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QEvent>
#include <QImage>
#include <QMenu>
#include <QPixmap>
#include <QTimer>
#include <QtEndian>

namespace qp {

// The StatusNotifierItem and dbusmenu wire types. Slots name lists in full
// (QList<...>): D-Bus finds a slot's types by name, and an alias's name is
// not registered.
struct SniPixmap {
    int width = 0;
    int height = 0;
    QByteArray argb; // ARGB32, network byte order
};
using SniPixmaps = QList<SniPixmap>;
struct SniToolTip {
    QString iconName;
    SniPixmaps pixmaps;
    QString title;
    QString text;
};
struct SniMenuEntry { // (ia{sv}av): our menu is flat, so an entry has no children
    int id = 0;
    QVariantMap properties;
};
struct SniMenuLayout {
    int id = 0;
    QVariantMap properties;
    QList<SniMenuEntry> children;
};
using SniMenuEntries = QList<SniMenuEntry>; // a(ia{sv}) with GetGroupProperties' meaning
struct SniMenuEvent {
    int id = 0;
    QString eventId;
    QDBusVariant data;
    uint timestamp = 0;
};
using SniMenuEvents = QList<SniMenuEvent>;

QDBusArgument& operator<<(QDBusArgument& a, const SniPixmap& p)
{
    a.beginStructure();
    a << p.width << p.height << p.argb;
    a.endStructure();
    return a;
}
const QDBusArgument& operator>>(const QDBusArgument& a, SniPixmap& p)
{
    a.beginStructure();
    a >> p.width >> p.height >> p.argb;
    a.endStructure();
    return a;
}
QDBusArgument& operator<<(QDBusArgument& a, const SniToolTip& t)
{
    a.beginStructure();
    a << t.iconName << t.pixmaps << t.title << t.text;
    a.endStructure();
    return a;
}
const QDBusArgument& operator>>(const QDBusArgument& a, SniToolTip& t)
{
    a.beginStructure();
    a >> t.iconName >> t.pixmaps >> t.title >> t.text;
    a.endStructure();
    return a;
}
// A GetGroupProperties entry is (ia{sv}); a layout child is the same with
// an empty child list (ia{sv}av). The entry type goes out as the former;
// children are written by the layout itself.
QDBusArgument& operator<<(QDBusArgument& a, const SniMenuEntry& e)
{
    a.beginStructure();
    a << e.id << e.properties;
    a.endStructure();
    return a;
}
const QDBusArgument& operator>>(const QDBusArgument& a, SniMenuEntry& e)
{
    a.beginStructure();
    a >> e.id >> e.properties;
    a.endStructure();
    return a;
}
struct SniLeaf { // a layout child: (ia{sv}av) with no children
    SniMenuEntry entry;
};
QDBusArgument& operator<<(QDBusArgument& a, const SniLeaf& l)
{
    a.beginStructure();
    a << l.entry.id << l.entry.properties;
    a.beginArray(qMetaTypeId<QDBusVariant>());
    a.endArray();
    a.endStructure();
    return a;
}
const QDBusArgument& operator>>(const QDBusArgument& a, SniLeaf& l)
{
    a.beginStructure();
    a >> l.entry.id >> l.entry.properties;
    a.beginArray();
    while (!a.atEnd()) {
        QDBusVariant ignored;
        a >> ignored;
    }
    a.endArray();
    a.endStructure();
    return a;
}
QDBusArgument& operator<<(QDBusArgument& a, const SniMenuLayout& l)
{
    a.beginStructure();
    a << l.id << l.properties;
    a.beginArray(qMetaTypeId<QDBusVariant>());
    for (const SniMenuEntry& child : l.children)
        a << QDBusVariant(QVariant::fromValue(SniLeaf{child}));
    a.endArray();
    a.endStructure();
    return a;
}
const QDBusArgument& operator>>(const QDBusArgument& a, SniMenuLayout& l)
{
    a.beginStructure();
    a >> l.id >> l.properties;
    a.beginArray();
    while (!a.atEnd()) {
        QDBusVariant child;
        a >> child;
        l.children << qdbus_cast<SniLeaf>(child.variant()).entry;
    }
    a.endArray();
    a.endStructure();
    return a;
}
QDBusArgument& operator<<(QDBusArgument& a, const SniMenuEvent& e)
{
    a.beginStructure();
    a << e.id << e.eventId << e.data << e.timestamp;
    a.endStructure();
    return a;
}
const QDBusArgument& operator>>(const QDBusArgument& a, SniMenuEvent& e)
{
    a.beginStructure();
    a >> e.id >> e.eventId >> e.data >> e.timestamp;
    a.endStructure();
    return a;
}

} // namespace qp

Q_DECLARE_METATYPE(qp::SniPixmap)
Q_DECLARE_METATYPE(qp::SniToolTip)
Q_DECLARE_METATYPE(qp::SniMenuEntry)
Q_DECLARE_METATYPE(qp::SniLeaf)
Q_DECLARE_METATYPE(qp::SniMenuLayout)
Q_DECLARE_METATYPE(qp::SniMenuEvent)

namespace qp {

namespace {

const QString kWatcher = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString kItemPath = QStringLiteral("/StatusNotifierItem");
const QString kMenuPath = QStringLiteral("/MenuBar");

void registerWireTypes()
{
    static const bool once = [] {
        qDBusRegisterMetaType<SniPixmap>();
        qDBusRegisterMetaType<SniPixmaps>();
        qDBusRegisterMetaType<SniToolTip>();
        qDBusRegisterMetaType<SniMenuEntry>();
        qDBusRegisterMetaType<SniMenuEntries>();
        qDBusRegisterMetaType<SniLeaf>();
        qDBusRegisterMetaType<SniMenuLayout>();
        qDBusRegisterMetaType<SniMenuEvent>();
        qDBusRegisterMetaType<SniMenuEvents>();
        return true;
    }();
    Q_UNUSED(once);
}

SniPixmaps pixmapsOf(const QIcon& icon)
{
    SniPixmaps out;
    QList<QSize> sizes = icon.availableSizes();
    if (sizes.isEmpty())
        sizes = {QSize(16, 16), QSize(22, 22), QSize(32, 32), QSize(48, 48)};
    for (const QSize& size : sizes) {
        const QImage image = icon.pixmap(size).toImage().convertToFormat(QImage::Format_ARGB32);
        if (image.isNull())
            continue;
        SniPixmap p{image.width(), image.height(), QByteArray()};
        p.argb.resize(qsizetype(image.width()) * image.height() * 4);
        auto* out32 = reinterpret_cast<uchar*>(p.argb.data());
        for (int y = 0; y < image.height(); ++y) {
            const auto* line = reinterpret_cast<const quint32*>(image.constScanLine(y));
            for (int x = 0; x < image.width(); ++x, out32 += 4)
                qToBigEndian<quint32>(line[x], out32);
        }
        out << p;
    }
    return out;
}

// dbusmenu marks a mnemonic with "_" where Qt uses "&".
QString menuLabel(const QString& text)
{
    QString out;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c == QLatin1Char('&') && i + 1 < text.size())
            out += text[++i] == QLatin1Char('&') ? QStringLiteral("&") : QStringLiteral("_") + text[i];
        else
            out += c == QLatin1Char('_') ? QStringLiteral("__") : QString(c);
    }
    return out;
}

} // namespace

// org.kde.StatusNotifierItem at /StatusNotifierItem. Host calls come in on
// the bus; the program answers them after the reply has gone out, so that a
// modal box opened by a click never holds the host's call.
class SniItemAdaptor : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierItem")
    Q_PROPERTY(QString Category READ category)
    Q_PROPERTY(QString Id READ id)
    Q_PROPERTY(QString Title READ title)
    Q_PROPERTY(QString Status READ status)
    Q_PROPERTY(int WindowId READ windowId)
    Q_PROPERTY(QString IconName READ noName)
    Q_PROPERTY(qp::SniPixmaps IconPixmap READ iconPixmap)
    Q_PROPERTY(QString OverlayIconName READ noName)
    Q_PROPERTY(qp::SniPixmaps OverlayIconPixmap READ noPixmaps)
    Q_PROPERTY(QString AttentionIconName READ noName)
    Q_PROPERTY(qp::SniPixmaps AttentionIconPixmap READ noPixmaps)
    Q_PROPERTY(QString AttentionMovieName READ noName)
    Q_PROPERTY(qp::SniToolTip ToolTip READ toolTip)
    Q_PROPERTY(bool ItemIsMenu READ itemIsMenu)
    Q_PROPERTY(QDBusObjectPath Menu READ menu)
public:
    SniItemAdaptor(QObject* carrier, TrayIcon& tray) : QDBusAbstractAdaptor(carrier), m_tray(tray) {}

    QString category() const { return QStringLiteral("Communications"); }
    QString id() const { return QStringLiteral("quillpost"); }
    QString title() const { return QStringLiteral("Quillpost"); }
    QString status() const { return m_tray.m_attention ? QStringLiteral("NeedsAttention") : QStringLiteral("Active"); }
    int windowId() const { return 0; }
    QString noName() const { return {}; }
    SniPixmaps iconPixmap() const { return m_pixmaps; }
    SniPixmaps noPixmaps() const { return {}; }
    SniToolTip toolTip() const { return {QString(), {}, title(), m_tray.m_toolTip}; }
    bool itemIsMenu() const { return false; }
    QDBusObjectPath menu() const { return QDBusObjectPath(kMenuPath); }

    void iconChanged()
    {
        m_pixmaps = pixmapsOf(m_tray.m_icon);
        emit NewIcon();
    }

public slots:
    void Activate(int, int) { later(QSystemTrayIcon::Trigger); }
    void SecondaryActivate(int, int) { later(QSystemTrayIcon::MiddleClick); }
    void ContextMenu(int, int) { later(QSystemTrayIcon::Context); }
    void Scroll(int, const QString&) {}

signals:
    void NewTitle();
    void NewIcon();
    void NewAttentionIcon();
    void NewOverlayIcon();
    void NewToolTip();
    void NewStatus(const QString& status);

private:
    void later(QSystemTrayIcon::ActivationReason reason)
    {
        QTimer::singleShot(0, &m_tray, [tray = &m_tray, reason] { emit tray->activated(reason); });
    }

    TrayIcon& m_tray;
    SniPixmaps m_pixmaps;
};

// com.canonical.dbusmenu at /MenuBar: the tray's pop-up, read from the QMenu
// at each call, so the host always sees what the menu holds. Item n is the
// menu's n-th action; 0 is the root.
class SniMenuAdaptor : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.canonical.dbusmenu")
    Q_PROPERTY(uint Version READ version)
    Q_PROPERTY(QString TextDirection READ textDirection)
    Q_PROPERTY(QString Status READ status)
    Q_PROPERTY(QStringList IconThemePath READ iconThemePath)
public:
    SniMenuAdaptor(QObject* carrier, QMenu* menu) : QDBusAbstractAdaptor(carrier), m_menu(menu)
    {
        if (m_menu)
            m_menu->installEventFilter(this);
    }

    uint version() const { return 3; }
    QString textDirection() const { return QStringLiteral("ltr"); }
    QString status() const { return QStringLiteral("normal"); }
    QStringList iconThemePath() const { return {}; }

    bool eventFilter(QObject* watched, QEvent* event) override
    {
        const QEvent::Type t = event->type();
        if (watched == m_menu && (t == QEvent::ActionAdded || t == QEvent::ActionRemoved || t == QEvent::ActionChanged))
            emit LayoutUpdated(++m_revision, 0);
        return false;
    }

public slots:
    uint GetLayout(int parentId, int, const QStringList& names, qp::SniMenuLayout& layout)
    {
        layout = {parentId, {}, {}};
        if (parentId == 0) {
            layout.properties = filtered({{QStringLiteral("children-display"), QStringLiteral("submenu")}}, names);
            const QList<QAction*> actions = m_menu ? m_menu->actions() : QList<QAction*>();
            for (int i = 0; i < actions.size(); ++i)
                layout.children << SniMenuEntry{i + 1, filtered(propertiesOf(actions[i]), names)};
        } else if (QAction* a = action(parentId)) {
            layout.properties = filtered(propertiesOf(a), names);
        }
        return m_revision;
    }
    QList<qp::SniMenuEntry> GetGroupProperties(const QList<int>& ids, const QStringList& names)
    {
        SniMenuEntries out;
        for (int id : ids)
            if (QAction* a = action(id))
                out << SniMenuEntry{id, filtered(propertiesOf(a), names)};
        return out;
    }
    QDBusVariant GetProperty(int id, const QString& name)
    {
        QAction* a = action(id);
        return QDBusVariant(a ? propertiesOf(a).value(name) : QVariant());
    }
    void Event(int id, const QString& eventId, const QDBusVariant&, uint)
    {
        QAction* a = action(id);
        if (a && eventId == QLatin1String("clicked") && a->isEnabled())
            QTimer::singleShot(0, a, [a] { a->trigger(); });
    }
    QList<int> EventGroup(const QList<qp::SniMenuEvent>& events)
    {
        QList<int> unknown;
        for (const SniMenuEvent& e : events) {
            if (action(e.id))
                Event(e.id, e.eventId, e.data, e.timestamp);
            else
                unknown << e.id;
        }
        return unknown;
    }
    bool AboutToShow(int) { return false; }
    QList<int> AboutToShowGroup(const QList<int>&, QList<int>& idErrors)
    {
        idErrors.clear();
        return {};
    }

signals:
    void LayoutUpdated(uint revision, int parent);
    void ItemActivationRequested(int id, uint timestamp);

private:
    QAction* action(int id) const
    {
        const QList<QAction*> actions = m_menu ? m_menu->actions() : QList<QAction*>();
        return id >= 1 && id <= actions.size() ? actions[id - 1] : nullptr;
    }
    static QVariantMap propertiesOf(const QAction* a)
    {
        if (a->isSeparator())
            return {{QStringLiteral("type"), QStringLiteral("separator")}, {QStringLiteral("visible"), a->isVisible()}};
        return {{QStringLiteral("label"), menuLabel(a->text())},
                {QStringLiteral("enabled"), a->isEnabled()},
                {QStringLiteral("visible"), a->isVisible()}};
    }
    static QVariantMap filtered(QVariantMap properties, const QStringList& names)
    {
        if (!names.isEmpty())
            for (auto it = properties.begin(); it != properties.end();)
                it = names.contains(it.key()) ? std::next(it) : properties.erase(it);
        return properties;
    }

    QPointer<QMenu> m_menu;
    uint m_revision = 1;
};

TrayIcon::TrayIcon(QMenu* menu, const QDBusConnection& bus, QObject* parent)
    : QObject(parent)
    , m_menu(menu)
    , m_bus(bus)
{
}

TrayIcon::~TrayIcon()
{
    unregisterItem();
}

bool TrayIcon::hostPresent(const QDBusConnection& bus)
{
    if (!bus.isConnected())
        return false;
    QDBusMessage get = QDBusMessage::createMethodCall(kWatcher, QStringLiteral("/StatusNotifierWatcher"),
                                                      QStringLiteral("org.freedesktop.DBus.Properties"),
                                                      QStringLiteral("Get"));
    get << kWatcher << QStringLiteral("IsStatusNotifierHostRegistered");
    // A local service: an absent watcher answers at once, a stuck one is
    // given a second.
    const QDBusMessage reply = bus.call(get, QDBus::Block, 1000);
    return reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty()
        && reply.arguments().first().value<QDBusVariant>().variant().toBool();
}

bool TrayIcon::isAvailable(const QDBusConnection& bus)
{
    return hostPresent(bus) || QSystemTrayIcon::isSystemTrayAvailable();
}

void TrayIcon::setIcon(const QIcon& icon)
{
    m_icon = icon;
    if (m_plain)
        m_plain->setIcon(icon);
    if (m_itemAdaptor)
        m_itemAdaptor->iconChanged();
}

void TrayIcon::setToolTip(const QString& text)
{
    if (m_toolTip == text)
        return;
    m_toolTip = text;
    if (m_plain)
        m_plain->setToolTip(text);
    if (m_itemAdaptor)
        emit m_itemAdaptor->NewToolTip();
}

void TrayIcon::setNeedsAttention(bool on)
{
    if (m_attention == on)
        return;
    m_attention = on;
    if (m_itemAdaptor)
        emit m_itemAdaptor->NewStatus(m_itemAdaptor->status());
}

bool TrayIcon::isVisible() const
{
    return m_item || (m_plain && m_plain->isVisible());
}

void TrayIcon::show()
{
    if (m_item || (m_plain && m_plain->isVisible()))
        return;
    if (!m_plain && hostPresent(m_bus) && registerItem())
        return;
    if (!m_plain) {
        m_plain = new QSystemTrayIcon(m_icon, this);
        m_plain->setToolTip(m_toolTip);
        m_plain->setContextMenu(m_menu);
        connect(m_plain, &QSystemTrayIcon::activated, this, &TrayIcon::activated);
    }
    m_plain->show();
}

bool TrayIcon::registerItem()
{
    registerWireTypes();
    static int serial = 0;
    m_service = QStringLiteral("org.kde.StatusNotifierItem-%1-%2").arg(QCoreApplication::applicationPid()).arg(++serial);
    m_item = new QObject(this);
    m_itemAdaptor = new SniItemAdaptor(m_item, *this);
    m_itemAdaptor->iconChanged();
    m_menuItem = new QObject(this);
    new SniMenuAdaptor(m_menuItem, m_menu);
    if (!m_bus.registerObject(kItemPath, m_item) || !m_bus.registerObject(kMenuPath, m_menuItem)
        || !m_bus.registerService(m_service)) {
        unregisterItem();
        return false;
    }
    // A panel that restarts brings a new watcher, which knows no items.
    m_watcher = new QDBusServiceWatcher(kWatcher, m_bus, QDBusServiceWatcher::WatchForRegistration, this);
    connect(m_watcher, &QDBusServiceWatcher::serviceRegistered, this, &TrayIcon::announceItem);
    announceItem();
    return true;
}

void TrayIcon::announceItem()
{
    QDBusMessage call = QDBusMessage::createMethodCall(kWatcher, QStringLiteral("/StatusNotifierWatcher"), kWatcher,
                                                       QStringLiteral("RegisterStatusNotifierItem"));
    call << m_service;
    m_bus.asyncCall(call);
}

void TrayIcon::unregisterItem()
{
    if (!m_item)
        return;
    m_bus.unregisterService(m_service);
    // Only the paths this item holds: a failed registration leaves another's.
    if (m_bus.objectRegisteredAt(kItemPath) == m_item)
        m_bus.unregisterObject(kItemPath);
    if (m_bus.objectRegisteredAt(kMenuPath) == m_menuItem)
        m_bus.unregisterObject(kMenuPath);
    delete m_watcher;
    delete m_item;
    delete m_menuItem;
    m_watcher = nullptr;
    m_item = m_menuItem = nullptr;
    m_itemAdaptor = nullptr;
}

} // namespace qp

#include "TrayIcon.moc"
