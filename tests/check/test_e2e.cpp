// Whole checks against a private Dovecot on loopback: the real check cycle,
// the real mail library, real settings files and keyword store in a
// throwaway program folder; only the windows are faked.
#include "FakeCheckHost.h"
#include "check/CheckMail.h"
#include "check/MailWorker.h"
#include "check/PushWatcher.h"
#include "mail/NMail.h"
#include "platform/ProgramFolder.h"
#include "settings/IniFile.h"
#include "settings/SettingsPaths.h"
#include "tests/support/DovecotFixture.h"
#include "tests/support/KeywordRecords.h"
#include "tests/support/FakeImapServer.h"
#include "tests/support/FakePop3Server.h"
#include "tests/support/ProgramFolderFixture.h"
#include "watchlist/KeywordStore.h"

#include <QDir>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QThread>
#include <QtTest>

#include <memory>

#include <csignal>

using namespace qp;
using namespace qp::test;

namespace {
QByteArray message(const QByteArray& from, const QByteArray& subject = "test")
{
    return "From: " + from + "\r\nTo: me@example.jp\r\nSubject: " + subject
           + "\r\nDate: Mon, 1 Jul 2024 10:00:00 +0900\r\nMessage-ID: <" + QByteArray::number(QRandomGenerator::global()->generate()) +
           "@example.jp>\r\n\r\nHello.\r\n";
}
} // namespace

class EndToEndTest : public QObject {
    Q_OBJECT

    std::unique_ptr<DovecotFixture> m_dovecot;
    std::unique_ptr<ProgramFolder> m_folder;
    QStringList log;
    NMail* lib = nullptr; // owned by threaded, whose worker makes its calls
    std::unique_ptr<ThreadedMailWorker> threaded;
    std::unique_ptr<FakeCheckHost> host;
    ProcessSettings settings;
    std::unique_ptr<CheckMail> check;

    // Each case has a mailbox of its own, all made before Dovecot starts
    // (its passwd-file is re-read by modification time, which a quick
    // second write can slip past).
    void useAccount(const QString& user, const QString& password = QString())
    {
        QVERIFY(WriteIniText(idPassIniPath(), QStringLiteral("NAME"), user, IniFileMode::OwnerOnly).ok);
        QVERIFY(WriteIniText(idPassIniPath(), QStringLiteral("NAME2"),
                             password.isNull() ? QStringLiteral("pw-") + user : password, IniFileMode::OwnerOnly).ok);
    }
    void watch(const QString& keyword) { QVERIFY(appendKeyword(keyword).ok()); }

private slots:
    void initTestCase()
    {
        if (!DovecotFixture::available())
            QSKIP("dovecot cannot run here (needs the binary and root)");
        m_dovecot = std::make_unique<DovecotFixture>();
        // "山田太郎" in two ISO-2022-JP encoded words, each back in ASCII at
        // its end, as Japanese mailers split a long name.
        const QByteArray yamada("\x1b$B;3ED\x1b(B");
        const QByteArray taro("\x1b$BB@O:\x1b(B");
        const QList<QPair<QString, QList<QByteArray>>> boxes = {
            {QStringLiteral("two"), {message("a@example.jp"), message("Boss <boss@example.jp>")}},
            {QStringLiteral("twice"),
             {message("boss@example.jp"), message("x@example.jp"), message("\"The Boss\" <boss@example.jp>")}},
            {QStringLiteral("cased"), {message("Boss@Example.JP")}},
            {QStringLiteral("japanese"),
             {message("=?ISO-2022-JP?B?" + yamada.toBase64() + "?=\r\n =?ISO-2022-JP?B?" + taro.toBase64()
                      + "?= <yamada@example.jp>"),
              message("other@example.jp")}},
            {QStringLiteral("mailer"), {message("boss@example.jp")}},
            {QStringLiteral("empty"), {}},
            {QStringLiteral("refused"), {message("a@example.jp")}},
            {QStringLiteral("again"), {message("a@example.jp"), message("b@example.jp")}},
            {QStringLiteral("pushbox"), {}},
        };
        for (const auto& [user, messages] : boxes) {
            QVERIFY(m_dovecot->addUser(user, QStringLiteral("pw-") + user));
            for (const QByteArray& m : messages)
                QVERIFY(m_dovecot->addMessage(user, m));
        }
        // Over IMAP: three unseen (one flagged), three read with flags of
        // their own; the watched sender wrote one of each.
        QVERIFY(m_dovecot->addUser(QStringLiteral("imapbox"), QStringLiteral("pw-imapbox")));
        const QList<QPair<QByteArray, QString>> imapMail = {
            {message("a@example.jp"), QString()},       {message("Boss <boss@example.jp>"), QString()},
            {message("c@example.jp"), QStringLiteral("F")}, {message("boss@example.jp"), QStringLiteral("S")},
            {message("d@example.jp"), QStringLiteral("RS")}, {message("e@example.jp"), QStringLiteral("FS")},
        };
        for (const auto& [m, flags] : imapMail)
            QVERIFY(m_dovecot->addMessage(QStringLiteral("imapbox"), m, flags));
        QVERIFY2(m_dovecot->start(), qPrintable(m_dovecot->errorString()));
    }

