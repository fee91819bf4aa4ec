#include "DovecotFixture.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

#include <cerrno>
#include <csignal>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qp::test {

namespace {

// Dovecot runs the mail processes as this user (static userdb).
constexpr const char* kMailUser = "nobody";
constexpr const char* kMailGroup = "nogroup";

quint16 freePort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress(QStringLiteral("127.0.0.1")), 0))
        return 0;
    return probe.serverPort();
}

// A master that has exited but was not reaped (no init reaping in some
// containers) counts as gone.
bool processAlive(pid_t pid)
{
    if (pid <= 0 || (::kill(pid, 0) != 0 && errno != EPERM))
        return false;
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (stat.open(QIODevice::ReadOnly)) {
        const QByteArray s = stat.readAll();
        const qsizetype close = s.lastIndexOf(')');
        if (close >= 0 && close + 2 < s.size() && s.at(close + 2) == 'Z')
            return false;
    }
    return true;
}

} // namespace

DovecotFixture::DovecotFixture() : DovecotFixture(Options{}) {}

DovecotFixture::DovecotFixture(const Options& options)
    : m_options(options), m_dir(QDir::tempPath() + QStringLiteral("/qp-dovecot-XXXXXX"))
{
    m_prepared = prepare();
}

DovecotFixture::~DovecotFixture()
{
    stop();
}

bool DovecotFixture::available()
{
    return ::geteuid() == 0 && !QStandardPaths::findExecutable(QStringLiteral("dovecot"), {QStringLiteral("/usr/sbin"), QStringLiteral("/usr/local/sbin")}).isEmpty()
           && !QStandardPaths::findExecutable(QStringLiteral("openssl")).isEmpty();
}

bool DovecotFixture::prepare()
{
    if (!m_dir.isValid()) {
        m_error = QStringLiteral("cannot make temp folder: ") + m_dir.errorString();
        return false;
    }
    // Dovecot's auth process runs as user dovecot and must read the passwd
    // file; mkdtemp's 0700 would make every login fail.
    ::chmod(QFile::encodeName(m_dir.path()).constData(), 0755);
    const QDir d(m_dir.path());
    for (const char* sub : {"run", "state", "home", "tls"}) {
        if (!d.mkpath(QString::fromLatin1(sub))) {
            m_error = QStringLiteral("cannot make ") + QString::fromLatin1(sub);
            return false;
        }
    }
    ::chmod(QFile::encodeName(d.filePath(QStringLiteral("home"))).constData(), 0755);
    ::chmod(QFile::encodeName(d.filePath(QStringLiteral("tls"))).constData(), 0755);
    if (m_options.tls) {
        if (!m_ca.create(d.filePath(QStringLiteral("tls")))
            || !m_ca.issue(QStringLiteral("server"), {QStringLiteral("localhost"), QStringLiteral("127.0.0.1")})) {
            m_error = m_ca.errorString();
            return false;
        }
    }
    QFile log(d.filePath(QStringLiteral("dovecot.log")));
    if (!log.open(QIODevice::WriteOnly | QIODevice::Append)) {
        m_error = QStringLiteral("cannot make the log file");
        return false;
    }
    return writePasswd();
}

QString DovecotFixture::maildir(const QString& user) const
{
    return m_dir.path() + QStringLiteral("/home/") + user + QStringLiteral("/Maildir");
}

void DovecotFixture::chownToMailUser(const QString& path) const
{
    if (::geteuid() != 0)
        return;
    const passwd* pw = ::getpwnam(kMailUser);
    const group* gr = ::getgrnam(kMailGroup);
    if (pw && gr && ::chown(QFile::encodeName(path).constData(), pw->pw_uid, gr->gr_gid) != 0)
        qWarning("chown %s failed", qPrintable(path));
}

bool DovecotFixture::ensureHome(const QString& user)
{
    const QString home = m_dir.path() + QStringLiteral("/home/") + user;
    const QString md = maildir(user);
    for (const QString& p : {home, md, md + QStringLiteral("/new"), md + QStringLiteral("/cur"), md + QStringLiteral("/tmp")}) {
        if (!QDir().mkpath(p)) {
            m_error = QStringLiteral("cannot make ") + p;
            return false;
        }
        chownToMailUser(p);
    }
    return true;
}

