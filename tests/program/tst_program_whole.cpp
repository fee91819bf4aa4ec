// The program as shipped, driven from outside: the built executable runs in a
// program folder of its own under a private Xvfb, against a private Dovecot,
// and is asked for a check through its menu with synthetic key presses.
// Everything is verified from outside the process: the windows the X server
// sees, what Dovecot logged, and what the program left in its settings file.
#include <QDir>
#include <QFileInfo>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QMap>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <csignal>
#include <sys/resource.h>
#include <cstdio>
#include <memory>

#include "X11Probe.h"
#include "platform/Cp932.h"
#include "tests/support/DovecotFixture.h"
#include "tests/support/FakePop3Server.h"
#include "tests/support/KeywordRecords.h"
#include "bench/pop3/DelayRelay.h"
#include "actions/ActionsUi.h"

using qp::test::DovecotFixture;

namespace {

const QString kMainTitle = QStringLiteral("ハルカゼ、お待ちしています　Ver 1.0");
const QString kBoardTitle = QStringLiteral("新着お知らせボード");
const QString kErrorTitle = QStringLiteral("エラー");
// The shaped window has no caption to show, but keeps its class name as its
// X window name, which is how it is told apart from the program's other
// frameless windows (menus, tool tips).
const QString kShapedTitle = QStringLiteral("Form1");
const QString kMailerPath = QStringLiteral("/opt/メール/mailer");

QByteArray cp932(const QString& text)
{
    const qp::cp932::Encoded e = qp::cp932::encode(text);
    if (!e.ok)
        qFatal("test text has no CP932 form: %s", qPrintable(text));
    return e.bytes;
}

// An INI or server file as the program writes them: CP932, CR LF.
QByteArray fileText(const QStringList& lines)
{
    QByteArray out;
    for (const QString& line : lines)
        out += cp932(line) + "\r\n";
    return out;
}

// Section EXEINI of a CP932 INI file, keys in upper case.
QMap<QString, QString> readIni(const QString& path, QString* raw)
{
    QMap<QString, QString> keys;
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return keys;
    const qp::cp932::Decoded text = qp::cp932::decode(f.readAll());
    *raw = text.text;
    bool inSection = false;
    for (QString line : text.text.split(QLatin1Char('\n'))) {
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
        if (line.startsWith(QLatin1Char('['))) {
            inSection = line.compare(QLatin1String("[EXEINI]"), Qt::CaseInsensitive) == 0;
            continue;
        }
        const qsizetype eq = line.indexOf(QLatin1Char('='));
        if (inSection && eq > 0)
            keys.insert(line.left(eq).toUpper(), line.mid(eq + 1));
    }
    return keys;
}

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

QList<QByteArray> sampleMessages()
{
    QList<QByteArray> out;
    QDir dir(QStringLiteral(QP_SOURCE_DIR "/tools/demo/mail"));
    const QStringList names = dir.entryList({QStringLiteral("*.eml")}, QDir::Files, QDir::Name);
    for (const QString& name : names) {
        QFile f(dir.filePath(name));
        if (f.open(QIODevice::ReadOnly))
            out.append(f.readAll());
    }
    return out;
}

// A program folder of the test's own with the built executable, started in
// that folder (so "ferrule.ini" is read from there), killed if still running
// when the test ends.
class ProgramRun {
public:
    struct Settings {
        QString pop3Server;
        QString account;
        QString password;
        bool apop = false;
        QStringList watchList;
    };

