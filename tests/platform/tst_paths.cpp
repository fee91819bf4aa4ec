#include "platform/PathResolver.h"
#include "platform/ProgramFolder.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

using namespace qp;

class PathsTest : public QObject {
    Q_OBJECT
private slots:
    void bothSpellingsOfTheDataFolderAreOneFolder()
    {
        QTemporaryDir tmp;
        QVERIFY(QDir(tmp.path()).mkdir(QStringLiteral("★MailData")));
        setProgramFolderOverride(tmp.path());
        const QString a = programPath(QStringLiteral("\\★MailData\\ini.ini"));
        const QString b = programPath(QStringLiteral("\\★MAilData\\ini.ini"));
        QCOMPARE(a, b);
        QCOMPARE(a, tmp.path() + QStringLiteral("/★MailData/ini.ini"));
        setProgramFolderOverride({});
    }

    void theDataFolderLivesInTheUserFolderTheLauncherNames()
    {
        QTemporaryDir program, user;
        setProgramFolderOverride(program.path());
        qputenv("QUILLPOST_USER_FOLDER", QDir(QDir::current().relativeFilePath(user.path())).path().toUtf8());
        QCOMPARE(takeUserFolderFromEnvironment(), user.path());
        QVERIFY(!qEnvironmentVariableIsSet("QUILLPOST_USER_FOLDER")); // not passed to the mail program
        QCOMPARE(programPath(QStringLiteral("\\★MAilData\\ini.ini")), user.path() + QStringLiteral("/★MAilData/ini.ini"));
        QCOMPARE(programPath(QStringLiteral("\\画像データ\\Red.gif")), program.path() + QStringLiteral("/画像データ/Red.gif"));
        QCOMPARE(takeUserFolderFromEnvironment(), QString()); // unset: beside the program again
        QCOMPARE(programPath(QStringLiteral("/★MailData/x")), program.path() + QStringLiteral("/★MailData/x"));
        setProgramFolderOverride({});
    }

    void existingFileIsFoundInAnyCaseAndNewFilesKeepTheirSpelling()
    {
        QTemporaryDir tmp;
        QDir(tmp.path()).mkdir(QStringLiteral("★MAilData"));
        // Nothing there yet: the first writer's spelling is used.
        const QString fresh = resolvePath(tmp.path(), QStringLiteral("\\★MailData\\Ferruledata50.data"));
        QCOMPARE(fresh, tmp.path() + QStringLiteral("/★MAilData/Ferruledata50.data"));
        QFile f(fresh);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.close();
        // Later readers with other spellings land on the same file.
        QCOMPARE(resolvePath(tmp.path(), QStringLiteral("/★mailDATA/ferruledata50.DATA")), fresh);
        QCOMPARE(resolvePath(tmp.path(), QStringLiteral("\\★MAilData\\FERRULEDATA50.DATA")), fresh);
    }

    void everySpellingLandsOnTheSameOneOfSeveralVariants()
    {
        QTemporaryDir tmp;
        QDir d(tmp.path());
        QVERIFY(d.mkdir("★MAilData") && d.mkdir("★MailData"));
        for (const char* name : {"★MAilData/Ferruledata50.data", "★MAilData/ferruledata50.data"}) {
            QFile f(d.filePath(QString::fromUtf8(name)));
            QVERIFY(f.open(QIODevice::WriteOnly));
        }
        // The loader's, the writer's and any other spelling: one file.
        const QString chosen = d.filePath(QStringLiteral("★MAilData/Ferruledata50.data"));
        for (const char* tail : {"\\★MAilData\\Ferruledata50.data", "\\★MAilData\\ferruledata50.data",
                                 "/★MailData/FERRULEDATA50.DATA"})
            QCOMPARE(resolvePath(tmp.path(), QString::fromUtf8(tail)), chosen);
    }

    void missingFolderKeepsTheGivenTail()
    {
        QTemporaryDir tmp;
        QCOMPARE(resolvePath(tmp.path(), QStringLiteral("\\★MailData\\ini.ini")),
                 tmp.path() + QStringLiteral("/★MailData/ini.ini"));
    }

    void nonAsciiLettersAreNotFolded()
    {
        QTemporaryDir tmp;
        QDir(tmp.path()).mkdir(QStringLiteral("Ä"));
        // Only ASCII letters compare without case.
        QCOMPARE(resolvePath(tmp.path(), QStringLiteral("ä/x")), tmp.path() + QStringLiteral("/ä/x"));
    }
};

QTEST_GUILESS_MAIN(PathsTest)
#include "tst_paths.moc"
