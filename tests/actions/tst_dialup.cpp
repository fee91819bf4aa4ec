// Hang-up against a fake NetworkManager on a private bus of the test's own.
// The fake lives in a thread of its own so that it can answer while the code
// under test blocks the main thread in its D-Bus calls.
#include "actions/DialUp.h"

#include <QDBusAbstractAdaptor>
#include <QDBusConnectionInterface>
#include <QDBusContext>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDir>
#include <QElapsedTimer>
#include <QMutex>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

using namespace qp;

using SettingsMap = QMap<QString, QVariantMap>;

namespace {

const QString kNmService = QStringLiteral("org.freedesktop.NetworkManager");
const QString kNmPath = QStringLiteral("/org/freedesktop/NetworkManager");

struct FakeConnection {
    QString type;
    QString id;
    QString bluetoothType;         // "dun" or "panu" for Bluetooth profiles
    bool refuseDeactivate = false; // answer with a D-Bus error
    bool ignoreDeactivate = false; // never answer: the caller must time out
};

// What the fake saw; written by the fake's thread, read by the test.
struct Journal {
    QMutex mutex;
    QStringList deactivated;
    QStringList all() { QMutexLocker lock(&mutex); return deactivated; }
};

class FakeActive : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.NetworkManager.Connection.Active")
    Q_PROPERTY(QString Type READ type)
    Q_PROPERTY(QString Id READ id)
    Q_PROPERTY(QDBusObjectPath Connection READ connection)
public:
    FakeActive(const FakeConnection& c, const QString& settingsPath, QObject* parent)
        : QObject(parent), m_c(c), m_settings(settingsPath) {}
    QString type() const { return m_c.type; }
    QString id() const { return m_c.id; }
    QDBusObjectPath connection() const { return QDBusObjectPath(m_settings); }
private:
    FakeConnection m_c;
    QString m_settings;
};

class FakeSettings : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.NetworkManager.Settings.Connection")
public:
    FakeSettings(const FakeConnection& c, QObject* parent) : QObject(parent), m_c(c) {}
public slots:
    QMap<QString, QVariantMap> GetSettings()
    {
        SettingsMap settings;
        settings[QStringLiteral("connection")][QStringLiteral("id")] = m_c.id;
        settings[QStringLiteral("connection")][QStringLiteral("type")] = m_c.type;
        if (!m_c.bluetoothType.isEmpty())
            settings[QStringLiteral("bluetooth")][QStringLiteral("type")] = m_c.bluetoothType;
        return settings;
    }
private:
    FakeConnection m_c;
};

class FakeManager : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.NetworkManager")
    Q_PROPERTY(QList<QDBusObjectPath> ActiveConnections READ activeConnections)
public:
    FakeManager(Journal* journal) : m_journal(journal) {}
    QList<QDBusObjectPath> activeConnections() const { return m_active; }
    QList<QDBusObjectPath> m_active;
    QMap<QString, FakeConnection> m_byPath;
public slots:
    void DeactivateConnection(const QDBusObjectPath& path)
    {
        const FakeConnection c = m_byPath.value(path.path());
        {
            QMutexLocker lock(&m_journal->mutex);
            m_journal->deactivated << c.id;
        }
        if (c.ignoreDeactivate)
            setDelayedReply(true); // and never answer
        else if (c.refuseDeactivate)
            sendErrorReply(QStringLiteral("org.freedesktop.NetworkManager.ConnectionNotActive"),
                           QStringLiteral("refused"));
    }
private:
    Journal* m_journal;
};

// Owns the service connection and all fake objects; every method runs in
// the fake's thread.
class FakeNetworkManager : public QObject {
    Q_OBJECT
public:
    Journal journal;
    QString address;

public slots:
    void start()
    {
        qDBusRegisterMetaType<SettingsMap>();
        m_bus = std::make_unique<QDBusConnection>(
            QDBusConnection::connectToBus(address, QStringLiteral("fake-nm")));
        m_manager = new FakeManager(&journal);
        m_manager->setParent(this);
        m_bus->registerObject(kNmPath, m_manager,
                              QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllProperties);
    }

    void setOnline(bool online)
    {
        if (online)
            m_bus->registerService(kNmService);
        else
            m_bus->unregisterService(kNmService);
    }

    void configure(const QList<FakeConnection>& connections)
    {
        for (const QString& path : std::as_const(m_paths))
            m_bus->unregisterObject(path);
        m_paths.clear();
        qDeleteAll(m_children);
        m_children.clear();
        m_manager->m_active.clear();
        m_manager->m_byPath.clear();
        {
            QMutexLocker lock(&journal.mutex);
            journal.deactivated.clear();
        }
        const auto flags = QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllProperties;
        for (const FakeConnection& c : connections) {
            const QString active = QStringLiteral("/org/freedesktop/NetworkManager/ActiveConnection/%1").arg(++m_serial);
            const QString settings = QStringLiteral("/org/freedesktop/NetworkManager/Settings/%1").arg(m_serial);
            auto* a = new FakeActive(c, settings, this);
            auto* s = new FakeSettings(c, this);
            m_children << a << s;
            m_bus->registerObject(active, a, flags);
            m_bus->registerObject(settings, s, flags);
            m_paths << active << settings;
            m_manager->m_active << QDBusObjectPath(active);
            m_manager->m_byPath.insert(active, c);
        }
    }

