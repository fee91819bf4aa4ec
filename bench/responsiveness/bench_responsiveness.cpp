// How long the real program's window thread goes without running its event
// loop while a check waits on a server, and how fast the program ends when
// asked to in the middle of it. The built program runs under a private Xvfb
// from a throwaway program folder; a _NET_WM_PING goes to its main window
// every 20 ms and the longest round trip is the longest stall. The same
// pings before the check, with the program idle, are the reference.
//
// Four servers:
//   (a) Dovecot with 200 messages behind a relay that adds 300 ms of round
//       trip; watched until the board shows, then SIGTERM;
//   (b) a server whose packets are all dropped: the program runs in a network
//       namespace of the bench's own whose only route leads into a tun
//       device nobody reads (removed at the end); SIGTERM during the check;
//   (c) a TLS server whose handshake never answers; the close box during
//       the check;
//   (d) a server that trickles its greeting a byte every 200 ms; SIGTERM.
// Each ending must take under 2 s and leave NUMBER3 written in ini.ini.
//
//   bench_responsiveness [rounds] [program-folder]   (root, Xvfb, xdotool, dovecot, ip)
// The folder defaults to this build's; another build's (an older version)
// gives figures to compare.
#include "DelayRelay.h"
#include "PingProbe.h"
#include "tests/support/DovecotFixture.h"
#include "tests/support/FakePop3Server.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <vector>

using qp::test::DovecotFixture;
using qp::test::FakePop3Server;