    void init()
    {
        m_folder = std::make_unique<ProgramFolder>();
        QVERIFY(m_folder->isValid());
        log.clear();
        auto owned = std::make_unique<NMail>();
        lib = owned.get();
        threaded = std::make_unique<ThreadedMailWorker>(std::move(owned));
        lib->NMailInitializeWinSock();
        lib->NMailSetOption(NMail::kOptionTextBufferSize, 8192);
        lib->setExtraCaCertificates(m_dovecot->caCertificates());
        Pop3Timeouts t;
        t.connectMs = 5000;
        t.replyMs = 5000;
        lib->setTimeouts(t);
        host = std::make_unique<FakeCheckHost>(log);
        settings = ProcessSettings();
        settings.setPop3Server(m_dovecot->serverText());
        check = std::make_unique<CheckMail>(*threaded, settings, *host);
    }
    void cleanup()
    {
        check.reset();
        threaded.reset();
        m_folder.reset();
    }

    void watchedSenderAlertsOnceAfterTheBoardClosed()
    {
        useAccount(QStringLiteral("two"));
        watch(QStringLiteral("boss@example.jp"));
        host->autoClose = true;
        const CheckOutcome out = runCheck(*check);
        QCOMPARE(out.matchCount, 1);
        const qsizetype board = log.indexOf(QStringLiteral("board:新着メールが有ります/2"));
        QVERIFY(board >= 0);
        QCOMPARE(log.mid(board), QStringList({"board:新着メールが有ります/2", "showBoard", "wait:1000",
                                              "unloadBoard", "alert"}));
    }

    void watchedAddressInTwoSendersAlertsOnce()
    {
        useAccount(QStringLiteral("twice"));
        watch(QStringLiteral("someone@else.jp"));
        watch(QStringLiteral("boss@example.jp"));
        const CheckOutcome out = runCheck(*check);
        QCOMPARE(out.matchCount, 2);
        QCOMPARE(log.count(QStringLiteral("alert")), 1);
        QCOMPARE(host->boardText2, QStringLiteral("3"));
    }

    void keywordInAnotherCaseDoesNotMatch()
    {
        useAccount(QStringLiteral("cased"));
        watch(QStringLiteral("boss@example.jp"));
        const CheckOutcome out = runCheck(*check);
        QCOMPARE(out.messageCount, 1);
        QCOMPARE(out.matchCount, 0);
        QVERIFY(log.contains(QStringLiteral("showBoard")));
        QVERIFY(!log.contains(QStringLiteral("alert")));
    }

    void japaneseSenderMatchesACp932Keyword()
    {
        useAccount(QStringLiteral("japanese"));
        // Stored in CP932 by the keyword store.
        watch(QStringLiteral("山田太郎"));
        const CheckOutcome out = runCheck(*check);
        QCOMPARE(out.matchCount, 1);
        QVERIFY(log.contains(QStringLiteral("alert")));
    }

    void mailProgramTickedButNotSetShowsNothing()
    {
        useAccount(QStringLiteral("mailer"));
        watch(QStringLiteral("boss@example.jp"));
        host->mailerTicked = true;
        host->text7 = QStringLiteral("未設定");
        const CheckOutcome out = runCheck(*check);
        QCOMPARE(out.messageCount, 1);
        for (const QString& line : log)
            QVERIFY2(!line.startsWith(QStringLiteral("board")) && line != QStringLiteral("showBoard")
                         && line != QStringLiteral("alert") && !line.startsWith(QStringLiteral("start:")),
                     qPrintable(line));
    }

    void emptyMailboxShowsNothingAndStillHangsUp()
    {
        useAccount(QStringLiteral("empty"));
        host->hangUpOn = true;
        const CheckOutcome out = runCheck(*check);
        QVERIFY(out.loginTried);
        QCOMPARE(out.messageCount, 0);
        QCOMPARE(log, QStringList({"account:empty/pw-empty", "hangUp"}));
    }

