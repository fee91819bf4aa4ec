#include "platform/MessageBoxes.h"

#include <QWidget>

namespace qp {

namespace {
MessageHandler& handler()
{
    static MessageHandler h;
    return h;
}
} // namespace

void setMessageHandler(MessageHandler h)
{
    handler() = std::move(h);
}

QMessageBox::StandardButton showMessage(QWidget* parent, const MessageRequest& request)
{
    MessageRequest r = request;
    if (r.title.isEmpty())
        r.title = kProgramTitle;
    if (handler())
        return handler()(parent, r);
    QMessageBox box(r.icon, r.title, r.text, r.buttons, parent);
    box.setTextFormat(Qt::PlainText);
    if (r.defaultButton != QMessageBox::NoButton)
        box.setDefaultButton(r.defaultButton);
    box.setWindowFlag(Qt::WindowStaysOnTopHint, true);
    return static_cast<QMessageBox::StandardButton>(box.exec());
}

void information(QWidget* parent, const QString& text, const QString& title)
{
    showMessage(parent, {QMessageBox::Information, title, text, QMessageBox::Ok, QMessageBox::Ok});
}

void warning(QWidget* parent, const QString& text, const QString& title)
{
    showMessage(parent, {QMessageBox::Warning, title, text, QMessageBox::Ok, QMessageBox::Ok});
}

bool askYesNo(QWidget* parent, const QString& text, const QString& title)
{
    return showMessage(parent, {QMessageBox::Question, title, text,
                                QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes})
        == QMessageBox::Yes;
}

void notifyNonBlocking(QWidget* parent, const QString& text, const QString& title)
{
    openMessage(parent, {QMessageBox::Warning, title, text, QMessageBox::Ok, QMessageBox::Ok});
}

QMessageBox* openMessage(QWidget* parent, const MessageRequest& request)
{
    MessageRequest r = request;
    if (r.title.isEmpty())
        r.title = kProgramTitle;
    if (handler()) {
        handler()(parent, r);
        return nullptr;
    }
    auto* box = new QMessageBox(r.icon, r.title, r.text, r.buttons, parent);
    box->setTextFormat(Qt::PlainText);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setModal(false);
    box->show();
    return box;
}

} // namespace qp
