#include "watchlist/GekitaiForm.h"

#include "platform/AppFont.h"
#include "platform/Cp932.h"
#include "platform/MessageBoxes.h"
#include "platform/Twips.h"
#include "watchlist/KeywordEntry.h"

#include <QDir>
#include <QEvent>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <QValidator>

namespace qp {

const QString GekitaiForm::kHelpAdd = QStringLiteral(
    "登録は１件につき全角で１００文字（半角では２００文字）、件数は無制限に登録できます。"
    "登録した文字を送信してきたメールアドレス、件名内から検索し、あなたの目に触れることなく削除します。");
const QString GekitaiForm::kHelpEntry = QStringLiteral(
    "登録は１件につき全角で１００文字（半角では２００文字）、件数は無制限に登録できます。"
    "登録した文字を送信してきたメールアドレス、件名から検索し、あなたの目に触れることなく削除します。");
const QString GekitaiForm::kHelpDelete = QStringLiteral(
    "不要になったキーワードを削除します。リストでデータを選択し、このボタンをクリックして下さい。");

namespace {
const QString kNoKeyword = QStringLiteral("キーワードが入力されていません。");
const QString kNoSelection = QStringLiteral("データが選択されていません。");
const QString kConfirmDelete = QStringLiteral("選択された（行、青色）データを削除します。よろしいですか");
const QString kConfirmTitle = QStringLiteral("確認");

QString reason(const KeywordStoreStatus& status)
{
    switch (status.failure) {
    case KeywordStoreFailure::None:
        return {};
    case KeywordStoreFailure::FolderMissing:
        return QStringLiteral("データフォルダが見つかりません。\n%1").arg(status.detail);
    case KeywordStoreFailure::OpenFailed:
        return QStringLiteral("ファイルを開けません。\n%1").arg(status.detail);
    case KeywordStoreFailure::ReadFailed:
        return QStringLiteral("ファイルを読み込めません。\n%1").arg(status.detail);
    case KeywordStoreFailure::WriteFailed:
        return QStringLiteral("ファイルに書き込めません。ディスクの空き容量を確かめて下さい。\n%1").arg(status.detail);
    case KeywordStoreFailure::RenameFailed:
        return QStringLiteral("ファイルを置き換えられません。\n%1").arg(status.detail);
    case KeywordStoreFailure::Unencodable:
        return QStringLiteral("「%1」はキーワードに使えない文字です。").arg(status.detail);
    case KeywordStoreFailure::Full:
        return QStringLiteral("キーワードは%1件までしか登録できません。不要なキーワードを削除して下さい。")
            .arg(KeywordStore::kMaxRecords);
    }
    return {};
}
} // namespace

// Keeps Text1 within one record: 200 bytes of CP932, and only characters
// CP932 can hold. A validator sees each user edit before it is accepted,
// which is where a length limit belongs; text set by the program is not
// checked (Qt does not validate setText).
class KeywordEntryValidator : public QValidator {
public:
    explicit KeywordEntryValidator(GekitaiForm* form) : QValidator(form), m_form(form) {}

