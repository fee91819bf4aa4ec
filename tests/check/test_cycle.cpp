// The check cycle against a fake mail library and a recording host, with
// real settings files and a real keyword store in a throwaway program folder.
#include "FakeCheckHost.h"
#include "tests/support/FakeMailLibrary.h"
#include "tests/support/KeywordRecords.h"
#include "tests/support/ProgramFolderFixture.h"
#include "check/CheckMail.h"
#include "mail/NMail.h"
#include "tests/support/FakePop3Server.h"
#include "platform/ProgramFolder.h"
#include "settings/IniFile.h"
#include "settings/SettingsPaths.h"

#include <QDir>
#include <QtTest>

#include <memory>

using namespace qp;
using namespace qp::test;

class CycleTest : public QObject {
    Q_OBJECT

    std::unique_ptr<ProgramFolder> m_folder;
    QStringList log;
    std::unique_ptr<FakeMailLibrary> lib;
    std::unique_ptr<InlineMailWorker> worker;
    std::unique_ptr<FakeCheckHost> host;
    ProcessSettings settings;
    std::unique_ptr<CheckMail> check;

    // Resolved as the program resolves it: any letter case names one file.
    QString storePath() const { return programPath(QStringLiteral("\\★MAilData\\ferruledata50.data")); }
    void setAccount(const QString& id, const QString& password)
    {
        QVERIFY(WriteIniText(idPassIniPath(), QStringLiteral("NAME"), id).ok);
        QVERIFY(WriteIniText(idPassIniPath(), QStringLiteral("NAME2"), password).ok);
    }
    // The calls after the connection was closed: what the user gets to see.
    QStringList afterClose() const
    {
        for (qsizetype i = 0; i < log.size(); ++i)
            if (log[i].startsWith(QStringLiteral("close:")))
                return log.mid(i + 1);
        return log;
    }

private slots:
    void cutAtNul()
    {
        QCOMPARE(CutAtNul(QStringLiteral("abc")), QStringLiteral("abc"));
        QCOMPARE(CutAtNul(QString::fromUtf16(u"ab\0cd", 5)), QStringLiteral("ab"));
        QCOMPARE(CutAtNul(QString::fromUtf16(u"\0x", 2)), QString());
    }

    void init()
    {
        m_folder = std::make_unique<ProgramFolder>();
        QVERIFY(m_folder->isValid());
        log.clear();
        lib = std::make_unique<FakeMailLibrary>(log);
        host = std::make_unique<FakeCheckHost>(log);
        settings = ProcessSettings();
        settings.setPop3Server(QStringLiteral("pop.example.jp"));
        worker = std::make_unique<InlineMailWorker>(*lib);
        check = std::make_unique<CheckMail>(*worker, settings, *host);
        setAccount(QStringLiteral("taro"), QStringLiteral("secret"));
    }
    void cleanup() { m_folder.reset(); }

    void threeMessagesNoWatchedSender()
    {
        QVERIFY(writeStore(storePath(), {QStringLiteral("boss@example.jp")}));
        lib->senders = {QStringLiteral("a@example.jp"), QStringLiteral("b@example.jp"), QStringLiteral("c@example.jp")};
        const CheckOutcome out = runCheck(*check);
        QCOMPARE(log, QStringList({"connect:pop.example.jp", "account:taro/secret", "auth:1",
                                   "status:1", "size:1", "get:1", "status:2", "size:2", "get:2",
                                   "status:3", "size:3", "get:3", "close:1",
                                   "board:新着メールが有ります/3", "showBoard"}));
        QCOMPARE(out.messageCount, 3);
        QCOMPARE(out.matchCount, 0);
        QCOMPARE(out.getMailCalls, 3);
        // The account came from the file, into the boxes and the process values.
        QCOMPARE(settings.accountId(), QStringLiteral("taro"));
        QCOMPARE(settings.accountPassword(), QStringLiteral("secret"));
        QCOMPARE(lib->lastApop, 0);
        // The work boxes keep the last sender and keyword, nothing selected.
        QCOMPARE(host->text3, QStringLiteral("c@example.jp"));
        QCOMPARE(host->text6, QStringLiteral("boss@example.jp"));
        QCOMPARE(host->selLength, 0);
    }

