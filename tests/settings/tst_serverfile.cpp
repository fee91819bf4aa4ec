#include "platform/AtomicFile.h"
#include "platform/Cp932.h"
#include "settings/ServerFile.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

using namespace qp;

class ServerFileTest : public QObject {
    Q_OBJECT
    QTemporaryDir m_dir;
    QString path() const { return QDir(m_dir.path()).filePath("ferrule.ini"); }
    void write(const QByteArray& b)
    {
        QFile f(path());
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(b);
    }

private slots:
    void roundTripsExactlyFourLines()
    {
        ProcessSettings s;
        s.setSmtpServer("smtp.example.jp");
        s.setPop3Server("pop3s://mail.example.jp");
        s.setMailAddress(QStringLiteral("山田@example.jp"));
        s.setUseApop(1);
        QVERIFY(SaveServerFile(s, m_dir.path()).ok);
        QCOMPARE(readWholeFile(path()).bytes,
                 "SMTP=smtp.example.jp\r\nPOP3=pop3s://mail.example.jp\r\nMAIL="
                     + cp932::encode(QStringLiteral("山田@example.jp")).bytes + "\r\nAPOP=1\r\n");
        ProcessSettings back;
        QVERIFY(LoadServerFile(back, m_dir.path()));
        QCOMPARE(back.smtpServer(), s.smtpServer());
        QCOMPARE(back.pop3Server(), s.pop3Server());
        QCOMPARE(back.mailAddress(), s.mailAddress());
        QCOMPARE(back.useApop(), std::int16_t(1));

        // A value pasted with a line break (a single-line box takes one)
        // keeps only its first line: the file stays four lines, no key forged.
        s.setSmtpServer(QStringLiteral("smtp.example.jp\r\n"));
        s.setMailAddress(QStringLiteral("a@example.jp\nPOP3=evil.example"));
        QVERIFY(SaveServerFile(s, m_dir.path()).ok);
        QCOMPARE(readWholeFile(path()).bytes,
                 QByteArray("SMTP=smtp.example.jp\r\nPOP3=pop3s://mail.example.jp\r\nMAIL=a@example.jp\r\nAPOP=1\r\n"));

        // Empty values are written and read back as empty.
        QVERIFY(SaveServerFile(ProcessSettings{}, m_dir.path()).ok);
        QCOMPARE(readWholeFile(path()).bytes, QByteArray("SMTP=\r\nPOP3=\r\nMAIL=\r\nAPOP=0\r\n"));
    }

    void readsTheEdgeCasesAsTheLineReaderDoes()
    {
        write("smtp=lower.example\r\n"   // lower-case prefix: ignored
              "SMTP=first\r\n"
              "MAIL=a@x\r\n"
              "junk\r\n"
              "POP\r\n"                  // too short
              "MAIL=b@x\n"               // lone LF ends a line too
              "POP3=\r"                  // lone CR; empty value
              "SMTP=" + QByteArray(150, 's') + "\r\n");
        ProcessSettings s;
        s.setPop3Server("before");
        QVERIFY(LoadServerFile(s, m_dir.path()));
        QCOMPARE(s.mailAddress(), QStringLiteral("b@x"));       // last occurrence wins
        QCOMPARE(s.pop3Server(), QString());                    // "POP3=" with nothing behind it
        QCOMPARE(s.smtpServer(), QString(100, QLatin1Char('s'))); // cut to 100 characters
        QCOMPARE(s.useApop(), std::int16_t(0));                 // no APOP line
    }

    void apopIsReadAsARoundedNumber_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<int>("value");
        QTest::newRow("one") << QByteArray("APOP=1") << 1;
        QTest::newRow("letters") << QByteArray("APOP=yes") << 0;
        QTest::newRow("half to even") << QByteArray("APOP=2.5") << 2;
        QTest::newRow("rounded up") << QByteArray("APOP=0.6") << 1;
        QTest::newRow("huge is clamped") << QByteArray("APOP=99999999") << 32767;
        QTest::newRow("digit then text") << QByteArray("APOP=1abc") << 1;
    }
    void apopIsReadAsARoundedNumber()
    {
        QFETCH(QByteArray, line);
        QFETCH(int, value);
        write(line + "\r\n");
        ProcessSettings s;
        LoadServerFile(s, m_dir.path());
        QCOMPARE(int(s.useApop()), value);
    }

    void missingFileLeavesValuesAndIsLookedUpOnlyInTheGivenFolder()
    {
        QTemporaryDir empty;
        ProcessSettings s;
        QVERIFY(!LoadServerFile(s, empty.path()));
        QCOMPARE(s.pop3Server(), QString());

        // The default folder is the working directory.
        write("POP3=cwd.example\r\n");
        const QString old = QDir::currentPath();
        QDir::setCurrent(empty.path());
        QVERIFY(!LoadServerFile(s));
        QDir::setCurrent(m_dir.path());
        QVERIFY(LoadServerFile(s));
        QCOMPARE(s.pop3Server(), QStringLiteral("cwd.example"));
        QDir::setCurrent(old);
    }

    void unsavableValuesLeaveTheOldFile()
    {
        write("POP3=keep\r\n");
        ProcessSettings s;
        s.setPop3Server(QStringLiteral("😀.example"));
        const auto r = SaveServerFile(s, m_dir.path());
        QVERIFY(!r.ok);
        QVERIFY(!r.error.isEmpty());
        QCOMPARE(readWholeFile(path()).bytes, QByteArray("POP3=keep\r\n"));

        // An unwritable folder is reported too.
        const auto r2 = SaveServerFile(ProcessSettings{}, m_dir.path() + "/no/such/folder");
        QVERIFY(!r2.ok);
    }
};

QTEST_GUILESS_MAIN(ServerFileTest)
#include "tst_serverfile.moc"
