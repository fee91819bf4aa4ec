#pragma once
#include <QMessageBox>
#include <QString>
#include <functional>

class QWidget;

namespace qp {

// Every message box of the program goes through here, so tests can answer
// them without a modal loop. Title defaults to the program title. Texts are
// shown as plain text: they often carry what a server or a file said, and
// QMessageBox would otherwise render markup in them and open its links.
inline const QString kProgramTitle = QStringLiteral("Quillpost");

struct MessageRequest {
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QString title;
    QString text;
    QMessageBox::StandardButtons buttons = QMessageBox::Ok;
    QMessageBox::StandardButton defaultButton = QMessageBox::NoButton;
};

using MessageHandler = std::function<QMessageBox::StandardButton(QWidget* parent, const MessageRequest&)>;

// Shows a modal box and returns the button pressed (through the installed
// handler when a test has set one).
QMessageBox::StandardButton showMessage(QWidget* parent, const MessageRequest& request);

// Convenience forms.
void information(QWidget* parent, const QString& text, const QString& title = kProgramTitle);
void warning(QWidget* parent, const QString& text, const QString& title = kProgramTitle);
bool askYesNo(QWidget* parent, const QString& text, const QString& title = kProgramTitle);

// A short notice that does not block: the program goes on while it is shown.
void notifyNonBlocking(QWidget* parent, const QString& text, const QString& title = kProgramTitle);
// The same for any box: shown, not waited for, deleted when closed. Null
// when a test's handler answered it instead.
QMessageBox* openMessage(QWidget* parent, const MessageRequest& request);

// Tests install a handler that records requests and answers them. Passing an
// empty function restores the real boxes. Non-blocking notices go through
// the handler too (their answer is ignored).
void setMessageHandler(MessageHandler handler);

} // namespace qp
