// The keyword store on disk: the exact bytes written, where appends land,
// compaction, the limits, case-insensitive names, recovery and failures.
#include <QtTest>

#include <sys/stat.h>

#include "StoreFixture.h"
#include "watchlist/KeywordStore.h"

using namespace qp;
using namespace qp::test;

class StoreTest : public QObject {
    Q_OBJECT
private slots:
    void missingStoreIsCreatedEmptyAndAbcIsWrittenExactly();
    void appendLandsAtRoundedRecordNumber_data();
    void appendLandsAtRoundedRecordNumber();
    void keywordFieldIsFilledAndCutAtCharacterBoundary_data();
    void keywordFieldIsFilledAndCutAtCharacterBoundary();
    void unencodableKeywordIsRefused();
    void loadListsRecordsAsReadIncludingMarkedAndBadBytes();
    void compactionRemovesRowAndMarkedRecords();
    void deletingOnlyRecordLeavesEmptyFileAndNoTemp();
    void namesResolveWithoutRegardToCase();
    void missingStoreIsRecoveredFromTemp();
    void missingDataFolderFailsCleanly();
    void unwritableTempLeavesStoreUntouched();
    void appendIsRefusedAtRecordLimit();
    void recordsPastTheLimitAreIgnoredAndKept();
    void nonRegularFilesAreUnreadableWithoutWaiting();
};

void StoreTest::missingStoreIsCreatedEmptyAndAbcIsWrittenExactly()
{
    ProgramFolder folder;
    const KeywordList list = KeywordStore::loadAll();
    QVERIFY(list.status.ok());
    QVERIFY(list.keywords.isEmpty());
    QCOMPARE(folder.entries(), QStringList{QStringLiteral("Ferruledata50.data")});
    QCOMPARE(QFileInfo(folder.file("Ferruledata50.data")).size(), 0);

    QVERIFY(appendKeyword(QStringLiteral("abc")).ok());
    QByteArray expected = QByteArray::fromHex("0D0A0100616263");
    expected.append(197, ' ');
    QCOMPARE(readFile(folder.file("Ferruledata50.data")), expected);
    QCOMPARE(folder.entries(), QStringList{QStringLiteral("Ferruledata50.data")});
    QCOMPARE(KeywordStore::loadAll().keywords, QStringList{padded(QStringLiteral("abc"))});
}

void StoreTest::appendLandsAtRoundedRecordNumber_data()
{
    QTest::addColumn<int>("extraBytes"); // beyond 3 whole records
    QTest::addColumn<int>("wholeRecords");
    QTest::addColumn<int>("expectedRecord");
    QTest::newRow("3 records") << 0 << 3 << 4;
    QTest::newRow("3 records + 50 bytes") << 50 << 3 << 4;
    QTest::newRow("3 records + 150 bytes") << 150 << 3 << 5;
    QTest::newRow("1 record + half, rounds to even 2") << 102 << 1 << 2;
    QTest::newRow("2 records + half, rounds to even 4") << 102 << 2 << 4;
    QTest::newRow("empty") << 0 << 0 << 1;
}

void StoreTest::appendLandsAtRoundedRecordNumber()
{
    QFETCH(int, extraBytes);
    QFETCH(int, wholeRecords);
    QFETCH(int, expectedRecord);
    ProgramFolder folder;
    QByteArray before;
    for (int i = 0; i < wholeRecords; ++i)
        before += record(QStringLiteral("k%1").arg(i));
    before.append(extraBytes, 'x');
    writeFile(folder.file("ferruledata50.data"), before);

    const KeywordRecordNumber next = KeywordStore::nextRecordNumber();
    QVERIFY(next.status.ok());
    QCOMPARE(next.number, expectedRecord);
    QVERIFY(appendKeyword(QStringLiteral("new")).ok());

    const QByteArray after = readFile(folder.file("ferruledata50.data"));
    const qsizetype start = qsizetype(expectedRecord - 1) * 204;
    QCOMPARE(after.size(), start + 204);
    QCOMPARE(after.mid(start), record(QStringLiteral("new")));
    // Everything before the new record is kept; a gap past the old end is zeros.
    const qsizetype kept = qMin(before.size(), start);
    QCOMPARE(after.left(kept), before.left(kept));
    QCOMPARE(after.mid(kept, start - kept), QByteArray(start - kept, '\0'));
}

