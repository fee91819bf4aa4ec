// Starting the mail program for real, choosing it, and its file-name part.
#include "actions/MailerChoice.h"
#include "actions/MailerLaunch.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace qp;

class LaunchTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString m_record;
    QString m_pathDir;

    // Copies the recorder under a new name so it can pose as any program.
    QString installRecorder(const QString& path)
    {
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile::remove(path);
        if (!QFile::copy(QStringLiteral(QP_RECORDER), path))
            return {};
        QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        return path;
    }

    QStringList recordedRuns() const
    {
        QFile file(m_record);
        if (!file.open(QIODevice::ReadOnly))
            return {};
        return QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_record = m_dir.filePath(QStringLiteral("record.txt"));
        qputenv("QP_ACTIONS_RECORD", QFile::encodeName(m_record));
        // A folder on PATH and the current directory both hold a program
        // called "未設定", so launching that name by mistake would be seen.
        m_pathDir = m_dir.filePath(QStringLiteral("bin"));
        QVERIFY(!installRecorder(m_pathDir + QStringLiteral("/未設定")).isEmpty());
        QVERIFY(!installRecorder(m_pathDir + QStringLiteral("/qp-test-mailer")).isEmpty());
        qputenv("PATH", QFile::encodeName(m_pathDir) + ':' + qgetenv("PATH"));
        QVERIFY(QDir::setCurrent(m_dir.path()));
        QVERIFY(!installRecorder(m_dir.filePath(QStringLiteral("未設定"))).isEmpty());
    }

    void init() { QFile::remove(m_record); }

    void startsTrimmedPathWithoutShellOrArguments()
    {
        // Spaces inside the name and shell syntax must reach exec untouched.
        const QString program = installRecorder(
            m_dir.filePath(QStringLiteral("my mailer/メーラー $(touch INJECTED); x")));
        QVERIFY(!program.isEmpty());

        const LaunchResult result = launchMailProgram(QStringLiteral("   ") + program + QStringLiteral("  "));
        QCOMPARE(result.status, LaunchResult::Status::Started);
        QCOMPARE(result.program, program);
        QVERIFY(result.message.isEmpty());

        QTRY_COMPARE_WITH_TIMEOUT(recordedRuns().size(), 1, 5000);
        // No added arguments; it works in our current directory.
        QCOMPARE(recordedRuns().first(), QStringLiteral("argc=1\tcwd=%1").arg(QDir::currentPath()));
        QVERIFY(!QFile::exists(m_dir.filePath(QStringLiteral("INJECTED"))));
        QVERIFY(!QFile::exists(m_dir.filePath(QStringLiteral("my mailer/INJECTED"))));

        // Not tracked: a second launch starts it again.
        QVERIFY(launchMailProgram(program).started());
        QTRY_COMPARE_WITH_TIMEOUT(recordedRuns().size(), 2, 5000);
    }

    void bareNameIsLookedUpInPath()
    {
        QVERIFY(launchMailProgram(QStringLiteral("qp-test-mailer")).started());
        QTRY_COMPARE_WITH_TIMEOUT(recordedRuns().size(), 1, 5000);
    }

    void notSetOrBlankStartsNothing_data()
    {
        QTest::addColumn<QString>("text");
        QTest::newRow("not set") << QStringLiteral("未設定");
        QTest::newRow("empty") << QString();
        QTest::newRow("spaces") << QStringLiteral("     ");
    }
    void notSetOrBlankStartsNothing()
    {
        QFETCH(QString, text);
        const LaunchResult result = launchMailProgram(text);
        QCOMPARE(result.status, LaunchResult::Status::NothingToDo);
        QVERIFY(mailProgramToStart(text).isEmpty());
        // Give a wrongly started "未設定" time to show up in the record.
        QTest::qWait(200);
        QVERIFY(recordedRuns().isEmpty());
        // Only the exact text is the marker: with spaces around it is a name.
        QCOMPARE(mailProgramToStart(QStringLiteral(" 未設定 ")), QStringLiteral("未設定"));
    }

    void unstartableProgramFailsWithReason_data()
    {
        QTest::addColumn<QString>("program");
        QTest::addColumn<QString>("reason");
        QTest::newRow("missing path") << QStringLiteral("/nonexistent/qp/mailer") << QStringLiteral("見つかりません");
        QTest::newRow("missing name") << QStringLiteral("qp-no-such-mailer-here") << QStringLiteral("見つかりません");
        QTest::newRow("folder") << QStringLiteral("bin") << QStringLiteral("フォルダー");
        QTest::newRow("not executable") << QStringLiteral("record-plain.txt") << QStringLiteral("実行できる");
    }
    void unstartableProgramFailsWithReason()
    {
        QFETCH(QString, program);
        QFETCH(QString, reason);
        QFile plain(m_dir.filePath(QStringLiteral("record-plain.txt")));
        QVERIFY(plain.open(QIODevice::WriteOnly));
        plain.write("#!/bin/sh\ntouch RAN\n");
        plain.close();
        // Relative paths with a '/' are taken from the current directory.
        const QString text = program.contains(QLatin1Char('/')) || program.startsWith(QLatin1String("qp-"))
            ? program
            : QStringLiteral("./") + program;

        const LaunchResult result = launchMailProgram(text);
        QCOMPARE(result.status, LaunchResult::Status::Failed);
        QVERIFY2(result.message.contains(reason), qPrintable(result.message));
        QVERIFY(result.message.contains(result.program));
        QVERIFY(!QFile::exists(m_dir.filePath(QStringLiteral("RAN"))));
    }

    void fileTitleIsTheNamePart_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("title");
        QTest::newRow("full path") << QStringLiteral("/usr/bin/sylpheed") << QStringLiteral("sylpheed");
        QTest::newRow("not set") << QStringLiteral("未設定") << QStringLiteral("未設定");
        QTest::newRow("empty") << QString() << QString();
        QTest::newRow("folder") << QStringLiteral("/opt/mail/") << QString();
        QTest::newRow("japanese") << QStringLiteral("/home/u/メール ソフト/起動.sh") << QStringLiteral("起動.sh");
    }
    void fileTitleIsTheNamePart()
    {
        QFETCH(QString, path);
        QFETCH(QString, title);
        QCOMPARE(fileTitle(path), title);
    }

    // Cancel hands back what the dialog holds: nothing before the first pick
    // of the run, the last pick afterwards.
    void chooserKeepsLastPickOnCancel()
    {
        MailerChooser chooser;
        QStringList shownWith;
        std::optional<QString> answer;
        const auto dialog = [&](const QString& current) {
            shownWith << current;
            return answer;
        };

        MailerChooser::Choice c = chooser.choose(dialog);
        QVERIFY(!c.picked);
        QCOMPARE(c.mailProgramPath, QString());
        QCOMPARE(c.mailProgramTitle, QString());

        answer = QStringLiteral("/opt/mail/bin/mailer");
        c = chooser.choose(dialog);
        QVERIFY(c.picked);
        QCOMPARE(c.mailProgramPath, QStringLiteral("/opt/mail/bin/mailer"));
        QCOMPARE(c.mailProgramTitle, QStringLiteral("mailer"));

        answer = std::nullopt;
        c = chooser.choose(dialog);
        QVERIFY(!c.picked);
        QCOMPARE(c.mailProgramPath, QStringLiteral("/opt/mail/bin/mailer"));
        QCOMPARE(c.mailProgramTitle, QStringLiteral("mailer"));

        answer = QString(); // an empty answer is no file
        c = chooser.choose(dialog);
        QVERIFY(!c.picked);
        QCOMPARE(c.mailProgramPath, QStringLiteral("/opt/mail/bin/mailer"));

        QCOMPARE(shownWith, (QStringList{QString(), QString(), QStringLiteral("/opt/mail/bin/mailer"),
                                         QStringLiteral("/opt/mail/bin/mailer")}));
    }
};

QTEST_GUILESS_MAIN(LaunchTest)
#include "tst_launch.moc"
