#pragma once
#include <QWidget>

#include <array>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace qp {

class ProcessSettings;

// "ID,PASS": the POP3 account. Its load fills the two boxes from
// "iniIdPass.ini"; OK hands the account to the process-wide settings and,
// with the keep box ticked, stores it (owner-only file). Cancel, Escape and
// the close box leave everything as it was.
class IdPassForm : public QWidget {
    Q_OBJECT
public:
    explicit IdPassForm(ProcessSettings& settings, QWidget* parent = nullptr);

    QString idText() const;
    void setIdText(const QString& text);
    QString passText() const;
    void setPassText(const QString& text);

    void Form_Load();
    void OKCommand_Click();
    void CancelCommand_Click();
    // The sign-in row under the account: how the account signs in, and the
    // button that signs in with the chosen provider.
    void SignInKind_Change();
    void SignInCommand_Click();

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    bool saveAccount(const QString& id, const QString& password);

    ProcessSettings& m_settings;

    QLineEdit* IdText = nullptr;
    QLineEdit* PassText = nullptr;
    QPushButton* OKCommand = nullptr;
    QPushButton* CancelCommand = nullptr;
    QCheckBox* Check1 = nullptr;
    QLabel* Label1 = nullptr;
    // Label2(0) "Password" and Label2(1), the keep box's text.
    std::array<QLabel*, 2> Label2{};
    QComboBox* SignInKind = nullptr;
    QPushButton* SignInCommand = nullptr;
    // The kept password goes to the desktop's keyring rather than the file.
    QCheckBox* KeyringCheck = nullptr;
};

} // namespace qp
