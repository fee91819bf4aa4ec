#include "platform/Numbers.h"

#include <QtTest>

using namespace qp;

class NumbersTest : public QObject {
    Q_OBJECT
private slots:
    void textsReadAsNumbers_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<double>("value");
        QTest::newRow("plain") << "5" << 5.0;
        QTest::newRow("fraction") << "1.5" << 1.5;
        QTest::newRow("leading blanks") << "  \t12" << 12.0;
        QTest::newRow("trailing letters") << "12abc" << 12.0;
        QTest::newRow("letters") << "abc" << 0.0;
        QTest::newRow("empty") << "" << 0.0;
        QTest::newRow("initial box text") << "Text1" << 0.0;
        QTest::newRow("negative") << "-3" << -3.0;
        QTest::newRow("dot only") << "." << 0.0;
        QTest::newRow("leading dot") << ".5" << 0.5;
        QTest::newRow("exponent") << "1e2x" << 100.0;
        QTest::newRow("huge exponent stays finite") << "1e99999" << 0.0;
    }
    void textsReadAsNumbers()
    {
        QFETCH(QString, text);
        QFETCH(double, value);
        QCOMPARE(leadingNumber(text), value);
    }

    void roundingGoesToEven()
    {
        QCOMPARE(roundHalfEven(2.5), 2.0);
        QCOMPARE(roundHalfEven(3.5), 4.0);
        QCOMPARE(roundHalfEven(-0.5), -0.0);
        QCOMPARE(roundHalfEven(1.4), 1.0);
    }

    void integersSaturateInsteadOfOverflowing()
    {
        QCOMPARE(leadingInt32(" 42x"), 42);
        QCOMPARE(leadingInt32("-7"), -7);
        QCOMPARE(leadingInt32("x1"), 0);
        QCOMPARE(leadingInt32("99999999999999"), 2147483647);
        QCOMPARE(leadingInt32("-99999999999999"), -2147483647 - 1);
        QCOMPARE(clampToInt16(40000), std::int16_t(32767));
    }

    void generalDateAsWindowsWritesIt_data()
    {
        QTest::addColumn<QString>("locale");
        QTest::addColumn<QString>("morning");
        QTest::addColumn<QString>("afternoon");
        QTest::newRow("ja_JP") << "ja_JP" << "2026/01/07 9:05:03" << "2026/12/07 23:13:19";
        QTest::newRow("en_US") << "en_US" << "1/7/2026 9:05:03 AM" << "12/7/2026 11:13:19 PM";
        QTest::newRow("de_DE") << "de_DE" << "07.01.2026 09:05:03" << "07.12.2026 23:13:19";
        // Elsewhere: the locale's own patterns, four-digit year, no time zone.
        QTest::newRow("nl_NL") << "nl_NL" << "07-01-2026 09:05:03" << "07-12-2026 23:13:19";
    }
    void generalDateAsWindowsWritesIt()
    {
        QFETCH(QString, locale);
        QFETCH(QString, morning);
        QFETCH(QString, afternoon);
        const QLocale l(locale);
        QCOMPARE(generalDateText(QDateTime(QDate(2026, 1, 7), QTime(9, 5, 3)), l), morning);
        QCOMPARE(generalDateText(QDateTime(QDate(2026, 12, 7), QTime(23, 13, 19)), l), afternoon);
    }
};

QTEST_GUILESS_MAIN(NumbersTest)
#include "tst_numbers.moc"
