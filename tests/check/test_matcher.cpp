// The sender matching of the check cycle and the store read behind it.
#include "StoreBytes.h"
#include "mail/CheckMail.h"
#include "mail/SenderMatcher.h"
#include "platform/ProgramFolder.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

using namespace qp;
using namespace qp::test;

namespace {
// The rule written out naively, one keyword at a time.
qint64 referenceCount(const QStringList& keywords, const QString& sender)
{
    const QString s = trimSpaces(sender);
    qint64 n = 0;
    for (const QString& k : keywords) {
        const QString kk = trimSpaces(k);
        if (s.isEmpty())
            continue;
        if (kk.isEmpty() || s.contains(kk))
            ++n;
    }
    return n;
}
} // namespace

class MatcherTest : public QObject {
    Q_OBJECT
private slots:
    void cutAtNul()
    {
        QCOMPARE(CutAtNul(QStringLiteral("abc")), QStringLiteral("abc"));
        QCOMPARE(CutAtNul(QString::fromUtf16(u"ab\0cd", 5)), QStringLiteral("ab"));
        QCOMPARE(CutAtNul(QString::fromUtf16(u"\0x", 2)), QString());
        QCOMPARE(CutAtNul(QString()), QString());
    }

    void mailProgramRule()
    {
        QCOMPARE(mailProgramToStart(QStringLiteral("未設定")), std::nullopt);
        QCOMPARE(mailProgramToStart(QStringLiteral("   ")), std::nullopt);
        QCOMPARE(mailProgramToStart(QString()), std::nullopt);
        // Only the exact text counts as "not set".
        QCOMPARE(mailProgramToStart(QStringLiteral(" 未設定 ")), std::optional<QString>(QStringLiteral("未設定")));
        QCOMPARE(mailProgramToStart(QStringLiteral("  /usr/bin/mail prog  ")),
                 std::optional<QString>(QStringLiteral("/usr/bin/mail prog")));
    }

    void matchingRules()
    {
        SenderMatcher m;
        m.setRecords(storeBytes({QStringLiteral("taro@example.jp"), QStringLiteral("  Hanako@Example.JP  "),
                                 QStringLiteral("taro@example.jp"), QStringLiteral("山田")}));
        QCOMPARE(m.recordCount(), 4);

        // A keyword found twice in one sender still counts once per record;
        // the duplicate record counts again.
        SenderMatch r = m.match(QStringLiteral("taro@example.jp <taro@example.jp>"));
        QCOMPARE(r.matchingRecords, 2);
        QVERIFY(r.anyRecord);
        QCOMPARE(r.lastKeyword, QStringLiteral("山田"));
        QCOMPARE(r.lastPosition, 0);

        // Case as stored: no match in another letter case.
        QCOMPARE(m.match(QStringLiteral("hanako@example.jp")).matchingRecords, 0);
        QCOMPARE(m.match(QStringLiteral("Hanako@Example.JP")).matchingRecords, 1);

        // Japanese keyword and the last record's position in the trimmed sender.
        r = m.match(QStringLiteral("   山田 太郎 <yamada@example.jp>"));
        QCOMPARE(r.matchingRecords, 1);
        QCOMPARE(r.lastPosition, 1);
        r = m.match(QStringLiteral("\"大山田\" <x@y>"));
        QCOMPARE(r.lastPosition, 3);

        // Full-width and half-width are different characters.
        QCOMPARE(m.match(QStringLiteral("ｔａｒｏ@example.jp")).matchingRecords, 0);
    }

    void emptyKeywordAndEmptySender()
    {
        SenderMatcher m;
        m.setRecords(storeBytes({QString(), QStringLiteral("a")}));
        // An empty keyword is found in any non-empty sender ...
        QCOMPARE(m.match(QStringLiteral("zzz")).matchingRecords, 1);
        QCOMPARE(m.match(QStringLiteral("a")).matchingRecords, 2);
        // ... but nothing is found in an empty or all-space sender.
        QCOMPARE(m.match(QStringLiteral("   ")).matchingRecords, 0);
        QCOMPARE(m.match(QString()).matchingRecords, 0);

        SenderMatcher none;
        none.setRecords(QByteArray());
        const SenderMatch r = none.match(QStringLiteral("anyone"));
        QCOMPARE(r.matchingRecords, 0);
        QVERIFY(!r.anyRecord);
    }

    void recordsMarkedForRemovalStillMatchAndPartRecordIgnored()
    {
        QByteArray bytes = storeRecord(QStringLiteral("gone"), 0) + storeRecord(QStringLiteral("kept"));
        SenderMatcher m;
        m.setRecords(bytes);
        QCOMPARE(m.match(QStringLiteral("gone kept")).matchingRecords, 2);
        QCOMPARE(keywordsOfRecords(bytes + QByteArray(100, 'x')).size(), 2);
    }

