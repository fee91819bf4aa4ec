#pragma once
#include <QProcess>
#include <QString>

namespace qp::test {

// A session bus of the test's own, so that stand-ins for desktop services
// never meet the user's.
struct PrivateBus {
    QProcess daemon;
    QString address;

    bool start()
    {
        daemon.start(QStringLiteral("dbus-daemon"), {QStringLiteral("--session"), QStringLiteral("--print-address"),
                                                     QStringLiteral("--nofork")});
        if (!daemon.waitForStarted(5000) || !daemon.waitForReadyRead(5000))
            return false;
        address = QString::fromUtf8(daemon.readLine()).trimmed();
        return !address.isEmpty();
    }
    ~PrivateBus()
    {
        daemon.kill();
        daemon.waitForFinished(2000);
    }
};

} // namespace qp::test
