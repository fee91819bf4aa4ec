#pragma once
// A throwaway program folder for as long as the object lives: the program's
// files resolve into it, its data folder is made unless asked not to, and on
// request a working folder of its own becomes the current folder (the server
// file "ferrule.ini" is looked for there). Also plain whole-file reads and
// writes for laying out and inspecting the files.
#include "platform/ProgramFolder.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <concepts>

namespace qp::test {

inline const QString kDataFolderName = QStringLiteral("★MailData"); // as the build lays it out

class ProgramFolder {
public:
    enum Option { NoDataFolder = 0x1, OwnWorkingFolder = 0x2 };

    explicit ProgramFolder(unsigned options = 0)
    {
        QDir(m_dir.path()).mkdir(QStringLiteral("program"));
        if (!(options & NoDataFolder))
            QDir(root()).mkdir(kDataFolderName);
        if (options & OwnWorkingFolder) {
            QDir(m_dir.path()).mkdir(QStringLiteral("work"));
            m_oldCwd = QDir::currentPath();
            QDir::setCurrent(workingFolder());
        }
        setProgramFolderOverride(root());
    }
    ~ProgramFolder()
    {
        setProgramFolderOverride(QString());
        if (!m_oldCwd.isEmpty())
            QDir::setCurrent(m_oldCwd);
    }
    template <typename T>
        requires std::same_as<T, bool>
    ProgramFolder(T) = delete; // say which option
    ProgramFolder(const ProgramFolder&) = delete;
    ProgramFolder& operator=(const ProgramFolder&) = delete;

    bool isValid() const { return m_dir.isValid() && QFileInfo(root()).isDir(); }
    QString root() const { return m_dir.path() + QStringLiteral("/program"); }
    QString data() const { return root() + QLatin1Char('/') + kDataFolderName; }
    QString file(const QString& name) const { return data() + QLatin1Char('/') + name; }
    QString programFile(const QString& relative) const { return root() + QLatin1Char('/') + relative; }
    QString workingFolder() const { return m_dir.path() + QStringLiteral("/work"); }
    // The names present in the data folder, sorted.
    QStringList entries() const
    {
        return QDir(data()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden, QDir::Name);
    }

private:
    QTemporaryDir m_dir;
    QString m_oldCwd;
};

inline QByteArray readFile(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QByteArray();
    return f.readAll();
}

inline void writeFile(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    QVERIFY2(f.open(QIODevice::WriteOnly | QIODevice::Truncate), qPrintable(path));
    QCOMPARE(f.write(bytes), bytes.size());
}

} // namespace qp::test