    void mailLeftOnTheServerIsReportedAgain()
    {
        useAccount(QStringLiteral("again"));
        QCOMPARE(runCheck(*check).messageCount, 2);
        log.clear();
        QCOMPARE(runCheck(*check).messageCount, 2);
        QCOMPARE(log, QStringList({"account:again/pw-again", "board:新着メールが有ります/2", "showBoard"}));
    }

    void serverThatCountsMoreThanItServesDoesNotFreezeTheCheck()
    {
        // It claims two billion messages and hangs up right after.
        FakePop3Server server;
        server.greeting("+OK ready");
        server.expect("CAPA", "+OK\r\nUSER\r\nTOP\r\n.");
        server.expect("USER liar", "+OK");
        server.expect("PASS pw-liar", "+OK");
        server.expect("CAPA", "+OK\r\nUSER\r\nTOP\r\n.");
        server.expect("STAT", "+OK 2000000000 4000000000", FakePop3Server::Then::Close);
        QVERIFY(server.start());
        settings.setPop3Server(server.serverText());
        useAccount(QStringLiteral("liar"));
        host->hangUpOn = true;
        QElapsedTimer t;
        t.start();
        const CheckOutcome out = runCheck(*check);
        QCOMPARE(server.mismatch(), QString());
        QCOMPARE(out.messageCount, 2000000000);
        QCOMPARE(out.abandonedAt, 1);
        QVERIFY2(t.elapsed() < 10000, qPrintable(QString::number(t.elapsed())));
        QCOMPARE(log.size(), 5);
        QVERIFY2(log[1].startsWith(QStringLiteral("error:メールの確認を途中で打ち切りました。2000000000 通のうち 1 通も確認できませんでした。\n")),
                 qPrintable(log[1]));
        QCOMPARE(log.mid(2), QStringList({"board:新着メールが有ります/2000000000", "showBoard", "hangUp"}));
    }

    // The same check over IMAP, with TLS from the first byte and by
    // STARTTLS: the unseen messages are the waiting mail, a watched sender
    // among them alerts, and the mailbox is left as it was, every flag.
    void imapCheckLeavesTheMailboxAsItWas_data()
    {
        QTest::addColumn<bool>("implicitTls");
        QTest::newRow("imaps://") << true;
        QTest::newRow("imap:// with STARTTLS") << false;
    }
    void imapCheckLeavesTheMailboxAsItWas()
    {
        QFETCH(bool, implicitTls);
        useAccount(QStringLiteral("imapbox"));
        watch(QStringLiteral("boss@example.jp"));
        host->autoClose = true;
        settings.setPop3Server(m_dovecot->imapServerText(implicitTls));
        const QMap<QString, QString> before = m_dovecot->maildirFlags(QStringLiteral("imapbox"));
        QCOMPARE(before.size(), 6);
        const qsizetype sessions = m_dovecot->logText().count(QStringLiteral("Logged out"));
        const CheckOutcome out = runCheck(*check);
        QCOMPARE(out.messageCount, 3);
        QCOMPARE(out.matchCount, 1);
        QCOMPARE(log, QStringList({"account:imapbox/pw-imapbox", "board:新着メールが有ります/3", "showBoard",
                                   "wait:1000", "unloadBoard", "alert"}));
        QVERIFY(m_dovecot->waitForLog(QStringLiteral("imap(imapbox)")));
        QDeadlineTimer ended(5000);
        while (m_dovecot->logText().count(QStringLiteral("Logged out")) == sessions && !ended.hasExpired())
            QThread::msleep(20);
        QCOMPARE(m_dovecot->maildirFlags(QStringLiteral("imapbox")), before);
    }

    void imapLoginFailureShowsTheSameBox()
    {
        // First a certificate nobody vouches for: the reason in the box, no account read, no login.
        useAccount(QStringLiteral("refused"), QStringLiteral("wrong"));
        settings.setPop3Server(m_dovecot->imapServerText(true));
        lib->setExtraCaCertificates({});
        QVERIFY(!runCheck(*check).loginTried);
        QCOMPARE(log.size(), 1);
        QVERIFY2(log[0].startsWith(QStringLiteral("error:サーバー「127.0.0.1」と TLS で接続できません（証明書の発行元を信頼できません")),
                 qPrintable(log[0]));
        log.clear();
        lib->setExtraCaCertificates(m_dovecot->caCertificates());

        useAccount(QStringLiteral("refused"), QStringLiteral("wrong"));
        lib->setLocalAddress(QHostAddress(QStringLiteral("127.0.0.3")));
        settings.setPop3Server(m_dovecot->imapServerText(true));
        const CheckOutcome out = runCheck(*check);
        QVERIFY(out.messageCount < 0);
        QVERIFY2(lib->lastError().startsWith(QStringLiteral("ログインできません（")), qPrintable(lib->lastError()));
        QCOMPARE(log, QStringList({"account:refused/wrong", "error:" + lib->lastError()}));
    }