    bool prepare(const Settings& s, QString* error)
    {
        if (!m_dir.isValid()) {
            *error = QStringLiteral("no temp folder");
            return false;
        }
        const QDir built(QStringLiteral(QP_PROGRAM_DIR));
        const QDir prog(m_dir.path());
        // A copy, not a link: the program finds its folder from its own path.
        if (!QFile::copy(built.filePath(QStringLiteral("quillpost")), prog.filePath(QStringLiteral("quillpost")))) {
            *error = QStringLiteral("cannot copy the executable from ") + built.path();
            return false;
        }
        // The sounds and pictures are only read.
        for (const QString& name : built.entryList(QDir::AllEntries | QDir::NoDotAndDotDot)) {
            const QString lower = name.toLower();
            if (lower == QLatin1String("quillpost") || lower == QStringLiteral("★maildata") || lower == QLatin1String("ferrule.ini"))
                continue;
            QFile::link(built.filePath(name), prog.filePath(name));
        }
        const QString data = prog.filePath(QStringLiteral("★MailData"));
        QDir().mkpath(data);
        const QByteArray store = qp::test::storeBytes(s.watchList);
        // Manual checks only, the board stays open, NUMBER3 left out so that
        // shutdown is seen to write it, NUMBER5 on so that start-up is seen
        // to read it back into the check box.
        const bool ok = writeFile(data + QStringLiteral("/ini.ini"),
                                  fileText({QStringLiteral("[EXEINI]"), QStringLiteral("NUMBER=0"), QStringLiteral("NUMBER2=0"),
                                            QStringLiteral("NUMBER4=0"), QStringLiteral("NUMBER5=1"),
                                            QStringLiteral("NAME=") + kMailerPath}))
                        && writeFile(data + QStringLiteral("/iniIdPass.ini"),
                                     fileText({QStringLiteral("[EXEINI]"), QStringLiteral("NAME=") + s.account,
                                               QStringLiteral("NAME2=") + s.password, QStringLiteral("NAME3=1")}))
                        && writeFile(data + QStringLiteral("/ferruledata50.data"), store)
                        && writeFile(prog.filePath(QStringLiteral("ferrule.ini")),
                                     fileText({QStringLiteral("SMTP=127.0.0.1"), QStringLiteral("POP3=") + s.pop3Server,
                                               QStringLiteral("MAIL=reader@example.jp"),
                                               QStringLiteral("APOP=") + (s.apop ? QStringLiteral("1") : QStringLiteral("0"))}));
        if (!ok)
            *error = QStringLiteral("cannot write the settings files");
        return ok;
    }

    // The test's own X server and session bus, never the surrounding ones.
    static QProcessEnvironment environment(const QByteArray& display, const QString& bus)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DISPLAY"), QString::fromLatin1(display));
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), bus);
        env.remove(QStringLiteral("WAYLAND_DISPLAY"));
        return env;
    }

    bool start(const QByteArray& display, const QString& bus, QString* error)
    {
        QProcessEnvironment env = environment(display, bus);
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_dir.path()); // the instance lock goes with the folder
        m_process.setProcessEnvironment(env);
        m_process.setWorkingDirectory(m_dir.path());
        // Core files allowed as far as the hard limit goes: the program must
        // turn them off itself.
        m_process.setChildProcessModifier([] {
            rlimit limit{};
            if (::getrlimit(RLIMIT_CORE, &limit) == 0) {
                limit.rlim_cur = limit.rlim_max;
                ::setrlimit(RLIMIT_CORE, &limit);
            }
        });
        m_process.setStandardOutputFile(logPath());
        m_process.setStandardErrorFile(logPath(), QIODevice::Append);
        m_process.start(m_dir.filePath(QStringLiteral("quillpost")), {});
        if (!m_process.waitForStarted(10000)) {
            *error = QStringLiteral("the program did not start: ") + m_process.errorString();
            return false;
        }
        return true;
    }

    ~ProgramRun()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }

    // The same program started once more for the same folder: its exit
    // code, -1 when it is still running after 15 s (it is killed then).
    int startAgain()
    {
        QProcess again;
        again.setProcessEnvironment(m_process.processEnvironment());
        again.start(m_dir.filePath(QStringLiteral("quillpost")), {});
        return again.waitForFinished(15000) ? again.exitCode() : -1;
    }

    qint64 pid() const { return m_process.processId(); }
    bool running() { return m_process.state() == QProcess::Running && !m_process.waitForFinished(0); }
    bool waitForExit(int ms) { return m_process.waitForFinished(ms); }
    QProcess::ExitStatus exitStatus() const { return m_process.exitStatus(); }
    int exitCode() const { return m_process.exitCode(); }
    QString iniPath() const { return m_dir.filePath(QStringLiteral("★MailData/ini.ini")); }
    QStringList instanceLock() const { return QDir(m_dir.path()).entryList({QStringLiteral("quillpost-*")}); }
    QString logPath() const { return m_dir.filePath(QStringLiteral("program.log")); }
    QString output() const
    {
        QFile f(logPath());
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()).right(20000) : QString();
    }

private:
    QTemporaryDir m_dir;
    QProcess m_process;
};

} // namespace

class ProgramWhole : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void cleanupTestCase();

    void manualCheckShowsBoardAndAlertAndShutdownSaves();
    void wrongPasswordShowsErrorAndProgramGoesOn();
    void aBoxOpenedDuringASlowCheckDoesNotHoldIt();
    void endsAtOnceWhileTheServerIsSilent_data();
    void endsAtOnceWhileTheServerIsSilent();