void StoreTest::keywordFieldIsFilledAndCutAtCharacterBoundary_data()
{
    QTest::addColumn<QString>("keyword");
    QTest::addColumn<QByteArray>("field");
    const QByteArray a = QByteArray::fromHex("82A0"); // あ
    QTest::newRow("100 full-width fill it exactly") << QString(100, QChar(0x3042)) << a.repeated(100);
    QTest::newRow("10 half-width then 190 spaces")
        << QStringLiteral("0123456789") << QByteArray("0123456789") + QByteArray(190, ' ');
    QTest::newRow("200 half-width stored whole") << QString(200, QLatin1Char('z')) << QByteArray(200, 'z');
    QTest::newRow("101 full-width cut to 100") << QString(101, QChar(0x3042)) << a.repeated(100);
    QTest::newRow("double-byte character at byte 200 is not halved")
        << QString(199, QLatin1Char('z')) + QChar(0x3042) << QByteArray(199, 'z') + ' ';
    QTest::newRow("spaces only are a keyword") << QStringLiteral("   ") << QByteArray(200, ' ');
}

void StoreTest::keywordFieldIsFilledAndCutAtCharacterBoundary()
{
    QFETCH(QString, keyword);
    QFETCH(QByteArray, field);
    ProgramFolder folder;
    QVERIFY(appendKeyword(keyword).ok());
    const QByteArray bytes = readFile(KeywordStore::storePath());
    QCOMPARE(bytes.size(), 204);
    QCOMPARE(bytes.left(4), QByteArray::fromHex("0D0A0100"));
    QCOMPARE(bytes.mid(4), field);
}

void StoreTest::unencodableKeywordIsRefused()
{
    ProgramFolder folder;
    const QByteArray before = record(QStringLiteral("keep"));
    writeFile(folder.file("Ferruledata50.data"), before);
    const KeywordStoreStatus status = appendKeyword(QStringLiteral("a\U0001F600b"));
    QCOMPARE(status.failure, KeywordStoreFailure::Unencodable);
    QCOMPARE(status.detail, QStringLiteral("\U0001F600"));
    QCOMPARE(readFile(folder.file("Ferruledata50.data")), before);
    QCOMPARE(folder.entries().size(), 1);
}

void StoreTest::loadListsRecordsAsReadIncludingMarkedAndBadBytes()
{
    ProgramFolder folder;
    QByteArray bytes = record(QStringLiteral("taro@example.jp")) + record(QStringLiteral("ｶﾅ漢字"), 0)
        + record(QByteArray("bad\x81", 4)) + QByteArray(100, 'p'); // part-record at the end
    writeFile(folder.file("Ferruledata50.data"), bytes);
    const KeywordList list = KeywordStore::loadAll();
    QVERIFY(list.status.ok());
    QCOMPARE(list.keywords.size(), 3);
    QCOMPARE(list.keywords[0], padded(QStringLiteral("taro@example.jp")));
    QCOMPARE(list.keywords[1], padded(QStringLiteral("ｶﾅ漢字"))); // InUse 0 still listed
    QVERIFY(list.keywords[2].startsWith(QStringLiteral("bad")));
    QVERIFY(list.keywords[2].contains(QChar::ReplacementCharacter));
    // Loading never writes.
    QCOMPARE(readFile(folder.file("Ferruledata50.data")), bytes);
}

void StoreTest::compactionRemovesRowAndMarkedRecords()
{
    ProgramFolder folder;
    // A record with odd separator and bytes that are not CP932 must survive
    // byte for byte: compaction copies records, it never re-encodes them.
    const QByteArray odd = record(QByteArray("\xFF\xFE odd", 6), 7, "ab");
    const QByteArray a = record(QStringLiteral("a")), b = record(QStringLiteral("b"), 0),
                     c = record(QStringLiteral("c")), d = record(QStringLiteral("d"));
    writeFile(folder.file("Ferruledata50.data"), a + b + odd + c + d);
    QVERIFY(KeywordStore::compact(3).ok()); // row 3 is "c"
    QCOMPARE(readFile(folder.file("Ferruledata50.data")), a + odd + d);
    QCOMPARE(folder.entries(), QStringList{QStringLiteral("Ferruledata50.data")});

    QVERIFY(KeywordStore::compact(0).ok());
    QCOMPARE(KeywordStore::loadAll().keywords.size(), 2);
    QCOMPARE(readFile(folder.file("Ferruledata50.data")), odd + d);
}