    void watchedSenderGivesBoardThenOneAlert()
    {
        QVERIFY(writeStore(storePath(), {QStringLiteral("boss@example.jp")}));
        lib->senders = {QStringLiteral("a@example.jp"), QStringLiteral("Boss <boss@example.jp>")};
        host->autoClose = true;
        host->hangUpOn = true;
        CheckOutcome out = runCheck(*check);
        QCOMPARE(out.matchCount, 1);
        QCOMPARE(afterClose(), QStringList({"board:新着メールが有ります/2", "showBoard", "wait:1000",
                                            "unloadBoard", "alert", "hangUp"}));
        QCOMPARE(host->text3, QStringLiteral("Boss <boss@example.jp>"));
        QCOMPARE(host->selStart, 6);
        QCOMPARE(host->selLength, 15);
        // Handed on for the desktop's notification: sender and subject, told
        // apart by sender, date and subject when there is no Message-ID.
        QCOMPARE(host->announced.size(), 1);
        QCOMPARE(host->announced[0].sender, QStringLiteral("Boss <boss@example.jp>"));
        QCOMPARE(host->announced[0].subject, QStringLiteral("subject"));
        QCOMPARE(host->announced[0].identity, QStringLiteral("Boss <boss@example.jp>\ndate\nsubject"));

        // The address in both senders: MatchCount 2, still one alert; the
        // board stays open without auto-close.
        log.clear();
        host->autoClose = false;
        host->hangUpOn = false;
        lib->senders = {QStringLiteral("boss@example.jp"), QStringLiteral("<boss@example.jp>")};
        lib->headers = {QStringLiteral("From: boss@example.jp\r\nmessage-id:  <1@example.jp>\r\n")};
        out = runCheck(*check);
        QCOMPARE(host->announced.size(), 2);
        QCOMPARE(host->announced[0].identity, QStringLiteral("<1@example.jp>"));
        QCOMPARE(host->announced[1].identity, QStringLiteral("<boss@example.jp>\ndate\nsubject"));
        QCOMPARE(out.matchCount, 2);
        QCOMPARE(afterClose(), QStringList({"board:新着メールが有ります/2", "showBoard", "alert"}));
    }

    void mailProgramInsteadOfBoard()
    {
        QVERIFY(writeStore(storePath(), {QStringLiteral("boss@example.jp")}));
        lib->senders = {QStringLiteral("boss@example.jp")};
        host->mailerTicked = true;
        host->text7 = QStringLiteral("未設定");
        QVERIFY(runCheck(*check).matchCount == 1);
        QVERIFY(afterClose().isEmpty()); // no board, no alert, nothing started

        log.clear();
        host->text7 = QStringLiteral("  /usr/bin/sylpheed  ");
        host->hangUpOn = true;
        runCheck(*check);
        QCOMPARE(afterClose(), QStringList({"start:/usr/bin/sylpheed", "hangUp"}));
        // Each check with mail starts it again.
        log.clear();
        runCheck(*check);
        QCOMPARE(afterClose(), QStringList({"start:/usr/bin/sylpheed", "hangUp"}));
    }

    void nothingToReportButHangUpStillRuns()
    {
        host->hangUpOn = true;
        // Empty mailbox.
        CheckOutcome out = runCheck(*check);
        QCOMPARE(out.messageCount, 0);
        QCOMPARE(log, QStringList({"connect:pop.example.jp", "account:taro/secret", "auth:1", "close:1", "hangUp"}));

        // Connection failing: silent, no account read, no close.
        log.clear();
        lib->connectResult = -1;
        settings.setAccountId(QStringLiteral("before"));
        out = runCheck(*check);
        QVERIFY(!out.connected);
        QCOMPARE(log, QStringList({"connect:pop.example.jp", "hangUp"}));
        QCOMPARE(settings.accountId(), QStringLiteral("before"));

        // No server set: the library is not touched at all.
        log.clear();
        lib->calls = 0;
        settings.setPop3Server(QString());
        runCheck(*check);
        QCOMPARE(lib->calls, 0);
        QCOMPARE(log, QStringList({"hangUp"}));
    }

    void loginFailureShowsTheLibraryTextThenHangsUp()
    {
        lib->loginFails = true;
        host->hangUpOn = true;
        settings.setUseApop(1);
        const CheckOutcome out = runCheck(*check);
        QVERIFY(out.messageCount < 0);
        QCOMPARE(lib->lastApop, -1);
        QCOMPARE(log, QStringList({"connect:pop.example.jp", "account:taro/secret", "auth:1", "message:0:8192",
                                   "error:ログインに失敗しました", "close:1", "hangUp"}));
    }