private:
    QStringList windows(const QString& title);
    QStringList programWindows();
    QString waitForWindow(const QString& title, int timeoutMs);
    bool waitForNoWindow(const QString& title, int timeoutMs);
    bool xdotool(const QStringList& args, QString* out = nullptr);
    QSize windowSize(const QString& id);
    // moveKey: pressed in the open menu first (e.g. "Up" for its last item).
    void askForCheckThroughMenu(const QString& mainWindow, const QString& moveKey = QString());
    // Starts the program with these settings; mainWindow: its main window.
    void startProgram(const ProgramRun::Settings& settings, QString* mainWindow);
    void closeWindow(const QString& id);
    QString context() const;
    QString dunstctl(const QStringList& args);

    QProcess m_xvfb;
    // A session bus of the test's own with a notification service on it.
    QTemporaryDir m_busDir;
    QProcess m_bus;
    QProcess m_dunst;
    QProcess m_monitor; // the Notify calls on that bus, as they pass
    QByteArray m_monitored;
    QString m_busAddress;
    QByteArray m_display;
    QString m_xdotool;
    std::unique_ptr<DovecotFixture> m_dovecot;
    std::unique_ptr<ProgramRun> m_run;
};

void ProgramWhole::initTestCase()
{
    if (!QFile::exists(QStringLiteral(QP_PROGRAM_DIR "/quillpost")))
        QFAIL("the program is not built: " QP_PROGRAM_DIR "/quillpost");
    if (!DovecotFixture::available())
        QSKIP("needs root and dovecot (dovecot-pop3d)");
    m_xdotool = QStandardPaths::findExecutable(QStringLiteral("xdotool"));
    const QString xvfb = QStandardPaths::findExecutable(QStringLiteral("Xvfb"));
    if (m_xdotool.isEmpty() || xvfb.isEmpty())
        QSKIP("needs Xvfb and xdotool (tools/install-deps.sh)");

    // -displayfd: the server picks a free display and tells us which.
    m_xvfb.start(xvfb, {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"), QStringLiteral("0"),
                        QStringLiteral("1024x768x24"), QStringLiteral("-nolisten"), QStringLiteral("tcp")});
    QVERIFY2(m_xvfb.waitForStarted(5000), qPrintable(m_xvfb.errorString()));
    QElapsedTimer t;
    t.start();
    QByteArray number;
    while (!number.contains('\n') && t.elapsed() < 15000 && m_xvfb.state() == QProcess::Running) {
        m_xvfb.waitForReadyRead(500);
        number += m_xvfb.readAllStandardOutput();
    }
    QVERIFY2(number.contains('\n'), "Xvfb reported no display");
    m_display = ':' + number.trimmed();

    const QString dbusDaemon = QStandardPaths::findExecutable(QStringLiteral("dbus-daemon"));
    const QString dunst = QStandardPaths::findExecutable(QStringLiteral("dunst"));
    if (dbusDaemon.isEmpty() || dunst.isEmpty())
        QSKIP("needs dbus-daemon and dunst (tools/install-deps.sh)");
    const QString config = m_busDir.filePath(QStringLiteral("bus.conf"));
    QVERIFY(writeFile(config, "<busconfig><type>session</type><listen>unix:dir=" + m_busDir.path().toUtf8()
                                  + "</listen><policy context=\"default\"><allow send_destination=\"*\"/><allow receive_sender=\"*\"/>"
                                    "<allow own=\"*\"/></policy></busconfig>\n"));
    m_bus.start(dbusDaemon, {QStringLiteral("--config-file=") + config, QStringLiteral("--nofork"), QStringLiteral("--print-address=1")});
    QVERIFY2(m_bus.waitForStarted(5000) && m_bus.waitForReadyRead(5000), "dbus-daemon did not start");
    m_busAddress = QString::fromUtf8(m_bus.readLine()).trimmed();
    // Notifications stay until closed, so none ends between two checks.
    const QString dunstrc = m_busDir.filePath(QStringLiteral("dunstrc"));
    QVERIFY(writeFile(dunstrc, "[urgency_normal]\ntimeout = 0\n"));
    m_dunst.setProcessEnvironment(ProgramRun::environment(m_display, m_busAddress));
    m_dunst.start(dunst, {QStringLiteral("-config"), dunstrc});
    QVERIFY2(m_dunst.waitForStarted(5000), "dunst did not start");
    m_monitor.start(QStringLiteral("dbus-monitor"), {QStringLiteral("--address"), m_busAddress,
                                                     QStringLiteral("interface='org.freedesktop.Notifications',member='Notify'")});
    QVERIFY2(m_monitor.waitForStarted(5000), "dbus-monitor did not start");
    QTRY_COMPARE_WITH_TIMEOUT(dunstctl({QStringLiteral("count"), QStringLiteral("history")}), QStringLiteral("0"), 10000);
}

