// The keyword window, offscreen: its checks and question, the list after
// each change, the help box under the mouse and the entry box's limits.
#include <QAccessible>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QtTest>

#include <memory>

#include "StoreFixture.h"
#include "platform/MessageBoxes.h"
#include "watchlist/GekitaiForm.h"
#include "watchlist/KeywordStore.h"

using namespace qp;
using namespace qp::test;

namespace {
struct Messages {
    QList<MessageRequest> seen;
    QMessageBox::StandardButton answer = QMessageBox::Ok;
    Messages()
    {
        setMessageHandler([this](QWidget*, const MessageRequest& r) {
            seen << r;
            return answer;
        });
    }
    ~Messages() { setMessageHandler({}); }
};

struct FormDeleter {
    void operator()(GekitaiForm* f) const { delete f; }
};
using FormPtr = std::unique_ptr<GekitaiForm, FormDeleter>;

QStringList rows(const GekitaiForm& form)
{
    QStringList out;
    for (int i = 0; i < form.List1->count(); ++i)
        out << form.List1->item(i)->text();
    return out;
}

QByteArray threeRecords()
{
    return record(QStringLiteral("a@x")) + record(QStringLiteral("b@x")) + record(QStringLiteral("c@x"));
}
} // namespace

class FormTest : public QObject {
    Q_OBJECT
private slots:
    void opensWithStoreContentsAndCreatesMissingStore();
    void emptyEntryIsRefusedAndNothingWritten();
    void addAppendsRowAndEmptiesEntry();
    void deleteWithoutSelectionIsRefused();
    void answeringNoRewritesSameRecordsAndDropsSelection();
    void deletingRow0MovesOthersUp();
    void helpBoxFollowsTheMouse();
    void tabWalksTheControlsFromTheHelpBox();
    void helpBoxPlacementFollowsLoopSwitch_data();
    void helpBoxPlacementFollowsLoopSwitch();
    void entryBoxKeepsWithin200BytesAndRefusesUnstorableCharacters();
    void writeFailureIsReportedAndEntryKept();
    void recoveryFromTempIsAnnounced();
    void recordsPastTheLimitAreAnnouncedOnce();
};

void FormTest::opensWithStoreContentsAndCreatesMissingStore()
{
    ProgramFolder folder;
    Messages messages;
    {
        FormPtr form(new GekitaiForm(1));
        QCOMPARE(form->windowTitle(), QStringLiteral("特定者の設定"));
        QVERIFY(form->testAttribute(Qt::WA_DeleteOnClose));
        QCOMPARE(form->List1->count(), 0);
        QVERIFY(QFileInfo::exists(folder.file("Ferruledata50.data")));
        QVERIFY(form->Text2->isVisibleTo(form.get()));
        QVERIFY(form->Text2->toPlainText().isEmpty());
    }
    writeFile(folder.file("Ferruledata50.data"), threeRecords());
    FormPtr form(new GekitaiForm(1));
    QCOMPARE(rows(*form), QStringList({padded("a@x"), padded("b@x"), padded("c@x")}));
    QVERIFY(messages.seen.isEmpty());
}

