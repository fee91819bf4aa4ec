#include "TestFolder.h"

#include "platform/FormInstance.h"
#include "platform/ProgramIcon.h"
#include "settings/OptionForm.h"
#include "settings/ProcessSettings.h"
#include "settings/ServerFile.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QtTest>

using namespace qp;

class TestOptionForm : public QObject {
    Q_OBJECT

    std::unique_ptr<TestFolder> folder;
    ProcessSettings settings;
    FormInstance<OptionForm> form;

    QString serverFile() const { return folder->workingFolder() + QStringLiteral("/ferrule.ini"); }
    template <typename W> W* control(const char* name)
    {
        return form.touch()->findChild<W*>(QString::fromLatin1(name));
    }
    OptionForm* showActive()
    {
        OptionForm* f = form.show();
        f->activateWindow();
        if (!QTest::qWaitForWindowActive(f))
            qWarning("window did not become active");
        return f;
    }
    bool unloaded()
    {
        finishUnload();
        return !form.isLoaded();
    }
    void fill(const QString& smtp, const QString& pop3, const QString& mail, bool apop)
    {
        control<QLineEdit>("SmtpText")->setText(smtp);
        control<QLineEdit>("Pop3Text")->setText(pop3);
        control<QLineEdit>("MailText")->setText(mail);
        control<QCheckBox>("ApopCheck")->setChecked(apop);
    }

private slots:
    void init()
    {
        folder = std::make_unique<TestFolder>();
        settings = ProcessSettings();
        form.setFactory([this] { return new OptionForm(settings); });
    }
    void cleanup()
    {
        form.unload();
        folder.reset();
    }

    void loadShowsTheProcessValuesNotTheFile_data()
    {
        QTest::addColumn<int>("apop");
        QTest::addColumn<bool>("ticked");
        QTest::newRow("APOP 0") << 0 << false;
        QTest::newRow("APOP 1") << 1 << true;
        QTest::newRow("APOP 5 logs in with APOP, so shown ticked") << 5 << true;
        QTest::newRow("APOP -1") << -1 << true;
    }
    void loadShowsTheProcessValuesNotTheFile()
    {
        QFETCH(int, apop);
        QFETCH(bool, ticked);
        TestFolder::writeCp932(serverFile(), QStringLiteral("SMTP=file\r\nPOP3=file\r\n"));
        settings.setSmtpServer(QStringLiteral("smtp.example.jp"));
        settings.setPop3Server(QStringLiteral("pop.example.jp"));
        settings.setMailAddress(QStringLiteral("花子@example.jp"));
        settings.setUseApop(std::int16_t(apop));
        OptionForm* f = form.touch();
        QCOMPARE(control<QLineEdit>("SmtpText")->text(), QStringLiteral("smtp.example.jp"));
        QCOMPARE(control<QLineEdit>("Pop3Text")->text(), QStringLiteral("pop.example.jp"));
        QCOMPARE(control<QLineEdit>("MailText")->text(), QStringLiteral("花子@example.jp"));
        QCOMPARE(control<QCheckBox>("ApopCheck")->isChecked(), ticked);
        QVERIFY(f->windowFlags() & Qt::WindowStaysOnTopHint);
    }

    void okWritesExactlyFourLinesThatReadBack()
    {
        showActive();
        // The POP3 name pasted with its line end, as copying a line gives it.
        fill(QStringLiteral("smtp.example.jp"), QStringLiteral("pop.example.jp:995\r\n"),
             QStringLiteral("太郎@example.jp"), true);
        QTest::mouseClick(control<QPushButton>("OkCommand"), Qt::LeftButton);
        QVERIFY(unloaded());
        QCOMPARE(TestFolder::bytes(serverFile()),
                 QByteArray("SMTP=smtp.example.jp\r\nPOP3=pop.example.jp:995\r\nMAIL=")
                     + cp932::encode(QStringLiteral("太郎@example.jp")).bytes + "\r\nAPOP=1\r\n");
        QCOMPARE(settings.pop3Server(), QStringLiteral("pop.example.jp:995"));
        QCOMPARE(settings.useApop(), 1);

        // What a restart reads back, and what the window shows then.
        ProcessSettings restarted;
        QVERIFY(LoadServerFile(restarted));
        QCOMPARE(restarted.smtpServer(), QStringLiteral("smtp.example.jp"));
        QCOMPARE(restarted.mailAddress(), QStringLiteral("太郎@example.jp"));
        QCOMPARE(restarted.useApop(), 1);
        settings = restarted;
        QTRY_VERIFY(control<QCheckBox>("ApopCheck")->isChecked());
    }

    void okWithEverythingEmptyWritesEmptyKeys()
    {
        settings.setPop3Server(QStringLiteral("old"));
        settings.setUseApop(1);
        form.touch();
        fill(QString(), QString(), QString(), false);
        form.touch()->OKCommand_Click();
        QVERIFY(unloaded());
        QCOMPARE(TestFolder::bytes(serverFile()), QByteArray("SMTP=\r\nPOP3=\r\nMAIL=\r\nAPOP=0\r\n"));
        QVERIFY(settings.pop3Server().isEmpty());
        QCOMPARE(settings.useApop(), 0);
    }

