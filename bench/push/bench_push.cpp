// Time from a delivery to the alert with the push watcher, on a private
// Dovecot on loopback.
//
// A watched sender's message is written into the Maildir, as a delivery
// agent would, N times at irregular pauses. Measured for each, from the
// write:
//   (a) ours: the moment the check started by the watcher starts the alert
//       (the real watcher, check cycle and threaded mail library; only the
//       windows are replaced by a recorder);
//   (b) reference: the moment a bare IDLE connection of our own (no parsing
//       beyond the line) reads the server's EXISTS. That is the floor: the
//       server's own delay in noticing the new file.
// Prints the median and the highest of both and the ratio of the medians.
//
//   bench_push [--deliveries N]     (needs root and dovecot; N >= 20 by default)
//   bench_push --serve              starts the server only, prints its address
//                                   the account and the Maildir, runs until SIGTERM
//                                   (for bench/idle/idle-cost.sh)
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <unistd.h>

#include "check/CheckMail.h"
#include "check/PushWatcher.h"
#include "check/MailWorker.h"
#include "mail/NMail.h"
#include "platform/ProgramFolder.h"
#include "settings/IniFile.h"
#include "settings/SettingsPaths.h"
#include "tests/support/DovecotFixture.h"
#include "tests/support/KeywordRecords.h"
#include "watchlist/KeywordStore.h"

namespace {

volatile std::sig_atomic_t g_stop = 0;
void onSignal(int) { g_stop = 1; }

// The windows, reduced to the moment the alert starts.
class Recorder : public qp::CheckHost {
public:
    QElapsedTimer* clock = nullptr;
    qint64 alertAt = -1;
    void putAccountIntoAccountWindow(const QString&, const QString&) override {}
    void showAccountWindow() override {}
    void setMatchWorkBoxes(const QString&, const QString&, int, int) override {}
    bool mailerLaunchTicked() override { return false; }
    QString mailerPath() override { return QString(); }
    bool boardAutoCloseTicked() override { return false; }
    bool hangUpTicked() override { return false; }
    void setBoardTexts(const QString&, const QString&) override {}
    void showBoard() override {}
    void unloadBoard() override {}
    void after(int, std::function<void()> then) override { then(); }
    void startAlert() override { alertAt = clock->elapsed(); }
    void startMailProgram(const QString&) override {}
    void hangUp() override {}
    void showLoginError(const QString& text) override { std::fprintf(stderr, "error: %s\n", qPrintable(text)); }
};

QByteArray watchedMessage(int n)
{
    return "From: Boss <boss@example.jp>\r\nTo: bench@example.jp\r\nSubject: push " + QByteArray::number(n)
           + "\r\nDate: Mon, 7 Dec 2026 08:00:00 +0900\r\nMessage-ID: <" + QByteArray::number(n)
           + ".push@example.jp>\r\n\r\nHello.\r\n";
}

bool waitUntil(const std::function<bool()>& done, int ms)
{
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > ms)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
    }
    return true;
}

void print(const char* label, QList<qint64> ms)
{
    std::sort(ms.begin(), ms.end());
    const double median = ms.size() % 2 ? ms[ms.size() / 2] : (ms[ms.size() / 2 - 1] + ms[ms.size() / 2]) / 2.0;
    std::printf("%-34s median %6.0f ms, highest %6lld ms, lowest %6lld ms (%lld deliveries)\n", label, median,
                ms.last(), ms.first(), qint64(ms.size()));
}