void FormTest::emptyEntryIsRefusedAndNothingWritten()
{
    ProgramFolder folder;
    writeFile(folder.file("Ferruledata50.data"), threeRecords());
    Messages messages;
    FormPtr form(new GekitaiForm(1));
    QTest::mouseClick(form->Command1, Qt::LeftButton);
    QCOMPARE(messages.seen.size(), 1);
    QCOMPARE(messages.seen[0].text, QStringLiteral("キーワードが入力されていません。"));
    QCOMPARE(messages.seen[0].title, kProgramTitle);
    QCOMPARE(messages.seen[0].icon, QMessageBox::NoIcon);
    QCOMPARE(messages.seen[0].buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    QCOMPARE(readFile(folder.file("Ferruledata50.data")), threeRecords());
    QCOMPARE(form->List1->count(), 3);
}

void FormTest::addAppendsRowAndEmptiesEntry()
{
    ProgramFolder folder;
    writeFile(folder.file("Ferruledata50.data"), record(QStringLiteral("one")) + record(QStringLiteral("two")));
    Messages messages;
    FormPtr form(new GekitaiForm(1));
    form->Text1->setText(QStringLiteral("abc"));
    QTest::mouseClick(form->Command1, Qt::LeftButton);
    QVERIFY(messages.seen.isEmpty());
    QCOMPARE(rows(*form), QStringList({padded("one"), padded("two"), padded("abc")}));
    QVERIFY(form->Text1->text().isEmpty());
    QCOMPARE(readFile(folder.file("Ferruledata50.data")).mid(408), record(QStringLiteral("abc")));

    // A text of spaces only is a keyword too.
    form->Text1->setText(QStringLiteral("  "));
    QTest::mouseClick(form->Command1, Qt::LeftButton);
    QCOMPARE(form->List1->count(), 4);
}

void FormTest::deleteWithoutSelectionIsRefused()
{
    ProgramFolder folder;
    writeFile(folder.file("Ferruledata50.data"), threeRecords());
    Messages messages;
    FormPtr form(new GekitaiForm(1));
    form->List1->setCurrentRow(1, QItemSelectionModel::NoUpdate); // focus, not selection
    QTest::mouseClick(form->Command2, Qt::LeftButton);
    QCOMPARE(messages.seen.size(), 1);
    QCOMPARE(messages.seen[0].text, QStringLiteral("データが選択されていません。"));
    QCOMPARE(messages.seen[0].title, kProgramTitle);
    QCOMPARE(messages.seen[0].icon, QMessageBox::NoIcon);
    QCOMPARE(readFile(folder.file("Ferruledata50.data")), threeRecords());
}

void FormTest::answeringNoRewritesSameRecordsAndDropsSelection()
{
    ProgramFolder folder;
    // The part-record at the end shows that the store was rewritten.
    writeFile(folder.file("Ferruledata50.data"), threeRecords() + QByteArray(20, 'q'));
    Messages messages;
    messages.answer = QMessageBox::No;
    FormPtr form(new GekitaiForm(1));
    form->Text1->setText(QStringLiteral("typed"));
    form->List1->setCurrentRow(1);
    QTest::mouseClick(form->Command2, Qt::LeftButton);

    QCOMPARE(messages.seen.size(), 1);
    QCOMPARE(messages.seen[0].title, QStringLiteral("確認"));
    QCOMPARE(messages.seen[0].text, QStringLiteral("選択された（行、青色）データを削除します。よろしいですか"));
    QCOMPARE(messages.seen[0].icon, QMessageBox::Question);
    QCOMPARE(messages.seen[0].buttons, QMessageBox::Yes | QMessageBox::No);
    QCOMPARE(readFile(folder.file("Ferruledata50.data")), threeRecords());
    QCOMPARE(folder.entries(), QStringList{QStringLiteral("Ferruledata50.data")});
    QCOMPARE(form->List1->count(), 3);
    QVERIFY(form->List1->selectedItems().isEmpty());
    QCOMPARE(form->Text1->text(), QStringLiteral("typed"));
}

void FormTest::deletingRow0MovesOthersUp()
{
    ProgramFolder folder;
    writeFile(folder.file("Ferruledata50.data"), threeRecords());
    Messages messages;
    messages.answer = QMessageBox::Yes;
    FormPtr form(new GekitaiForm(1));
    form->List1->setCurrentRow(0);
    QTest::mouseClick(form->Command2, Qt::LeftButton);
    QCOMPARE(rows(*form), QStringList({padded("b@x"), padded("c@x")}));
    QVERIFY(form->List1->selectedItems().isEmpty());
    QCOMPARE(readFile(folder.file("Ferruledata50.data")), record(QStringLiteral("b@x")) + record(QStringLiteral("c@x")));
    QCOMPARE(folder.entries(), QStringList{QStringLiteral("Ferruledata50.data")});
}

void FormTest::helpBoxFollowsTheMouse()
{
    ProgramFolder folder;
    Messages messages;
    FormPtr form(new GekitaiForm(1));
    form->show();
    QVERIFY(QTest::qWaitForWindowExposed(form.get()));
    QPlainTextEdit* help = form->Text2;
    auto moveOver = [&](QWidget* w, QPoint at = QPoint(-1, -1)) {
        const QPoint local = at.x() < 0 ? w->rect().center() : at;
        QTest::mouseMove(form.get(), w->mapTo(form.get(), local));
    };
    auto shown = [&] { return help->isVisibleTo(form.get()); };

    moveOver(form->Command1);
    QVERIFY(shown());
    QCOMPARE(help->toPlainText(), GekitaiForm::kHelpAdd);
    QVERIFY(help->toPlainText().contains(QStringLiteral("件名内から")));
    moveOver(form->List1, QPoint(20, 20)); // the part of the list above the help box
    QVERIFY(!shown());
    moveOver(form->Text1);
    QVERIFY(shown());
    QCOMPARE(help->toPlainText(), GekitaiForm::kHelpEntry);
    QVERIFY(help->toPlainText().contains(QStringLiteral("件名から")));
    moveOver(form->Command2);
    QCOMPARE(help->toPlainText(), GekitaiForm::kHelpDelete);

    // The heading, its picture box and the help box itself change nothing.
    moveOver(form->Label2);
    moveOver(form->Picture2, QPoint(2, 2));
    moveOver(help);
    QVERIFY(shown());
    QCOMPARE(help->toPlainText(), GekitaiForm::kHelpDelete);

    // The window's background hides it.
    QTest::mouseMove(form.get(), QPoint(form->width() - 3, 20));
    QVERIFY(!shown());
}

void FormTest::tabWalksTheControlsFromTheHelpBox()
{
    ProgramFolder folder;
    FormPtr form(new GekitaiForm(1));
    form->show();
    QVERIFY(QTest::qWaitForWindowActive(form.get()));
    form->Text2->setPlainText(GekitaiForm::kHelpAdd);
    form->Text2->setFocus();
    QVERIFY(form->Text2->hasFocus());

    const QList<QWidget*> forward = {form->List1, form->Text1, form->Command1, form->Command2,
                                     form->Picture2, form->Text2};
    for (QWidget* next : forward) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), next);
        // Every stop tells a screen reader what it is.
        QAccessibleInterface* a = QAccessible::queryAccessibleInterface(next);
        QVERIFY2(a && !a->text(QAccessible::Name).trimmed().isEmpty(), qPrintable(next->objectName()));
    }
    QTest::keyClick(form->Text2, Qt::Key_Backtab, Qt::ShiftModifier);
    QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(form->Picture2));
    // Tab typed nothing into the help box.
    QCOMPARE(form->Text2->toPlainText(), GekitaiForm::kHelpAdd);
}