    State validate(QString& input, int& pos) const override
    {
        const KeywordEdit edit = fitKeywordEdit(m_form->m_committedText1, input, pos);
        if (edit.refused) {
            // Not from inside the edit: the line edit is mid-change.
            QPointer<GekitaiForm> form = m_form;
            const QString bad = edit.badCharacter;
            QTimer::singleShot(0, m_form, [form, bad] {
                if (form)
                    form->refuseCharacter(bad);
            });
            return Invalid;
        }
        input = edit.text;
        pos = edit.cursor;
        return Acceptable;
    }

private:
    GekitaiForm* m_form;
};

GekitaiForm::GekitaiForm(int mainLoopCheckValue, QWidget* parent)
    : QWidget(parent, Qt::Window), m_mainLoopCheckValue(mainLoopCheckValue)
{
    setAttribute(Qt::WA_DeleteOnClose);
    setObjectName(QStringLiteral("GekitaiForm"));
    setWindowTitle(QStringLiteral("特定者の設定"));
    setFont(gothicFont(9));
    resize(twips(7320), twips(5205));
    QPalette formPalette = palette();
    formPalette.setColor(QPalette::Window, QColor(128, 128, 255));
    setPalette(formPalette);
    setAutoFillBackground(true);
    setMouseTracking(true);

    Picture2 = new QFrame(this);
    Picture2->setObjectName(QStringLiteral("Picture2"));
    Picture2->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    Picture2->setLineWidth(2);
    Picture2->setGeometry(twipsRect(120, 120, 2415, 270));
    QPalette picturePalette = Picture2->palette();
    picturePalette.setColor(QPalette::Window, picturePalette.color(QPalette::Button));
    Picture2->setPalette(picturePalette);
    Picture2->setAutoFillBackground(true);
    Picture2->setFocusPolicy(Qt::TabFocus);

    Label2 = new QLabel(QStringLiteral("特定者アドレスの登録"), Picture2);
    Label2->setObjectName(QStringLiteral("Label2"));
    const int border = Picture2->frameWidth(); // inner positions start inside the border
    Label2->setGeometry(twipsRect(240, 40, 2535, 195).translated(border, border));

    Text1 = new QLineEdit(this);
    Text1->setObjectName(QStringLiteral("Text1"));
    Text1->setGeometry(twipsRect(120, 405, 5535, 270));
    Text1->setMaxLength(kKeywordEntryMaxBytes); // characters; bytes are checked below
    Text1->setValidator(new KeywordEntryValidator(this));
    connect(Text1, &QLineEdit::textChanged, this, [this](const QString& text) { m_committedText1 = text; });

    Command1 = new QPushButton(QStringLiteral("登録"), this);
    Command1->setObjectName(QStringLiteral("Command1"));
    Command1->setGeometry(twipsRect(5760, 405, 615, 255));
    connect(Command1, &QPushButton::clicked, this, &GekitaiForm::Command1_Click);

    Command2 = new QPushButton(QStringLiteral("削除"), this);
    Command2->setObjectName(QStringLiteral("Command2"));
    Command2->setGeometry(twipsRect(6480, 405, 615, 255));
    QPalette redFace = Command2->palette();
    redFace.setColor(QPalette::Button, QColor(255, 0, 0));
    Command2->setPalette(redFace);
    connect(Command2, &QPushButton::clicked, this, &GekitaiForm::Command2_Click);

    List1 = new QListWidget(this);
    List1->setObjectName(QStringLiteral("List1"));
    List1->setGeometry(twipsRect(120, 765, 7095, 4350));
    List1->setSelectionMode(QAbstractItemView::SingleSelection);
    // Rows keep their filler spaces; clip them rather than offer a scroll
    // bar that would only scroll across blanks.
    List1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    List1->setTextElideMode(Qt::ElideNone);
    QPalette listPalette = List1->palette();
    listPalette.setColor(QPalette::Base, Qt::white);
    listPalette.setColor(QPalette::Text, Qt::black);
    List1->setPalette(listPalette);

    Text2 = new QPlainTextEdit(this);
    Text2->setObjectName(QStringLiteral("Text2"));
    Text2->setGeometry(twipsRect(840, 3525, 5655, 1215));
    Text2->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Text2->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    Text2->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    Text2->raise(); // over the lower part of the list
    // A multi-line editor would keep Tab for itself and strand the keyboard
    // in the help box; Tab moves on to the list instead.
    Text2->setTabChangesFocus(true);

    // Mouse moves reach the window's own handler only over its background:
    // no control passes them on to the window.
    for (QWidget* w : {static_cast<QWidget*>(Picture2), static_cast<QWidget*>(Label2),
                       static_cast<QWidget*>(Text1), static_cast<QWidget*>(Command1),
                       static_cast<QWidget*>(Command2), static_cast<QWidget*>(List1),
                       static_cast<QWidget*>(Text2)})
        w->setAttribute(Qt::WA_NoMousePropagation);
    for (QWidget* w : {static_cast<QWidget*>(Text1), static_cast<QWidget*>(Command1),
                       static_cast<QWidget*>(Command2), static_cast<QWidget*>(List1),
                       List1->viewport()}) {
        w->setMouseTracking(true);
        w->installEventFilter(this);
    }

    // Names for screen readers where no caption of their own says what the
    // control is for.
    Picture2->setAccessibleName(Label2->text());
    Text1->setAccessibleName(QStringLiteral("登録するアドレス"));
    List1->setAccessibleName(QStringLiteral("登録済みのアドレス"));
    Text2->setAccessibleName(QStringLiteral("説明"));

    setTabOrder(Picture2, Text2);
    setTabOrder(Text2, List1);
    setTabOrder(List1, Text1);
    setTabOrder(Text1, Command1);
    setTabOrder(Command1, Command2);

    Form_Load();
}

void GekitaiForm::Form_Load()
{
    List1->clear();
    fillList();

    // The help box sits where the main window's loop switch says; out of
    // sight when the switch is off.
    if (m_mainLoopCheckValue == 1)
        Text2->move(Text2->x(), twips(3480));
    else if (m_mainLoopCheckValue == 0)
        Text2->move(Text2->x(), twips(-6000));
    Text2->setVisible(true);
    Text2->clear();
}

void GekitaiForm::fillList()
{
    const KeywordList list = KeywordStore::loadAll();
    reportRecovery(list.status);
    if (!list.status.ok()) {
        reportFailure(QStringLiteral("キーワードの一覧を読み込めませんでした。"), list.status);
        return;
    }
    List1->addItems(list.keywords);
    if (list.status.recordsIgnored)
        tellOfIgnoredRecordsOnce(this);
}

void GekitaiForm::tellOfIgnoredRecordsOnce(QWidget* parent)
{
    // Once a run: the list is refilled after every change, and every check
    // reads the store again.
    static bool told = false;
    if (told)
        return;
    told = true;
    notifyNonBlocking(parent, QStringLiteral("キーワードのファイルには %1 件を超える記録があります。"
                                             "%2 件目以降は一覧に出ず、メールの照合にも使われません。")
                                  .arg(KeywordStore::kMaxRecords)
                                  .arg(KeywordStore::kMaxRecords + 1));
}

KeywordStoreStatus GekitaiForm::PutKeywordRecord(int n)
{
    return KeywordStore::putRecord(n, Text1->text());
}

void GekitaiForm::Command1_Click()
{
    if (Text1->text().isEmpty()) {
        showMessage(this, {QMessageBox::NoIcon, kProgramTitle, kNoKeyword, QMessageBox::Ok});
        return;
    }
    // Text put into the box by other means than typing is checked here too,
    // so an unstorable character never reaches the file as garbage.
    if (!cp932::canEncode(Text1->text())) {
        const KeywordEdit edit = fitKeywordEdit(QString(), Text1->text(), 0);
        refuseCharacter(edit.badCharacter);
        return;
    }
    List1->clear();
    const KeywordRecordNumber next = KeywordStore::nextRecordNumber();
    reportRecovery(next.status);
    KeywordStoreStatus written = next.status;
    if (written.ok())
        written = PutKeywordRecord(next.number);
    if (!written.ok())
        reportFailure(QStringLiteral("キーワードを登録できませんでした。一覧は変更されていません。"), written);
    fillList();
    if (written.ok())
        Text1->clear();
}

void GekitaiForm::Command2_Click()
{
    const QList<QListWidgetItem*> selected = List1->selectedItems();
    if (selected.isEmpty()) {
        showMessage(this, {QMessageBox::NoIcon, kProgramTitle, kNoSelection, QMessageBox::Ok});
        return;
    }
    const int row = List1->row(selected.first());
    const bool confirmed = showMessage(this, {QMessageBox::Question, kConfirmTitle, kConfirmDelete,
                                              QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes})
        == QMessageBox::Yes;
    // Declining still rewrites the store: that drops records an interrupted
    // deletion left marked, so the list shown afterwards is what is stored.
    const KeywordStoreStatus status = KeywordStore::compact(confirmed ? row : -1);
    reportRecovery(status);
    if (!status.ok())
        reportFailure(QStringLiteral("キーワードを削除できませんでした。一覧は変更されていません。"), status);
    List1->clear();
    fillList();
}

void GekitaiForm::Command1_MouseMove()
{
    Text2->setVisible(true);
    Text2->setPlainText(kHelpAdd);
}

void GekitaiForm::Text1_MouseMove()
{
    Text2->setVisible(true);
    Text2->setPlainText(kHelpEntry);
}

void GekitaiForm::Command2_MouseMove()
{
    Text2->setVisible(true);
    Text2->setPlainText(kHelpDelete);
}

void GekitaiForm::List1_MouseMove()
{
    Text2->setVisible(false);
}

void GekitaiForm::Form_MouseMove()
{
    Text2->setVisible(false);
}

bool GekitaiForm::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::MouseMove) {
        if (watched == Command1)
            Command1_MouseMove();
        else if (watched == Command2)
            Command2_MouseMove();
        else if (watched == Text1)
            Text1_MouseMove();
        else if (watched == List1 || watched == List1->viewport())
            List1_MouseMove();
    }
    return QWidget::eventFilter(watched, event);
}

void GekitaiForm::mouseMoveEvent(QMouseEvent* event)
{
    Form_MouseMove();
    event->accept();
}

void GekitaiForm::reportFailure(const QString& what, const KeywordStoreStatus& status)
{
    warning(this, what + QLatin1Char('\n') + reason(status));
}

void GekitaiForm::reportRecovery(const KeywordStoreStatus& status)
{
    if (status.recoveredFromTemp)
        information(this, QStringLiteral("前回の削除が途中で終わっていたため、一時ファイル"
                                         "「FERRULEDATA50.TMP」からキーワードの一覧を復元しました。"));
}

void GekitaiForm::refuseCharacter(const QString& character)
{
    warning(this, QStringLiteral("「%1」はキーワードに使えない文字です（Shift-JIS で表せません）。")
                      .arg(character));
}

} // namespace qp
