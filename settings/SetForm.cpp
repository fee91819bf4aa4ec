#include "settings/SetForm.h"

#include "platform/AppFont.h"
#include "platform/Cp932.h"
#include "platform/MessageBoxes.h"
#include "platform/Numbers.h"
#include "platform/ProgramIcon.h"
#include "platform/Twips.h"
#include "settings/AutoCheckDisplay.h"
#include "settings/IniFile.h"
#include "settings/SettingsPaths.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>

namespace qp {

namespace {

const QColor kBlue(0, 0, 255);
const QColor kRed(255, 0, 0);

void setTextColour(QWidget* w, const QColor& colour)
{
    QPalette p = w->palette();
    p.setColor(QPalette::WindowText, colour);
    p.setColor(QPalette::ButtonText, colour);
    w->setPalette(p);
}

void setButtonColour(QPushButton* b, unsigned bgr)
{
    QPalette p = b->palette();
    p.setColor(QPalette::Button, QColor::fromRgb(bgrToRgb(bgr)));
    p.setColor(QPalette::ButtonText, Qt::black); // on the fixed face, whatever the palette
    b->setPalette(p);
}

const QString kIntervalHelp = QStringLiteral(
    "０以上の数字を入力すると、その間隔で自動的にメールチェックを行います。"
    "チェックの都度手動で行う場合は０にしておいて下さい。（単位は分です。）");

QString flag(int value)
{
    return value == 1 ? QStringLiteral("1") : QStringLiteral("0");
}

} // namespace

SetForm::SetForm(AutoCheckDisplay& display, std::function<void()> showAccountWindow,
                 std::function<void()> showServerWindow, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint
                          | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint)
    , m_display(display)
    , m_showAccountWindow(std::move(showAccountWindow))
    , m_showServerWindow(std::move(showServerWindow))
{
    setAttribute(Qt::WA_DeleteOnClose);
    setObjectName(QStringLiteral("SetForm"));
    setWindowTitle(QStringLiteral("設定"));
    setWindowIcon(programIcon());
    setFont(gothicFont(9.0));
    QPalette background = palette();
    background.setColor(QPalette::Window, QColor::fromRgb(bgrToRgb(0x00C0C0C0)));
    background.setColor(QPalette::WindowText, Qt::black); // on the fixed grey, whatever the palette
    setPalette(background);
    setAutoFillBackground(true);
    const QRect client = twipsRect(6330, 2565, 3825, 3315);
    setGeometry(client);
    setFixedSize(client.size());

    Command1 = new QPushButton(QStringLiteral("ID/PASS"), this);
    Command1->setObjectName(QStringLiteral("Command1"));
    Command1->setGeometry(twipsRect(480, 120, 1455, 375));
    setButtonColour(Command1, 0x000080FF);

    Command2 = new QPushButton(QStringLiteral("POPサーバー"), this);
    Command2->setObjectName(QStringLiteral("Command2"));
    Command2->setGeometry(twipsRect(1920, 120, 1455, 375));
    setButtonColour(Command2, 0x00FF8080);

    Check1 = new QCheckBox(this);
    Check1->setObjectName(QStringLiteral("Check1"));
    Check1->setGeometry(twipsRect(480, 600, 255, 255));

    Label1 = new QLabel(QStringLiteral("新着チェック後接続を切断する。"), this);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setGeometry(twipsRect(840, 645, 2535, 255));
    setTextColour(Label1, kBlue);

    Line1[0] = QLine(twips(360), twips(960), twips(3480), twips(960));

    Label5 = new QLabel(QStringLiteral("インターバルメールチェック"), this);
    Label5->setObjectName(QStringLiteral("Label5"));
    Label5->setGeometry(twipsRect(480, 1080, 2775, 375));
    Label5->setFont(gothicFont(9.0, true));
    Label5->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    setTextColour(Label5, kRed);

    Label3 = new QLabel(kIntervalHelp, this);
    Label3->setObjectName(QStringLiteral("Label3"));
    Label3->setGeometry(twipsRect(480, 1440, 2895, 855));
    Label3->setWordWrap(true);
    Label3->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    setTextColour(Label3, kBlue);

    Text2 = new QLineEdit(this);
    Text2->setObjectName(QStringLiteral("Text2"));
    Text2->setGeometry(twipsRect(2400, 2280, 375, 270));
    Text2->setAlignment(Qt::AlignRight | Qt::AlignVCenter);

    Label2 = new QLabel(QStringLiteral("分"), this);
    Label2->setObjectName(QStringLiteral("Label2"));
    Label2->setGeometry(twipsRect(2880, 2325, 495, 255));
    Label2->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    setTextColour(Label2, kRed);

    Line1[1] = QLine(twips(240), twips(2760), twips(3360), twips(2760));

    Check2 = new QCheckBox(QStringLiteral("新着お知らせボードを１秒で自動消去させる"), this);
    Check2->setObjectName(QStringLiteral("Check2"));
    Check2->setGeometry(twipsRect(120, 2880, 3735, 495));

    // The boxes without a caption of their own are named by their labels.
    Label1->setBuddy(Check1);
    Label5->setBuddy(Text2);
    Text2->setAccessibleDescription(kIntervalHelp);

    setTabOrder(Command2, Command1);
    setTabOrder(Command1, Check1);
    setTabOrder(Check1, Text2);
    setTabOrder(Text2, Check2);
    Command2->setFocus();

    connect(Command1, &QPushButton::clicked, this, [this] { Command1_Click(); });
    connect(Command2, &QPushButton::clicked, this, [this] { Command2_Click(); });
    connect(Text2, &QLineEdit::textChanged, this, [this] { Text2_Change(); });

    Form_Load();
}

namespace {
// 1 ticks, 0 unticks; a stored value other than these leaves the box alone.
void applyFlag(QCheckBox* box, int value)
{
    if (value == 1 || value == 0)
        box->setChecked(value == 1);
}
} // namespace

int SetForm::check1Value() const { return Check1->isChecked() ? 1 : 0; }
void SetForm::setCheck1Value(int value) { applyFlag(Check1, value); }
int SetForm::check2Value() const { return Check2->isChecked() ? 1 : 0; }
void SetForm::setCheck2Value(int value) { applyFlag(Check2, value); }
QString SetForm::text2() const { return Text2->text(); }
void SetForm::setText2(const QString& text) { Text2->setText(text); }

void SetForm::Form_Load()
{
    const QString ini = iniPath();
    setCheck1Value(ReadIniInt(ini, QStringLiteral("NUMBER")));
    setText2(QString::number(ReadIniInt(ini, QStringLiteral("NUMBER2"))));
    setCheck2Value(ReadIniInt(ini, QStringLiteral("NUMBER4")));
}

void SetForm::Text2_Change()
{
    if (Text2->text().isEmpty()) {
        // The change this causes runs the rule for "0" in full.
        Text2->setText(QStringLiteral("0"));
        return;
    }
    const QString text = Text2->text();
    const double minutes = leadingNumber(text);
    // Checks come at whole minutes: a fraction is rounded, and the help
    // text under the box says to what.
    const double used = intervalMinutes(text);
    const bool rounded = minutes > 0 && used != minutes;
    Label3->setText(rounded ? QStringLiteral("「%1」分は整数ではないため、%2 分の間隔でチェックします。")
                                  .arg(text.left(20), QString::number(used, 'f', 0))
                            : kIntervalHelp);
    Text2->setAccessibleDescription(Label3->text());
    if (minutes > 0) {
        // A positive interval reaches the file only when the window closes.
        m_display.autoCheckOn(rounded ? QString::number(used, 'f', 0) : text);
    } else if (minutes == 0) {
        m_display.autoCheckOff(text);
        WriteIniText(iniPath(), QStringLiteral("NUMBER2"), text);
    }
    // A negative interval is ignored.
}

void SetForm::Form_Unload()
{
    const QString ini = iniPath();
    WriteIniText(ini, QStringLiteral("NUMBER"), flag(check1Value()));
    // A rounded interval is stored as used, so that the next start reads
    // back the same minutes.
    QString interval = Text2->text();
    if (leadingNumber(interval) > 0 && intervalMinutes(interval) != leadingNumber(interval))
        interval = QString::number(intervalMinutes(interval), 'f', 0);
    WriteIniText(ini, QStringLiteral("NUMBER2"), interval);
    WriteIniText(ini, QStringLiteral("NUMBER4"), flag(check2Value()));
    // Such an interval is used in this run but cannot be stored: say so, as
    // for a mail-program path. (A failed write itself stays unreported.)
    if (!cp932::canEncode(interval) || cp932::byteLength(interval) > kMaxIniValueBytes)
        notifyNonBlocking(nullptr, QStringLiteral("チェック間隔「%1」は Shift-JIS で保存できない文字を含むか長すぎるため、"
                                                  "今回の起動中だけ使われ、次回の起動時には残りません。")
                                       .arg(interval.left(40)));
}

void SetForm::Command1_Click()
{
    if (m_showAccountWindow)
        m_showAccountWindow();
}

void SetForm::Command2_Click()
{
    if (m_showServerWindow)
        m_showServerWindow();
}

void SetForm::closeEvent(QCloseEvent* event)
{
    Form_Unload();
    event->accept();
}

void SetForm::paintEvent(QPaintEvent* event)
{
    QWidget::paintEvent(event);
    QPainter painter(this);
    painter.setPen(QPen(Qt::black, 1));
    for (const QLine& line : Line1)
        painter.drawLine(line);
}

} // namespace qp