    void stop()
    {
        m_bus.reset();
        QDBusConnection::disconnectFromBus(QStringLiteral("fake-nm"));
    }

private:
    std::unique_ptr<QDBusConnection> m_bus;
    FakeManager* m_manager = nullptr;
    QList<QObject*> m_children;
    QStringList m_paths;
    int m_serial = 0;
};

QStringList ids(const QList<DialUpConnection>& list)
{
    QStringList result;
    for (const DialUpConnection& c : list)
        result << c.id;
    return result;
}

} // namespace

Q_DECLARE_METATYPE(QList<FakeConnection>)

class DialUpTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QProcess m_daemon;
    QString m_activations;
    QThread m_thread;
    FakeNetworkManager* m_fake = nullptr;
    std::unique_ptr<QDBusConnection> m_client;

    void configure(const QList<FakeConnection>& connections)
    {
        QMetaObject::invokeMethod(m_fake, "configure", Qt::BlockingQueuedConnection,
                                  Q_ARG(QList<FakeConnection>, connections));
    }
    void setOnline(bool online)
    {
        QMetaObject::invokeMethod(m_fake, "setOnline", Qt::BlockingQueuedConnection, Q_ARG(bool, online));
    }

private slots:
    void initTestCase()
    {
        qRegisterMetaType<QList<FakeConnection>>();
        QVERIFY(m_dir.isValid());
        const QString config = m_dir.filePath(QStringLiteral("bus.conf"));
        QFile file(config);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QStringLiteral(
            "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
            " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
            "<busconfig>\n"
            "  <type>session</type>\n"
            "  <listen>unix:dir=%1</listen>\n"
            "  <auth>EXTERNAL</auth>\n"
            "  <servicedir>%1/services</servicedir>\n"
            "  <policy context=\"default\">\n"
            "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
            "    <allow eavesdrop=\"true\"/>\n"
            "    <allow own=\"*\"/>\n"
            "  </policy>\n"
            "</busconfig>\n").arg(m_dir.path()).toUtf8());
        file.close();

        // The bus could start a NetworkManager on demand; this one only
        // records that it was started, which must never happen.
        QVERIFY(QDir(m_dir.path()).mkpath(QStringLiteral("services")));
        QFile service(m_dir.filePath(QStringLiteral("services/nm.service")));
        QVERIFY(service.open(QIODevice::WriteOnly));
        service.write(QStringLiteral("[D-BUS Service]\nName=%1\nExec=%2\n")
                          .arg(kNmService, QStringLiteral(QP_RECORDER)).toUtf8());
        service.close();
        m_activations = m_dir.filePath(QStringLiteral("activations.txt"));
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QP_ACTIONS_RECORD"), m_activations);
        m_daemon.setProcessEnvironment(env);
        m_daemon.start(QStringLiteral("dbus-daemon"),
                       {QStringLiteral("--config-file=") + config, QStringLiteral("--print-address"),
                        QStringLiteral("--nofork")});
        QVERIFY2(m_daemon.waitForStarted(5000), "dbus-daemon did not start");
        QVERIFY(m_daemon.waitForReadyRead(5000));
        const QString address = QString::fromUtf8(m_daemon.readLine()).trimmed();
        QVERIFY(!address.isEmpty());

        m_fake = new FakeNetworkManager;
        m_fake->address = address;
        m_fake->moveToThread(&m_thread);
        connect(&m_thread, &QThread::finished, m_fake, &QObject::deleteLater);
        m_thread.start();
        QMetaObject::invokeMethod(m_fake, "start", Qt::BlockingQueuedConnection);
        setOnline(true);

        m_client = std::make_unique<QDBusConnection>(
            QDBusConnection::connectToBus(address, QStringLiteral("client")));
        QVERIFY(m_client->isConnected());
    }

    void cleanupTestCase()
    {
        m_client.reset();
        QDBusConnection::disconnectFromBus(QStringLiteral("client"));
        if (m_fake)
            QMetaObject::invokeMethod(m_fake, "stop", Qt::BlockingQueuedConnection);
        m_thread.quit();
        m_thread.wait();
        m_daemon.terminate();
        m_daemon.waitForFinished(5000);
    }

    void dialUpTypes()
    {
        QVERIFY(isDialUpType(QStringLiteral("gsm")));
        QVERIFY(isDialUpType(QStringLiteral("cdma")));
        QVERIFY(isDialUpType(QStringLiteral("pppoe")));
        QVERIFY(isDialUpType(QStringLiteral("bluetooth"), QStringLiteral("dun")));
        QVERIFY(!isDialUpType(QStringLiteral("bluetooth"), QStringLiteral("panu")));
        QVERIFY(!isDialUpType(QStringLiteral("bluetooth")));
        QVERIFY(!isDialUpType(QStringLiteral("802-3-ethernet")));
        QVERIFY(!isDialUpType(QStringLiteral("802-11-wireless")));
        QVERIFY(!isDialUpType(QStringLiteral("vpn")));
    }

    void hangsUpDialUpInListedOrderAndLeavesOthers()
    {
        configure({
            {QStringLiteral("802-3-ethernet"), QStringLiteral("wired"), {}},
            {QStringLiteral("pppoe"), QStringLiteral("flets"), {}},
            {QStringLiteral("bluetooth"), QStringLiteral("phone-pan"), QStringLiteral("panu")},
            {QStringLiteral("gsm"), QStringLiteral("docomo"), {}},
            {QStringLiteral("802-11-wireless"), QStringLiteral("home-wifi"), {}},
            {QStringLiteral("bluetooth"), QStringLiteral("phone-dun"), QStringLiteral("dun")},
        });
        const DialUpNetwork network(*m_client);
        bool found = false;
        const QList<DialUpConnection> listed = network.activeDialUpConnections(&found);
        QVERIFY(found);
        QCOMPARE(ids(listed), (QStringList{"flets", "docomo", "phone-dun"}));
        QCOMPARE(listed.at(1).type, QStringLiteral("gsm"));
        QVERIFY(listed.at(1).activePath.startsWith(QStringLiteral("/org/freedesktop/NetworkManager/ActiveConnection/")));

        const HangUpReport report = network.hangUpAll();
        QVERIFY(report.networkManagerFound);
        QCOMPARE(m_fake->journal.all(), (QStringList{"flets", "docomo", "phone-dun"}));
        QCOMPARE(ids(report.hungUp), (QStringList{"flets", "docomo", "phone-dun"}));
        QVERIFY(report.failed.isEmpty());
    }

    void refusedOrSilentDeactivationDoesNotStopTheNext()
    {
        FakeConnection refused{QStringLiteral("cdma"), QStringLiteral("au"), {}};
        refused.refuseDeactivate = true;
        FakeConnection silent{QStringLiteral("gsm"), QStringLiteral("stuck"), {}};
        silent.ignoreDeactivate = true;
        configure({refused, silent, {QStringLiteral("pppoe"), QStringLiteral("last"), {}}});

        // A short time-out so the unanswered call ends quickly.
        const HangUpReport report = DialUpNetwork(*m_client, 300).hangUpAll();
        QCOMPARE(m_fake->journal.all(), (QStringList{"au", "stuck", "last"}));
        QCOMPARE(ids(report.failed), (QStringList{"au", "stuck"}));
        QCOMPARE(ids(report.hungUp), (QStringList{"last"}));
    }

    void nothingActiveNothingDone()
    {
        configure({{QStringLiteral("802-3-ethernet"), QStringLiteral("wired"), {}}});
        const HangUpReport report = DialUpNetwork(*m_client).hangUpAll();
        QVERIFY(report.networkManagerFound);
        QVERIFY(report.found.isEmpty());
        QVERIFY(m_fake->journal.all().isEmpty());
    }

    // Without the service, or without a bus, there is silently nothing to do,
    // and it is known at once rather than after waiting out the time-out.
    void noNetworkManagerMeansNoConnections()
    {
        configure({{QStringLiteral("gsm"), QStringLiteral("docomo"), {}}});
        setOnline(false);
        QTRY_VERIFY(!m_client->interface()->isServiceRegistered(kNmService).value());

        QElapsedTimer timer;
        timer.start();
        const HangUpReport report = DialUpNetwork(*m_client, 20000).hangUpAll();
        QVERIFY(!report.networkManagerFound);
        QVERIFY(report.found.isEmpty());
        QVERIFY(m_fake->journal.all().isEmpty());
        QVERIFY2(timer.elapsed() < 10000, "waited for a service that is not there");
        QTest::qWait(200);
        QVERIFY2(!QFile::exists(m_activations), "asked the bus to start NetworkManager");
        setOnline(true);

        const QDBusConnection noBus = QDBusConnection::connectToBus(
            QStringLiteral("unix:path=%1/no-such-socket").arg(m_dir.path()), QStringLiteral("nobus"));
        QVERIFY(!noBus.isConnected());
        const HangUpReport none = DialUpNetwork(noBus).hangUpAll();
        QVERIFY(!none.networkManagerFound);
        QVERIFY(none.found.isEmpty());
        QDBusConnection::disconnectFromBus(QStringLiteral("nobus"));
    }
};

QTEST_GUILESS_MAIN(DialUpTest)
#include "tst_dialup.moc"