QString ProgramWhole::dunstctl(const QStringList& args)
{
    QProcess p;
    p.setProcessEnvironment(ProgramRun::environment(m_display, m_busAddress));
    p.start(QStringLiteral("dunstctl"), args);
    if (!p.waitForFinished(10000))
        p.kill();
    return QString::fromUtf8(p.readAllStandardOutput()).trimmed();
}

void ProgramWhole::cleanup()
{
    if (QTest::currentTestFailed())
        std::fprintf(stderr, "%s\n", context().toLocal8Bit().constData());
    if (QTest::currentTestFailed() && !m_display.isEmpty()) {
        // What the screen looked like, for whoever reads the failure.
        const QString shot = QStringLiteral(QP_BINARY_DIR "/program_whole-%1.png").arg(QString::fromLatin1(QTest::currentTestFunction()));
        QProcess import;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DISPLAY"), QString::fromLatin1(m_display));
        import.setProcessEnvironment(env);
        import.start(QStringLiteral("import"), {QStringLiteral("-window"), QStringLiteral("root"), shot});
        if (import.waitForFinished(10000) && import.exitCode() == 0)
            qWarning("screen at failure: %s", qPrintable(shot));
    }
    m_run.reset();
    m_dovecot.reset();
}

void ProgramWhole::cleanupTestCase()
{
    for (QProcess* p : {&m_monitor, &m_dunst, &m_bus}) {
        p->kill();
        p->waitForFinished(2000);
    }
    if (m_xvfb.state() != QProcess::NotRunning) {
        m_xvfb.terminate();
        if (!m_xvfb.waitForFinished(5000))
            m_xvfb.kill();
        m_xvfb.waitForFinished(2000);
    }
}

