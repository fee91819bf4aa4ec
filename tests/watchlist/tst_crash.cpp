// A process killed at any point of changing the store leaves the old list
// or the new one, never neither. The test binary re-runs itself as the
// child that changes the store and kills itself at the chosen step.
#include <QProcess>
#include <QtTest>

#include <csignal>
#include <cstring>

#include "StoreFixture.h"
#include "watchlist/KeywordStore.h"

using namespace qp;
using namespace qp::test;

namespace {
const char* const kChildFlag = "--store-child";
constexpr int kNoCrash = -1;

// Child: <exe> --store-child <program folder> <step or -1> <delete|append>
int runChild(char** argv)
{
    setProgramFolderOverride(QString::fromLocal8Bit(argv[2]));
    const int crashAt = std::atoi(argv[3]);
    KeywordStore::setStepHook([crashAt](KeywordStoreStep step) {
        if (static_cast<int>(step) == crashAt)
            std::raise(SIGKILL);
    });
    const bool ok = std::strcmp(argv[4], "delete") == 0
        ? KeywordStore::compact(2).ok()
        : appendKeyword(QStringLiteral("appended")).ok();
    return ok ? 0 : 3;
}
} // namespace

class CrashTest : public QObject {
    Q_OBJECT
private slots:
    void killedChildLeavesOldOrNewList_data();
    void killedChildLeavesOldOrNewList();
};

void CrashTest::killedChildLeavesOldOrNewList_data()
{
    QTest::addColumn<QString>("operation");
    QTest::addColumn<int>("crashAt");
    QTest::addColumn<bool>("expectNew");
    const struct {
        const char* name;
        int step;
        bool expectNew;
    } steps[] = {
        {"temp opened", int(KeywordStoreStep::TempOpened), false},
        {"temp half written", int(KeywordStoreStep::TempHalfWritten), false},
        {"temp synced, before rename", int(KeywordStoreStep::TempSynced), false},
        {"after rename", int(KeywordStoreStep::Renamed), true},
        {"not killed", kNoCrash, true},
    };
    for (const char* op : {"delete", "append"})
        for (const auto& s : steps)
            QTest::addRow("%s: %s", op, s.name) << QString::fromLatin1(op) << s.step << s.expectNew;
}

void CrashTest::killedChildLeavesOldOrNewList()
{
    QFETCH(QString, operation);
    QFETCH(int, crashAt);
    QFETCH(bool, expectNew);
    ProgramFolder folder;
    QStringList oldList;
    QByteArray bytes;
    for (int i = 0; i < 6; ++i) {
        oldList << padded(QStringLiteral("sender%1@example.jp").arg(i));
        bytes += record(QStringLiteral("sender%1@example.jp").arg(i));
    }
    writeFile(folder.file("Ferruledata50.data"), bytes);
    QStringList newList = oldList;
    if (operation == QLatin1String("delete"))
        newList.removeAt(2);
    else
        newList << padded(QStringLiteral("appended"));

    QProcess child;
    child.start(QCoreApplication::applicationFilePath(),
                {QString::fromLatin1(kChildFlag), folder.root(), QString::number(crashAt), operation});
    QVERIFY(child.waitForFinished(30000));
    if (crashAt == kNoCrash) {
        QCOMPARE(child.exitStatus(), QProcess::NormalExit);
        QCOMPARE(child.exitCode(), 0);
    } else {
        QCOMPARE(child.exitStatus(), QProcess::CrashExit); // really killed there
    }

    const KeywordList after = KeywordStore::loadAll();
    QVERIFY(after.status.ok());
    QCOMPARE(after.keywords, expectNew ? newList : oldList);

    // A leftover temporary file is harmless: the next change replaces it and
    // none remains afterwards.
    QVERIFY(KeywordStore::compact(-1).ok());
    QCOMPARE(KeywordStore::loadAll().keywords, expectNew ? newList : oldList);
    QCOMPARE(folder.entries(), QStringList{QStringLiteral("Ferruledata50.data")});
}

int main(int argc, char** argv)
{
    if (argc == 5 && std::strcmp(argv[1], kChildFlag) == 0) {
        QCoreApplication app(argc, argv);
        return runChild(argv);
    }
    QCoreApplication app(argc, argv);
    CrashTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_crash.moc"
