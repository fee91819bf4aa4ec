#pragma once
#include <QLine>
#include <QWidget>

#include <array>
#include <functional>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace qp {

class AutoCheckDisplay;

// "設定": the checking options. While loaded, its two check boxes and its
// interval box are the live settings the check cycle and the scheduler read.
// Created hidden (its load reads "ini.ini"); closing it by the title-bar box
// stores the three settings and unloads it.
class SetForm : public QWidget {
    Q_OBJECT
public:
    // display: the main window's ON/OFF display that the interval box drives.
    // showAccountWindow / showServerWindow: what "ID/PASS" and "POPサーバー"
    // open (the account and server windows, shown modeless).
    SetForm(AutoCheckDisplay& display, std::function<void()> showAccountWindow,
            std::function<void()> showServerWindow, QWidget* parent = nullptr);

    // Check1: hang up the dial-up connection after each check (1 ticked, 0 not).
    // The setters take a stored flag: 1 ticks, 0 unticks, anything else
    // leaves the box as it is.
    int check1Value() const;
    void setCheck1Value(int value);
    // Check2: the notice board closes itself after one second.
    int check2Value() const;
    void setCheck2Value(int value);
    // Text2: the interval in minutes as typed. Setting a different text runs
    // Text2_Change; setting the text it already holds changes nothing.
    QString text2() const;
    void setText2(const QString& text);

    void Form_Load();
    void Form_Unload();
    void Text2_Change();
    void Command1_Click();
    void Command2_Click();

protected:
    void closeEvent(QCloseEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    AutoCheckDisplay& m_display;
    std::function<void()> m_showAccountWindow;
    std::function<void()> m_showServerWindow;

    QPushButton* Command1 = nullptr;
    QPushButton* Command2 = nullptr;
    QCheckBox* Check1 = nullptr;
    QLabel* Label1 = nullptr;
    QLabel* Label5 = nullptr;
    QLabel* Label3 = nullptr;
    QLineEdit* Text2 = nullptr;
    QLabel* Label2 = nullptr;
    QCheckBox* Check2 = nullptr;
    // Line1(0) and Line1(1): separators drawn on the form, in pixels.
    std::array<QLine, 2> Line1;
};

} // namespace qp
