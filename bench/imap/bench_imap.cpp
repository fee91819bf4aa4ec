// A check over IMAP on a distant server: how many round trips and how long.
//
// Fills a private Dovecot mailbox with M unseen messages of S bytes and puts
// the POP3 bench's relay (bench/pop3/DelayRelay) in front of it, holding every byte back D ms each way
// (RTT 2 D; the kernels here have no netem, so the delay is ours, on
// loopback). Then times, through the relay:
//   (a) our mail-library calls doing what a check does (connect, login, per
//       message status, size and retrieval, close) on imaps://,
//   (b) the same calls on pop3s:// (the same mailbox over POP3),
//   (c) a reference IMAP client (QSslSocket, no parsing beyond the tags)
//       doing the least a check needs: LOGIN, EXAMINE with UID SEARCH
//       UNSEEN UNDELETED, one UID FETCH of sizes and sender fields, LOGOUT.
// Prints for each the median time of the rounds and the client's flights
// (each time the client speaks after the server did: its round trips, TLS
// handshake included), and the ratio ours/reference. Then the same for a
// check with nothing new (ours remembers what it fetched), with the bytes
// the server sent beside the least such a check reads (LOGIN, EXAMINE,
// UID SEARCH, LOGOUT; no FETCH).
//
//   bench_imap [--messages M] [--size S] [--delay D] [--rounds R]   (needs root and dovecot)
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QStringList>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <unistd.h>

#include "bench/pop3/DelayRelay.h"
#include "mail/NMail.h"
#include "tests/support/DovecotFixture.h"

namespace {

QByteArray makeMessage(int n, int size)
{
    QByteArray m = "From: =?ISO-2022-JP?B?GyRCOzNFRBsoQg==?= <sender" + QByteArray::number(n) + "@example.jp>\r\n"
                   "To: bench@example.jp\r\nSubject: bench " + QByteArray::number(n) + "\r\n"
                   "Date: Mon, 7 Dec 2026 08:00:00 +0900\r\nMessage-ID: <" + QByteArray::number(n) + ".bench@example.jp>\r\n\r\n";
    while (m.size() < size)
        m += QByteArray(70, char('a' + m.size() % 26)) + "\r\n";
    return m;
}

// What the check cycle does, through the mail library; the count it saw.
int ourCheck(qp::NMail& mail, const QString& server)
{
    const int h = mail.NMailPop3Connect(server);
    if (h < 0)
        return -1;
    const int count = mail.NMailPop3Authenticate(h, QStringLiteral("bench"), QStringLiteral("secret"), 0);
    mail.planWalk(h, count); // as the check cycle does: POP3 may then pipeline its walk
    QString subject, date, from, header, body;
    for (int m = 1; m <= count; ++m) {
        mail.NMailPop3GetMailStatus(h, m, subject, date, from, header, 0);
        const int size = mail.NMailPop3GetMailSize(h, m);
        body.fill(QLatin1Char(' '), std::max(size, 0) + 1);
        mail.NMailPop3GetMail(h, m, subject, date, from, header, body, 0, 0);
    }
    mail.NMailPop3Close(h);
    return count;
}

// Reads until a line that starts with tag; false on time-out.
bool readUntil(QSslSocket& s, const QByteArray& tag, QByteArray* all = nullptr)
{
    QByteArray line;
    for (;;) {
        while (!s.canReadLine())
            if (!s.waitForReadyRead(10000))
                return false;
        line = s.readLine();
        if (all)
            *all += line;
        if (line.startsWith(tag))
            return true;
    }
}

int referenceCheck(quint16 port, const QList<QSslCertificate>& ca, bool fetch = true)
{
    QSslSocket s;
    QSslConfiguration conf = QSslConfiguration::defaultConfiguration();
    conf.setCaCertificates(conf.caCertificates() + ca);
    s.setSslConfiguration(conf);
    s.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    s.connectToHostEncrypted(QStringLiteral("127.0.0.1"), port);
    if (!s.waitForEncrypted(10000) || !readUntil(s, "* OK"))
        return -1;
    s.write("a1 LOGIN bench secret\r\n");
    if (!readUntil(s, "a1 "))
        return -1;
    s.write("a2 EXAMINE INBOX\r\na3 UID SEARCH UNSEEN UNDELETED\r\n");
    QByteArray replies;
    if (!readUntil(s, "a3 ", &replies))
        return -1;
    QByteArray set;
    int count = 0;
    for (const QByteArray& line : replies.split('\n'))
        if (line.startsWith("* SEARCH"))
            for (const QByteArray& uid : line.trimmed().split(' ').mid(2)) {
                set += (set.isEmpty() ? "" : ",") + uid;
                ++count;
            }
    if (count > 0 && fetch) {
        s.write("a4 UID FETCH " + set + " (UID RFC822.SIZE BODY.PEEK[HEADER.FIELDS (FROM SUBJECT DATE)])\r\n");
        if (!readUntil(s, "a4 "))
            return -1;
    }
    s.write("a5 LOGOUT\r\n");
    readUntil(s, "a5 ");
    return count;
}

pid_t g_dovecot = 0;
void onSignal(int sig)
{
    if (g_dovecot > 0)
        ::kill(g_dovecot, SIGTERM); // the server goes with the bench
    ::_exit(128 + sig);
}

struct Figures {
    double ms = 0;
    int flights = 0;
    long long bytes = 0; // from the server, in the last round
};

template <typename Run>
Figures measure(DelayRelay& relay, int rounds, int expected, const char* what, Run run)
{
    QList<double> times;
    int flights = 0;
    for (int r = 0; r < rounds; ++r) {
        relay.resetTurns();
        relay.resetServerBytes();
        QElapsedTimer t;
        t.start();
        const int count = run();
        times << t.nsecsElapsed() / 1e6;
        flights = relay.clientTurns();
        if (count != expected) {
            std::fprintf(stderr, "%s: counted %d, expected %d\n", what, count, expected);
            std::exit(1);
        }
    }
    std::sort(times.begin(), times.end());
    return {times.at(times.size() / 2), flights, relay.serverBytes()};
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    int messages = 200, size = 10240, delay = 25, rounds = 5;
    const QStringList args = app.arguments();
    for (qsizetype i = 1; i + 1 < args.size(); i += 2) {
        const int v = args.at(i + 1).toInt();
        if (args.at(i) == QLatin1String("--messages")) messages = v;
        else if (args.at(i) == QLatin1String("--size")) size = v;
        else if (args.at(i) == QLatin1String("--delay")) delay = v;
        else if (args.at(i) == QLatin1String("--rounds")) rounds = std::max(1, v);
    }
    if (!qp::test::DovecotFixture::available()) {
        std::fprintf(stderr, "needs root and dovecot\n");
        return 2;
    }
    qp::test::DovecotFixture dovecot;
    dovecot.addUser(QStringLiteral("bench"), QStringLiteral("secret"));
    for (int n = 1; n <= messages; ++n)
        dovecot.addMessage(QStringLiteral("bench"), makeMessage(n, size));
    if (!dovecot.start()) {
        std::fprintf(stderr, "dovecot: %s\n", qPrintable(dovecot.errorString()));
        return 1;
    }
    QFile pid(dovecot.folder() + QStringLiteral("/run/master.pid"));
    if (pid.open(QIODevice::ReadOnly))
        g_dovecot = pid_t(pid.readAll().trimmed().toInt());
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);

