#include "TestFolder.h"

#include "platform/FormInstance.h"
#include "platform/MessageBoxes.h"
#include "platform/ProgramIcon.h"
#include "settings/AutoCheckDisplay.h"
#include "settings/IniFile.h"
#include "settings/SetForm.h"
#include "settings/SettingsPaths.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QtTest>

using namespace qp;

namespace {

// Stands in for the main window: remembers what the interval box switched.
struct FakeDisplay : AutoCheckDisplay {
    QStringList calls;
    void autoCheckOn(const QString& t) override { calls.append(QStringLiteral("ON ") + t); }
    void autoCheckOff(const QString& t) override { calls.append(QStringLiteral("OFF ") + t); }
};

QString iniValue(const QString& key)
{
    return ReadIniText(iniPath(), key, QStringLiteral("<missing>"));
}

} // namespace

class TestSetForm : public QObject {
    Q_OBJECT

    std::unique_ptr<TestFolder> folder;
    FakeDisplay display;
    int accountOpened = 0;
    int serverOpened = 0;
    FormInstance<SetForm> form;

    void writeIni(const QString& body)
    {
        TestFolder::writeCp932(folder->dataFolder() + QStringLiteral("/ini.ini"),
                               QStringLiteral("[EXEINI]\r\n") + body);
    }
    template <typename W> W* control(const char* name)
    {
        return form.touch()->findChild<W*>(QString::fromLatin1(name));
    }
    // Replaces the interval box's text by typing, as the user would.
    void typeInterval(const QString& text)
    {
        QLineEdit* box = control<QLineEdit>("Text2");
        box->selectAll();
        if (text.isEmpty())
            QTest::keyClick(box, Qt::Key_Backspace);
        else
            QTest::keyClicks(box, text);
    }
    // Closes the window with its close box and lets it unload.
    void closeWindow()
    {
        QVERIFY(form.touch()->close());
        finishUnload();
        QVERIFY(!form.isLoaded());
    }

private slots:
    void init()
    {
        folder = std::make_unique<TestFolder>();
        display.calls.clear();
        accountOpened = serverOpened = 0;
        form.setFactory([this] {
            return new SetForm(display, [this] { ++accountOpened; }, [this] { ++serverOpened; });
        });
    }
    void cleanup()
    {
        form.unload();
        folder.reset();
    }

    void load_data()
    {
        QTest::addColumn<QString>("ini");
        QTest::addColumn<int>("check1");
        QTest::addColumn<QString>("interval");
        QTest::addColumn<int>("check2");
        QTest::addColumn<QStringList>("calls");
        QTest::addColumn<QString>("storedInterval");

        QTest::newRow("no file: all off, 0 stored at once")
            << QString() << 0 << "0" << 0 << QStringList{"OFF 0"} << "0";
        QTest::newRow("stored values")
            << "NUMBER=1\r\nNUMBER2=5\r\nNUMBER4=1\r\n" << 1 << "5" << 1 << QStringList{"ON 5"} << "5";
        QTest::newRow("flags other than 0 and 1 leave the boxes unticked")
            << "NUMBER=2\r\nNUMBER2=0\r\nNUMBER4=-1\r\n" << 0 << "0" << 0 << QStringList{"OFF 0"} << "0";
        QTest::newRow("letters read as 0 and are overwritten by 0")
            << "NUMBER2=abc\r\n" << 0 << "0" << 0 << QStringList{"OFF 0"} << "0";
        QTest::newRow("1.5 reads back as 1, file keeps 1.5")
            << "NUMBER2=1.5\r\n" << 0 << "1" << 0 << QStringList{"ON 1"} << "1.5";
        QTest::newRow("negative interval switches nothing")
            << "NUMBER2=-3\r\n" << 0 << "-3" << 0 << QStringList{} << "-3";
    }
    void load()
    {
        QFETCH(QString, ini);
        QFETCH(int, check1);
        QFETCH(QString, interval);
        QFETCH(int, check2);
        QFETCH(QStringList, calls);
        QFETCH(QString, storedInterval);
        if (!ini.isNull())
            writeIni(ini);

        SetForm* f = form.touch();
        QVERIFY(f->isHidden());
        QCOMPARE(f->check1Value(), check1);
        QCOMPARE(f->text2(), interval);
        QCOMPARE(f->check2Value(), check2);
        QCOMPARE(display.calls, calls);
        QCOMPARE(iniValue("NUMBER2"), storedInterval);
    }