bool DovecotFixture::writePasswd()
{
    QByteArray text;
    for (const auto& [name, password] : m_users)
        text += name.toUtf8() + ":{PLAIN}" + password.toUtf8() + "\n";
    // Replace, never rewrite in place: a running Dovecot may be reading it.
    const QString path = m_dir.path() + QStringLiteral("/passwd");
    QFile f(path + QStringLiteral(".new"));
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(text) != text.size()) {
        m_error = QStringLiteral("cannot write passwd");
        return false;
    }
    f.close();
    QFile::remove(path);
    if (!QFile::rename(path + QStringLiteral(".new"), path)) {
        m_error = QStringLiteral("cannot replace passwd");
        return false;
    }
    ::chmod(QFile::encodeName(path).constData(), 0644);
    return true;
}

bool DovecotFixture::addUser(const QString& name, const QString& password)
{
    if (!m_prepared)
        return false;
    if (name.isEmpty() || name.contains(QLatin1Char(':')) || name.contains(QLatin1Char('/'))
        || password.contains(QLatin1Char('\n'))) {
        m_error = QStringLiteral("bad user name or password");
        return false;
    }
    for (auto& u : m_users) {
        if (u.first == name) {
            u.second = password;
            return writePasswd();
        }
    }
    m_users.append({name, password});
    return ensureHome(name) && writePasswd();
}

bool DovecotFixture::addMessage(const QString& user, const QByteArray& message)
{
    return addMessage(user, message, QString());
}

QMap<QString, QString> DovecotFixture::maildirFlags(const QString& user) const
{
    QMap<QString, QString> flags;
    for (const char* sub : {"new", "cur"}) {
        const QDir d(maildir(user) + QLatin1Char('/') + QLatin1String(sub));
        for (const QString& name : d.entryList(QDir::Files)) {
            const qsizetype info = name.indexOf(QStringLiteral(":2,"));
            // Dovecot may add ",S=<size>" fields to the unique part; they are no flag.
            const QString unique = name.left(info < 0 ? name.size() : info).section(QLatin1Char(','), 0, 0);
            flags[unique] = info < 0 ? QString() : name.mid(info + 3);
        }
    }
    return flags;
}

bool DovecotFixture::addMessage(const QString& user, const QByteArray& message, const QString& flags)
{
    if (!m_prepared || !ensureHome(user))
        return false;
    // Dovecot orders new mail by the time stamp at the front of the name, so
    // a counter there keeps the server's numbering in the order of adding.
    ++m_messageCounter;
    const QString name = QStringLiteral("%1.M%2P%3.qptest")
                             .arg(1600000000 + m_messageCounter)
                             .arg(m_messageCounter)
                             .arg(QCoreApplication::applicationPid());
    const QString tmp = maildir(user) + QStringLiteral("/tmp/") + name;
    QFile f(tmp);
    if (!f.open(QIODevice::WriteOnly) || f.write(message) != message.size()) {
        m_error = QStringLiteral("cannot write message ") + tmp;
        return false;
    }
    f.close();
    chownToMailUser(tmp);
    const QString target = flags.isNull() ? QStringLiteral("/new/") + name
                                          : QStringLiteral("/cur/") + name + QStringLiteral(":2,") + flags;
    if (!QFile::rename(tmp, maildir(user) + target)) {
        m_error = QStringLiteral("cannot deliver message ") + name;
        return false;
    }
    return true;
}

