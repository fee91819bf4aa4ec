#pragma once
// A throwaway program folder with an empty data folder, and helpers to lay
// out store files byte by byte.
#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include "platform/Cp932.h"
#include "platform/ProgramFolder.h"

namespace qp::test {

inline const QString kDataFolderName = QStringLiteral("★MailData"); // as the build lays it out

class ProgramFolder {
public:
    explicit ProgramFolder(bool withDataFolder = true)
    {
        if (withDataFolder)
            QDir(m_dir.path()).mkdir(kDataFolderName);
        setProgramFolderOverride(m_dir.path());
    }
    ~ProgramFolder() { setProgramFolderOverride(QString()); }

    QString root() const { return m_dir.path(); }
    QString data() const { return m_dir.path() + QLatin1Char('/') + kDataFolderName; }
    QString file(const QString& name) const { return data() + QLatin1Char('/') + name; }
    // The names present in the data folder, sorted.
    QStringList entries() const
    {
        return QDir(data()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden, QDir::Name);
    }

private:
    QTemporaryDir m_dir;
};

// One record as it lies in the store file.
inline QByteArray record(const QByteArray& keywordBytes, qint16 inUse = 1, const QByteArray& sep = "\r\n")
{
    QByteArray r = sep;
    r.append(char(quint16(inUse) & 0xFF));
    r.append(char(quint16(inUse) >> 8));
    r.append(keywordBytes.left(200));
    r.append(200 - qMin<qsizetype>(200, keywordBytes.size()), ' ');
    return r;
}

inline QByteArray record(const QString& keyword, qint16 inUse = 1)
{
    return record(cp932::encode(keyword).bytes, inUse);
}

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

inline QString padded(const QString& keyword)
{
    return keyword + QString(200 - cp932::byteLength(keyword), QLatin1Char(' '));
}

} // namespace qp::test
