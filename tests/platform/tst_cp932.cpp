#include "platform/Cp932.h"

#include <QtTest>

using namespace qp;

class Cp932Test : public QObject {
    Q_OBJECT
private slots:
    void windowsCharactersRoundTrip_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("kana") << QStringLiteral("ソ表") << QByteArray("\x83\x5C\x95\x5C");
        QTest::newRow("wave dash is FF5E") << QStringLiteral("\uFF5E") << QByteArray("\x81\x60");
        QTest::newRow("NEC circled one") << QStringLiteral("①") << QByteArray("\x87\x40");
        QTest::newRow("NEC kabushiki") << QStringLiteral("㈱") << QByteArray("\x87\x8A");
        QTest::newRow("IBM extension") << QStringLiteral("髙") << QByteArray("\xFB\xFC");
        QTest::newRow("half-width kana") << QStringLiteral("ｱ") << QByteArray("\xB1");
        QTest::newRow("ascii") << QStringLiteral("abc=1") << QByteArray("abc=1");
    }
    void windowsCharactersRoundTrip()
    {
        QFETCH(QString, text);
        QFETCH(QByteArray, bytes);
        const auto enc = cp932::encode(text);
        QVERIFY(enc.ok);
        QCOMPARE(enc.bytes, bytes);
        const auto dec = cp932::decode(bytes);
        QVERIFY(dec.ok);
        QCOMPARE(dec.text, text);
    }

    // Input methods outside Windows type these; the file gets the bytes
    // Windows writes for what looks the same, and reads back in that form.
    void typedFormsAreStoredAsWindowsForms()
    {
        const QString typed = QStringLiteral("a\u301C\u2212\u2016\u00A2\u00A3\u00AC\u2014");
        const QString windows = QStringLiteral("a\uFF5E\uFF0D\u2225\uFFE0\uFFE1\uFFE2\u2015");
        const QByteArray bytes("a\x81\x60\x81\x7C\x81\x61\x81\x91\x81\x92\x81\xCA\x81\x5C");
        QVERIFY(cp932::canEncode(typed));
        QCOMPARE(cp932::encode(typed).bytes, bytes);
        QCOMPARE(cp932::byteLength(typed), bytes.size());
        QCOMPARE(cp932::decode(bytes).text, windows);
        QCOMPARE(cp932::toWindowsForms(typed), windows);
        QCOMPARE(cp932::toWindowsForms(windows), windows); // only these are changed
    }

    void invalidBytesAreReportedAndReplacedOneForOne()
    {
        // Around a bad byte, every kind of character still decodes.
        const QByteArray mixed = cp932::encode(QStringLiteral("表①髙ｱ~\\")).bytes;
        const auto mixedDec = cp932::decode(mixed + '\xFF' + mixed + QByteArray("\x85\x40", 2) + mixed);
        QVERIFY(!mixedDec.ok);
        QCOMPARE(mixedDec.firstBadByte, mixed.size());
        QCOMPARE(mixedDec.text, QStringLiteral("表①髙ｱ~\\\uFFFD表①髙ｱ~\\\uFFFD@表①髙ｱ~\\"));

        // A lone lead byte at the end, a lead byte followed by a control
        // character, and bytes that are never valid.
        const auto dec = cp932::decode(QByteArray("ab\x81", 3));
        QVERIFY(!dec.ok);
        QCOMPARE(dec.firstBadByte, 2);
        QCOMPARE(dec.text, QStringLiteral("ab\uFFFD"));

        const auto dec2 = cp932::decode(QByteArray("\x82\x0Ax\xFD\xFFy", 6));
        QVERIFY(!dec2.ok);
        QCOMPARE(dec2.firstBadByte, 0);
        QCOMPARE(dec2.text, QStringLiteral("\uFFFD\nx\uFFFD\uFFFDy"));
    }

    void unencodableCharactersAreFlaggedNeverWrittenAsFcFc()
    {
        const auto enc = cp932::encode(QStringLiteral("a😀b한"));
        QVERIFY(!enc.ok);
        QCOMPARE(enc.firstBadChar, 1);
        QVERIFY(!enc.bytes.contains("\xFC\xFC"));
        QCOMPARE(enc.bytes, QByteArray("a?b?"));
        QVERIFY(!cp932::canEncode(QStringLiteral("€")) || cp932::encode(QStringLiteral("€")).bytes != "\xFC\xFC");
    }

    void truncationNeverSplitsADoubleByteCharacter()
    {
        const QByteArray bytes = cp932::encode(QStringLiteral("aあいう")).bytes; // 1 + 6 bytes
        QCOMPARE(cp932::truncateAtCharBoundary(bytes, 4), bytes.left(3));
        QCOMPARE(cp932::truncateAtCharBoundary(bytes, 5), bytes.left(5));
        QCOMPARE(cp932::truncateAtCharBoundary(bytes, 100), bytes);
        // A trail byte that looks like a lead byte must not confuse the walk.
        const QByteArray hyo = cp932::encode(QStringLiteral("表表")).bytes; // 95 5C 95 5C
        QCOMPARE(cp932::truncateAtCharBoundary(hyo, 3), hyo.left(2));
    }
};

QTEST_GUILESS_MAIN(Cp932Test)
#include "tst_cp932.moc"
