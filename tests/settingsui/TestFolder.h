#pragma once
// A throwaway program folder with its data folder and a working directory of
// its own (for "ferrule.ini"), and message boxes answered by recording them.
#include "platform/Cp932.h"
#include "platform/MessageBoxes.h"
#include "tests/support/ProgramFolderFixture.h"

#include <QCoreApplication>
#include <QTest>
#include <QWidget>

#include <memory>

class TestFolder {
public:
    TestFolder()
    {
        qp::setMessageHandler([this](QWidget*, const qp::MessageRequest& r) {
            messages.append(r);
            return QMessageBox::Ok;
        });
    }
    ~TestFolder() { qp::setMessageHandler({}); }

    QString programFolder() const { return m_folder.root(); }
    QString dataFolder() const { return m_folder.data(); }
    QString workingFolder() const { return m_folder.workingFolder(); }

    // Writes a file from text as the settings files hold it (CP932).
    static void writeCp932(const QString& path, const QString& text)
    {
        qp::test::writeFile(path, qp::cp932::encode(text).bytes);
    }
    static QByteArray bytes(const QString& path) { return qp::test::readFile(path); }

    QList<qp::MessageRequest> messages;

private:
    qp::test::ProgramFolder m_folder{qp::test::ProgramFolder::OwnWorkingFolder};
};

// Lets a closed window finish unloading (its deletion is deferred).
inline void finishUnload()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

// The focusable controls of a window in the order Tab visits them,
// starting from the given widget.
inline QStringList tabWalk(QWidget* window, QWidget* first, int steps)
{
    QStringList names;
    first->setFocus();
    for (int i = 0; i < steps; ++i) {
        names.append(window->focusWidget() ? window->focusWidget()->objectName() : QString());
        QTest::keyClick(window->focusWidget(), Qt::Key_Tab);
    }
    return names;
}