    void loadWithoutDataFolderStoresNothing()
    {
        QVERIFY(QDir(folder->dataFolder()).removeRecursively());
        SetForm* f = form.touch();
        QCOMPARE(f->text2(), QStringLiteral("0"));
        QCOMPARE(display.calls, QStringList{"OFF 0"});
        QVERIFY(!QFileInfo::exists(folder->dataFolder()));
        closeWindow(); // the unload's writes are lost too, without a fault
        QVERIFY(!QFileInfo::exists(folder->dataFolder()));
        QVERIFY(folder->messages.isEmpty());
    }

    void emptyingTheBoxMeansZeroAtOnce()
    {
        writeIni("NUMBER2=7\r\n");
        form.touch();
        display.calls.clear();
        typeInterval(QString());
        QCOMPARE(control<QLineEdit>("Text2")->text(), QStringLiteral("0"));
        QCOMPARE(display.calls, QStringList{"OFF 0"});
        QCOMPARE(iniValue("NUMBER2"), QStringLiteral("0"));
    }

    void positiveIntervalReachesTheFileOnlyOnClose()
    {
        writeIni("NUMBER2=0\r\n");
        form.touch();
        display.calls.clear();
        typeInterval(QStringLiteral("5"));
        QCOMPARE(display.calls, QStringList{"ON 5"});
        QCOMPARE(iniValue("NUMBER2"), QStringLiteral("0"));
        closeWindow();
        QCOMPARE(iniValue("NUMBER2"), QStringLiteral("5"));

        // One the file cannot hold is used, and the user hears it is not kept.
        QList<MessageRequest> told;
        setMessageHandler([&](QWidget*, const MessageRequest& r) { told << r; return QMessageBox::Ok; });
        control<QLineEdit>("Text2")->insert(QStringLiteral("\U0001F600"));
        QCOMPARE(display.calls.last(), QStringLiteral("ON 5\U0001F600"));
        QVERIFY(told.isEmpty());
        closeWindow();
        setMessageHandler({});
        QCOMPARE(iniValue("NUMBER2"), QStringLiteral("5"));
        QCOMPARE(told.size(), 1);
        QVERIFY(told[0].text.contains(QStringLiteral("Shift-JIS")));
    }

    void typedTextIsShownAndStoredAsTyped()
    {
        // A fraction is rounded to the whole minutes checks can come at; the
        // window says so, and the rounded value is what is stored.
        form.touch();
        display.calls.clear();
        typeInterval(QStringLiteral("1.5"));
        QCOMPARE(display.calls, QStringList({"ON 1", "ON 1.", "ON 2"}));
        QVERIFY(control<QWidget>("Label3")->property("text").toString().contains(QStringLiteral("2 分の間隔")));
        closeWindow();
        QCOMPARE(iniValue("NUMBER2"), QStringLiteral("2"));
        display.calls.clear();
        QCOMPARE(form.touch()->text2(), QStringLiteral("2"));
        QCOMPARE(display.calls, QStringList{"ON 2"});

        // Text that starts with no number switches checking off and is kept as typed.
        display.calls.clear();
        typeInterval(QStringLiteral("x"));
        QCOMPARE(display.calls, QStringList{"OFF x"});
        QCOMPARE(iniValue("NUMBER2"), QStringLiteral("x"));

        // A negative interval leaves the main window as it was (its lone
        // minus sign on the way reads as 0).
        display.calls.clear();
        typeInterval(QStringLiteral("-4"));
        QCOMPARE(display.calls, QStringList({"OFF -"}));
        QCOMPARE(control<QLineEdit>("Text2")->text(), QStringLiteral("-4"));
    }

