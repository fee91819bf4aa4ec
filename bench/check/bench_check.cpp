// A check with nothing new, at 1,000 / 10,000 / 50,000 waiting messages on a
// private Dovecot on loopback, with a keyword store of 1,000 records: wall
// time and CPU time of this process (both threads) per check, median of
// several rounds, the whole check (CheckMail on the threaded worker over
// the real library) beside a reference in the same run. The reference is
// the least any notifier must do for the same answer: one hand-off to a
// worker thread, a pipelined session (USER, PASS, STAT, UIDL, QUIT) read
// on a raw socket, the UIDs looked up in a hash set, and back on the
// window's thread the same senders matched in a plain loop.
//
//   bench_check [rounds] [sizes...]      (default: 5 1000 10000 50000)
#include "check/CheckMail.h"
#include "check/MailWorker.h"
#include "mail/NMail.h"
#include "platform/AtomicFile.h"
#include "platform/Cp932.h"
#include "platform/ProgramFolder.h"
#include "settings/IniFile.h"
#include "settings/SettingsPaths.h"
#include "tests/support/DovecotFixture.h"
#include "watchlist/KeywordStore.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QSet>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <vector>

using namespace qp;

namespace {

class QuietHost : public CheckHost {
public:
    QString count;
    void putAccountIntoAccountWindow(const QString&, const QString&) override {}
    void showAccountWindow() override {}
    void setMatchWorkBoxes(const QString&, const QString&, int, int) override {}
    bool mailerLaunchTicked() override { return false; }
    QString mailerPath() override { return QStringLiteral("未設定"); }
    bool boardAutoCloseTicked() override { return false; }
    bool hangUpTicked() override { return false; }
    void setBoardTexts(const QString&, const QString& t2) override { count = t2; }
    void showBoard() override {}
    void unloadBoard() override {}
    void after(int, std::function<void()> then) override { then(); }
    void startAlert() override {}
    void startMailProgram(const QString&) override {}
    void hangUp() override {}
    void showLoginError(const QString& text) override { std::fprintf(stderr, "error: %s\n", qPrintable(text)); }
};

QByteArray record(const QString& keyword)
{
    QByteArray r("\r\n\x01\x00", 4);
    QByteArray k = cp932::encode(keyword).bytes.left(200);
    k.append(QByteArray(200 - k.size(), ' '));
    return r + k;
}

double cpuSeconds()
{
    rusage u {};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

struct Cost {
    double wallMs = 0, cpuMs = 0;
};

template <typename F>
Cost measure(F&& runOnce)
{
    QElapsedTimer t;
    const double cpu0 = cpuSeconds();
    t.start();
    runOnce();
    return {t.nsecsElapsed() / 1e6, (cpuSeconds() - cpu0) * 1000};
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// The reference session: what is on the server, in one pipelined exchange.
int referenceSession(quint16 port, const QByteArray& user, const QByteArray& password, const QSet<QByteArray>& known)
{
    QTcpSocket socket;
    socket.connectToHost(QStringLiteral("127.0.0.1"), port);
    if (!socket.waitForConnected(5000))
        return -1;
    socket.write("USER " + user + "\r\nPASS " + password + "\r\nSTAT\r\nUIDL\r\nQUIT\r\n");
    QByteArray all;
    while (socket.state() == QAbstractSocket::ConnectedState && socket.waitForReadyRead(10000))
        all += socket.readAll();
    all += socket.readAll();
    int fresh = 0, listed = 0;
    for (const QByteArray& line : all.split('\n')) {
        const qsizetype space = line.indexOf(' ');
        if (line.isEmpty() || line[0] < '0' || line[0] > '9' || space < 0)
            continue;
        ++listed;
        fresh += known.contains(line.mid(space + 1).trimmed()) ? 0 : 1;
    }
    return fresh == 0 ? listed : -1;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    std::vector<int> sizes;
    for (int i = 2; i < argc; ++i)
        sizes.push_back(std::atoi(argv[i]));
    if (sizes.empty())
        sizes = {1000, 10000, 50000};

    if (!test::DovecotFixture::available()) {
        std::fprintf(stderr, "dovecot cannot run here (needs the binary and root)\n");
        return 2;
    }
    test::DovecotFixture dovecot(test::DovecotFixture::Options{false, {}});
    for (const int n : sizes) {
        const QString user = QStringLiteral("u%1").arg(n);
        dovecot.addUser(user, QStringLiteral("pw"));
        for (int m = 0; m < n; ++m) {
            const QByteArray msg = "From: \"Sender " + QByteArray::number(m) + "\" <sender" + QByteArray::number(m)
                                   + "@mail.example.com>\r\nTo: bench@example.jp\r\nSubject: message "
                                   + QByteArray::number(m) + "\r\nDate: Mon, 1 Jul 2024 10:00:00 +0900\r\n\r\nx\r\n";
            if (!dovecot.addMessage(user, msg)) {
                std::fprintf(stderr, "cannot add message\n");
                return 1;
            }
        }
    }
    if (!dovecot.start()) {
        std::fprintf(stderr, "dovecot: %s\n", qPrintable(dovecot.errorString()));
        return 1;
    }
    const quint16 port = dovecot.serverText().section(QLatin1Char(':'), -1).toUShort();

    QTemporaryDir folder;
    QDir(folder.path()).mkdir(QStringLiteral("★MailData"));
    setProgramFolderOverride(folder.path());
    QByteArray store;
    for (int i = 0; i < 1000; ++i)
        store += record(QStringLiteral("watched%1@example.org").arg(i));
    writeFileAtomically(KeywordStore::storePath(), store);

    auto owned = std::make_unique<NMail>();
    NMail* lib = owned.get();
    lib->NMailInitializeWinSock();
    lib->NMailSetOption(NMail::kOptionTextBufferSize, 8192);
    ThreadedMailWorker worker(std::move(owned));
    ProcessSettings settings;
    settings.setPop3Server(dovecot.serverText());
    QuietHost host;
    CheckMail check(worker, settings, host);
    const auto runCheck = [&] {
        QEventLoop loop;
        CheckOutcome outcome;
        check.setFinishedHandler([&](const CheckOutcome& o) {
            outcome = o;
            loop.quit();
        });
        check.start();
        loop.exec();
        return outcome;
    };

    std::printf("%-9s %-26s %-26s %s\n", "messages", "ours wall / CPU (ms)", "reference wall / CPU (ms)",
                "ratio wall / CPU");
    for (const int n : sizes) {
        const QString user = QStringLiteral("u%1").arg(n);
        WriteIniText(idPassIniPath(), QStringLiteral("NAME"), user, IniFileMode::OwnerOnly);
        WriteIniText(idPassIniPath(), QStringLiteral("NAME2"), QStringLiteral("pw"), IniFileMode::OwnerOnly);
        // The first check reads every header; after it nothing is new.
        const CheckOutcome first = runCheck();
        if (first.messageCount != n) {
            std::fprintf(stderr, "first check counted %d of %d\n", first.messageCount, n);
            return 1;
        }
        // What the reference knows from its first contact, and the senders it matches.
        QSet<QByteArray> known;
        {
            QTcpSocket s;
            s.connectToHost(QStringLiteral("127.0.0.1"), port);
            s.waitForConnected(5000);
            s.write("USER " + user.toLatin1() + "\r\nPASS pw\r\nUIDL\r\nQUIT\r\n");
            QByteArray all;
            while (s.state() == QAbstractSocket::ConnectedState && s.waitForReadyRead(10000))
                all += s.readAll();
            for (const QByteArray& line : all.split('\n'))
                if (!line.isEmpty() && line[0] >= '0' && line[0] <= '9' && line.indexOf(' ') > 0)
                    known.insert(line.mid(line.indexOf(' ') + 1).trimmed());
        }
        QStringList senders;
        for (int m = 0; m < n; ++m)
            senders << QStringLiteral("\"Sender %1\" <sender%1@mail.example.com>").arg(m);
        KeywordMatcher matcher;

        std::vector<double> oursWall, oursCpu, refWall, refCpu, matching;
        for (int r = 0; r < rounds; ++r) {
            CheckOutcome outcome;
            const Cost ours = measure([&] { outcome = runCheck(); });
            if (outcome.messageCount != n)
                std::fprintf(stderr, "check counted %d of %d\n", outcome.messageCount, n);
            oursWall.push_back(ours.wallMs);
            matching.push_back(outcome.matchingNanoseconds / 1e6);
            oursCpu.push_back(ours.cpuMs);

            int listed = 0;
            const Cost ref = measure([&] {
                QEventLoop loop;
                auto result = std::make_shared<int>(0);
                worker.post([=](MailLibrary&) { *result = referenceSession(port, user.toLatin1(), "pw", known); },
                            [&] {
                                matcher.forgetFile();
                                int matches = 0;
                                for (const QString& s : senders)
                                    matches += matcher.matchUnlessUnchanged(s).matchCount;
                                listed = *result + matches;
                                loop.quit();
                            });
                loop.exec();
            });
            if (listed != n)
                std::fprintf(stderr, "reference listed %d of %d\n", listed, n);
            refWall.push_back(ref.wallMs);
            refCpu.push_back(ref.cpuMs);
        }
        const double ow = median(oursWall), oc = median(oursCpu), rw = median(refWall), rc = median(refCpu);
        std::printf("%-9d %8.1f / %-15.1f %8.1f / %-15.1f %.2f / %.2f   (ours: matching %.1f ms)\n", n, ow, oc, rw,
                    rc, ow / rw, rc > 0 ? oc / rc : 0.0, median(matching));
    }
    setProgramFolderOverride(QString());
    return 0;
}