void FormTest::helpBoxPlacementFollowsLoopSwitch_data()
{
    QTest::addColumn<int>("loop");
    QTest::addColumn<bool>("inSight");
    QTest::newRow("ticked") << 1 << true;
    QTest::newRow("unticked: out of sight") << 0 << false;
    QTest::newRow("grayed") << 2 << true;
}

void FormTest::helpBoxPlacementFollowsLoopSwitch()
{
    QFETCH(int, loop);
    QFETCH(bool, inSight);
    ProgramFolder folder;
    FormPtr form(new GekitaiForm(loop));
    QCOMPARE(form->rect().contains(form->Text2->geometry()), inSight);
    QCOMPARE(form->rect().intersects(form->Text2->geometry()), inSight);
}

void FormTest::entryBoxKeepsWithin200BytesAndRefusesUnstorableCharacters()
{
    ProgramFolder folder;
    Messages messages;
    FormPtr form(new GekitaiForm(1));
    QLineEdit* entry = form->Text1;

    entry->insert(QString(150, QChar(0x3042))); // 300 bytes pasted
    QCOMPARE(entry->text(), QString(100, QChar(0x3042)));
    QTest::keyClicks(entry, QStringLiteral("z"));
    QCOMPARE(entry->text(), QString(100, QChar(0x3042)));

    entry->clear();
    QTest::keyClicks(entry, QString(199, QLatin1Char('a')));
    entry->setCursorPosition(5);
    entry->insert(QStringLiteral("あい")); // one byte left: no half character
    QCOMPARE(entry->text(), QString(199, QLatin1Char('a')));
    QTest::keyClicks(entry, QStringLiteral("bc"));
    QCOMPARE(entry->text(), QString(5, QLatin1Char('a')) + QLatin1Char('b') + QString(194, QLatin1Char('a')));
    QVERIFY(messages.seen.isEmpty());

    entry->clear();
    QTest::keyClicks(entry, QStringLiteral("ok"));
    entry->insert(QStringLiteral("x\U0001F600"));
    QCOMPARE(entry->text(), QStringLiteral("ok"));
    QTRY_COMPARE(messages.seen.size(), 1);
    QVERIFY(messages.seen[0].text.contains(QStringLiteral("\U0001F600")));

    // Text put in by the program is checked when it is registered.
    entry->setText(QStringLiteral("\u00E9t\u00E9")); // é has no CP932 form
    QTest::mouseClick(form->Command1, Qt::LeftButton);
    QCOMPARE(messages.seen.size(), 2);
    QCOMPARE(QFileInfo(folder.file("Ferruledata50.data")).size(), 0);
}

