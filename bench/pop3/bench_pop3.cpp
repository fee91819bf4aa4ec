// How our mail layer does against bare clients on the same server.
//
// Fills a private Dovecot mailbox with M messages of S bytes, then times
// what a check does on first contact (UIDL, then header and size of every
// message) with
// (a) our mail-library calls, as the check makes them (the walk announced,
//     so pipelined when the server offers PIPELINING),
// (b) a minimal sequential client on plain POSIX sockets, one command at a
//     time, looking only for the end of each reply, and
// (c) the same minimal client keeping 64 commands in flight.
// Each side runs in a child process of its own so that its peak memory is
// its own; rounds rotate the sides. Prints medians and best runs, the
// ratios, and our peak memory for the full mailbox, for one a tenth its
// size and for one 60 MB message: all three should be about the same.
//
// Then the bytes read from the server per check, beside the least a
// notifier needs (STAT, UIDL and the TOP of each new message, pipelined)
// and beside what a check that downloads every message read (TOP, LIST and
// RETR each): (a) the same mailbox with one message new since the last
// check of the run, (b) first contact; and the time of (a) at --rtt beside
// a bare client's pipelined STAT + UIDL + one TOP.
//
// --remote puts a relay between the clients and Dovecot that holds every
// byte back --rtt/2 ms each way (default RTT 50 ms): a distant server.
//
// --restart instead times, for each mailbox size in --counts and each RTT
// in --rtts (0 = loopback without a relay), the first check of a new
// process whose header memory file a previous run wrote, and a check with
// nothing new after it, beside a minimal pipelined notifier (USER+PASS,
// STAT+UIDL, QUIT); and first contact beside the same notifier reading TOP
// n 0 of every message. Each side in a child process of its own; medians.
//
//   bench_pop3 [--messages M] [--size S] [--rounds R] [--remote] [--rtt MS] [--huge-mb N]
//   bench_pop3 --restart [--counts 1000,10000,50000] [--rtts 0,50,300] [--size S] [--rounds R]
//   (needs root and dovecot; Ctrl-C stops the run and its server)
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStringList>

#include <algorithm>
#include <arpa/inet.h>
#include <csignal>
#include <pthread.h>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include "DelayRelay.h"
#include "mail/NMail.h"
#include "tests/support/DovecotFixture.h"

#include <atomic>
#include <memory>
#include <thread>

namespace {

long statusKb(const char* key)
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : f.readAll().split('\n'))
        if (line.startsWith(key))
            return line.mid(qstrlen(key)).trimmed().split(' ').value(0).toLong();
    return -1;
}

QByteArray makeMessage(int n, int size)
{
    QByteArray m = "From: =?ISO-2022-JP?B?GyRCOzNFRBsoQg==?= <sender" + QByteArray::number(n) + "@example.jp>\r\n"
                   "To: bench@example.jp\r\n"
                   "Subject: =?UTF-8?B?5pel5pys6Kqe44Gu5Lu25ZCN?= " + QByteArray::number(n) + "\r\n"
                   "Date: Mon, 7 Dec 2026 08:00:00 +0900\r\n"
                   "Message-ID: <" + QByteArray::number(n) + ".bench@example.jp>\r\n"
                   "MIME-Version: 1.0\r\nContent-Type: text/plain; charset=UTF-8\r\n\r\n";
    int line = 0;
    while (m.size() < size) {
        QByteArray l = (line % 20 == 0 ? "." : "") + QByteArray(70, char('a' + line % 26)) + "\r\n";
        if (m.size() + l.size() > size)
            l = QByteArray(std::max(0, int(size - m.size() - 2)), 'z') + "\r\n";
        m += l;
        ++line;
    }
    return m;
}