    void settingTheSameTextChangesNothing()
    {
        writeIni("NUMBER2=3\r\n");
        SetForm* f = form.touch();
        display.calls.clear();
        f->setText2(QStringLiteral("3"));
        QVERIFY(display.calls.isEmpty());
        f->setText2(QStringLiteral("10"));
        QCOMPARE(display.calls, QStringList{"ON 10"});
        f->setText2(QString());
        QCOMPARE(f->text2(), QStringLiteral("0"));
        QCOMPARE(display.calls.last(), QStringLiteral("OFF 0"));
    }

    void storedFlagsOtherThanZeroOrOneLeaveTheBoxes()
    {
        SetForm* f = form.touch();
        f->setCheck1Value(1);
        f->setCheck2Value(1);
        f->setCheck1Value(2);
        f->setCheck2Value(-1);
        QCOMPARE(f->check1Value(), 1);
        QCOMPARE(f->check2Value(), 1);
        f->setCheck1Value(0);
        QCOMPARE(f->check1Value(), 0);
    }

    void closeStoresTheThreeSettingsAndReopenShowsThem()
    {
        writeIni("NUMBER=0\r\nNUMBER2=2\r\nNUMBER4=1\r\nNAME=/usr/bin/mailer\r\n");
        form.show();
        QTest::mouseClick(control<QCheckBox>("Check1"), Qt::LeftButton);
        QTest::mouseClick(control<QCheckBox>("Check2"), Qt::LeftButton);
        QCOMPARE(form.touch()->check1Value(), 1);
        QCOMPARE(form.touch()->check2Value(), 0);
        QCOMPARE(iniValue("NUMBER"), QStringLiteral("0")); // not before the close
        closeWindow();
        QCOMPARE(iniValue("NUMBER"), QStringLiteral("1"));
        QCOMPARE(iniValue("NUMBER2"), QStringLiteral("2"));
        QCOMPARE(iniValue("NUMBER4"), QStringLiteral("0"));
        QCOMPARE(iniValue("NAME"), QStringLiteral("/usr/bin/mailer")); // other keys kept

        SetForm* again = form.touch();
        QVERIFY(again->isHidden());
        QCOMPARE(again->check1Value(), 1);
        QCOMPARE(again->check2Value(), 0);
        QCOMPARE(again->text2(), QStringLiteral("2"));
    }

    void unloadAtProcessEndStoresNothing()
    {
        writeIni("NUMBER=0\r\nNUMBER2=2\r\n");
        form.touch()->setCheck1Value(1);
        form.touch()->setText2(QStringLiteral("9"));
        form.unload();
        QCOMPARE(iniValue("NUMBER"), QStringLiteral("0"));
        QCOMPARE(iniValue("NUMBER2"), QStringLiteral("2"));
    }

    void buttonsOpenTheOtherWindows()
    {
        form.show();
        QTest::mouseClick(control<QPushButton>("Command1"), Qt::LeftButton);
        QCOMPARE(accountOpened, 1);
        QCOMPARE(serverOpened, 0);
        QTest::mouseClick(control<QPushButton>("Command2"), Qt::LeftButton);
        QCOMPARE(serverOpened, 1);
        QVERIFY(form.isLoaded()); // the window stays open
    }

    void windowShapeAndTabOrder()
    {
        SetForm* f = form.show();
        QVERIFY(QTest::qWaitForWindowExposed(f));
        QCOMPARE(f->windowTitle(), QStringLiteral("設定"));
        QCOMPARE(f->windowIcon().pixmap(32).toImage(), programIcon().pixmap(32).toImage());
        QVERIFY(!f->windowIcon().isNull());
        QCOMPARE(f->geometry(), QRect(422, 171, 255, 221));
        QCOMPARE(f->minimumSize(), f->maximumSize());
        QVERIFY(!(f->windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint)));
        QVERIFY(!(f->windowFlags() & Qt::WindowStaysOnTopHint));
        QCOMPARE(tabWalk(f, control<QPushButton>("Command2"), 6),
                 QStringList({"Command2", "Command1", "Check1", "Text2", "Check2", "Command2"}));
    }
};

QTEST_MAIN(TestSetForm)
#include "tst_setform.moc"