void FormTest::writeFailureIsReportedAndEntryKept()
{
    ProgramFolder folder;
    writeFile(folder.file("Ferruledata50.data"), threeRecords());
    QVERIFY(QDir(folder.data()).mkdir(QStringLiteral("FERRULEDATA50.TMP")));
    Messages messages;
    messages.answer = QMessageBox::Yes;
    FormPtr form(new GekitaiForm(1));
    form->Text1->setText(QStringLiteral("new@x"));
    QTest::mouseClick(form->Command1, Qt::LeftButton);
    QCOMPARE(messages.seen.size(), 1);
    QVERIFY(messages.seen[0].text.startsWith(QStringLiteral("キーワードを登録できませんでした。")));
    QCOMPARE(messages.seen[0].icon, QMessageBox::Warning);
    QCOMPARE(form->Text1->text(), QStringLiteral("new@x"));
    QCOMPARE(form->List1->count(), 3);

    form->List1->setCurrentRow(0);
    QTest::mouseClick(form->Command2, Qt::LeftButton);
    QCOMPARE(messages.seen.size(), 3); // the question, then the failure
    QVERIFY(messages.seen[2].text.startsWith(QStringLiteral("キーワードを削除できませんでした。")));
    QCOMPARE(form->List1->count(), 3);
    QCOMPARE(readFile(folder.file("Ferruledata50.data")), threeRecords());
}

void FormTest::recoveryFromTempIsAnnounced()
{
    ProgramFolder folder;
    writeFile(folder.file("FERRULEDATA50.TMP"), threeRecords());
    Messages messages;
    FormPtr form(new GekitaiForm(1));
    QCOMPARE(form->List1->count(), 3);
    QCOMPARE(messages.seen.size(), 1);
    QVERIFY(messages.seen[0].text.contains(QStringLiteral("FERRULEDATA50.TMP")));
}

void FormTest::recordsPastTheLimitAreAnnouncedOnce()
{
    ProgramFolder folder;
    const QByteArray k = record(QStringLiteral("k"));
    writeFile(folder.file("Ferruledata50.data"), k.repeated(KeywordStore::kMaxRecords + 3));
    Messages messages;
    FormPtr form(new GekitaiForm(1));
    QCOMPARE(form->List1->count(), KeywordStore::kMaxRecords);
    QCOMPARE(messages.seen.size(), 1);
    QVERIFY(messages.seen[0].text.contains(QStringLiteral("32766")));
    // Not again: neither when the list is refilled nor at the next opening.
    QTest::mouseClick(form->Command2, Qt::LeftButton); // no selection: its own message
    form.reset(new GekitaiForm(1));
    QCOMPARE(messages.seen.size(), 2);
    QCOMPARE(messages.seen[1].text, QStringLiteral("データが選択されていません。"));
}

QTEST_MAIN(FormTest)
#include "tst_form.moc"