    void enterInABoxDoesNotConfirm()
    {
        showActive();
        fill(QStringLiteral("s"), QStringLiteral("p"), QStringLiteral("m"), false);
        for (const char* box : {"SmtpText", "Pop3Text", "MailText"})
            QTest::keyClick(control<QLineEdit>(box), Qt::Key_Return);
        QTest::keyClick(control<QCheckBox>("ApopCheck"), Qt::Key_Enter);
        finishUnload();
        QVERIFY(form.isLoaded());
        QVERIFY(!QFileInfo::exists(serverFile()));
        QVERIFY(settings.pop3Server().isEmpty());

        // A focused button still answers Enter, as buttons do.
        auto* ok = control<QPushButton>("OkCommand");
        ok->setFocus();
        QTest::keyClick(ok, Qt::Key_Return);
        QVERIFY(unloaded());
        QCOMPARE(settings.pop3Server(), QStringLiteral("p"));
    }

    void escapeCancelAndCloseBoxChangeNothing_data()
    {
        QTest::addColumn<QString>("how");
        QTest::newRow("Escape") << "escape";
        QTest::newRow("中止") << "cancel";
        QTest::newRow("close box") << "close";
    }
    void escapeCancelAndCloseBoxChangeNothing()
    {
        QFETCH(QString, how);
        TestFolder::writeCp932(serverFile(), QStringLiteral("POP3=kept\r\n"));
        settings.setPop3Server(QStringLiteral("kept"));
        OptionForm* f = showActive();
        fill(QStringLiteral("x"), QStringLiteral("y"), QStringLiteral("z"), true);
        if (how == "escape")
            QTest::keyClick(control<QLineEdit>("MailText"), Qt::Key_Escape);
        else if (how == "cancel")
            QTest::mouseClick(control<QPushButton>("CancelCommand"), Qt::LeftButton);
        else
            f->close();
        QVERIFY(unloaded());
        QCOMPARE(settings.pop3Server(), QStringLiteral("kept"));
        QCOMPARE(settings.useApop(), 0);
        QCOMPARE(TestFolder::bytes(serverFile()), QByteArray("POP3=kept\r\n"));
        // The next opening starts from the process values again.
        QCOMPARE(control<QLineEdit>("Pop3Text")->text(), QStringLiteral("kept"));
    }

    // A save that fails is reported; the window stays open with the entries.
    void failedSaveIsReported_data()
    {
        QTest::addColumn<QString>("pop3");
        QTest::addColumn<bool>("removeWorkingFolder");
        QTest::addColumn<QString>("expectedText");
        QTest::newRow("not in Shift-JIS") << QStringLiteral("pop.\U0001F600.jp") << false << "Shift-JIS";
        QTest::newRow("working folder gone") << QStringLiteral("pop.example.jp") << true << "ferrule.ini";
    }
    void failedSaveIsReported()
    {
        QFETCH(QString, pop3);
        QFETCH(bool, removeWorkingFolder);
        QFETCH(QString, expectedText);
        TestFolder::writeCp932(serverFile(), QStringLiteral("POP3=old\r\n"));
        if (removeWorkingFolder)
            QVERIFY(QDir(folder->workingFolder()).removeRecursively());
        showActive();
        fill(QString(), pop3, QString(), false);
        form.touch()->OKCommand_Click();
        finishUnload();
        QVERIFY(form.isLoaded());
        QCOMPARE(control<QLineEdit>("Pop3Text")->text(), pop3);
        QCOMPARE(folder->messages.size(), 1);
        QVERIFY2(folder->messages[0].text.contains(expectedText), qPrintable(folder->messages[0].text));
        QVERIFY(folder->messages[0].text.contains(QStringLiteral("今回の起動中だけ")));
        QCOMPARE(settings.pop3Server(), pop3); // in use for this run
        if (!removeWorkingFolder)
            QCOMPARE(TestFolder::bytes(serverFile()), QByteArray("POP3=old\r\n"));
    }

    void accessKeys()
    {
        OptionForm* f = showActive();
        const struct { Qt::Key key; const char* target; } keys[] = {
            {Qt::Key_P, "Pop3Text"}, {Qt::Key_M, "MailText"}, {Qt::Key_S, "SmtpText"},
        };
        for (const auto& k : keys) {
            QTest::keyClick(f->focusWidget(), k.key, Qt::AltModifier);
            QCOMPARE(f->focusWidget()->objectName(), QString::fromLatin1(k.target));
        }
        QTest::keyClick(f->focusWidget(), Qt::Key_A, Qt::AltModifier);
        QTRY_VERIFY(control<QCheckBox>("ApopCheck")->isChecked());
    }

    void windowShapeAndTabOrder()
    {
        OptionForm* f = showActive();
        QCOMPARE(f->windowTitle(), QStringLiteral("サーバー設定"));
        QCOMPARE(f->windowIcon().pixmap(32).toImage(), programIcon().pixmap(32).toImage());
        QVERIFY(!f->windowIcon().isNull());
        QVERIFY(!control<QPushButton>("OkCommand")->isDefault()); // Enter in a box confirms nothing
        QCOMPARE(f->minimumSize(), f->maximumSize());
        QVERIFY(!(f->windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint)));
        QCOMPARE(f->focusWidget(), control<QLineEdit>("SmtpText"));
        QCOMPARE(tabWalk(f, control<QLineEdit>("SmtpText"), 7),
                 QStringList({"SmtpText", "Pop3Text", "ApopCheck", "OkCommand", "CancelCommand",
                              "MailText", "SmtpText"}));
    }
};

QTEST_MAIN(TestOptionForm)
#include "tst_optionform.moc"