namespace {

const QString kMainTitle = QStringLiteral("ハルカゼ、お待ちしています　Ver 1.0");
const QString kBoardTitle = QStringLiteral("新着お知らせボード");
QByteArray g_display;
QString g_programDir = QStringLiteral(QP_PROGRAM_DIR);

QString xdotool(const QStringList& args)
{
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DISPLAY"), QString::fromLatin1(g_display));
    p.setProcessEnvironment(env);
    p.start(QStringLiteral("xdotool"), args);
    p.waitForFinished(10000);
    return QString::fromUtf8(p.readAllStandardOutput()).trimmed();
}

QString findWindow(const QString& title)
{
    return xdotool({QStringLiteral("search"), QStringLiteral("--onlyvisible"), QStringLiteral("--name"),
                    QLatin1Char('^') + title + QLatin1Char('$')})
        .section(QLatin1Char('\n'), 0, 0);
}

bool run(const QString& program, const QStringList& args)
{
    return QProcess::execute(program, args) == 0;
}

// A network namespace whose one route leads into a tun device that no
// process reads, which drops everything sent to it.
struct DropNamespace {
    QString name = QStringLiteral("qpbench%1").arg(QCoreApplication::applicationPid());
    bool up = false;
    bool create()
    {
        const QString ip = QStringLiteral("ip");
        up = run(ip, {"netns", "add", name});
        return up && run(ip, {"-n", name, "link", "set", "lo", "up"})
               && run(ip, {"-n", name, "tuntap", "add", "dev", "qpdrop", "mode", "tun"})
               && run(ip, {"-n", name, "addr", "add", "10.231.0.1/24", "dev", "qpdrop"})
               && run(ip, {"-n", name, "link", "set", "qpdrop", "up"});
    }
    ~DropNamespace()
    {
        if (up)
            run(QStringLiteral("ip"), {"netns", "delete", name});
    }
};

struct Result {
    double idleMaxMs = 0;
    double checkMaxMs = 0;
    int pings = 0;
    int unanswered = 0;
    qint64 checkMs = 0; // (a): until the board showed
    qint64 exitMs = -1;
    bool valuesWritten = false;
};

struct Scenario {
    const char* name;
    QString server;
    QString netns;     // run the program inside it when set
    bool untilBoard;   // watch until the board shows (else watchMs)
    bool closeBox;     // end by the close box (else SIGTERM)
};

constexpr int kWatchMs = 8000;

Result runOnce(const Scenario& s)
{
    Result r;
    QTemporaryDir dir;
    const QDir built(g_programDir);
    const QDir prog(dir.path());
    QFile::copy(built.filePath(QStringLiteral("quillpost")), prog.filePath(QStringLiteral("quillpost")));
    for (const QString& name : {QStringLiteral("Sound"), QStringLiteral("画像データ")})
        QFile::link(built.filePath(name), prog.filePath(name));
    prog.mkdir(QStringLiteral("★MailData"));
    auto write = [](const QString& path, const QByteArray& bytes) {
        QFile f(path);
        f.open(QIODevice::WriteOnly);
        f.write(bytes);
    };
    write(prog.filePath(QStringLiteral("★MailData/ini.ini")), "[EXEINI]\r\nNUMBER2=0\r\nNUMBER5=1\r\nNAME=/opt/mailer\r\n");
    write(prog.filePath(QStringLiteral("★MailData/iniIdPass.ini")), "[EXEINI]\r\nNAME=bench\r\nNAME2=benchpw\r\n");
    write(prog.filePath(QStringLiteral("ferrule.ini")),
          "SMTP=\r\nPOP3=" + s.server.toUtf8() + "\r\nMAIL=\r\nAPOP=0\r\n");

    QProcess program;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DISPLAY"), QString::fromLatin1(g_display));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    program.setProcessEnvironment(env);
    program.setWorkingDirectory(dir.path());
    program.setStandardOutputFile(QProcess::nullDevice());
    program.setStandardErrorFile(QProcess::nullDevice());
    const QString exe = prog.filePath(QStringLiteral("quillpost"));
    if (s.netns.isEmpty())
        program.start(exe, {});
    else // ip execs the program in the namespace: the same process
        program.start(QStringLiteral("ip"), {QStringLiteral("netns"), QStringLiteral("exec"), s.netns, exe});
    QString main;
    for (int i = 0; i < 100 && main.isEmpty(); ++i) {
        QThread::msleep(200);
        main = findWindow(kMainTitle);
    }
    if (main.isEmpty()) {
        std::fprintf(stderr, "%s: the main window did not appear\n", s.name);
        return r;
    }
    const unsigned long window = main.toULong();
    PingProbe probe;
    probe.open(g_display.constData());

    auto pingFor = [&](int ms, bool untilBoard, double* max) {
        QElapsedTimer t;
        t.start();
        qint64 lastLook = 0;
        while (t.elapsed() < ms) {
            const double rtt = probe.ping(window, 60000);
            ++r.pings;
            if (rtt < 0)
                ++r.unanswered;
            *max = std::max(*max, rtt < 0 ? 60000.0 : rtt);
            if (untilBoard && t.elapsed() - lastLook > 500) {
                lastLook = t.elapsed();
                if (!findWindow(kBoardTitle).isEmpty())
                    return t.elapsed();
            }
            QThread::msleep(20);
        }
        return t.elapsed();
    };
    pingFor(2000, false, &r.idleMaxMs);
    r.pings = 0;

    // The check through the menu: ファイル(&F), then its first item.
    xdotool({QStringLiteral("windowfocus"), main});
    QThread::msleep(200);
    xdotool({QStringLiteral("key"), QStringLiteral("alt+f")});
    QThread::msleep(300);
    xdotool({QStringLiteral("key"), QStringLiteral("Return")});
    r.checkMs = pingFor(s.untilBoard ? 300000 : kWatchMs, s.untilBoard, &r.checkMaxMs);

    QElapsedTimer t;
    t.start();
    if (s.closeBox)
        probe.sendDelete(window);
    else
        ::kill(pid_t(program.processId()), SIGTERM);
    if (program.waitForFinished(10000))
        r.exitMs = t.elapsed();
    else
        program.kill();
    program.waitForFinished(2000);
    QFile ini(prog.filePath(QStringLiteral("★MailData/ini.ini")));
    ini.open(QIODevice::ReadOnly);
    const QByteArray values = ini.readAll();
    r.valuesWritten = values.contains("NUMBER3=0") && values.contains("NUMBER5=1") && values.contains("NAME=/opt/mailer");
    return r;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    if (argc > 2)
        g_programDir = QString::fromLocal8Bit(argv[2]);
    if (!DovecotFixture::available() || QStandardPaths::findExecutable(QStringLiteral("xdotool")).isEmpty()) {
        std::fprintf(stderr, "needs root, dovecot, Xvfb and xdotool\n");
        return 2;
    }
    QProcess xvfb;
    xvfb.start(QStringLiteral("Xvfb"), {"-displayfd", "1", "-screen", "0", "1024x768x24", "-nolisten", "tcp"});
    QByteArray number;
    while (!number.contains('\n') && xvfb.waitForReadyRead(15000))
        number += xvfb.readAllStandardOutput();
    g_display = ':' + number.trimmed();

    DovecotFixture dovecot(DovecotFixture::Options{false, {}});
    dovecot.addUser(QStringLiteral("bench"), QStringLiteral("benchpw"));
    for (int m = 0; m < 200; ++m)
        dovecot.addMessage(QStringLiteral("bench"),
                           QStringLiteral("From: sender%1@example.jp\r\nTo: bench@example.jp\r\nSubject: message %1\r\n\r\nbody %1\r\n")
                               .arg(m).toUtf8());
    if (!dovecot.start()) {
        std::fprintf(stderr, "dovecot: %s\n", qPrintable(dovecot.errorString()));
        return 1;
    }
    DelayRelay relay(dovecot.pop3Port(), 150);
    relay.start();

    DropNamespace drop;
    if (!drop.create()) {
        std::fprintf(stderr, "cannot set up the network namespace %s\n", qPrintable(drop.name));
        return 1;
    }
    FakePop3Server tlsStall;
    tlsStall.greeting(QByteArray(), FakePop3Server::Then::Hang);
    tlsStall.start();
    FakePop3Server trickle;
    trickle.greeting("+OK trickling", FakePop3Server::Then::Trickle);
    trickle.start();

    const Scenario scenarios[] = {
        {"(a) 200 messages, 300 ms round trip", QStringLiteral("127.0.0.1:%1").arg(relay.port()), {}, true, false},
        {"(b) every packet dropped", QStringLiteral("10.231.0.2:110"), drop.name, false, false},
        {"(c) TLS handshake stalls", QStringLiteral("pop3s://127.0.0.1:%1").arg(tlsStall.port()), {}, false, true},
        {"(d) greeting trickles", trickle.serverText(), {}, false, false},
    };
    std::printf("%d rounds; pings every 20 ms; medians, worst exit\n", rounds);
    std::printf("%-38s %10s %10s %8s %9s %9s %s\n", "server", "idle max", "check max", "pings", "check", "exit", "values");
    bool allMet = true;
    for (const Scenario& s : scenarios) {
        std::vector<double> idle, check, took;
        qint64 worstExit = 0;
        int pings = 0, unanswered = 0;
        bool written = true;
        for (int i = 0; i < rounds; ++i) {
            const Result r = runOnce(s);
            idle.push_back(r.idleMaxMs);
            check.push_back(r.checkMaxMs);
            took.push_back(double(r.checkMs));
            worstExit = r.exitMs < 0 ? 99999 : std::max(worstExit, r.exitMs);
            pings += r.pings;
            unanswered += r.unanswered;
            written = written && r.valuesWritten;
        }
        const bool met = median(check) < 100 && worstExit < 2000 && written && unanswered == 0;
        allMet = allMet && met;
        std::printf("%-38s %7.1f ms %7.1f ms %8d %7.1f s %6lld ms %s%s\n", s.name, median(idle), median(check), pings,
                    median(took) / 1000.0, static_cast<long long>(worstExit), written ? "written" : "MISSING",
                    met ? "" : "   <- target missed");
    }
    xvfb.terminate();
    xvfb.waitForFinished(5000);
    std::printf("targets (longest stall < 100 ms, end < 2 s with the values written): %s\n", allMet ? "met" : "MISSED");
    return allMet ? 0 : 1;
}