bool DovecotFixture::writeConfig()
{
    const QString d = m_dir.path();
    QString conf;
    conf += QStringLiteral("base_dir = %1/run\n").arg(d);
    conf += QStringLiteral("state_dir = %1/state\n").arg(d);
    conf += QStringLiteral("log_path = %1/dovecot.log\n").arg(d);
    conf += QStringLiteral("protocols = pop3 imap\n");
    conf += QStringLiteral("listen = 127.0.0.1\n");
    const bool oauth = !m_oauthIntrospectionUrl.isEmpty();
    conf += oauth ? QStringLiteral("auth_mechanisms = plain apop xoauth2 oauthbearer\n")
                  : QStringLiteral("auth_mechanisms = plain apop\n");
    conf += QStringLiteral("disable_plaintext_auth = no\n");
    conf += QStringLiteral("mail_location = maildir:~/Maildir\n");
    if (m_options.tls) {
        conf += QStringLiteral("ssl = yes\n");
        conf += QStringLiteral("ssl_cert = <%1\n").arg(m_ca.certPath(QStringLiteral("server")));
        conf += QStringLiteral("ssl_key = <%1\n").arg(m_ca.keyPath(QStringLiteral("server")));
    } else {
        conf += QStringLiteral("ssl = no\n");
    }
    if (oauth) {
        const QString oauthConf = QStringLiteral("introspection_mode = post\nintrospection_url = %1\n"
                                                 "username_attribute = username\nactive_attribute = active\n"
                                                 "active_value = true\nforce_introspection = yes\n")
                                      .arg(m_oauthIntrospectionUrl);
        QFile f(d + QStringLiteral("/oauth2.conf"));
        if (!f.open(QIODevice::WriteOnly) || f.write(oauthConf.toUtf8()) < 0)
            return false;
        conf += QStringLiteral("passdb {\n  driver = oauth2\n  mechanisms = xoauth2 oauthbearer\n  args = %1/oauth2.conf\n}\n")
                    .arg(d);
    }
    conf += QStringLiteral("passdb {\n  driver = passwd-file\n  args = %1/passwd\n}\n").arg(d);
    conf += QStringLiteral("userdb {\n  driver = static\n  args = uid=%1 gid=%2 home=%3/home/%u%4\n}\n")
                .arg(QString::fromLatin1(kMailUser), QString::fromLatin1(kMailGroup), d,
                     oauth ? QStringLiteral(" allow_all_users=yes") : QString());
    conf += QStringLiteral("service pop3-login {\n");
    conf += QStringLiteral("  inet_listener pop3 {\n    address = 127.0.0.1\n    port = %1\n  }\n").arg(m_pop3Port);
    if (m_options.tls)
        conf += QStringLiteral("  inet_listener pop3s {\n    address = 127.0.0.1\n    port = %1\n    ssl = yes\n  }\n").arg(m_pop3sPort);
    else
        conf += QStringLiteral("  inet_listener pop3s {\n    port = 0\n  }\n");
    conf += QStringLiteral("}\n");
    conf += QStringLiteral("service imap-login {\n");
    conf += QStringLiteral("  inet_listener imap {\n    address = 127.0.0.1\n    port = %1\n  }\n").arg(m_imapPort);
    if (m_options.tls)
        conf += QStringLiteral("  inet_listener imaps {\n    address = 127.0.0.1\n    port = %1\n    ssl = yes\n  }\n").arg(m_imapsPort);
    else
        conf += QStringLiteral("  inet_listener imaps {\n    port = 0\n  }\n");
    conf += QStringLiteral("}\n");
    conf += m_options.extraConfig + QLatin1Char('\n');

    QFile f(d + QStringLiteral("/dovecot.conf"));
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(conf.toUtf8()) < 0) {
        m_error = QStringLiteral("cannot write dovecot.conf");
        return false;
    }
    return true;
}

bool DovecotFixture::waitForGreeting(int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!deadline.hasExpired()) {
        QTcpSocket s;
        s.connectToHost(host(), m_pop3Port);
        if (s.waitForConnected(500)) {
            QByteArray line;
            while (!line.contains('\n') && s.waitForReadyRead(1000))
                line += s.readAll();
            if (line.startsWith("+OK"))
                return true;
        }
        QThread::msleep(20);
    }
    return false;
}