// --- the reference client: blocking POSIX sockets, no parsing beyond the
// end of each reply ---
class RawClient {
public:
    bool open(const char* host, int port)
    {
        m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
        const int one = 1;
        ::setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(quint16(port));
        ::inet_pton(AF_INET, host, &a.sin_addr);
        return ::connect(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && readLine();
    }
    ~RawClient()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    bool send(const QByteArray& c) { return sendRaw(c + "\r\n"); }
    bool sendRaw(const QByteArray& bytes)
    {
        return ::write(m_fd, bytes.constData(), size_t(bytes.size())) == bytes.size();
    }
    // Status line only.
    bool readLine()
    {
        for (;;) {
            const char* base = m_buf.constData() + m_pos;
            const void* nl = std::memchr(base, '\n', size_t(m_buf.size() - m_pos));
            if (nl) {
                const qsizetype len = static_cast<const char*>(nl) - base + 1;
                m_last = QByteArray(base, len);
                m_pos += len;
                return m_last.startsWith("+OK");
            }
            if (!fill())
                return false;
        }
    }
    // Status line, then data up to "\r\n.\r\n"; returns the data length.
    qsizetype readMulti()
    {
        if (!readLine())
            return -1;
        if (m_buf.size() - m_pos >= 3 && std::memcmp(m_buf.constData() + m_pos, ".\r\n", 3) == 0) {
            m_pos += 3;
            return 0;
        }
        qsizetype from = m_pos;
        for (;;) {
            const char* hit = static_cast<const char*>(
                ::memmem(m_buf.constData() + from, size_t(m_buf.size() - from), "\r\n.\r\n", 5));
            if (hit) {
                const qsizetype len = hit - (m_buf.constData() + m_pos);
                m_pos = hit - m_buf.constData() + 5;
                return len;
            }
            from = std::max(m_pos, m_buf.size() - 4);
            if (!fill())
                return -1;
        }
    }
    QByteArray last() const { return m_last; }

private:
    bool fill()
    {
        if (m_pos > 0 && m_pos == m_buf.size()) { // all consumed: start over
            m_buf.resize(0);
            m_pos = 0;
        }
        const qsizetype at = m_buf.size();
        m_buf.resize(at + 65536);
        const ssize_t n = ::read(m_fd, m_buf.data() + at, 65536);
        // Acknowledge at once, so that the server's next reply is not held
        // back by its Nagle wait on our delayed ACK (40 ms on loopback).
        const int one = 1;
        ::setsockopt(m_fd, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
        m_buf.resize(at + std::max<qsizetype>(n, 0));
        return n > 0;
    }
    int m_fd = -1;
    QByteArray m_buf;
    qsizetype m_pos = 0;
    QByteArray m_last;
};

// today: the walk of a check that downloads every message (TOP, LIST and
// RETR each); otherwise UIDL, then TOP and LIST each.
int runReference(const QString& host, int port, const QString& user, const QString& pass, qint64* bytes,
                 bool today = false)
{
    RawClient c;
    if (!c.open(host.toLatin1().constData(), port))
        return -1;
    if (!c.send("CAPA") || c.readMulti() < 0 || !c.send("USER " + user.toUtf8()) || !c.readLine()
        || !c.send("PASS " + pass.toUtf8()) || !c.readLine() || !c.send("CAPA") || c.readMulti() < 0
        || !c.send("STAT") || !c.readLine())
        return -1;
    const int count = c.last().split(' ').value(1).toInt();
    if (!today && (!c.send("UIDL") || c.readMulti() < 0))
        return -1;
    for (int m = 1; m <= count; ++m) {
        const QByteArray n = QByteArray::number(m);
        if (!c.send("TOP " + n + " 0") || c.readMulti() < 0 || !c.send("LIST " + n) || !c.readLine())
            return -1;
        if (!today)
            continue;
        const qsizetype got = c.send("RETR " + n) ? c.readMulti() : -1;
        if (got < 0)
            return -1;
        *bytes += got;
    }
    c.send("QUIT");
    c.readLine();
    return count;
}

// The same walk (UIDL, then TOP and LIST each) with up to `window`
// commands in flight, replies read in order.
int runPipelined(const QString& host, int port, const QString& user, const QString& pass, qint64* /*bytes*/,
                 int window = 64)
{
    RawClient c;
    if (!c.open(host.toLatin1().constData(), port))
        return -1;
    if (!c.send("CAPA") || c.readMulti() < 0 || !c.send("USER " + user.toUtf8()) || !c.readLine()
        || !c.send("PASS " + pass.toUtf8()) || !c.readLine() || !c.send("CAPA") || c.readMulti() < 0
        || !c.send("STAT") || !c.readLine())
        return -1;
    const int count = c.last().split(' ').value(1).toInt();
    if (!c.send("UIDL") || c.readMulti() < 0)
        return -1;
    const qint64 steps = qint64(count) * 2;
    qint64 sent = 0;
    for (qint64 read = 0; read < steps; ++read) {
        QByteArray batch;
        for (; sent < steps && sent - read < window; ++sent) {
            const QByteArray n = QByteArray::number(sent / 2 + 1);
            batch += sent % 2 == 0 ? "TOP " + n + " 0\r\n" : "LIST " + n + "\r\n";
        }
        if (!batch.isEmpty() && !c.sendRaw(batch))
            return -1;
        if (read % 2 == 1 ? !c.readLine() : c.readMulti() < 0)
            return -1;
    }
    c.send("QUIT");
    c.readLine();
    return count;
}

int runOurs(qp::NMail& mail, const QString& server, const QString& user, const QString& pass, qint64* bytes)
{
    const int h = mail.NMailPop3Connect(server);
    if (h < 0) {
        std::fprintf(stderr, "connect: %s\n", qPrintable(mail.lastError()));
        return -1;
    }
    const int count = mail.NMailPop3Authenticate(h, user, pass, 0);
    mail.planWalk(h, count); // as the check does
    QString subject, date, from, header, body;
    for (int m = 1; m <= count; ++m) {
        if (mail.NMailPop3GetMailStatus(h, m, subject, date, from, header, 0) < 0 || from.isEmpty()) {
            std::fprintf(stderr, "message %d: no sender: %s\n", m, qPrintable(mail.lastError()));
            return -1;
        }
        const int size = mail.NMailPop3GetMailSize(h, m);
        if (mail.NMailPop3GetMail(h, m, subject, date, from, header, body, 0, 0) < 0 || size < 0) {
            std::fprintf(stderr, "message %d: %s\n", m, qPrintable(mail.lastError()));
            return -1;
        }
        *bytes += size;
    }
    mail.NMailPop3Close(h);
    return count;
}

// Our POP3 client alone, without the header decoding of the layer: shows
// how the cost splits between protocol and decoding.
int runClient(const QString& host, int port, const QString& user, const QString& pass, qint64* bytes)
{
    qp::Pop3Client c;
    qp::Pop3Endpoint e;
    e.host = host;
    e.port = quint16(port);
    int count = 0;
    if (!c.connectToServer(e) || !c.loginUserPass(user, pass) || !c.refreshCapabilities() || !c.stat(&count, nullptr))
        return -1;
    QByteArray fields;
    for (int m = 1; m <= count; ++m) {
        qint64 size = 0;
        if (!c.headerFields(m, &fields) || !c.list(m, &size))
            return -1;
        *bytes += size;
    }
    c.quit();
    return count;
}

long long cpuNowUs()
{
    rusage ru{};
    ::getrusage(RUSAGE_SELF, &ru);
    return (ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1000000LL + ru.ru_utime.tv_usec + ru.ru_stime.tv_usec;
}

// A minimal pipelined notifier: USER+PASS, STAT+UIDL, then on first contact
// TOP n 0 of every message (as many in flight as ours may have), QUIT.
int runMinimal(const QString& host, int port, const QString& user, const QString& pass, bool cold)
{
    RawClient c;
    if (!c.open(host.toLatin1().constData(), port)
        || !c.sendRaw("USER " + user.toUtf8() + "\r\nPASS " + pass.toUtf8() + "\r\n") || !c.readLine()
        || !c.readLine() || !c.sendRaw("STAT\r\nUIDL\r\n") || !c.readLine())
        return -1;
    const int count = c.last().split(' ').value(1).toInt();
    if (c.readMulti() < 0)
        return -1;
    const int want = cold ? count : 0;
    int sent = 0;
    for (int read = 0; read < want; ++read) {
        QByteArray batch;
        for (; sent < want && sent - read < qp::Pop3Client::kMaxCommandsAhead; ++sent)
            batch += "TOP " + QByteArray::number(sent + 1) + " 0\r\n";
        if (!batch.isEmpty() && sent == want)
            batch += "QUIT\r\n";
        if ((!batch.isEmpty() && !c.sendRaw(batch)) || c.readMulti() < 0)
            return -1;
    }
    if (want == 0 && !c.send("QUIT"))
        return -1;
    c.readLine();
    return count;
}

// Child: bench_pop3 --child prime|warm|mincold|minwarm HOST PORT USER PASS FILE
// prints "count ms1 cpu1 ms2 cpu2" (the second check: warm only).
int childRestart(const QStringList& a)
{
    const QString& side = a.at(2);
    const QString server = a.at(3) + ':' + a.at(4);
    qint64 ms[2] = {0, 0}, cpu[2] = {0, 0};
    int count = -1;
    if (side.startsWith(QLatin1String("min"))) {
        const long long c0 = cpuNowUs();
        QElapsedTimer t;
        t.start();
        count = runMinimal(a.at(3), a.at(4).toInt(), a.at(5), a.at(6), side == QLatin1String("mincold"));
        ms[0] = t.elapsed();
        cpu[0] = cpuNowUs() - c0;
    } else {
        // Start-up as the program does it is part of the restart: the
        // memory is read at the first check.
        const long long c0 = cpuNowUs();
        QElapsedTimer t;
        t.start();
        qp::NMail mail;
        mail.NMailInitializeWinSock();
        mail.NMailSetOption(1, 8192);
        mail.setHeaderMemoryFile(a.at(7));
        const int checks = side == QLatin1String("warm") ? 2 : 1;
        for (int i = 0; i < checks; ++i) {
            const long long c1 = i == 0 ? c0 : cpuNowUs();
            if (i > 0)
                t.restart();
            qint64 bytes = 0;
            count = runOurs(mail, server, a.at(5), a.at(6), &bytes);
            ms[i] = t.elapsed();
            cpu[i] = cpuNowUs() - c1;
            if (count < 0)
                break;
        }
    }
    std::printf("%d %lld %lld %lld %lld\n", count, static_cast<long long>(ms[0]), static_cast<long long>(cpu[0] / 1000),
                static_cast<long long>(ms[1]), static_cast<long long>(cpu[1] / 1000));
    return count < 0 ? 1 : 0;
}

// Child: bench_pop3 --child ours|client|ref HOST PORT USER PASS
int child(const QStringList& a)
{
    const bool ours = a.at(2) == QLatin1String("ours");
    // Start-up as the program does it, before the check is timed.
    qp::NMail mail;
    if (ours) {
        mail.NMailInitializeWinSock();
        mail.NMailSetOption(1, 8192);
    }
    const long baseKb = statusKb("VmHWM:");
    rusage before{};
    ::getrusage(RUSAGE_SELF, &before);
    const long long cpuBefore = (before.ru_utime.tv_sec + before.ru_stime.tv_sec) * 1000000LL
                                + before.ru_utime.tv_usec + before.ru_stime.tv_usec;
    qint64 bytes = 0;
    QElapsedTimer t;
    t.start();
    const QString& side = a.at(2);
    const int count = ours ? runOurs(mail, a.at(3) + ':' + a.at(4), a.at(5), a.at(6), &bytes)
                      : side == QLatin1String("client") ? runClient(a.at(3), a.at(4).toInt(), a.at(5), a.at(6), &bytes)
                      : side == QLatin1String("pipe")   ? runPipelined(a.at(3), a.at(4).toInt(), a.at(5), a.at(6), &bytes)
                                                        : runReference(a.at(3), a.at(4).toInt(), a.at(5), a.at(6), &bytes);
    const qint64 ms = t.elapsed();
    rusage ru{};
    ::getrusage(RUSAGE_SELF, &ru);
    const long long cpuUs = (ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1000000LL + ru.ru_utime.tv_usec + ru.ru_stime.tv_usec;
    std::printf("%d %lld %ld %ld %lld %lld\n", count, static_cast<long long>(ms), baseKb, statusKb("VmHWM:"),
                static_cast<long long>(bytes), cpuUs - cpuBefore);
    return count < 0 ? 1 : 0;
}

struct Run {
    int count = -1;
    qint64 ms = 0;
    qint64 cpuUs = 0;
    long baseKb = 0, peakKb = 0;
};

// The child being waited for, so that Ctrl-C can end it.
std::atomic<qint64> g_child{0};
std::atomic<bool> g_interrupted{false};

Run spawn(const QString& side, const QString& host, int port, const QString& user, const QString& pass)
{
    Run r;
    if (g_interrupted)
        return r;
    QProcess p;
    p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    p.start(QCoreApplication::applicationFilePath(),
            {QStringLiteral("--child"), side, host, QString::number(port), user, pass});
    if (!p.waitForStarted())
        return r;
    g_child = p.processId();
    const bool finished = p.waitForFinished(600000);
    g_child = 0;
    if (!finished || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
        return r;
    const QList<QByteArray> f = p.readAllStandardOutput().trimmed().split(' ');
    r.count = f.value(0).toInt();
    r.ms = f.value(1).toLongLong();
    r.baseKb = f.value(2).toLong();
    r.peakKb = f.value(3).toLong();
    r.cpuUs = f.value(5).toLongLong();
    return r;
}

// The least a notifier reads for a check: STAT, UIDL and the TOP of each
// message in tops, pipelined after the login. Returns the bytes of those
// replies as the relay counted them; ms gets the time of the whole session.
qint64 minimalCheck(DelayRelay& relay, const QString& host, const QString& user, const QString& pass,
                    const QList<int>& tops, qint64* ms)
{
    QElapsedTimer t;
    t.start();
    RawClient c;
    if (!c.open(host.toLatin1().constData(), relay.port()) || !c.send("USER " + user.toUtf8()) || !c.readLine()
        || !c.send("PASS " + pass.toUtf8()) || !c.readLine())
        return -1;
    relay.resetServerBytes();
    QByteArray batch = "STAT\r\nUIDL\r\n";
    for (int n : tops)
        batch += "TOP " + QByteArray::number(n) + " 0\r\n";
    if (!c.sendRaw(batch) || !c.readLine() || c.readMulti() < 0)
        return -1;
    for (qsizetype i = 0; i < tops.size(); ++i)
        if (c.readMulti() < 0)
            return -1;
    const qint64 bytes = relay.serverBytes();
    c.send("QUIT");
    c.readLine();
    *ms = t.elapsed();
    return bytes;
}

// One check of ours through the relay: bytes read from the server.
qint64 ourCheck(qp::NMail& mail, DelayRelay& relay, const QString& host, const QString& user, const QString& pass,
                qint64* ms)
{
    relay.resetServerBytes();
    QElapsedTimer t;
    t.start();
    qint64 sizes = 0;
    if (runOurs(mail, host + ':' + QString::number(relay.port()), user, pass, &sizes) < 0)
        return -1;
    *ms = t.elapsed();
    return relay.serverBytes();
}

qint64 median(QList<qint64> v)
{
    std::sort(v.begin(), v.end());
    return v.at(v.size() / 2);
}

struct Side {
    QString name, label;
    QList<qint64> ms, cpu;
    long peakKb = 0;
    qint64 median() const { return ::median(ms); }
    qint64 best() const { return *std::min_element(ms.begin(), ms.end()); }
};

QList<qint64> spawnFields(const QStringList& childArgs)
{
    if (g_interrupted)
        return {};
    QProcess p;
    p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    p.start(QCoreApplication::applicationFilePath(), QStringList{QStringLiteral("--child")} + childArgs);
    if (!p.waitForStarted())
        return {};
    g_child = p.processId();
    const bool finished = p.waitForFinished(1800000);
    g_child = 0;
    if (!finished || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
        return {};
    QList<qint64> out;
    for (const QByteArray& f : p.readAllStandardOutput().trimmed().split(' '))
        out << f.toLongLong();
    return out;
}

int restartBench(const QStringList& args, const sigset_t& stop)
{
    QList<int> counts{1000, 10000, 50000}, rtts{0, 50, 300};
    int size = 2048, rounds = 5;
    auto numbers = [](const QString& text) {
        QList<int> out;
        for (const QString& n : text.split(QLatin1Char(',')))
            out << n.toInt();
        return out;
    };
    for (int i = 1; i + 1 < args.size(); ++i) {
        if (args.at(i) == QLatin1String("--counts"))
            counts = numbers(args.at(++i));
        else if (args.at(i) == QLatin1String("--rtts"))
            rtts = numbers(args.at(++i));
        else if (args.at(i) == QLatin1String("--size"))
            size = args.at(++i).toInt();
        else if (args.at(i) == QLatin1String("--rounds"))
            rounds = std::max(1, args.at(++i).toInt());
    }
    if (!qp::test::DovecotFixture::available()) {
        std::fprintf(stderr, "needs dovecot and root\n");
        return 2;
    }
    qp::test::DovecotFixture::Options options;
    options.tls = false;
    qp::test::DovecotFixture dovecot(options);
    const QString pass = QStringLiteral("bench");
    int filled = 0;
    for (int n : counts) {
        const QString user = QStringLiteral("u%1").arg(n);
        dovecot.addUser(user, pass);
        for (int i = 1; i <= n; ++i)
            if (!dovecot.addMessage(user, makeMessage(++filled, size))) {
                std::fprintf(stderr, "cannot fill the mailbox: %s\n", qPrintable(dovecot.errorString()));
                return 1;
            }
    }
    if (!dovecot.start()) {
        std::fprintf(stderr, "dovecot: %s\n", qPrintable(dovecot.errorString()));
        return 1;
    }
    std::thread([stop] {
        int sig = 0;
        sigwait(&stop, &sig);
        g_interrupted = true;
        if (const qint64 pid = g_child)
            ::kill(pid_t(pid), SIGKILL);
    }).detach();
    const QString host = dovecot.host();
    std::printf("POP3, messages of %d bytes, median of %d rounds; ms wall (CPU ms)\n", size, rounds);
    std::printf("%7s %5s | %-15s %-15s %-9s | %-15s %-9s %-6s\n", "msgs", "RTT", "restart", "nothing new",
                "minimal", "first contact", "minimal", "ratio");
    for (int n : counts) {
        const QString user = QStringLiteral("u%1").arg(n);
        // The first session makes Dovecot's index; no side should pay it.
        spawnFields({QStringLiteral("minwarm"), host, QString::number(dovecot.pop3Port()), user, pass, QStringLiteral("-")});
        for (int rtt : rtts) {
            std::unique_ptr<DelayRelay> relay;
            int port = dovecot.pop3Port();
            if (rtt > 0) {
                relay = std::make_unique<DelayRelay>(dovecot.pop3Port(), rtt / 2);
                if (!relay->start())
                    return 1;
                port = relay->port();
            }
            const QString file = QDir::temp().filePath(QStringLiteral("bench_pop3_%1_%2.dat").arg(n).arg(rtt));
            QFile::remove(file);
            const QStringList common{host, QString::number(port), user, pass, file};
            if (spawnFields(QStringList{QStringLiteral("prime")} + common).value(0) != n) {
                std::fprintf(stderr, "priming failed\n");
                return 1;
            }
            QList<qint64> restartMs, restartCpu, newMs, newCpu, minMs, coldMs, coldCpu, minColdMs;
            for (int r = 0; r < rounds && !g_interrupted; ++r) {
                const QList<qint64> warm = spawnFields(QStringList{QStringLiteral("warm")} + common);
                const QList<qint64> least = spawnFields(QStringList{QStringLiteral("minwarm")} + common);
                QFile::remove(file + QStringLiteral(".cold"));
                const QList<qint64> cold =
                    spawnFields({QStringLiteral("prime"), host, QString::number(port), user, pass, file + QStringLiteral(".cold")});
                const QList<qint64> leastCold = spawnFields(QStringList{QStringLiteral("mincold")} + common);
                if (warm.value(0) != n || least.value(0) != n || cold.value(0) != n || leastCold.value(0) != n) {
                    std::fprintf(stderr, "a run failed\n");
                    return 1;
                }
                restartMs << warm.at(1);
                restartCpu << warm.at(2);
                newMs << warm.at(3);
                newCpu << warm.at(4);
                minMs << least.at(1);
                coldMs << cold.at(1);
                coldCpu << cold.at(2);
                minColdMs << leastCold.at(1);
            }
            QFile::remove(file);
            QFile::remove(file + QStringLiteral(".cold"));
            if (g_interrupted)
                return 130;
            auto cell = [](qint64 ms, qint64 cpu) {
                return QStringLiteral("%1 (%2)").arg(ms).arg(cpu).toLatin1();
            };
            std::printf("%7d %5d | %-15s %-15s %-9lld | %-15s %-9lld %.2f\n", n, rtt,
                        cell(median(restartMs), median(restartCpu)).constData(),
                        cell(median(newMs), median(newCpu)).constData(), static_cast<long long>(median(minMs)),
                        cell(median(coldMs), median(coldCpu)).constData(), static_cast<long long>(median(minColdMs)),
                        double(median(coldMs)) / double(std::max<qint64>(1, median(minColdMs))));
            std::fflush(stdout);
        }
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    // Ctrl-C and TERM are taken by a thread of ours (below), so that the run
    // ends through the destructors: relay closed, Dovecot stopped.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);

    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() >= 7 && args.at(1) == QLatin1String("--child")) {
        pthread_sigmask(SIG_UNBLOCK, &stop, nullptr);
        return args.size() >= 8 ? childRestart(args) : child(args);
    }
    if (args.contains(QLatin1String("--restart")))
        return restartBench(args, stop);

    int messages = 1000, size = 10 * 1024, rounds = 9, holdSeconds = 0, rttMs = 50, hugeMb = 60;
    bool remote = false;
    for (int i = 1; i < args.size(); ++i) {
        const QString next = i + 1 < args.size() ? args.at(i + 1) : QString();
        if (args.at(i) == QLatin1String("--remote")) {
            remote = true;
            continue;
        }
        if (args.at(i) == QLatin1String("--messages"))
            messages = next.toInt();
        else if (args.at(i) == QLatin1String("--size"))
            size = next.toInt();
        else if (args.at(i) == QLatin1String("--rounds"))
            rounds = std::max(1, next.toInt());
        else if (args.at(i) == QLatin1String("--rtt"))
            rttMs = std::max(0, next.toInt());
        else if (args.at(i) == QLatin1String("--huge-mb"))
            hugeMb = std::max(0, next.toInt());
        else if (args.at(i) == QLatin1String("--hold")) // keep the server up for profiling a child by hand
            holdSeconds = next.toInt();
        else {
            std::fprintf(stderr, "unknown option %s\n", qPrintable(args.at(i)));
            return 2;
        }
        ++i;
    }
    if (!qp::test::DovecotFixture::available()) {
        std::fprintf(stderr, "needs dovecot and root\n");
        return 2;
    }
    // Plain POP3 on every side: the comparison is about the protocol layer,
    // not about TLS.
    qp::test::DovecotFixture::Options options;
    options.tls = false;
    qp::test::DovecotFixture dovecot(options);
    const QString pass = QStringLiteral("bench");
    dovecot.addUser(QStringLiteral("big"), pass);
    dovecot.addUser(QStringLiteral("small"), pass);
    for (int i = 1; i <= messages; ++i) {
        const QByteArray m = makeMessage(i, size);
        if (!dovecot.addMessage(QStringLiteral("big"), m) || (i <= std::max(1, messages / 10) && !dovecot.addMessage(QStringLiteral("small"), m))) {
            std::fprintf(stderr, "cannot fill the mailbox: %s\n", qPrintable(dovecot.errorString()));
            return 1;
        }
    }
    if (hugeMb > 0) {
        dovecot.addUser(QStringLiteral("huge"), pass);
        if (!dovecot.addMessage(QStringLiteral("huge"), makeMessage(0, hugeMb * 1000 * 1000))) {
            std::fprintf(stderr, "cannot fill the mailbox: %s\n", qPrintable(dovecot.errorString()));
            return 1;
        }
    }
    if (!dovecot.start()) {
        std::fprintf(stderr, "dovecot: %s\n", qPrintable(dovecot.errorString()));
        return 1;
    }
    DelayRelay relay(dovecot.pop3Port(), rttMs / 2);
    if (remote && !relay.start()) {
        std::fprintf(stderr, "cannot start the delaying relay\n");
        return 1;
    }
    const QString host = dovecot.host();
    const int port = remote ? relay.port() : dovecot.pop3Port();

    // The first session makes Dovecot's index; no side should pay it.
    spawn(QStringLiteral("ref"), host, dovecot.pop3Port(), QStringLiteral("big"), pass);
    spawn(QStringLiteral("ref"), host, dovecot.pop3Port(), QStringLiteral("small"), pass);
    if (holdSeconds > 0) {
        std::printf("holding: %s --child ours|ref|pipe %s %d big %s\n", qPrintable(QCoreApplication::applicationFilePath()),
                    qPrintable(host), port, qPrintable(pass));
        std::fflush(stdout);
        // Until the time is up or SIGINT/SIGTERM: either way the destructors
        // then stop the relay and Dovecot.
        const timespec wait{holdSeconds, 0};
        sigtimedwait(&stop, nullptr, &wait);
        return 0;
    }
    std::thread([stop] {
        int sig = 0;
        sigwait(&stop, &sig);
        g_interrupted = true;
        if (const qint64 pid = g_child)
            ::kill(pid_t(pid), SIGKILL);
    }).detach();

    // Rounds rotate the sides so that load from elsewhere on the machine
    // hits all alike.
    std::vector<Side> sides{{QStringLiteral("ours"), QStringLiteral("ours:                "), {}, {}, 0},
                            {QStringLiteral("ref"), QStringLiteral("sequential reference:"), {}, {}, 0},
                            {QStringLiteral("pipe"), QStringLiteral("pipelined reference: "), {}, {}, 0}};
    for (int r = 0; r < rounds; ++r) {
        for (std::size_t k = 0; k < sides.size(); ++k) {
            Side& side = sides[(k + std::size_t(r)) % sides.size()];
            const Run run = spawn(side.name, host, port, QStringLiteral("big"), pass);
            if (g_interrupted) {
                std::fprintf(stderr, "interrupted\n");
                return 130;
            }
            if (run.count != messages) {
                std::fprintf(stderr, "a run of %s failed (%d messages)\n", qPrintable(side.name), run.count);
                return 1;
            }
            side.ms << run.ms;
            side.cpu << run.cpuUs / 1000;
            side.peakKb = std::max(side.peakKb, run.peakKb);
        }
    }
    const Run small = spawn(QStringLiteral("ours"), host, port, QStringLiteral("small"), pass);
    const Run huge = hugeMb > 0 ? spawn(QStringLiteral("ours"), host, port, QStringLiteral("huge"), pass) : Run();
    if (g_interrupted) {
        std::fprintf(stderr, "interrupted\n");
        return 130;
    }

    if (remote)
        std::printf("remote: every byte held back %d ms each way (RTT %d ms) by a relay on loopback\n", rttMs / 2,
                    rttMs / 2 * 2);
    else
        std::printf("loopback\n");
    std::printf("mailbox: %d messages x %d bytes, %d rounds (median, best, CPU median)\n", messages, size, rounds);
    for (const Side& side : sides)
        std::printf("%s %6lld ms  %6lld ms  CPU %lld ms\n", qPrintable(side.label), static_cast<long long>(side.median()),
                    static_cast<long long>(side.best()), static_cast<long long>(median(side.cpu)));
    const double o = double(sides[0].median()), f = double(sides[1].median()), pl = double(sides[2].median());
    std::printf("ratio ours/pipelined reference: %.2f (target <= 1.5); ours/sequential reference: %.2f\n",
                pl > 0 ? o / pl : 0.0, f > 0 ? o / f : 0.0);
    std::printf("our peak memory (VmHWM): %ld kB for %d messages, %ld kB for %d messages", sides[0].peakKb, messages,
                small.peakKb, std::max(1, messages / 10));
    if (hugeMb > 0)
        std::printf(", %ld kB for one %d MB message", huge.peakKb, hugeMb);
    std::printf(" (%ld kB before the check)\n", small.baseKb);

    // --- bytes per check, and the time of a check with one new message ---
    DelayRelay counter(dovecot.pop3Port(), 0);
    DelayRelay far(dovecot.pop3Port(), rttMs / 2);
    if (!counter.start() || !far.start()) {
        std::fprintf(stderr, "cannot start the relays\n");
        return 1;
    }
    const QString user = QStringLiteral("big");
    qint64 ms = 0, unused = 0;
    counter.resetServerBytes();
    if (runReference(host, counter.port(), user, pass, &unused, true) != messages)
        return 1;
    const qint64 today = counter.serverBytes();
    qp::NMail mail;
    mail.NMailInitializeWinSock();
    mail.NMailSetOption(1, 8192);
    QList<int> all;
    for (int i = 1; i <= messages; ++i)
        all << i;
    const qint64 firstBytes = ourCheck(mail, counter, host, user, pass, &ms);
    const qint64 firstLeast = minimalCheck(counter, host, user, pass, all, &unused);
    int count = messages;
    dovecot.addMessage(user, makeMessage(++count, size));
    const qint64 oneBytes = ourCheck(mail, counter, host, user, pass, &ms);
    const qint64 oneLeast = minimalCheck(counter, host, user, pass, {count}, &unused);
    if (firstBytes < 0 || firstLeast < 0 || oneBytes < 0 || oneLeast < 0) {
        std::fprintf(stderr, "a byte measurement failed\n");
        return 1;
    }
    std::printf("bytes read from the server per check (%d x %d bytes):\n", messages, size);
    std::printf("  (a) one new message: ours %lld, least %lld (STAT+UIDL+1 TOP): %.2fx (target <= 1.5); "
                "%.2f %% of a check that downloads every message (%lld; target <= 2 %%)\n",
                static_cast<long long>(oneBytes), static_cast<long long>(oneLeast), double(oneBytes) / double(oneLeast),
                100.0 * double(oneBytes) / double(today), static_cast<long long>(today));
    std::printf("  (b) first contact:   ours %lld, least %lld (STAT+UIDL+%d TOPs): %.2fx\n",
                static_cast<long long>(firstBytes), static_cast<long long>(firstLeast), messages,
                double(firstBytes) / double(firstLeast));
    // The time of (a) over the slow relay: each round one more new message.
    if (ourCheck(mail, far, host, user, pass, &ms) < 0) // first contact through this port
        return 1;
    QList<qint64> oursMs, leastMs;
    for (int r = 0; r < rounds && !g_interrupted; ++r) {
        dovecot.addMessage(user, makeMessage(++count, size));
        qint64 a = 0, b = 0;
        if (ourCheck(mail, far, host, user, pass, &a) < 0 || minimalCheck(far, host, user, pass, {count}, &b) < 0)
            return 1;
        oursMs << a;
        leastMs << b;
    }
    if (g_interrupted)
        return 130;
    std::printf("  time of (a) at RTT %d ms: ours %lld ms, bare pipelined STAT+UIDL+1 TOP %lld ms: %.2fx (target <= 1.5)\n",
                rttMs / 2 * 2, static_cast<long long>(median(oursMs)), static_cast<long long>(median(leastMs)),
                double(median(oursMs)) / double(median(leastMs)));
    return 0;
}
