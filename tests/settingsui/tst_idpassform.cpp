#include "TestFolder.h"

#include "platform/FormInstance.h"
#include "platform/ProgramIcon.h"
#include "settings/IdPassForm.h"
#include "settings/IniFile.h"
#include "settings/OAuthAccount.h"
#include "settings/OAuthSignIn.h"
#include "settings/OAuthSignInForm.h"
#include "settings/ProcessSettings.h"
#include "settings/SecretStore.h"
#include "settings/SettingsPaths.h"
#include "tests/support/OAuthTestServer.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDesktopServices>
#include <QLabel>
#include <QLineEdit>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPointer>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QPushButton>
#include <QtTest>

using namespace qp;

class TestIdPassForm : public QObject {
    Q_OBJECT

    std::unique_ptr<TestFolder> folder;
    ProcessSettings settings;
    FormInstance<IdPassForm> form;

    QString accountFile() const { return folder->dataFolder() + QStringLiteral("/iniIdPass.ini"); }
    void writeAccount(const QString& body)
    {
        TestFolder::writeCp932(accountFile(), QStringLiteral("[EXEINI]\r\n") + body);
    }
    QString stored(const QString& key) { return ReadIniText(idPassIniPath(), key, QStringLiteral("<missing>")); }
    template <typename W> W* control(const char* name)
    {
        return form.touch()->findChild<W*>(QString::fromLatin1(name));
    }
    // Shown and active, so keys and focus behave as for the user.
    IdPassForm* showActive()
    {
        IdPassForm* f = form.show();
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
    void fill(const QString& id, const QString& password, bool keep)
    {
        control<QLineEdit>("IdText")->setText(id);
        control<QLineEdit>("PassText")->setText(password);
        control<QCheckBox>("Check1")->setChecked(keep);
    }

public slots:
    // The browser the desktop opens: it fetches the page and follows the
    // authorization server's redirect back to the program.
    void openInBrowser(const QUrl& url)
    {
        QNetworkReply* r = browser.get(QNetworkRequest(url));
        connect(r, &QNetworkReply::finished, r, [this, r] { browserPage = r->readAll(); });
    }

private:
    QNetworkAccessManager browser;
    QByteArray browserPage;

private slots:
    void init()
    {
        folder = std::make_unique<TestFolder>();
        settings = ProcessSettings();
        form.setFactory([this] { return new IdPassForm(settings); });
    }
    void cleanup()
    {
        form.unload();
        folder.reset();
    }

    void loadShowsTheStoredAccountMaskedWithKeepUnticked()
    {
        writeAccount("NAME=taro\r\nNAME2=s3cret\r\nNAME3=1\r\n");
        IdPassForm* f = form.touch();
        QVERIFY(f->isHidden());
        QCOMPARE(f->idText(), QStringLiteral("taro"));
        QCOMPARE(f->passText(), QStringLiteral("s3cret"));
        QCOMPARE(control<QLineEdit>("PassText")->displayText(), QStringLiteral("******"));
        QVERIFY(!control<QCheckBox>("Check1")->isChecked());
        // Loading hands nothing to the check yet.
        QVERIFY(settings.accountId().isEmpty());
    }

    void loadWithoutFileGivesEmptyBoxes()
    {
        IdPassForm* f = form.touch();
        QVERIFY(f->idText().isEmpty());
        QVERIFY(f->passText().isEmpty());
        QVERIFY(!QFileInfo::exists(accountFile()));
    }

    void okWithKeepStoresTheAccountForTheOwnerOnly()
    {
        IdPassForm* f = showActive();
        fill(QStringLiteral("山田①"), QStringLiteral("pa=ss"), true);
        QTest::mouseClick(control<QPushButton>("OKCommand"), Qt::LeftButton);
        QVERIFY(unloaded());
        Q_UNUSED(f);
        QCOMPARE(settings.accountId(), QStringLiteral("山田①"));
        QCOMPARE(settings.accountPassword(), QStringLiteral("pa=ss"));
        // Stored in Shift-JIS, in this order, and read back unchanged.
        QCOMPARE(TestFolder::bytes(accountFile()),
                 QByteArray("[EXEINI]\r\nNAME=") + cp932::encode(QStringLiteral("山田①")).bytes
                     + "\r\nNAME2=pa=ss\r\nNAME3=1\r\n");
        const QFileDevice::Permissions perms = QFileInfo(accountFile()).permissions();
        QVERIFY(perms.testFlags(QFileDevice::ReadOwner | QFileDevice::WriteOwner));
        QCOMPARE(perms & (QFileDevice::ReadGroup | QFileDevice::WriteGroup | QFileDevice::ExeGroup
                          | QFileDevice::ReadOther | QFileDevice::WriteOther | QFileDevice::ExeOther),
                 QFileDevice::Permissions());
        QCOMPARE(form.touch()->idText(), QStringLiteral("山田①"));
        QCOMPARE(form.touch()->passText(), QStringLiteral("pa=ss"));

        // Blanks and quotes at the ends come back exactly, for the window
        // and for the check, which reads the file before every log-in.
        fill(QStringLiteral(" taro "), QStringLiteral("\"pw\"\t"), true);
        form.touch()->OKCommand_Click();
        QVERIFY(unloaded());
        QCOMPARE(stored("NAME"), QStringLiteral(" taro "));
        QCOMPARE(stored("NAME2"), QStringLiteral("\"pw\"\t"));
        QCOMPARE(form.touch()->passText(), QStringLiteral("\"pw\"\t"));

        // The password to the keyring (none here: the owner-only file, said
        // once): the account file keeps none, the check reads it from there.
        fill(QStringLiteral("taro"), QStringLiteral("kr-pw"), true);
        control<QCheckBox>("KeyringCheck")->setChecked(true);
        form.touch()->OKCommand_Click();
        QVERIFY(unloaded());
        QVERIFY(TestFolder::bytes(accountFile()).contains("\r\nNAME2=\r\n"));
        QCOMPARE(folder->messages.size(), 1);
        QCOMPARE(storedAccountPassword(), QStringLiteral("kr-pw"));
        QCOMPARE(form.touch()->passText(), QStringLiteral("kr-pw"));
    }

    void okWithKeepAndEmptyBoxesStoresEmptyValues()
    {
        writeAccount("NAME=old\r\nNAME2=oldpass\r\nNAME3=0\r\n");
        form.touch();
        fill(QString(), QString(), true);
        form.touch()->OKCommand_Click();
        QVERIFY(unloaded());
        QCOMPARE(stored("NAME"), QStringLiteral("<missing>")); // present but empty
        QVERIFY(TestFolder::bytes(accountFile()).contains("\r\nNAME=\r\nNAME2=\r\nNAME3=1\r\n"));
        QVERIFY(settings.accountId().isEmpty());
    }

    void okWithoutKeepLeavesTheFileAccountAndStoresZero()
    {
        writeAccount("NAME=old\r\nNAME2=oldpass\r\n");
        form.touch();
        fill(QStringLiteral("new"), QStringLiteral("newpass"), false);
        form.touch()->OKCommand_Click();
        QVERIFY(unloaded());
        QCOMPARE(settings.accountId(), QStringLiteral("new"));
        QCOMPARE(settings.accountPassword(), QStringLiteral("newpass"));
        QCOMPARE(stored("NAME"), QStringLiteral("old"));
        QCOMPARE(stored("NAME2"), QStringLiteral("oldpass"));
        QCOMPARE(stored("NAME3"), QStringLiteral("0"));
    }

    void enterConfirmsFromBoxesAndKeepBox_data()
    {
        QTest::addColumn<QString>("focus");
        QTest::addColumn<int>("key");
        QTest::newRow("Enter in ID") << "IdText" << int(Qt::Key_Return);
        QTest::newRow("Enter in password") << "PassText" << int(Qt::Key_Return);
        QTest::newRow("keypad Enter on keep box") << "Check1" << int(Qt::Key_Enter);
        QTest::newRow("Enter on OK") << "OKCommand" << int(Qt::Key_Return);
    }
    void enterConfirmsFromBoxesAndKeepBox()
    {
        QFETCH(QString, focus);
        QFETCH(int, key);
        IdPassForm* f = showActive();
        fill(QStringLiteral("id1"), QStringLiteral("pw1"), true);
        QWidget* target = f->findChild<QWidget*>(focus);
        target->setFocus();
        QTest::keyClick(target, Qt::Key(key));
        QVERIFY(unloaded());
        QCOMPARE(settings.accountId(), QStringLiteral("id1"));
        QCOMPARE(stored("NAME2"), QStringLiteral("pw1"));
    }

    void escapeCancelAndCloseBoxChangeNothing_data()
    {
        QTest::addColumn<QString>("how");
        QTest::newRow("Escape in password") << "escape";
        QTest::newRow("Enter on Cancel") << "enter-cancel";
        QTest::newRow("Cancel clicked") << "click-cancel";
        QTest::newRow("close box") << "close";
    }
    void escapeCancelAndCloseBoxChangeNothing()
    {
        QFETCH(QString, how);
        writeAccount("NAME=old\r\n");
        const QByteArray before = TestFolder::bytes(accountFile());
        IdPassForm* f = showActive();
        fill(QStringLiteral("typed"), QStringLiteral("typed"), true);
        auto* cancel = control<QPushButton>("CancelCommand");
        if (how == "escape") {
            QTest::keyClick(control<QLineEdit>("PassText"), Qt::Key_Escape);
        } else if (how == "enter-cancel") {
            cancel->setFocus();
            QTest::keyClick(cancel, Qt::Key_Return);
        } else if (how == "click-cancel") {
            QTest::mouseClick(cancel, Qt::LeftButton);
        } else {
            f->close();
        }
        QVERIFY(unloaded());
        QVERIFY(settings.accountId().isEmpty());
        QCOMPARE(TestFolder::bytes(accountFile()), before);
    }

    // Saving can fail: the user is told, and the window keeps what was typed.
    void failedSaveIsReportedAndKeepsTheWindow_data()
    {
        QTest::addColumn<QString>("id");
        QTest::addColumn<bool>("removeDataFolder");
        QTest::addColumn<QString>("expectedText");
        QTest::newRow("not in Shift-JIS") << QStringLiteral("user\U0001F600") << false << "Shift-JIS";
        QTest::newRow("longer than the file gives back")
            << QString(200, QChar(0x3042)) << false << "255";
        QTest::newRow("no data folder") << QStringLiteral("taro") << true << "保存できませんでした";
    }
    void failedSaveIsReportedAndKeepsTheWindow()
    {
        QFETCH(QString, id);
        QFETCH(bool, removeDataFolder);
        QFETCH(QString, expectedText);
        writeAccount("NAME=old\r\nNAME2=oldpass\r\n");
        const QByteArray before = TestFolder::bytes(accountFile());
        if (removeDataFolder)
            QVERIFY(QDir(folder->dataFolder()).removeRecursively());
        showActive();
        fill(id, QStringLiteral("pw"), true);
        form.touch()->OKCommand_Click();
        finishUnload();
        QVERIFY(form.isLoaded());
        QVERIFY(form.touch()->isVisible());
        QCOMPARE(form.touch()->idText(), id);
        QCOMPARE(folder->messages.size(), 1);
        QVERIFY2(folder->messages[0].text.contains(expectedText), qPrintable(folder->messages[0].text));
        if (!removeDataFolder)
            QCOMPARE(TestFolder::bytes(accountFile()), before); // nothing half-written
        else
            QVERIFY(!QFileInfo::exists(folder->dataFolder()));
    }

    void untickedSaveWithoutDataFolderIsSilent()
    {
        QVERIFY(QDir(folder->dataFolder()).removeRecursively());
        form.touch();
        fill(QStringLiteral("a"), QStringLiteral("b"), false);
        form.touch()->OKCommand_Click();
        QVERIFY(unloaded());
        QVERIFY(folder->messages.isEmpty());
        QCOMPARE(settings.accountId(), QStringLiteral("a"));
    }

    // A custom OAuth2 server, signed in from the windows with the browser.
    void signInWithCustomServerFromTheWindows()
    {
        test::OAuthTestServer server;
        QVERIFY(server.start());
        QDesktopServices::setUrlHandler(QStringLiteral("http"), this, "openInBrowser");
        auto unset = qScopeGuard([] { QDesktopServices::unsetUrlHandler(QStringLiteral("http")); });
        IdPassForm* f = showActive();
        control<QLineEdit>("IdText")->setText(QStringLiteral("alice"));
        auto* kind = control<QComboBox>("SignInKind");
        QVERIFY(kind->findData(QStringLiteral("custom")) >= 0);
        kind->setCurrentIndex(kind->findData(QStringLiteral("custom")));
        QTest::mouseClick(control<QPushButton>("SignInCommand"), Qt::LeftButton);
        auto* w = f->findChild<OAuthSignInForm*>();
        QVERIFY(w);
        QVERIFY(w->isVisible());
        auto field = [w](const char* name) { return w->findChild<QLineEdit*>(QLatin1String(name)); };
        auto button = [w](const QString& text) {
            for (QPushButton* b : w->findChildren<QPushButton*>())
                if (b->text() == text)
                    return b;
            return static_cast<QPushButton*>(nullptr);
        };
        QTest::keyClicks(field("issuer"), server.issuer());
        QTest::keyClicks(field("clientId"), QLatin1String(test::OAuthTestServer::kClientId));
        field("scope")->clear();
        QTest::keyClicks(field("scope"), QStringLiteral("mail offline"));
        QTest::mouseClick(button(QStringLiteral("サーバーから取得")), Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(field("token")->text(), server.url("/token"), 10000);
        QVERIFY(field("authorize")->text().startsWith(server.issuer()));
        const QString key = w->settings().secretKey(QStringLiteral("alice"));
        QSignalSpy signedIn(w, &OAuthSignInForm::signedIn);
        QTest::mouseClick(button(QStringLiteral("ブラウザでサインイン")), Qt::LeftButton);
        QPointer<OAuthSignInForm> window(w);
        QVERIFY2(signedIn.wait(10000), qPrintable(window->findChild<QLabel*>(QStringLiteral("status"))->text()));
        QTRY_VERIFY(!window); // closed once signed in
        QTRY_VERIFY(QString::fromUtf8(browserPage).contains(OAuthBrowserSignIn::donePageText()));
        QVERIFY(!SecretStore(secretFilePath()).read(key).isEmpty());
        QCOMPARE(loadOAuthSettings(iniPath()).clientId, QLatin1String(test::OAuthTestServer::kClientId));
    }

    void windowShapeAndTabOrder()
    {
        IdPassForm* f = showActive();
        QCOMPARE(f->windowTitle(), QStringLiteral("ID,PASS"));
        QCOMPARE(f->windowIcon().pixmap(32).toImage(), programIcon().pixmap(32).toImage());
        QVERIFY(!f->windowIcon().isNull());
        QVERIFY(control<QPushButton>("OKCommand")->isDefault());
        QCOMPARE(f->minimumSize(), f->maximumSize());
        QVERIFY(!(f->windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint)));
        QCOMPARE(f->focusWidget(), control<QLineEdit>("IdText"));
        QCOMPARE(tabWalk(f, control<QLineEdit>("IdText"), 8),
                 QStringList({"IdText", "PassText", "OKCommand", "CancelCommand", "Check1", "SignInKind", "KeyringCheck",
                              "IdText"}));
        // Clicking the keep box's text does not tick it.
        QTest::mouseClick(f->findChild<QWidget*>(QStringLiteral("Label2_1")), Qt::LeftButton);
        QVERIFY(!control<QCheckBox>("Check1")->isChecked());
    }
};

QTEST_MAIN(TestIdPassForm)
#include "tst_idpassform.moc"
