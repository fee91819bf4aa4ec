// Shutdown ends the process at once, so it is tested in a child: the test
// binary runs itself with "--child <folder> <mode>", which starts the main
// window on fakes, plays a tune, and ends: by the close box (with pending
// changes in the open check settings window), a signal, or the session
// manager. The child records each sound command and
// mail-library call, with what "ini.ini" held at that moment, in a journal
// file that the parent reads after the child is gone.
#include "AppFakes.h"

#include "app/AppServices.h"
#include "app/MainForm.h"
#include "platform/AtomicFile.h"
#include "platform/Cp932.h"
#include "platform/MessageBoxes.h"
#include "platform/ProgramFolder.h"
#include "settings/IniFile.h"
#include "settings/SettingsPaths.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <sys/stat.h>

using namespace qp;

namespace {

QString inodeOf(const QString& path)
{
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? QString::number(st.st_ino) : QStringLiteral("none");
}

// mode: "close" or "close-ticked" (the close box); "signal" (waits in the
// event loop for the parent's signal); "commit" (the session manager's
// request to save, then its quit).
int runChild(const QString& folder, const QString& mode)
{
    setProgramFolderOverride(folder);
    QDir::setCurrent(folder);
    setMessageHandler([](QWidget*, const MessageRequest&) { return QMessageBox::Ok; });
    test::Journal journal;
    auto flush = [&] {
        QFile f(QDir(folder).filePath("journal.txt"));
        f.open(QIODevice::WriteOnly | QIODevice::Truncate);
        f.write(journal.entries.join('\n').toUtf8());
    };
    AppServices services;
    auto mail = std::make_unique<test::ScriptedMail>(journal);
    mail->onEnd = [&] {
        // What the settings file held when the library was shut down.
        journal.entries << QStringLiteral("ini at end: NAME=%1 NUMBER3=%2 NUMBER5=%3 inode=%4")
                               .arg(ReadIniText(iniPath(), "NAME", "(none)"), ReadIniText(iniPath(), "NUMBER3", "(none)"),
                                    ReadIniText(iniPath(), "NUMBER5", "(none)"), inodeOf(iniPath()));
        flush();
    };
    services.mail = std::make_unique<InlineMailWorker>(std::move(mail));
    auto sound = std::make_unique<test::RecordingSound>(journal);
    test::RecordingSound* soundPtr = sound.get();
    services.sound = std::move(sound);

    MainForm form(services);
    form.Form_Load();
    journal.entries.clear();
    form.Command2_Click(); // a tune plays
    if (!soundPtr->isOpen())
        return 3;
    if (mode != QLatin1String("close")) {
        form.setCheck2Value(true);
        form.setText7(QStringLiteral("  /usr/bin/メーラー  "));
    }
    form.endWithSession();
    if (mode == QLatin1String("commit")) {
        form.commitSessionData();
        journal.entries << QStringLiteral("committed: inode=") + inodeOf(iniPath());
        QTimer::singleShot(0, qApp, &QCoreApplication::quit);
    } else if (mode == QLatin1String("signal")) {
        journal.entries << QStringLiteral("ready");
    } else {
        // Pending changes in the open check settings window.
        SetForm* setForm = services.forms.setForm.show();
        setForm->setCheck1Value(1);
        setForm->setText2(QStringLiteral("7"));
        journal.entries << QStringLiteral("closing");
        flush();
        form.close(); // ends the process
    }
    flush();
    QApplication::exec();
    journal.entries << QStringLiteral("still running");
    flush();
    return 4;
}

} // namespace

class ShutdownTest : public QObject {
    Q_OBJECT

    // Runs the child; signalNumber, when not 0, is sent (twice, as a
    // desktop may) once the child is ready. Gives its journal.
    QStringList runChildAndRead(QTemporaryDir& dir, const QString& mode, int* exitCode, int signalNumber = 0)
    {
        QDir(dir.path()).mkdir(QStringLiteral("★MailData"));
        const QString journal = QDir(dir.path()).filePath("journal.txt");
        auto read = [&] {
            QFile f(journal);
            return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()).split('\n') : QStringList();
        };
        QProcess child;
        child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        child.start(QCoreApplication::applicationFilePath(), {"--child", dir.path(), mode});
        QElapsedTimer t;
        t.start();
        while (signalNumber && !read().contains("ready") && t.elapsed() < 20000)
            QThread::msleep(20);
        for (int i = 0; signalNumber && i < 2; ++i)
            ::kill(pid_t(child.processId()), signalNumber);
        if (!child.waitForFinished(20000))
            return {QStringLiteral("child hung")};
        *exitCode = child.exitStatus() == QProcess::NormalExit ? child.exitCode() : -1;
        return read();
    }

