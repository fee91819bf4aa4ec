#pragma once
#include <QDBusConnection>
#include <QIcon>
#include <QObject>
#include <QPointer>
#include <QSystemTrayIcon>

class QMenu;
class QDBusServiceWatcher;

namespace qp {

class SniItemAdaptor;

// The program's icon in the desktop's tray. Where the desktop hosts
// StatusNotifierItems (a watcher with a host on the session bus), the icon
// is an item of our own on that bus, so that it can ask for the user's eye
// while an alert runs: Qt's tray has no public way to set the item's
// status. Elsewhere it is a QSystemTrayIcon in an icon-in-a-tray tray.
class TrayIcon : public QObject {
    Q_OBJECT
public:
    TrayIcon(QMenu* menu, const QDBusConnection& bus, QObject* parent = nullptr);
    ~TrayIcon() override;

    // A tray of either kind is there to show the icon.
    static bool isAvailable(const QDBusConnection& bus);

    void setIcon(const QIcon& icon);
    QIcon icon() const { return m_icon; }
    void setToolTip(const QString& text);
    QString toolTip() const { return m_toolTip; }
    QMenu* contextMenu() const { return m_menu; }
    // Shows the icon; the kind is chosen the first time.
    void show();
    bool isVisible() const;
    bool isStatusNotifierItem() const { return m_item != nullptr; }

    // NeedsAttention for a StatusNotifierItem host until cleared; a plain
    // tray has no such state.
    void setNeedsAttention(bool on);
    bool needsAttention() const { return m_attention; }

signals:
    void activated(QSystemTrayIcon::ActivationReason reason);

private:
    friend class SniItemAdaptor;
    static bool hostPresent(const QDBusConnection& bus);
    bool registerItem();
    void unregisterItem();
    void announceItem();

    QMenu* m_menu;
    QDBusConnection m_bus;
    QIcon m_icon;
    QString m_toolTip;
    bool m_attention = false;
    QSystemTrayIcon* m_plain = nullptr;
    QObject* m_item = nullptr;     // carries the item's adaptor
    QObject* m_menuItem = nullptr; // carries the menu's adaptor
    SniItemAdaptor* m_itemAdaptor = nullptr;
    QDBusServiceWatcher* m_watcher = nullptr;
    QString m_service;
};

} // namespace qp