bool ProgramWhole::xdotool(const QStringList& args, QString* out)
{
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DISPLAY"), QString::fromLatin1(m_display));
    p.setProcessEnvironment(env);
    p.start(m_xdotool, args);
    if (!p.waitForFinished(10000)) {
        p.kill();
        p.waitForFinished(1000);
        return false;
    }
    if (out)
        *out = QString::fromUtf8(p.readAllStandardOutput());
    return p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

// Ids of the viewable windows whose name is exactly title.
QStringList ProgramWhole::windows(const QString& title)
{
    QString out;
    xdotool({QStringLiteral("search"), QStringLiteral("--onlyvisible"), QStringLiteral("--name"),
             QLatin1Char('^') + QRegularExpression::escape(title) + QLatin1Char('$')},
            &out);
    return out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

QString ProgramWhole::waitForWindow(const QString& title, int timeoutMs)
{
    QElapsedTimer t;
    t.start();
    do {
        const QStringList ids = windows(title);
        if (!ids.isEmpty())
            return ids.first();
        QThread::msleep(200);
    } while (t.elapsed() < timeoutMs);
    return {};
}

bool ProgramWhole::waitForNoWindow(const QString& title, int timeoutMs)
{
    QElapsedTimer t;
    t.start();
    while (!windows(title).isEmpty()) {
        if (t.elapsed() > timeoutMs)
            return false;
        QThread::msleep(200);
    }
    return true;
}

QSize ProgramWhole::windowSize(const QString& id)
{
    QString out;
    if (!xdotool({QStringLiteral("getwindowgeometry"), QStringLiteral("--shell"), id}, &out))
        return {};
    const auto value = [&](const char* key) {
        const QRegularExpression re(QStringLiteral("^%1=(\\d+)$").arg(QLatin1String(key)), QRegularExpression::MultilineOption);
        return re.match(out).captured(1).toInt();
    };
    return QSize(value("WIDTH"), value("HEIGHT"));
}

// There is no window manager under Xvfb: the window is given the input focus
// directly, then Alt+F opens "ファイル(&F)" with its first item,
// "メールチェック（手動）", highlighted, and Return chooses it. Each step
// waits for its effect, so a slow machine only makes it slower.
void ProgramWhole::startProgram(const ProgramRun::Settings& settings, QString* mainWindow)
{
    m_run = std::make_unique<ProgramRun>();
    QString error;
    QVERIFY2(m_run->prepare(settings, &error), qPrintable(error));
    QVERIFY2(m_run->start(m_display, m_busAddress, &error), qPrintable(error));
    *mainWindow = waitForWindow(kMainTitle, 20000);
    QVERIFY2(!mainWindow->isEmpty(), "the main window did not appear");
}

void ProgramWhole::askForCheckThroughMenu(const QString& mainWindow, const QString& moveKey)
{
    QElapsedTimer t;
    t.start();
    QString focused;
    do {
        QVERIFY(xdotool({QStringLiteral("windowfocus"), mainWindow}));
        QThread::msleep(100);
        xdotool({QStringLiteral("getwindowfocus")}, &focused);
    } while (focused.trimmed() != mainWindow && t.elapsed() < 5000);
    QVERIFY2(focused.trimmed() == mainWindow, "the main window did not take the input focus");

    // The pop-up menu is one more viewable window of the program (its name
    // is only in _NET_WM_NAME, which xdotool's name search does not read).
    const QStringList before = programWindows();
    QVERIFY(xdotool({QStringLiteral("key"), QStringLiteral("alt+f")}));
    QString menu;
    t.restart();
    while (menu.isEmpty() && t.elapsed() < 5000) {
        for (const QString& id : programWindows())
            if (!before.contains(id))
                menu = id;
        if (menu.isEmpty())
            QThread::msleep(100);
    }
    QVERIFY2(!menu.isEmpty(), "Alt+F did not open the menu ファイル(&F)");
    if (!moveKey.isEmpty())
        QVERIFY(xdotool({QStringLiteral("key"), moveKey}));
    QVERIFY(xdotool({QStringLiteral("key"), QStringLiteral("Return")}));
    t.restart();
    while (programWindows().contains(menu) && t.elapsed() < 5000)
        QThread::msleep(100);
    QVERIFY2(!programWindows().contains(menu), "the menu did not close on Return");
}

// Ids of the program's viewable windows (class "quillpost").
QStringList ProgramWhole::programWindows()
{
    QString out;
    xdotool({QStringLiteral("search"), QStringLiteral("--onlyvisible"), QStringLiteral("--classname"), QStringLiteral("^quillpost$")}, &out);
    return out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

void ProgramWhole::closeWindow(const QString& id)
{
    QString error;
    QVERIFY2(qp::test::sendDeleteWindow(m_display, id.toULong(), &error), qPrintable(error));
}

QString ProgramWhole::context() const
{
    QString s;
    if (m_run) {
        // The sound library's probing of absent sound cards says nothing
        // about the failure.
        QStringList lines = m_run->output().split(QLatin1Char('\n'));
        lines.removeIf([](const QString& l) { return l.startsWith(QLatin1String("ALSA lib ")); });
        s += QStringLiteral("--- program output ---\n") + lines.join(QLatin1Char('\n'));
    }
    if (m_dovecot)
        s += QStringLiteral("\n--- dovecot log ---\n") + m_dovecot->logText().right(3000);
    return s;
}

void ProgramWhole::manualCheckShowsBoardAndAlertAndShutdownSaves()
{
    const QList<QByteArray> messages = sampleMessages();
    QVERIFY2(messages.size() >= 2, "no sample messages in tools/demo/mail");

    m_dovecot = std::make_unique<DovecotFixture>(DovecotFixture::Options{false, {}});
    QVERIFY(m_dovecot->addUser(QStringLiteral("reader"), QStringLiteral("tanzaku-7")));
    for (const QByteArray& m : messages)
        QVERIFY(m_dovecot->addMessage(QStringLiteral("reader"), m));
    QVERIFY2(m_dovecot->start(), qPrintable(m_dovecot->errorString()));

    // The watched sender is found by the display name that reaches the
    // program in ISO-2022-JP: it only matches once the header is decoded and
    // the CP932 store is read back.
    QString main;
    startProgram({m_dovecot->serverText(), QStringLiteral("reader"), QStringLiteral("tanzaku-7"), false,
                  {QStringLiteral("nobody-here@example.org"), QStringLiteral("山田花子")}},
                 &main);
    if (QTest::currentTestFailed())
        return;
    QVERIFY2(windows(kBoardTitle).isEmpty(), "the board is up before any check");

    askForCheckThroughMenu(main);
    if (QTest::currentTestFailed())
        return;

    const QString board = waitForWindow(kBoardTitle, 20000);
    QVERIFY2(!board.isEmpty(), "the board \"新着お知らせボード\" did not appear");

    const QString shaped = waitForWindow(kShapedTitle, 10000);
    QVERIFY2(!shaped.isEmpty(), "the shaped window did not appear");
    QCOMPARE(windowSize(shaped), QSize(100, 100));
    // It is cut to its outline at its first tick, a second after it shows.
    int rectangles = 0;
    QElapsedTimer t;
    t.start();
    while ((rectangles = qp::test::boundingShapeRectangles(m_display, shaped.toULong())) <= 1 && t.elapsed() < 5000)
        QThread::msleep(200);
    QVERIFY2(rectangles > 1, qPrintable(QStringLiteral("the shaped window is not cut to an outline (%1 rectangles)").arg(rectangles)));
    // The probe tells shapes apart: the main window is a plain rectangle.
    QCOMPARE(qp::test::boundingShapeRectangles(m_display, main.toULong()), 0);
    qInfo("board %s, shaped window %s cut to %d rectangles", qPrintable(board), qPrintable(shaped), rectangles);

    // Every header read once, no message downloaded, none deleted.
    const int n = int(messages.size());
    QVERIFY2(m_dovecot->waitForLog(QStringLiteral("top=%1/").arg(n), 10000), "Dovecot logged no session that read every header");
    QVERIFY2(!m_dovecot->logText().contains(QRegularExpression(QStringLiteral("retr=[1-9]"))), "a message was downloaded");
    const QString log = m_dovecot->logText();
    QVERIFY2(log.contains(QStringLiteral("del=0/%1").arg(n)), "no session summary with del=0");
    QVERIFY2(!log.contains(QRegularExpression(QStringLiteral("del=[1-9]"))), "a message was deleted");

    // The watched sender's message reaches the desktop's notification
    // service once, with its actions (the service offers them); a second
    // check finds it remembered, in an owner-only file of the data folder.
    const auto notifyCalls = [this] {
        m_monitored += m_monitor.readAllStandardOutput();
        return QString::fromUtf8(m_monitored).split(QStringLiteral("member=Notify")).mid(1);
    };
    QTRY_COMPARE_WITH_TIMEOUT(dunstctl({QStringLiteral("count"), QStringLiteral("displayed")}), QStringLiteral("1"), 10000);
    QTRY_COMPARE(notifyCalls().size(), 1);
    for (const char* action : {"default", "表示", "mailer", "メールソフトを起動"})
        QVERIFY2(notifyCalls().first().contains(QStringLiteral("string \"%1\"").arg(QString::fromUtf8(action))),
                 qPrintable(notifyCalls().first()));
    const QFileInfo memory(QFileInfo(m_run->iniPath()).dir().filePath(QStringLiteral("notified.txt")));
    QTRY_VERIFY(memory.exists());
    QCOMPARE(int(memory.permissions()), int(QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                             | QFileDevice::ReadUser | QFileDevice::WriteUser));
    askForCheckThroughMenu(main);
    if (QTest::currentTestFailed())
        return;
    QTRY_COMPARE_WITH_TIMEOUT(m_dovecot->logText().count(QStringLiteral("del=0/%1").arg(n)), 2, 20000);
    QTest::qWait(1000);
    QCOMPARE(notifyCalls().size(), 1);
    // A click on it (its default action) brings the main window above the board.
    const auto mainAboveBoard = [&] {
        const QStringList stack = programWindows();
        return stack.indexOf(main) > stack.indexOf(board);
    };
    QVERIFY(xdotool({QStringLiteral("windowraise"), board}));
    QTRY_VERIFY(!mainAboveBoard());
    dunstctl({QStringLiteral("action"), QStringLiteral("0")});
    QTRY_VERIFY_WITH_TIMEOUT(mainAboveBoard(), 5000);
    dunstctl({QStringLiteral("close-all")});
    QTRY_COMPARE(dunstctl({QStringLiteral("count"), QStringLiteral("history")}), QStringLiteral("1"));
    const QString shown = dunstctl({QStringLiteral("history")}).simplified();
    QVERIFY2(shown.contains(QStringLiteral("\"summary\" : { \"type\" : \"s\", \"data\" : \"山田花子 <hanako@example.jp>\" }"))
                 && shown.contains(QStringLiteral("\"body\" : { \"type\" : \"s\", \"data\" : \"七夕の集まりについて\" }")),
             qPrintable(shown));

    // A second start for the same folder brings this one's main window
    // forward, above the board, and ends. (The search lists the windows
    // from the bottom of the stack up.)
    QVERIFY(xdotool({QStringLiteral("windowraise"), board}));
    QTRY_VERIFY(!mainAboveBoard());
    QCOMPARE(m_run->startAgain(), 0);
    QTRY_VERIFY_WITH_TIMEOUT(mainAboveBoard(), 5000);
    QCOMPARE(windows(kMainTitle), QStringList{main});

    // Tick "新着有りで設定メーラーを起動" by hand: the menu bar sits above the
    // 228 x 117 client area, and the box is at (200, 60) in it.
    const QSize mainSize = windowSize(main);
    QVERIFY2(mainSize.height() >= 117, qPrintable(QStringLiteral("main window %1x%2").arg(mainSize.width()).arg(mainSize.height())));
    const int menuBar = mainSize.height() - 117;
    qInfo("main window %dx%d, menu bar %d px", mainSize.width(), mainSize.height(), menuBar);
    QVERIFY(xdotool({QStringLiteral("mousemove"), QStringLiteral("--window"), main, QStringLiteral("208"),
                     QString::number(menuBar + 68), QStringLiteral("click"), QStringLiteral("1")}));
    QThread::msleep(300);

    closeWindow(main);
    if (QTest::currentTestFailed())
        return;
    QVERIFY2(m_run->waitForExit(10000), "the program did not end when its main window was closed");
    QCOMPARE(m_run->exitStatus(), QProcess::NormalExit);
    QVERIFY2(waitForNoWindow(kBoardTitle, 3000) && waitForNoWindow(kShapedTitle, 3000), "windows left behind");

    QString raw;
    const QMap<QString, QString> ini = readIni(m_run->iniPath(), &raw);
    QCOMPARE(ini.value(QStringLiteral("NAME")), kMailerPath);
    QCOMPARE(ini.value(QStringLiteral("NUMBER3")), QStringLiteral("1"));
    QCOMPARE(ini.value(QStringLiteral("NUMBER5")), QStringLiteral("1"));
    // Shutdown writes its three keys and leaves the others alone.
    QCOMPARE(ini.value(QStringLiteral("NUMBER2")), QStringLiteral("0"));
    QCOMPARE(ini.value(QStringLiteral("NUMBER4")), QStringLiteral("0"));
}

void ProgramWhole::wrongPasswordShowsErrorAndProgramGoesOn()
{
    const QList<QByteArray> messages = sampleMessages();
    // An instance of its own: Dovecot delays logins from an address that has
    // just failed one.
    m_dovecot = std::make_unique<DovecotFixture>(DovecotFixture::Options{false, {}});
    QVERIFY(m_dovecot->addUser(QStringLiteral("reader"), QStringLiteral("right-one")));
    for (const QByteArray& m : messages)
        QVERIFY(m_dovecot->addMessage(QStringLiteral("reader"), m));
    QVERIFY2(m_dovecot->start(), qPrintable(m_dovecot->errorString()));

    QString main;
    startProgram({m_dovecot->serverText(), QStringLiteral("reader"), QStringLiteral("wrong-one"), true,
                  {QStringLiteral("hanako@example.jp")}},
                 &main);
    if (QTest::currentTestFailed())
        return;

    askForCheckThroughMenu(main);
    if (QTest::currentTestFailed())
        return;

    const QString box = waitForWindow(kErrorTitle, 20000);
    QVERIFY2(!box.isEmpty(), "no \"エラー\" box after a refused login");
    QVERIFY(windows(kBoardTitle).isEmpty());
    QVERIFY(windows(kShapedTitle).isEmpty());

    // Answer the box; the program goes on with its main window.
    QVERIFY(xdotool({QStringLiteral("windowfocus"), box}));
    QThread::msleep(300);
    QVERIFY(xdotool({QStringLiteral("key"), QStringLiteral("Return")}));
    QVERIFY2(waitForNoWindow(kErrorTitle, 5000), "the error box did not close on Return");
    QThread::msleep(1000);
    QVERIFY2(m_run->running(), "the program ended after the error box");
    QCOMPARE(windows(kMainTitle), QStringList{main});
    QVERIFY(windows(kBoardTitle).isEmpty());
    // The box came before the connection was closed; Dovecot logs the
    // session once it is.
    QVERIFY2(m_dovecot->waitForLog(QStringLiteral("auth failed"), 10000), "Dovecot logged no refused login");
    QVERIFY2(!m_dovecot->logText().contains(QStringLiteral("top=")), "messages were read after a refused login");

    // The account file holds the password: the program leaves no core dump.
    QFile limits(QStringLiteral("/proc/%1/limits").arg(m_run->pid()));
    QVERIFY(limits.open(QIODevice::ReadOnly));
    QByteArray coreLimit;
    for (const QByteArray& line : limits.readAll().split('\n'))
        coreLimit = line.startsWith("Max core file size") ? line : coreLimit;
    QVERIFY2(coreLimit.simplified().startsWith("Max core file size 0 "), coreLimit.constData());

    // Still answering: the desktop session's end (SIGTERM) runs the usual shutdown.
    ::kill(pid_t(m_run->pid()), SIGTERM);
    QVERIFY2(m_run->waitForExit(10000), "the program did not end on SIGTERM");
    QCOMPARE(m_run->exitStatus(), QProcess::NormalExit);
    QString raw;
    const QMap<QString, QString> ini = readIni(m_run->iniPath(), &raw);
    QCOMPARE(ini.value(QStringLiteral("NUMBER3")), QStringLiteral("0"));
    QCOMPARE(ini.value(QStringLiteral("NUMBER5")), QStringLiteral("1"));
    QCOMPARE(ini.value(QStringLiteral("NAME")), kMailerPath);
}

// A server half a second away each way makes the check take seconds; the
// homepage question, a modal box, opened meanwhile does not hold it: the
// board comes while the box is still open.
void ProgramWhole::aBoxOpenedDuringASlowCheckDoesNotHoldIt()
{
    m_dovecot = std::make_unique<DovecotFixture>(DovecotFixture::Options{false, {}});
    QVERIFY(m_dovecot->addUser(QStringLiteral("reader"), QStringLiteral("slow-pw")));
    for (const QByteArray& m : sampleMessages())
        QVERIFY(m_dovecot->addMessage(QStringLiteral("reader"), m));
    QVERIFY2(m_dovecot->start(), qPrintable(m_dovecot->errorString()));
    const quint16 dovecotPort = m_dovecot->serverText().section(QLatin1Char(':'), -1).toUShort();
    DelayRelay relay(dovecotPort, 500);
    QVERIFY(relay.start());
    QString main;
    startProgram({QStringLiteral("127.0.0.1:%1").arg(relay.port()), QStringLiteral("reader"), QStringLiteral("slow-pw"),
                  false, {}},
                 &main);
    if (QTest::currentTestFailed())
        return;
    askForCheckThroughMenu(main);
    if (QTest::currentTestFailed())
        return;
    askForCheckThroughMenu(main, QStringLiteral("Up")); // 作者のホームページ, the last item
    if (QTest::currentTestFailed())
        return;
    const QString box = waitForWindow(qp::kHomepageCaption, 5000);
    QVERIFY2(!box.isEmpty(), "the homepage question did not open");
    QVERIFY2(windows(kBoardTitle).isEmpty(), "the check was over before the box opened: not slow enough");
    QVERIFY2(!waitForWindow(kBoardTitle, 20000).isEmpty(), "no board while the box was open");
    QCOMPARE(windows(qp::kHomepageCaption), QStringList{box});
    QVERIFY(xdotool({QStringLiteral("windowfocus"), box}));
    QVERIFY(xdotool({QStringLiteral("key"), QStringLiteral("Escape")}));
    QVERIFY2(waitForNoWindow(qp::kHomepageCaption, 5000), "the box did not close");
}

void ProgramWhole::endsAtOnceWhileTheServerIsSilent_data()
{
    QTest::addColumn<bool>("bySignal");
    QTest::newRow("SIGTERM") << true;
    QTest::newRow("close box") << false;
    // Last of all: the test's X server does not come back.
    QTest::newRow("X server gone") << false;
}

// A server that accepts and never speaks holds the check for its whole
// reply time-out (30 s); meanwhile the window answers, and the program ends
// at once when asked or when its X server goes away, with its values
// written and its instance lock removed.
void ProgramWhole::endsAtOnceWhileTheServerIsSilent()
{
    QFETCH(bool, bySignal);
    qp::test::FakePop3Server server;
    server.greeting(QByteArray(), qp::test::FakePop3Server::Then::Hang);
    QVERIFY(server.start());
    QString main;
    startProgram({server.serverText(), QStringLiteral("reader"), QStringLiteral("pw"), false, {}}, &main);
    if (QTest::currentTestFailed())
        return;

    askForCheckThroughMenu(main);
    if (QTest::currentTestFailed())
        return;
    QTRY_VERIFY_WITH_TIMEOUT(server.connections() == 1, 10000);
    // The menu opens during the check; the second check it asks for is dropped.
    askForCheckThroughMenu(main);
    if (QTest::currentTestFailed())
        return;
    QThread::msleep(500);
    QCOMPARE(server.connections(), 1);

    QElapsedTimer t;
    t.start();
    if (bySignal)
        ::kill(pid_t(m_run->pid()), SIGTERM);
    else if (QTest::currentDataTag() == QByteArray("close box"))
        closeWindow(main);
    else
        m_xvfb.kill();
    QVERIFY2(m_run->waitForExit(10000), "the program did not end during a check");
    qInfo("ended %lld ms after being asked to", t.elapsed());
    QVERIFY2(t.elapsed() < 2000, "the program took longer than 2 s to end");
    QCOMPARE(m_run->exitStatus(), QProcess::NormalExit);
    QString raw;
    const QMap<QString, QString> ini = readIni(m_run->iniPath(), &raw);
    QCOMPARE(ini.value(QStringLiteral("NAME")), kMailerPath);
    QCOMPARE(ini.value(QStringLiteral("NUMBER3")), QStringLiteral("0"));
    QCOMPARE(ini.value(QStringLiteral("NUMBER5")), QStringLiteral("1"));
    QCOMPARE(m_run->instanceLock(), QStringList());
}

QTEST_GUILESS_MAIN(ProgramWhole)
#include "tst_program_whole.moc"
