// The check cycle's read of the store: the matching rule, the automaton
// against the one-keyword rule on random lists, and the cache that must
// notice every change of the file.
#include <QRandomGenerator>
#include <QtTest>

#include "StoreFixture.h"
#include "watchlist/KeywordMatcher.h"

using namespace qp;
using namespace qp::test;

class MatcherTest : public QObject {
    Q_OBJECT
private slots:
    void positionRule_data();
    void positionRule();
    void automatonAgreesWithRuleOnRandomLists();
    void storeIsReadForEveryCallAndChangesAreSeen();
    void markedRecordsMatchAndPartRecordsDoNot();
    void missingStoreOrFolderGivesNoKeywords();
    void sendersTypedOutsideWindowsMatchStoredForms();
};

void MatcherTest::positionRule_data()
{
    QTest::addColumn<QString>("sender");
    QTest::addColumn<QString>("keyword");
    QTest::addColumn<int>("position");
    QTest::newRow("found") << "Taro <taro@example.jp>" << "taro@" << 7;
    QTest::newRow("first of two") << "ab ab" << "ab" << 1;
    QTest::newRow("case differs") << "TARO@example.jp" << "taro" << 0;
    QTest::newRow("width differs") << "ｔａｒｏ" << "taro" << 0;
    QTest::newRow("kana width differs") << "ｶﾅ" << "カナ" << 0;
    QTest::newRow("both trimmed") << "   x@y  " << "  x@y   " << 1;
    QTest::newRow("inner spaces kept") << "a b" << "ab" << 0;
    QTest::newRow("full-width space not trimmed") << "\u3000abc" << "abc" << 2;
    QTest::newRow("empty keyword, non-empty sender") << "abc" << "" << 1;
    QTest::newRow("spaces keyword, non-empty sender") << "abc" << "    " << 1;
    QTest::newRow("empty keyword, blank sender") << "   " << "" << 0;
    QTest::newRow("keyword, empty sender") << "" << "a" << 0;
    QTest::newRow("keyword longer than sender") << "ab" << "abc" << 0;
    QTest::newRow("japanese") << "山田太郎 <yamada@example.jp>" << "太郎" << 3;
}

void MatcherTest::positionRule()
{
    QFETCH(QString, sender);
    QFETCH(QString, keyword);
    QFETCH(int, position);
    QCOMPARE(keywordPosition(sender, keyword), position);
    const SenderMatch m = KeywordMatcher::matchList({keyword}, sender);
    QCOMPARE(m.matchCount, position > 0 ? 1 : 0);
    QCOMPARE(m.lastMatchPosition, position);
}

// Builds texts from a tiny alphabet so that keywords overlap, nest, repeat
// and share prefixes and suffixes: what breaks failure links.
void MatcherTest::automatonAgreesWithRuleOnRandomLists()
{
    QRandomGenerator rng(20240607);
    const QString alphabet = QStringLiteral("ab あ");
    auto text = [&](int maxLen) {
        QString s;
        const int len = rng.bounded(maxLen + 1);
        for (int i = 0; i < len; ++i)
            s += alphabet[rng.bounded(alphabet.size())];
        return s;
    };
    for (int round = 0; round < 400; ++round) {
        // Odd rounds: long keywords sharing long heads, in senders that
        // hold those heads, so that only the rest tells them apart.
        const bool longOnes = round % 2;
        QString head;
        while (head.size() < 24)
            head += alphabet[rng.bounded(alphabet.size())];
        QStringList keywords;
        const int count = rng.bounded(12);
        for (int i = 0; i < count; ++i)
            keywords << (longOnes ? head.left(10 + rng.bounded(15)) + text(4) : text(5));
        for (int s = 0; s < 10; ++s) {
            const QString sender = longOnes ? text(4) + head.left(rng.bounded(25)) + text(6) + head : text(14);
            int expectedCount = 0, expectedPos = 0, expectedLen = 0;
            for (const QString& k : keywords) {
                const int p = keywordPosition(sender, k);
                if (p > 0) {
                    ++expectedCount;
                    expectedPos = p;
                    expectedLen = int(trimSpaces(k).size());
                }
            }
            const SenderMatch m = KeywordMatcher::matchList(keywords, sender);
            const QByteArray where = "keywords " + keywords.join(u'|').toUtf8() + " sender " + sender.toUtf8();
            QVERIFY2(m.matchCount == expectedCount, where.constData());
            QVERIFY2(m.lastMatchPosition == expectedPos, where.constData());
            QVERIFY2(m.lastMatchLength == expectedLen, where.constData());
            QCOMPARE(m.recordCount, keywords.size());
            QCOMPARE(m.lastKeyword, keywords.isEmpty() ? QString() : trimSpaces(keywords.last()).toString());
        }
    }
}