double medianOf(QList<qint64> ms)
{
    std::sort(ms.begin(), ms.end());
    return ms.size() % 2 ? ms[ms.size() / 2] : (ms[ms.size() / 2 - 1] + ms[ms.size() / 2]) / 2.0;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    int deliveries = 20;
    if (const qsizetype i = args.indexOf(QStringLiteral("--deliveries")); i > 0 && i + 1 < args.size())
        deliveries = std::max(1, args[i + 1].toInt());
    const bool serve = args.contains(QStringLiteral("--serve"));
    if (!qp::test::DovecotFixture::available()) {
        std::fputs("bench_push: needs root and dovecot\n", stderr);
        return 1;
    }
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    qp::test::DovecotFixture dovecot(qp::test::DovecotFixture::Options{false, QString()});
    dovecot.addUser(QStringLiteral("bench"), QStringLiteral("secret"));
    if (!dovecot.start()) {
        std::fprintf(stderr, "bench_push: %s\n", qPrintable(dovecot.errorString()));
        return 1;
    }
    if (serve) {
        std::printf("%s bench secret %s\n", qPrintable(dovecot.imapServerText(false)),
                    qPrintable(dovecot.maildir(QStringLiteral("bench"))));
        std::fflush(stdout);
        while (!g_stop)
            ::pause();
        return 0;
    }

    QTemporaryDir folder;
    QDir(folder.path()).mkdir(QStringLiteral("★MailData"));
    qp::setProgramFolderOverride(folder.path());
    qp::test::appendKeyword(QStringLiteral("boss@example.jp"));
    qp::WriteIniText(qp::idPassIniPath(), QStringLiteral("NAME"), QStringLiteral("bench"), qp::IniFileMode::OwnerOnly);
    qp::WriteIniText(qp::idPassIniPath(), QStringLiteral("NAME2"), QStringLiteral("secret"), qp::IniFileMode::OwnerOnly);

    QElapsedTimer clock;
    clock.start();
    Recorder host;
    host.clock = &clock;
    qp::ThreadedMailWorker mail(std::make_unique<qp::NMail>());
    mail.post([](qp::MailLibrary& library) {
        library.NMailInitializeWinSock();
        library.NMailSetOption(1, 8192);
    });
    qp::ProcessSettings settings;
    settings.setPop3Server(dovecot.imapServerText(false));
    qp::CheckMail check(mail, settings, host);
    qp::PushWatcher push;
    QObject::connect(&push, &qp::PushWatcher::checkWanted, [&] { check.start(true); });
    push.watch({settings.pop3Server(), QStringLiteral("bench"), QStringLiteral("secret")});

    // The reference: IDLE by hand, each EXISTS stamped as its bytes arrive.
    QTcpSocket bare;
    QByteArray bareIn;
    qint64 existsAt = -1;
    bool bareIdling = false;
    QObject::connect(&bare, &QTcpSocket::readyRead, [&] {
        bareIn += bare.readAll();
        qsizetype nl;
        while ((nl = bareIn.indexOf('\n')) >= 0) {
            const QByteArray line = bareIn.left(nl);
            bareIn.remove(0, nl + 1);
            if (line.startsWith("+ "))
                bareIdling = true;
            else if (line.startsWith("* ") && line.contains(" EXISTS") && existsAt < 0)
                existsAt = clock.elapsed();
        }
    });
    bare.connectToHost(dovecot.host(), dovecot.imapPort());
    bare.write("r1 LOGIN bench secret\r\nr2 EXAMINE INBOX\r\nr3 IDLE\r\n");
    if (!waitUntil([&] { return bareIdling && push.state() == qp::PushWatcher::State::Watching; }, 15000)) {
        std::fputs("bench_push: the watcher or the reference did not start idling\n", stderr);
        return 1;
    }

    QList<qint64> ours, reference;
    for (int n = 1; n <= deliveries && !g_stop; ++n) {
        // Irregular pauses, so deliveries do not fall in step with anything.
        const int pause = 1000 + int(QRandomGenerator::global()->bounded(700));
        waitUntil([] { return false; }, pause);
        host.alertAt = -1;
        existsAt = -1;
        const qint64 delivered = clock.elapsed();
        if (!dovecot.addMessage(QStringLiteral("bench"), watchedMessage(n))) {
            std::fputs("bench_push: delivery failed\n", stderr);
            return 1;
        }
        if (!waitUntil([&] { return host.alertAt >= 0 && existsAt >= 0; }, 15000)) {
            std::fprintf(stderr, "bench_push: delivery %d: no alert (or no EXISTS) within 15 s\n", n);
            return 1;
        }
        ours << host.alertAt - delivered;
        reference << existsAt - delivered;
    }
    print("ours (delivery -> alert):", ours);
    print("reference (delivery -> EXISTS):", reference);
    std::printf("ratio of medians ours/reference: %.2f (target: ours <= 2000 ms, floor about 500 ms)\n",
                medianOf(ours) / std::max(1.0, medianOf(reference)));
    bare.write("DONE\r\nr4 LOGOUT\r\n");
    bare.waitForBytesWritten(500);
    push.shutdown();
    qp::setProgramFolderOverride(QString());
    return 0;
}
