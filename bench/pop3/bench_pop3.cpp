// How much our mail layer costs over the bare protocol.
//
// Fills a private Dovecot mailbox with M messages of S bytes, then times
// (a) our mail-library calls doing for every message what a check does
//     (status, size, retrieval), and
// (b) a minimal client on plain POSIX sockets sending the same commands
//     one after another and only looking for the end of each reply.
// Each side runs in a child process of its own so that its peak memory is
// its own. Prints both times (median of the rounds), the ratio ours/reference
// and our peak memory for the full mailbox and for one a tenth its size: the
// two should match, as the layer holds one message at a time.
//
//   bench_pop3 [--messages M] [--size S] [--rounds R]      (needs root and dovecot)
#include <QCoreApplication>
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

#include "mail/NMailLayer.h"
#include "tests/support/DovecotFixture.h"

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
    bool send(const QByteArray& c)
    {
        const QByteArray line = c + "\r\n";
        return ::write(m_fd, line.constData(), size_t(line.size())) == line.size();
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
        m_buf.resize(at + std::max<qsizetype>(n, 0));
        return n > 0;
    }
    int m_fd = -1;
    QByteArray m_buf;
    qsizetype m_pos = 0;
    QByteArray m_last;
};

int runReference(const QString& host, int port, const QString& user, const QString& pass, qint64* bytes)
{
    RawClient c;
    if (!c.open(host.toLatin1().constData(), port))
        return -1;
    if (!c.send("CAPA") || c.readMulti() < 0 || !c.send("USER " + user.toUtf8()) || !c.readLine()
        || !c.send("PASS " + pass.toUtf8()) || !c.readLine() || !c.send("CAPA") || c.readMulti() < 0
        || !c.send("STAT") || !c.readLine())
        return -1;
    const int count = c.last().split(' ').value(1).toInt();
    for (int m = 1; m <= count; ++m) {
        const QByteArray n = QByteArray::number(m);
        if (!c.send("TOP " + n + " 0") || c.readMulti() < 0 || !c.send("LIST " + n) || !c.readLine()
            || !c.send("RETR " + n))
            return -1;
        const qsizetype got = c.readMulti();
        if (got < 0)
            return -1;
        *bytes += got;
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
        mail.NMailPop3GetMailStatus(h, m, subject, date, from, header, 0);
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
    QByteArray header, message;
    for (int m = 1; m <= count; ++m) {
        qint64 size = 0;
        if (!c.header(m, &header) || !c.list(m, &size) || !c.retrieve(m, &message))
            return -1;
        *bytes += message.size();
    }
    c.quit();
    return count;
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
    const int count = ours ? runOurs(mail, a.at(3) + ':' + a.at(4), a.at(5), a.at(6), &bytes)
                      : a.at(2) == QLatin1String("client")
                          ? runClient(a.at(3), a.at(4).toInt(), a.at(5), a.at(6), &bytes)
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

Run spawn(const QString& side, const qp::test::DovecotFixture& d, const QString& user, const QString& pass)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    p.start(QCoreApplication::applicationFilePath(),
            {QStringLiteral("--child"), side, d.host(), QString::number(d.pop3Port()), user, pass});
    Run r;
    if (!p.waitForFinished(600000) || p.exitCode() != 0)
        return r;
    const QList<QByteArray> f = p.readAllStandardOutput().trimmed().split(' ');
    r.count = f.value(0).toInt();
    r.ms = f.value(1).toLongLong();
    r.baseKb = f.value(2).toLong();
    r.peakKb = f.value(3).toLong();
    r.cpuUs = f.value(5).toLongLong();
    return r;
}

qint64 median(QList<qint64> v)
{
    std::sort(v.begin(), v.end());
    return v.at(v.size() / 2);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() >= 7 && args.at(1) == QLatin1String("--child"))
        return child(args);

    int messages = 1000, size = 10 * 1024, rounds = 9, holdSeconds = 0;
    for (int i = 1; i + 1 < args.size(); i += 2) {
        if (args.at(i) == QLatin1String("--messages"))
            messages = args.at(i + 1).toInt();
        else if (args.at(i) == QLatin1String("--size"))
            size = args.at(i + 1).toInt();
        else if (args.at(i) == QLatin1String("--rounds"))
            rounds = std::max(1, args.at(i + 1).toInt());
        else if (args.at(i) == QLatin1String("--hold")) // keep the server up for profiling a child by hand
            holdSeconds = args.at(i + 1).toInt();
    }
    if (!qp::test::DovecotFixture::available()) {
        std::fprintf(stderr, "needs dovecot and root\n");
        return 2;
    }
    // Plain POP3 on both sides: the comparison is about the protocol layer,
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
    if (!dovecot.start()) {
        std::fprintf(stderr, "dovecot: %s\n", qPrintable(dovecot.errorString()));
        return 1;
    }
    // The first session makes Dovecot's index; neither side should pay it.
    spawn(QStringLiteral("ref"), dovecot, QStringLiteral("big"), pass);
    spawn(QStringLiteral("ref"), dovecot, QStringLiteral("small"), pass);
    if (holdSeconds > 0) {
        std::printf("holding: %s --child ours|ref %s %d big %s\n", qPrintable(QCoreApplication::applicationFilePath()),
                    qPrintable(dovecot.host()), dovecot.pop3Port(), qPrintable(pass));
        std::fflush(stdout);
        // Until the time is up or SIGINT/SIGTERM: either way the fixture's
        // destructor then stops Dovecot.
        sigset_t stop;
        sigemptyset(&stop);
        sigaddset(&stop, SIGINT);
        sigaddset(&stop, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &stop, nullptr);
        const timespec wait{holdSeconds, 0};
        sigtimedwait(&stop, nullptr, &wait);
        return 0;
    }

    // Rounds alternate the two sides so that load from elsewhere on the
    // machine hits both alike; medians and best runs are both shown.
    QList<qint64> ours, ref, oursCpu, refCpu;
    long peakBig = 0, baseBig = 0;
    for (int r = 0; r < rounds; ++r) {
        const Run o = spawn(QStringLiteral("ours"), dovecot, QStringLiteral("big"), pass);
        const Run f = spawn(QStringLiteral("ref"), dovecot, QStringLiteral("big"), pass);
        if (o.count != messages || f.count != messages) {
            std::fprintf(stderr, "a run failed (ours %d, reference %d messages)\n", o.count, f.count);
            return 1;
        }
        ours << o.ms;
        ref << f.ms;
        oursCpu << o.cpuUs / 1000;
        refCpu << f.cpuUs / 1000;
        peakBig = std::max(peakBig, o.peakKb);
        baseBig = o.baseKb;
    }
    const Run small = spawn(QStringLiteral("ours"), dovecot, QStringLiteral("small"), pass);

    const qint64 o = median(ours), f = median(ref);
    const qint64 oBest = *std::min_element(ours.begin(), ours.end());
    const qint64 fBest = *std::min_element(ref.begin(), ref.end());
    std::printf("mailbox: %d messages x %d bytes, %d rounds\n", messages, size, rounds);
    std::printf("ours:      median %lld ms, best %lld ms, CPU median %lld ms\n", static_cast<long long>(o),
                static_cast<long long>(oBest), static_cast<long long>(median(oursCpu)));
    std::printf("reference: median %lld ms, best %lld ms, CPU median %lld ms\n", static_cast<long long>(f),
                static_cast<long long>(fBest), static_cast<long long>(median(refCpu)));
    std::printf("ratio ours/reference: %.3f by median, %.3f by best run (target <= 1.2)\n",
                f > 0 ? double(o) / double(f) : 0.0, fBest > 0 ? double(oBest) / double(fBest) : 0.0);
    std::printf("our peak memory (VmHWM): %ld kB for %d messages, %ld kB for %d messages (%ld kB before the check)\n",
                peakBig, messages, small.peakKb, std::max(1, messages / 10), baseBig);
    return 0;
}