void MatcherTest::storeIsReadForEveryCallAndChangesAreSeen()
{
    ProgramFolder folder;
    const QString path = folder.file("Ferruledata50.data");
    writeFile(path, record(QStringLiteral("alice@")) + record(QStringLiteral("alice@")) + record(QStringLiteral("bob@")));
    KeywordMatcher matcher;
    SenderMatch m = matcher.match(QStringLiteral("Alice <alice@example.jp>"));
    QCOMPARE(m.matchCount, 2); // one pair per record, duplicates included
    QCOMPARE(m.lastKeyword, QStringLiteral("bob@"));
    QCOMPARE(m.lastMatchPosition, 8);
    QCOMPARE(m.lastMatchLength, 6);
    QCOMPARE(matcher.match(QStringLiteral("bob@example.jp")).matchCount, 1);
    QCOMPARE(matcher.rebuildCount(), 1); // unchanged bytes: nothing rebuilt

    // Same size, same modification time, one byte different: still seen.
    const QDateTime stamp = QFileInfo(path).lastModified();
    QByteArray bytes = readFile(path);
    bytes[4 + 204 * 2] = 'B';
    {
        QFile f(path);
        QVERIFY(f.open(QIODevice::ReadWrite));
        QCOMPARE(f.write(bytes), bytes.size());
        QVERIFY(f.setFileTime(stamp, QFileDevice::FileModificationTime));
    }
    QCOMPARE(matcher.match(QStringLiteral("bob@example.jp")).matchCount, 0);
    QCOMPARE(matcher.match(QStringLiteral("Bob@example.jp")).matchCount, 1);
    QCOMPARE(matcher.rebuildCount(), 2);

    // The same edit during a run through many senders, which looks at the
    // file rather than reading it for each: seen from the next look on.
    QCOMPARE(matcher.matchUnlessUnchanged(QStringLiteral("Bob@example.jp")).matchCount, 1);
    bytes[4 + 204 * 2] = 'b';
    {
        QFile f(path);
        QVERIFY(f.open(QIODevice::ReadWrite));
        QCOMPARE(f.write(bytes), bytes.size());
        QVERIFY(f.setFileTime(stamp, QFileDevice::FileModificationTime));
    }
    QTest::qWait(5);
    QCOMPARE(matcher.matchUnlessUnchanged(QStringLiteral("bob@example.jp")).matchCount, 1);
    QCOMPARE(matcher.rebuildCount(), 3);

    // Changes made through the store are seen at the next call.
    QVERIFY(KeywordStore::compact(0).ok());
    QCOMPARE(matcher.match(QStringLiteral("alice@example.jp")).matchCount, 1);
    QVERIFY(appendKeyword(QStringLiteral("example")).ok());
    QCOMPARE(matcher.match(QStringLiteral("alice@example.jp")).matchCount, 2);
}

void MatcherTest::markedRecordsMatchAndPartRecordsDoNot()
{
    ProgramFolder folder;
    writeFile(folder.file("Ferruledata50.data"),
              record(QStringLiteral("marked"), 0) + record(QStringLiteral("part")).left(150));
    KeywordMatcher matcher;
    const SenderMatch m = matcher.match(QStringLiteral("marked part"));
    QCOMPARE(m.recordCount, 1);
    QCOMPARE(m.matchCount, 1);
    QCOMPARE(m.lastMatchPosition, 1);
}

void MatcherTest::missingStoreOrFolderGivesNoKeywords()
{
    {
        ProgramFolder folder;
        KeywordMatcher matcher;
        const SenderMatch m = matcher.match(QStringLiteral("anyone"));
        QVERIFY(m.status.ok());
        QCOMPARE(m.recordCount, 0);
        QCOMPARE(m.matchCount, 0);
        QVERIFY(QFileInfo::exists(folder.file("Ferruledata50.data"))); // created empty
    }
    {
        ProgramFolder folder(ProgramFolder::NoDataFolder);
        KeywordMatcher matcher;
        const SenderMatch m = matcher.match(QStringLiteral("anyone"));
        QCOMPARE(m.status.failure, KeywordStoreFailure::FolderMissing);
        QCOMPARE(m.matchCount, 0);
    }
}

QTEST_GUILESS_MAIN(MatcherTest)
#include "tst_matcher.moc"

void MatcherTest::sendersTypedOutsideWindowsMatchStoredForms()
{
    // Each keyword's bytes as Windows stored it, found in a sender as a Mac
    // or Linux mail program writes it.
    const QList<QByteArray> stored = {"\x81\x60", "\x81\x7C", "\x81\x61", "\x81\x91",
                                      "\x81\x92", "\x81\xCA", "\x81\x5C"};
    const QString sender = QStringLiteral("山田\u301C\u2212\u2016\u00A2\u00A3\u00AC\u2014 <t@x.jp>");
    ProgramFolder folder;
    for (int i = 0; i < stored.size(); ++i) {
        writeFile(folder.file("Ferruledata50.data"), record(stored[i]));
        KeywordMatcher matcher;
        const SenderMatch m = matcher.match(sender);
        QCOMPARE(m.matchCount, 1);
        QCOMPARE(m.lastMatchPosition, 3 + i);
        // The check places the match with the one-keyword rule: same answer.
        QCOMPARE(keywordPosition(sender, m.lastKeyword), 3 + i);
    }
}