void StoreTest::deletingOnlyRecordLeavesEmptyFileAndNoTemp()
{
    ProgramFolder folder;
    QVERIFY(appendKeyword(QStringLiteral("only")).ok());
    QVERIFY(KeywordStore::compact(0).ok());
    QCOMPARE(folder.entries(), QStringList{QStringLiteral("Ferruledata50.data")});
    QCOMPARE(QFileInfo(folder.file("Ferruledata50.data")).size(), 0);
    QVERIFY(KeywordStore::loadAll().keywords.isEmpty());
}

void StoreTest::namesResolveWithoutRegardToCase()
{
    ProgramFolder folder(ProgramFolder::NoDataFolder);
    QVERIFY(QDir(folder.root()).mkdir(QStringLiteral("★maildata")));
    const QString path = folder.root() + QStringLiteral("/★maildata/FERRULEDATA50.DATA");
    writeFile(path, record(QStringLiteral("one")));
    QCOMPARE(KeywordStore::loadAll().keywords.size(), 1);
    QVERIFY(appendKeyword(QStringLiteral("two")).ok());
    QVERIFY(KeywordStore::compact(0).ok());
    QCOMPARE(QDir(folder.root() + QStringLiteral("/★maildata")).entryList(QDir::Files),
             QStringList{QStringLiteral("FERRULEDATA50.DATA")});
    QCOMPARE(readFile(path), record(QStringLiteral("two")));

    // Two spellings present at once: the writer, the loader and the
    // deleter all use the same one of them, the other is never touched.
    const QString other = folder.root() + QStringLiteral("/★maildata/ferruledata50.data");
    writeFile(other, record(QStringLiteral("other")));
    QVERIFY(appendKeyword(QStringLiteral("three")).ok());
    QCOMPARE(KeywordStore::loadAll().keywords, QStringList({padded("two"), padded("three")}));
    QVERIFY(KeywordStore::compact(0).ok());
    QCOMPARE(readFile(path), record(QStringLiteral("three")));
    QCOMPARE(readFile(other), record(QStringLiteral("other")));
}

void StoreTest::missingStoreIsRecoveredFromTemp()
{
    // What a deletion interrupted between deleting the store and writing it
    // anew leaves behind (delete first, then write: the store's order of steps).
    ProgramFolder folder;
    const QByteArray list = record(QStringLiteral("saved1")) + record(QStringLiteral("saved2"), 0);
    writeFile(folder.file("ferruledata50.tmp"), list);
    const KeywordList loaded = KeywordStore::loadAll();
    QVERIFY(loaded.status.ok());
    QVERIFY(loaded.status.recoveredFromTemp);
    QCOMPARE(loaded.keywords.size(), 2);
    QCOMPARE(folder.entries(), QStringList{QStringLiteral("Ferruledata50.data")});
    QCOMPARE(readFile(folder.file("Ferruledata50.data")), list);
    // Told once: the next load finds the store.
    QVERIFY(!KeywordStore::loadAll().status.recoveredFromTemp);
}

void StoreTest::missingDataFolderFailsCleanly()
{
    ProgramFolder folder(ProgramFolder::NoDataFolder);
    QCOMPARE(KeywordStore::loadAll().status.failure, KeywordStoreFailure::FolderMissing);
    QCOMPARE(appendKeyword(QStringLiteral("x")).failure, KeywordStoreFailure::FolderMissing);
    QCOMPARE(KeywordStore::compact(0).failure, KeywordStoreFailure::FolderMissing);
    QVERIFY(QDir(folder.root()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).isEmpty());
}