private slots:
    // The desktop session ends the program with a signal or through the
    // session manager: the unload runs all the same, and only once.
    void sessionEndRunsTheUnloadOnce_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<int>("signalNumber");
        QTest::newRow("SIGTERM") << "signal" << int(SIGTERM);
        QTest::newRow("SIGHUP") << "signal" << int(SIGHUP);
        QTest::newRow("SIGINT") << "signal" << int(SIGINT);
        QTest::newRow("save request, then quit") << "commit" << 0;
    }
    void sessionEndRunsTheUnloadOnce()
    {
        QFETCH(QString, mode);
        QFETCH(int, signalNumber);
        QTemporaryDir dir;
        int code = -2;
        const QStringList j = runChildAndRead(dir, mode, &code, signalNumber);
        QCOMPARE(code, 0);
        QCOMPARE(j.count("mail: end"), 1);
        const int end = j.indexOf("mail: end");
        QCOMPARE(j.mid(end - 2, 2), QStringList({"sound: stop bgm", "sound: close bgm"}));
        QVERIFY2(j.at(end + 1).startsWith("ini at end: NAME=/usr/bin/メーラー NUMBER3=1 NUMBER5=0 "), qPrintable(j.join('|')));
        // After the save request the quit finds nothing changed: no rewrite.
        if (mode == "commit")
            QCOMPARE(j.at(end + 1).section(' ', -1), j.filter("committed:").value(0).section(' ', -1));
    }

    void closingStopsTheTuneWritesThreeKeysThenEndsTheLibrary()
    {
        QTemporaryDir dir;
        int code = -2;
        const QStringList j = runChildAndRead(dir, "close-ticked", &code);
        QCOMPARE(code, 0);
        QVERIFY2(!j.contains("still running"), qPrintable(j.join('|')));
        const int closing = j.indexOf("closing");
        QVERIFY(closing >= 0);
        QCOMPARE(j.mid(closing + 1, 2), QStringList({"sound: stop bgm", "sound: close bgm"}));
        // The library's end call comes after the writes: it saw them.
        QCOMPARE(j.at(closing + 3), QStringLiteral("mail: end"));
        QVERIFY(j.at(closing + 4).startsWith("ini at end: NAME=/usr/bin/メーラー NUMBER3=1 NUMBER5=0 "));
        QCOMPARE(j.size(), closing + 5);

        const QString ini = QDir(dir.path()).filePath(QStringLiteral("★MailData/ini.ini"));
        // The path is written unchanged, spaces and all.
        QCOMPARE(ReadIniText(ini, "NAME", ""), QStringLiteral("/usr/bin/メーラー"));
        QVERIFY(readWholeFile(ini).bytes.contains(cp932::encode(QStringLiteral("NAME=  /usr/bin/メーラー  \r\n")).bytes));
        // The check settings window's pending changes are not saved: only
        // the "0" that its load stored for the empty interval is there.
        QCOMPARE(ReadIniText(ini, "NUMBER", "(none)"), QStringLiteral("(none)"));
        QCOMPARE(ReadIniText(ini, "NUMBER2", "(none)"), QStringLiteral("0"));
    }

    void uncheckedBoxesAndNoMailProgramAreWrittenToo()
    {
        QTemporaryDir dir;
        int code = -2;
        const QStringList j = runChildAndRead(dir, "close", &code);
        QCOMPARE(code, 0);
        const QString ini = QDir(dir.path()).filePath(QStringLiteral("★MailData/ini.ini"));
        QCOMPARE(ReadIniText(ini, "NAME", ""), QStringLiteral("未設定"));
        QCOMPARE(ReadIniText(ini, "NUMBER3", ""), QStringLiteral("0"));
        QCOMPARE(ReadIniText(ini, "NUMBER5", ""), QStringLiteral("0"));
    }
};

int main(int argc, char** argv)
{
    if (argc == 4 && QByteArray(argv[1]) == "--child") {
        QApplication app(argc, argv);
        QApplication::setQuitOnLastWindowClosed(false);
        return runChild(QString::fromLocal8Bit(argv[2]), QString::fromLocal8Bit(argv[3]));
    }
    QApplication app(argc, argv);
    ShutdownTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_shutdown.moc"