    void agreesWithTheNaiveRuleOnRandomStores()
    {
        // Small alphabets make keywords overlap, nest and share suffixes,
        // where a multi-pattern scan goes wrong if it goes wrong at all.
        QRandomGenerator rng(12345);
        const QString alphabet = QStringLiteral("ab c山");
        auto randomText = [&](int maxLen) {
            QString s;
            const int len = rng.bounded(maxLen + 1);
            for (int i = 0; i < len; ++i)
                s += alphabet[rng.bounded(alphabet.size())];
            return s;
        };
        for (int round = 0; round < 300; ++round) {
            QStringList keywords;
            const int count = rng.bounded(12);
            for (int i = 0; i < count; ++i)
                keywords << randomText(5);
            SenderMatcher m;
            m.setRecords(storeBytes(keywords));
            for (int j = 0; j < 20; ++j) {
                const QString sender = randomText(14);
                const SenderMatch r = m.match(sender);
                if (r.matchingRecords != referenceCount(keywords, sender))
                    QFAIL(qPrintable(QStringLiteral("keywords [%1] sender '%2': %3, expected %4")
                                         .arg(keywords.join(u'|'), sender)
                                         .arg(r.matchingRecords)
                                         .arg(referenceCount(keywords, sender))));
                if (!keywords.isEmpty()) {
                    const QString last = trimSpaces(keywords.last());
                    const QString s = trimSpaces(sender);
                    const int expected = s.isEmpty() ? 0 : (last.isEmpty() ? 1 : int(s.indexOf(last)) + 1);
                    QCOMPARE(r.lastPosition, expected);
                }
            }
        }
    }

    void storeReader()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        QDir(dir.path()).mkdir(QStringLiteral("★MailData"));
        setProgramFolderOverride(dir.path());

        // A missing store is created empty.
        KeywordStoreReader reader;
        QVERIFY(reader.readAfresh());
        QVERIFY(reader.records().isEmpty());
        QCOMPARE(QDir(dir.path() + QStringLiteral("/★MailData")).entryList(QDir::Files).size(), 1);
        const QString path = programPath(QStringLiteral("\\★MAilData\\ferruledata50.data"));
        QVERIFY(!reader.readAfresh());

        // Changes are seen on the next read, the same bytes are not a change.
        QVERIFY(writeStore(path, {QStringLiteral("a"), QStringLiteral("b")}));
        QVERIFY(reader.readAfresh());
        QCOMPARE(reader.records(), storeBytes({QStringLiteral("a"), QStringLiteral("b")}));
        QVERIFY(!reader.readAfresh());

        // A part-record at the end is not part of the store.
        QFile f(path);
        QVERIFY(f.open(QIODevice::Append));
        f.write(QByteArray(50, 'z'));
        f.close();
        QVERIFY(!reader.readAfresh());
        QCOMPARE(reader.records().size(), 408);

        // Changing one byte in the middle, shrinking and growing are changes.
        QVERIFY(writeStore(path, {QStringLiteral("a"), QStringLiteral("c")}));
        QVERIFY(reader.readAfresh());
        QCOMPARE(keywordsOfRecords(reader.records()), QStringList({QStringLiteral("a"), QStringLiteral("c")}));
        QVERIFY(writeStore(path, {QStringLiteral("a")}));
        QVERIFY(reader.readAfresh());
        QCOMPARE(reader.records().size(), 204);
        QVERIFY(writeStore(path, {QStringLiteral("a"), QStringLiteral("x"), QStringLiteral("y")}));
        QVERIFY(reader.readAfresh());
        QCOMPARE(reader.records().size(), 612);

        // Any spelling of the folder and file names is the same store.
        QVERIFY(QFile::remove(programPath(QStringLiteral("\\★MAilData\\ferruledata50.data"))));
        QVERIFY(writeStore(dir.path() + QStringLiteral("/★MailData/FERRULEDATA50.DATA"), {QStringLiteral("q")}));
        QVERIFY(reader.readAfresh());
        QCOMPARE(keywordsOfRecords(reader.records()), QStringList({QStringLiteral("q")}));

        // No data folder: an empty store, nothing created.
        QVERIFY(QDir(dir.path() + QStringLiteral("/★MailData")).removeRecursively());
        QVERIFY(reader.readAfresh());
        QVERIFY(reader.records().isEmpty());
        QVERIFY(!QDir(dir.path() + QStringLiteral("/★MailData")).exists());
        setProgramFolderOverride(QString());
    }
};

QTEST_GUILESS_MAIN(MatcherTest)
#include "test_matcher.moc"