    // A busy mailbox is tried again quietly; only the third refusal in a
    // row (and every third after) is told. A server's LOGIN-DELAY is waited
    // for before the next login: silently when scheduled, with a word when
    // the user asked.
    void busyMailboxAndLoginDelay()
    {
        lib->loginFails = lib->loginBusy = true;
        QStringList errors;
        for (int i = 1; i <= 6; ++i) {
            log.clear();
            QVERIFY(runCheck(*check, true).loginBusy);
            errors << log.filter(QStringLiteral("error:"));
        }
        QCOMPARE(errors.size(), 2);
        QVERIFY(errors.at(0).contains(QStringLiteral("3 回続けて")));
        // The user's check is answered every time, and says what will come.
        log.clear();
        runCheck(*check);
        QCOMPARE(log.filter(QStringLiteral("error:")).size(), 1);
        QVERIFY(log.filter(QStringLiteral("error:")).first().contains(QStringLiteral("7 回続けて")));
        host->autoCheckOn = false;
        log.clear();
        runCheck(*check);
        QVERIFY(!log.filter(QStringLiteral("error:")).first().contains(QStringLiteral("次のチェック")));
        lib->loginFails = false;
        lib->loginDelay = 60;
        QCOMPARE(runCheck(*check).loginDelayWaitMs, 0);
        // Automatic checks leave twice the server's delay between logins,
        // and say once why.
        log.clear();
        QVERIFY(runCheck(*check, true).loginDelayWaitMs > 119000);
        QVERIFY2(log.first().startsWith(QStringLiteral("notice:")) && log.first().contains(QStringLiteral("120 秒")),
                 qPrintable(log.first()));
        QVERIFY(log.at(1).startsWith(QStringLiteral("wait:")));
        log.clear();
        runCheck(*check, true);
        QVERIFY(log.first().startsWith(QStringLiteral("wait:")));
        // The user's check during that wait: told, and it waits only what
        // the server asks.
        host->holdWaits = true;
        log.clear();
        QVERIFY(check->start(true));
        QVERIFY(!check->start(false));
        QVERIFY2(log.at(1).startsWith(QStringLiteral("notice:")) && log.at(1).contains(QStringLiteral("60 秒")),
                 qPrintable(log.join('|')));
        QVERIFY(log.at(2).startsWith(QStringLiteral("wait:")) && log.at(2).mid(5).toInt() <= 60000);
        host->endHeldWait();
        QVERIFY(!check->isRunning());
        QCOMPARE(log.count(QStringLiteral("connect:pop.example.jp")), 1);
        host->holdWaits = false;
        // A wrong password is told at once.
        lib->loginFails = true;
        lib->loginBusy = false;
        log.clear();
        runCheck(*check, true);
        QCOMPARE(log.filter(QStringLiteral("error:")).size(), 1);
    }

    void emptyAccountOpensTheAccountWindow()
    {
        setAccount(QStringLiteral("taro"), QString());
        settings.setAccountId(QStringLiteral("typed"));
        settings.setAccountPassword(QStringLiteral("typed"));
        lib->senders = {QStringLiteral("a@example.jp")};
        const CheckOutcome out = runCheck(*check);
        QVERIFY(!out.loginTried);
        QCOMPARE(log, QStringList({"connect:pop.example.jp", "account:taro/", "showAccountWindow", "close:1"}));
        // What the file holds replaces what was typed.
        QCOMPARE(settings.accountPassword(), QString());

        // No account file at all.
        QVERIFY(QFile::remove(idPassIniPath()));
        log.clear();
        runCheck(*check);
        QCOMPARE(log, QStringList({"connect:pop.example.jp", "account:/", "showAccountWindow", "close:1"}));

        // An OAuth account has no password: it signs in with a token.
        setAccount(QStringLiteral("taro"), QString());
        for (const auto& [key, value] : {std::pair{"KIND", "custom"}, {"CLIENT_ID", "c"}, {"TOKEN", "https://t/"}})
            QVERIFY(WriteIniText(iniPath(), QStringLiteral("OAUTH"), QLatin1String(key), QLatin1String(value)).ok);
        log.clear();
        QVERIFY(runCheck(*check).loginTried);
        QCOMPARE(log.mid(0, 3), QStringList({"connect:pop.example.jp", "account:taro/", "token:1:taro"}));
    }