    DelayRelay imapRelay(dovecot.imapsPort(), delay);
    DelayRelay pop3Relay(dovecot.pop3sPort(), delay);
    if (!imapRelay.start() || !pop3Relay.start()) {
        std::fprintf(stderr, "no relay\n");
        return 1;
    }
    const quint16 imapPort = imapRelay.port();
    const quint16 pop3Port = pop3Relay.port();
    qp::NMail mail;
    mail.NMailInitializeWinSock();
    mail.setExtraCaCertificates(dovecot.caCertificates());

    std::printf("%d unseen messages of %d bytes, RTT %d ms, median of %d rounds\n", messages, size, 2 * delay, rounds);
    const Figures reference = measure(imapRelay, rounds, messages, "reference",
                                      [&] { return referenceCheck(imapPort, dovecot.caCertificates()); });
    // First contact: a library object of its own each round.
    const Figures imap = measure(imapRelay, rounds, messages, "ours over IMAP", [&] {
        qp::NMail fresh;
        fresh.setExtraCaCertificates(dovecot.caCertificates());
        return ourCheck(fresh, QStringLiteral("imaps://127.0.0.1:%1").arg(imapPort));
    });
    // Nothing new: the same object after a first check.
    ourCheck(mail, QStringLiteral("imaps://127.0.0.1:%1").arg(imapPort));
    const Figures imapAgain = measure(imapRelay, rounds, messages, "ours over IMAP, nothing new", [&] {
        return ourCheck(mail, QStringLiteral("imaps://127.0.0.1:%1").arg(imapPort));
    });
    const Figures least = measure(imapRelay, rounds, messages, "reference, no FETCH",
                                  [&] { return referenceCheck(imapPort, dovecot.caCertificates(), false); });
    // POP3 last. From its second round on it asks only about messages its
    // header memory does not hold (none): the cost of a check with no new mail.
    const Figures pop3 = measure(pop3Relay, rounds, messages, "ours over POP3", [&] {
        return ourCheck(mail, QStringLiteral("pop3s://127.0.0.1:%1").arg(pop3Port));
    });
    std::printf("  reference IMAP client  %8.1f ms  %3d round trips\n", reference.ms, reference.flights);
    std::printf("  ours, imaps://         %8.1f ms  %3d round trips  (%.2f x reference)\n", imap.ms, imap.flights,
                imap.ms / reference.ms);
    std::printf("  ours, pop3s://         %8.1f ms  %3d round trips  (%.2f x reference)\n", pop3.ms, pop3.flights,
                pop3.ms / reference.ms);
    std::printf("  bytes from the server, first contact: ours %lld, reference %lld\n", imap.bytes, reference.bytes);
    std::printf("  nothing new: ours %8.1f ms, %lld bytes; least (LOGIN, EXAMINE, SEARCH, LOGOUT) %8.1f ms, %lld bytes: "
                "%.2f x bytes (target <= 1.5)\n",
                imapAgain.ms, imapAgain.bytes, least.ms, least.bytes, double(imapAgain.bytes) / double(least.bytes));
    return 0;
}