int DovecotFixture::masterPid() const
{
    QFile f(m_dir.path() + QStringLiteral("/run/master.pid"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    bool ok = false;
    const int pid = f.readAll().trimmed().toInt(&ok);
    return ok ? pid : -1;
}

QList<int> DovecotFixture::mailProcesses(const QString& user) const
{
    QList<int> pids;
    const int master = masterPid();
    const QRegularExpression login(QStringLiteral("Login: user=<%1>.*mpid=(\\d+)").arg(QRegularExpression::escape(user)));
    for (auto it = login.globalMatch(logText()); it.hasNext();) {
        const int pid = it.next().captured(1).toInt();
        // Field 4 of stat is the parent: a pid taken over by another
        // process since is not this server's.
        QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
        if (pid > 0 && master > 0 && stat.open(QIODevice::ReadOnly)) {
            const QByteArray text = stat.readAll();
            const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
            if (fields.size() > 1 && fields[1].toInt() == master && !pids.contains(pid))
                pids << pid;
        }
    }
    return pids;
}

bool DovecotFixture::start()
{
    if (!m_prepared)
        return false;
    if (m_running)
        return true;
    const QString logPath = m_dir.path() + QStringLiteral("/dovecot.log");
    // A port found free may be taken again before Dovecot binds it: retry
    // with fresh ports.
    for (int attempt = 0; attempt < 3; ++attempt) {
        // Four distinct ports: each probe's listener is closed before the
        // next, so the kernel may hand out the same one twice.
        QList<quint16> ports;
        for (int tries = 0; ports.size() < 4 && tries < 100; ++tries) {
            const quint16 p = freePort();
            if (p && !ports.contains(p))
                ports << p;
        }
        if (ports.size() < 4) {
            m_error = QStringLiteral("no free port");
            return false;
        }
        m_pop3Port = ports.at(0);
        m_pop3sPort = ports.at(1);
        m_imapPort = ports.at(2);
        m_imapsPort = ports.at(3);
        if (!writeConfig())
            return false;
        // stdin/stdout to /dev/null, stderr appended to the log: a pipe on
        // its stderr would hang us, since the daemon keeps it open.
        QProcess p;
        p.setStandardInputFile(QProcess::nullDevice());
        p.setStandardOutputFile(QProcess::nullDevice());
        p.setStandardErrorFile(logPath, QIODevice::Append);
        p.start(QStringLiteral("dovecot"), {QStringLiteral("-c"), m_dir.path() + QStringLiteral("/dovecot.conf")});
        if (!p.waitForStarted(5000)) {
            m_error = QStringLiteral("dovecot did not start: ") + p.errorString();
            return false;
        }
        // The foreground process exits once the master has forked away.
        if (!p.waitForFinished(10000) || p.exitCode() != 0) {
            m_error = QStringLiteral("dovecot exited with %1: %2").arg(p.exitCode()).arg(logText().right(2000));
            stop();
            continue;
        }
        m_running = true;
        if (waitForGreeting(10000))
            return true;
        m_error = QStringLiteral("no greeting from dovecot: ") + logText().right(2000);
        stop();
    }
    return false;
}

void DovecotFixture::stop()
{
    const pid_t pid = masterPid();
    if (pid > 0 && processAlive(pid)) {
        ::kill(pid, SIGTERM);
        QDeadlineTimer deadline(5000);
        while (processAlive(pid) && !deadline.hasExpired())
            QThread::msleep(20);
        if (processAlive(pid))
            ::kill(pid, SIGKILL);
    }
    QFile::remove(m_dir.path() + QStringLiteral("/run/master.pid"));
    m_running = false;
}

QString DovecotFixture::serverText(bool implicitTls) const
{
    return QStringLiteral("%1:%2").arg(host()).arg(implicitTls ? m_pop3sPort : m_pop3Port);
}

QString DovecotFixture::imapServerText(bool implicitTls) const
{
    return QStringLiteral("%1://%2:%3")
        .arg(implicitTls ? QStringLiteral("imaps") : QStringLiteral("imap"), host())
        .arg(implicitTls ? m_imapsPort : m_imapPort);
}

QList<QSslCertificate> DovecotFixture::caCertificates() const
{
    if (!m_options.tls)
        return {};
    return QSslCertificate::fromPath(m_ca.caPath());
}

QString DovecotFixture::logText() const
{
    QFile f(m_dir.path() + QStringLiteral("/dovecot.log"));
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(f.readAll());
}

bool DovecotFixture::waitForLog(const QString& needle, int timeoutMs) const
{
    QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        if (logText().contains(needle))
            return true;
        if (deadline.hasExpired())
            return false;
        QThread::msleep(20);
    }
}

} // namespace qp::test