    void negativeSizeSkipsOnlyThatDownload()
    {
        lib->senders = {QStringLiteral("a@x"), QStringLiteral("b@x"), QStringLiteral("c@x")};
        lib->sizes = {100, -1, 0};
        const CheckOutcome out = runCheck(*check);
        QCOMPARE(out.sizeFailures, 1);
        QCOMPARE(out.getMailCalls, 2);
        QCOMPARE(log.mid(3, 8), QStringList({"status:1", "size:1", "get:1", "status:2", "size:2", "status:3",
                                             "size:3", "get:3"}));
        QCOMPARE(host->boardText2, QStringLiteral("3"));
    }

    void unreadableMessages()
    {
        QVERIFY(writeStore(storePath(), {QStringLiteral("boss@example.jp")}));
        // Message 2's header cannot be read but its size can: the previous
        // sender is not matched a second time, and the check goes on.
        lib->senders = {QStringLiteral("boss@example.jp"), QStringLiteral("boss@example.jp"), QStringLiteral("x@y")};
        lib->badStatus = {2};
        // A server where no header can be read says so once; the check goes on.
        lib->serverNotice = QStringLiteral("特定者からのメールかどうかは調べられません");
        CheckOutcome out = runCheck(*check);
        QVERIFY(log.contains(QStringLiteral("error:特定者からのメールかどうかは調べられません")));
        QCOMPARE(out.matchCount, 1);
        QCOMPARE(out.getMailCalls, 3);
        QCOMPARE(lib->plannedCount, 3);

        // A healthy server that answers -ERR to both the header and the size
        // of one message: the watched sender after it is still found.
        lib->senders = {QStringLiteral("x@y"), QStringLiteral("x@y"), QStringLiteral("boss@example.jp")};
        lib->sizes = {100, -1, 100};
        out = runCheck(*check);
        QCOMPARE(out.abandonedAt, 0);
        QCOMPARE(out.matchCount, 1);
        QCOMPARE(out.getMailCalls, 2);

        // A session lost on the last message after its sender was read: nothing
        // was missed, so nothing to tell.
        log.clear();
        lib->sizes.clear();
        lib->brokenFrom = 3;
        out = runCheck(*check);
        QCOMPARE(out.abandonedAt, 3);
        QCOMPARE(afterClose(), QStringList({"board:新着メールが有ります/3", "showBoard", "alert"}));

        // A server that counts far more messages than it can serve and then
        // loses the session: the check stops there, closes, says why and how
        // far it got, and still reports what was read and counted.
        log.clear();
        lib->badStatus.clear();
        lib->senders = {QStringLiteral("boss@example.jp")};
        lib->countOverride = 2'000'000'000;
        lib->brokenFrom = 2;
        lib->errorText = QStringLiteral("サーバーが接続を切りました");
        out = runCheck(*check);
        QCOMPARE(out.abandonedAt, 2);
        QCOMPARE(out.matchCount, 1);
        QCOMPARE(afterClose(), QStringList({"message:0:8192",
                                            "error:メールの確認を途中で打ち切りました。2000000000 通中 1 通目まで確認しました。\n"
                                            "サーバーが接続を切りました\n残りのメールの差出人は調べていません。",
                                            "board:新着メールが有ります/2000000000", "showBoard", "alert"}));
        QCOMPARE(log.count(QStringLiteral("close:1")), 1);

        // The same count from a server that keeps answering: the walk ends at
        // its time limit, and the check closes, says so and reports as usual.
        log.clear();
        lib->brokenFrom = 0;
        check->setWalkLimit(2000);
        out = runCheck(*check);
        QCOMPARE(out.abandonedAt, 0);
        QVERIFY(out.walkCutAt > 2);
        QCOMPARE(out.matchCount, 1);
        QCOMPARE(afterClose(), QStringList({"error:メールの確認を途中で打ち切りました。2000000000 通中 1 通目まで確認しました。\n"
                                            "確認にかけられる時間（2 秒）を使い切りました。\n残りのメールの差出人は調べていません。",
                                            "board:新着メールが有ります/2000000000", "showBoard", "alert"}));
    }

    // A TLS failure at connect is shown in the error box (the library has
    // closed the connection); a server that is merely off stays silent.
    void tlsFailureIsShownAnUnreachableServerIsNot()
    {
        host->hangUpOn = true;
        lib->connectResult = -1;
        lib->errorText = QStringLiteral("サーバー「pop.example.jp」と TLS で接続できません（証明書の期限が切れています）");
        lib->connectFailsOverTls = true;
        runCheck(*check);
        QCOMPARE(log, QStringList({"connect:pop.example.jp", "message:0:8192",
                                   "error:サーバー「pop.example.jp」と TLS で接続できません（証明書の期限が切れています）",
                                   "hangUp"}));
        log.clear();
        lib->connectFailsOverTls = false;
        runCheck(*check);
        QCOMPARE(log, QStringList({"connect:pop.example.jp", "hangUp"}));
    }

