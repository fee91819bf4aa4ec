#pragma once
#include <QWidget>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace qp {

class ProcessSettings;

// "サーバー設定": SMTP server, POP3 server, mail address and APOP. Loads from
// the process-wide values (not from the file); "設定" copies the boxes back
// and rewrites "ferrule.ini" in the current working directory. Stays above
// other windows while open. Enter in a box does not confirm; Escape cancels.
class OptionForm : public QWidget {
    Q_OBJECT
public:
    explicit OptionForm(ProcessSettings& settings, QWidget* parent = nullptr);

    void Form_Load();
    void OKCommand_Click();
    void CancelCommand_Click();

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    ProcessSettings& m_settings;

    QLabel* Label1 = nullptr;
    QLineEdit* SmtpText = nullptr;
    QLabel* Label2 = nullptr;
    QLineEdit* Pop3Text = nullptr;
    QLabel* Label3 = nullptr;
    QLineEdit* MailText = nullptr;
    QCheckBox* ApopCheck = nullptr;
    QPushButton* OkCommand = nullptr;
    QPushButton* CancelCommand = nullptr;
};

} // namespace qp