void StoreTest::unwritableTempLeavesStoreUntouched()
{
    // A folder where the temporary file must go makes every write fail (the
    // tests run as root, so permissions cannot be used for this).
    ProgramFolder folder;
    const QByteArray bytes = record(QStringLiteral("a")) + record(QStringLiteral("b"));
    writeFile(folder.file("Ferruledata50.data"), bytes);
    QVERIFY(QDir(folder.data()).mkdir(QStringLiteral("FERRULEDATA50.TMP")));

    const KeywordStoreStatus removed = KeywordStore::compact(0);
    QCOMPARE(removed.failure, KeywordStoreFailure::OpenFailed);
    QVERIFY(removed.detail.contains(QStringLiteral("FERRULEDATA50.TMP")));
    QCOMPARE(appendKeyword(QStringLiteral("c")).failure, KeywordStoreFailure::OpenFailed);
    QCOMPARE(readFile(folder.file("Ferruledata50.data")), bytes);
}

void StoreTest::appendIsRefusedAtRecordLimit()
{
    ProgramFolder folder;
    const QByteArray one = record(QStringLiteral("k"));
    writeFile(folder.file("Ferruledata50.data"), one.repeated(KeywordStore::kMaxRecords - 1));
    QVERIFY(appendKeyword(QStringLiteral("last")).ok());
    QCOMPARE(KeywordStore::loadAll().keywords.size(), KeywordStore::kMaxRecords);

    const qint64 size = QFileInfo(folder.file("Ferruledata50.data")).size();
    QCOMPARE(KeywordStore::nextRecordNumber().number, KeywordStore::kMaxRecords + 1);
    QCOMPARE(appendKeyword(QStringLiteral("more")).failure, KeywordStoreFailure::Full);
    QCOMPARE(QFileInfo(folder.file("Ferruledata50.data")).size(), size);
    QCOMPARE(folder.entries().size(), 1);
}

QTEST_GUILESS_MAIN(StoreTest)
#include "tst_store.moc"

void StoreTest::recordsPastTheLimitAreIgnoredAndKept()
{
    ProgramFolder folder;
    const int max = KeywordStore::kMaxRecords;
    const QByteArray first = record(QStringLiteral("first")), k = record(QStringLiteral("k"));
    const QByteArray beyond = record(QStringLiteral("beyond1")) + record(QStringLiteral("beyond2")) + "part";
    writeFile(folder.file("Ferruledata50.data"), first + k.repeated(max - 1) + beyond);

    const KeywordList list = KeywordStore::loadAll();
    QVERIFY(list.status.ok());
    QVERIFY(list.status.recordsIgnored);
    QCOMPARE(list.keywords.size(), max);
    QCOMPARE(list.keywords.last(), padded("k"));

    // Deleting row 0 compacts what the list shows; the rest stays as it was.
    QVERIFY(KeywordStore::compact(0).ok());
    QCOMPARE(readFile(folder.file("Ferruledata50.data")), k.repeated(max - 1) + beyond);
    QCOMPARE(KeywordStore::loadAll().keywords.last(), padded("beyond1"));
}

void StoreTest::nonRegularFilesAreUnreadableWithoutWaiting()
{
    // Opening a FIFO without a writer would wait for ever: these calls
    // must come back (the test's time-out catches a hang).
    ProgramFolder folder;
    const QByteArray store = folder.file("Ferruledata50.data").toLocal8Bit();
    QCOMPARE(::mkfifo(store.constData(), 0644), 0);
    QCOMPARE(KeywordStore::loadAll().status.failure, KeywordStoreFailure::OpenFailed);
    QCOMPARE(appendKeyword(QStringLiteral("x")).failure, KeywordStoreFailure::OpenFailed);
    QCOMPARE(KeywordStore::compact(-1).failure, KeywordStoreFailure::OpenFailed);
    QVERIFY(!QFileInfo(folder.file("Ferruledata50.data")).isFile()); // not replaced behind the user's back
    QVERIFY(QFile::remove(folder.file("Ferruledata50.data")));

    // A FIFO under the temporary name: the change is refused, the store kept.
    const QByteArray bytes = record(QStringLiteral("a")) + record(QStringLiteral("b"));
    writeFile(folder.file("Ferruledata50.data"), bytes);
    QCOMPARE(::mkfifo(folder.file("FERRULEDATA50.TMP").toLocal8Bit().constData(), 0644), 0);
    QCOMPARE(KeywordStore::compact(0).failure, KeywordStoreFailure::OpenFailed);
    QCOMPARE(readFile(folder.file("Ferruledata50.data")), bytes);
}
