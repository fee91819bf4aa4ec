#pragma once
// A throwaway program folder with its data folder, a working directory of
// its own (for "ferrule.ini"), and message boxes answered by recording them.
#include "platform/Cp932.h"
#include "platform/MessageBoxes.h"
#include "platform/ProgramFolder.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QWidget>

#include <memory>

class TestFolder {
public:
    TestFolder()
        : m_oldCwd(QDir::currentPath())
    {
        QDir(m_dir.path()).mkpath(QStringLiteral("program/★MailData"));
        QDir(m_dir.path()).mkpath(QStringLiteral("cwd"));
        qp::setProgramFolderOverride(programFolder());
        QDir::setCurrent(workingFolder());
        qp::setMessageHandler([this](QWidget*, const qp::MessageRequest& r) {
            messages.append(r);
            return QMessageBox::Ok;
        });
    }
    ~TestFolder()
    {
        qp::setMessageHandler({});
        QDir::setCurrent(m_oldCwd);
        qp::setProgramFolderOverride(QString());
    }

    QString programFolder() const { return m_dir.path() + QStringLiteral("/program"); }
    QString dataFolder() const { return programFolder() + QStringLiteral("/★MailData"); }
    QString workingFolder() const { return m_dir.path() + QStringLiteral("/cwd"); }

    // Writes a file from text as the settings files hold it (CP932).
    static void writeCp932(const QString& path, const QString& text)
    {
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(qp::cp932::encode(text).bytes);
    }
    static QByteArray bytes(const QString& path)
    {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

    QList<qp::MessageRequest> messages;

private:
    QTemporaryDir m_dir;
    QString m_oldCwd;
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
