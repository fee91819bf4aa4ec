#include "notify/MsgForm.h"
#include "platform/FormInstance.h"

#include <QApplication>
#include <QLineEdit>
#include <QScreen>
#include <QtTest>

using namespace qp;

class TestMsgForm : public QObject {
    Q_OBJECT

    FormInstance<MsgForm> board{[] { return new MsgForm; }};

    // What the check cycle does with the board when mail is waiting.
    MsgForm* fill(int count)
    {
        board.touch()->setText1(QStringLiteral("新着メールが有ります"));
        board.touch()->setText2(QString::number(count));
        return board.show();
    }
    static int boardsOnScreen()
    {
        int n = 0;
        for (QWidget* w : QApplication::topLevelWidgets())
            n += qobject_cast<MsgForm*>(w) && w->isVisible() ? 1 : 0;
        return n;
    }
    static QLineEdit* box(MsgForm* f, const char* name)
    {
        return f->findChild<QLineEdit*>(QString::fromLatin1(name));
    }
    // Where a window of this size sits when centred on the screen.
    static QRect centred(const QWidget* w)
    {
        QRect r(QPoint(), w->size());
        r.moveCenter(QGuiApplication::primaryScreen()->availableGeometry().center());
        return r;
    }

private slots:
    void cleanup()
    {
        board.unload();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    void filledBoardShowsTheCountNotItsInitialText()
    {
        MsgForm* f = board.touch();
        QVERIFY(f->isHidden());
        QCOMPARE(f->text1(), QStringLiteral("新着メールがあります。"));
        QVERIFY(f->text2().isEmpty());

        fill(3);
        QVERIFY(QTest::qWaitForWindowExposed(f));
        QCOMPARE(f->text1(), QStringLiteral("新着メールが有ります"));
        QCOMPARE(f->text2(), QStringLiteral("3"));
        QCOMPARE(boardsOnScreen(), 1);
    }

    void openBoardIsRefilledNotDuplicated()
    {
        MsgForm* first = fill(2);
        QVERIFY(QTest::qWaitForWindowExposed(first));
        first->move(10, 10); // the user moved it; a refill does not load it again
        const QPoint moved = first->pos();
        MsgForm* second = fill(7);
        QCOMPARE(second, first);
        QCOMPARE(second->text2(), QStringLiteral("7"));
        QCOMPARE(second->pos(), moved);
        QCOMPARE(boardsOnScreen(), 1);
    }

    void autoClosedBoardLoadsAfreshNextTime()
    {
        MsgForm* f = fill(4);
        QVERIFY(QTest::qWaitForWindowExposed(f));
        f->move(0, 0);
        QVERIFY(f->close());
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(!board.isLoaded());
        QCOMPARE(boardsOnScreen(), 0);

        MsgForm* again = board.touch();
        QCOMPARE(again->text1(), QStringLiteral("新着メールがあります。"));
        QVERIFY(again->text2().isEmpty());
        QCOMPARE(again->geometry(), centred(again));
        fill(1);
        QCOMPARE(again->text2(), QStringLiteral("1"));
    }

    void boxesCannotBeTypedInto()
    {
        MsgForm* f = fill(3);
        QTest::keyClicks(box(f, "Text2"), QStringLiteral("99"));
        QTest::keyClicks(box(f, "Text1"), QStringLiteral("x"));
        QCOMPARE(f->text2(), QStringLiteral("3"));
        QCOMPARE(f->text1(), QStringLiteral("新着メールが有ります"));
    }

    void windowShape()
    {
        MsgForm* f = fill(3);
        QCOMPARE(f->windowTitle(), QStringLiteral("新着お知らせボード"));
        QCOMPARE(f->geometry(), centred(f));
        QCOMPARE(f->minimumSize(), f->maximumSize());
        const Qt::WindowFlags flags = f->windowFlags();
        QVERIFY(flags & Qt::WindowStaysOnTopHint);
        QVERIFY(flags & Qt::WindowMinimizeButtonHint);
        QVERIFY(!(flags & Qt::WindowMaximizeButtonHint));
    }
};

QTEST_MAIN(TestMsgForm)
#include "tst_msgform.moc"