    // A delivery while the watcher idles brings the check and the alert at
    // once, not at an interval; a killed server process is followed by a
    // new session, which first catches up on what it missed.
    void pushedDeliveryAlertsAndOutlivesAKilledServerProcess_data() { imapCheckLeavesTheMailboxAsItWas_data(); }
    void pushedDeliveryAlertsAndOutlivesAKilledServerProcess()
    {
        QFETCH(bool, implicitTls);
        useAccount(QStringLiteral("pushbox"));
        watch(QStringLiteral("boss@example.jp"));
        host->autoClose = true;
        settings.setPop3Server(m_dovecot->imapServerText(implicitTls));
        PushWatcher push;
        MailSessionSetup setup;
        setup.extraCas = m_dovecot->caCertificates();
        setup.timeouts.replyMs = 3000;
        push.setSetup(setup);
        push.setTiming(700, 400); // renewals and probes happen meanwhile too
        int checks = 0;
        connect(&push, &PushWatcher::checkWanted, this, [&] {
            ++checks;
            check->start(true);
        });
        push.watch({settings.pop3Server(), QStringLiteral("pushbox"), QStringLiteral("pw-pushbox")});
        for (int round = 1; round <= 2; ++round) {
            QTRY_COMPARE_WITH_TIMEOUT(push.sessions(), round, 15000);
            QTRY_COMPARE(push.state(), PushWatcher::State::Watching);
            QTRY_COMPARE(checks, 2 * (round - 1));
            QTRY_VERIFY(!check->isRunning()); // the catch-up check is over
            log.clear();
            QVERIFY(m_dovecot->addMessage(QStringLiteral("pushbox"), message("Boss <boss@example.jp>")));
            QTRY_VERIFY_WITH_TIMEOUT(log.contains(QStringLiteral("alert")), 5000);
            QCOMPARE(checks, round == 1 ? 1 : 3);
            if (round == 2)
                break;
            const QList<int> processes = m_dovecot->mailProcesses(QStringLiteral("pushbox"));
            QVERIFY(!processes.isEmpty());
            for (const int pid : processes)
                ::kill(pid, SIGKILL);
        }
    }

    // A refused login is told once, not at every try that follows; a
    // server without IDLE is left to the interval, untried again.
    void pushRefusedOnceAndNoIdleLeftAlone()
    {
        FakeImapServer refusing;
        refusing.greeting("* OK [CAPABILITY IMAP4rev1 IDLE] ready");
        refusing.expect("LOGIN *", "{tag} NO [AUTHENTICATIONFAILED] wrong password");
        QVERIFY(refusing.start());
        PushWatcher push;
        QSignalSpy told(&push, &PushWatcher::loginRefused);
        push.watch({refusing.serverText(), QStringLiteral("alice"), QStringLiteral("pw")});
        QTRY_VERIFY_WITH_TIMEOUT(refusing.received().count(refusing.received().value(0)) >= 2, 10000);
        QCOMPARE(told.count(), 1);
        QVERIFY2(told[0][0].toString().contains(QStringLiteral("wrong password")), qPrintable(told[0][0].toString()));

        FakeImapServer noIdle;
        noIdle.greeting("* OK [CAPABILITY IMAP4rev1] ready");
        noIdle.expect("LOGIN *", "{tag} OK");
        noIdle.expect("CAPABILITY", "* CAPABILITY IMAP4rev1\r\n{tag} OK");
        QVERIFY(noIdle.start());
        push.watch({noIdle.serverText(), QStringLiteral("alice"), QStringLiteral("pw")});
        QTRY_COMPARE(push.state(), PushWatcher::State::Unsupported);
        QCOMPARE(told.count(), 1);
    }

    void emptyAccountOpensTheAccountWindowAndLogsInNowhere()
    {
        QVERIFY(WriteIniText(idPassIniPath(), QStringLiteral("NAME"), QString()).ok);
        const int loginsBefore = m_dovecot->logText().count(QStringLiteral("Login: user="));
        const CheckOutcome out = runCheck(*check);
        QVERIFY(out.connected);
        QVERIFY(!out.loginTried);
        QCOMPARE(log, QStringList({"account:/", "showAccountWindow"}));
        QThread::msleep(200);
        QCOMPARE(m_dovecot->logText().count(QStringLiteral("Login: user=")), loginsBefore);
    }
};

QTEST_GUILESS_MAIN(EndToEndTest)
#include "test_e2e.moc"