    void storeIsReadAfreshForEachMessage()
    {
        QVERIFY(writeStore(storePath(), {QStringLiteral("nobody@x")}));
        lib->senders = {QStringLiteral("new@example.jp"), QStringLiteral("new@example.jp")};
        // The store changes while the server is read: what it is then is
        // matched.
        lib->onStatus = [this](int m) {
            if (m == 2)
                QVERIFY(writeStore(storePath(), {QStringLiteral("nobody@x"), QStringLiteral("new@example.jp")}));
        };
        QCOMPARE(runCheck(*check).matchCount, 2);
        QCOMPARE(host->text6, QStringLiteral("new@example.jp"));

        // A missing store is created empty; nothing matches.
        QVERIFY(QFile::remove(storePath()));
        lib->onStatus = nullptr;
        log.clear();
        QCOMPARE(runCheck(*check).matchCount, 0);
        QVERIFY(QFile::exists(storePath()));
        QCOMPARE(afterClose(), QStringList({"board:新着メールが有ります/2", "showBoard"}));
    }

    void matchCountStopsAt32767()
    {
        QStringList many;
        for (int i = 0; i < 20000; ++i)
            many << QStringLiteral("a");
        QVERIFY(writeStore(storePath(), many));
        lib->senders = {QStringLiteral("a"), QStringLiteral("a")};
        const CheckOutcome out = runCheck(*check);
        QCOMPARE(out.matchCount, std::int16_t(32767));
        QVERIFY(afterClose().contains(QStringLiteral("alert")));
        QVERIFY(!out.recordsIgnored);

        // Records past the 32,766 a store can address are not matched, and
        // the outcome says so (the main window tells the user once).
        QVERIFY(writeStore(storePath(), QStringList(32766 + 3, QStringLiteral("a"))));
        lib->senders = {QStringLiteral("a")};
        const CheckOutcome capped = runCheck(*check);
        QCOMPARE(capped.matchCount, std::int16_t(32766));
        QVERIFY(capped.recordsIgnored);
    }

    void aCheckNeverStartsInsideAnother()
    {
        lib->senders = {QStringLiteral("a@x")};
        host->autoClose = true;
        bool nested = true;
        host->duringWait = [&] { nested = check->start(); };
        const CheckOutcome out = runCheck(*check);
        QVERIFY(out.started);
        QVERIFY(!nested);
        QCOMPARE(log.count(QStringLiteral("connect:pop.example.jp")), 1);
        QVERIFY(!check->isRunning());
        // The user who asked was told, until the check was over.
        QCOMPARE(log.filter(QStringLiteral("notice:")),
                 QStringList({QStringLiteral("notice:") + CheckMail::kBusyNotice, QStringLiteral("notice:")}));

        host->duringWait = nullptr;
        QVERIFY(runCheck(*check).started);
    }

    // The real library on its worker, against a server on loopback: a box
    // the user holds open (a nested event loop, as exec() runs) does not
    // hold the check, which answers, tells and ends inside it.
    void theWorkerGoesOnWhileABoxIsOpen()
    {
        FakePop3Server server;
        server.greeting("+OK ready");
        for (int i = 0; i < 5; ++i) // whatever comes (CAPA, USER, PASS, QUIT)
            server.expect("*", "-ERR [AUTH] wrong password");
        QVERIFY(server.start());
        settings.setPop3Server(server.serverText());
        ThreadedMailWorker threaded(std::make_unique<NMail>());
        threaded.post([](MailLibrary& library) { library.NMailInitializeWinSock(); });
        CheckMail viaWorker(threaded, settings, *host);
        bool endedInsideTheBox = false;
        QEventLoop box;
        viaWorker.setFinishedHandler([&](const CheckOutcome&) {
            endedInsideTheBox = box.isRunning();
            box.quit();
        });
        QVERIFY(viaWorker.start());
        QTimer::singleShot(20000, &box, &QEventLoop::quit);
        box.exec();
        QVERIFY(endedInsideTheBox);
        QCOMPARE(server.mismatch(), QString());
        const QStringList errors = log.filter(QStringLiteral("error:"));
        QCOMPARE(errors.size(), 1);
        QVERIFY2(errors[0].contains(QStringLiteral("wrong password")), qPrintable(errors[0]));
    }
};

QTEST_GUILESS_MAIN(CycleTest)
#include "test_cycle.moc"
