// Header texts as real Japanese mail writes them: what the keyword search
// sees must be the sender as a person reads it, whatever the mailer did.
#include <QtTest>

#include "mail/HeaderDecoder.h"
#include "watchlist/KeywordMatcher.h"

using namespace qp::mailheader;

namespace {
const QString kYamada = QStringLiteral("山田");
const QString kLost = QString(QChar::ReplacementCharacter);

// An encoded word over raw bytes, so the rows show what the sender's mailer
// put in it.
QByteArray bWord(const char* charset, const QByteArray& bytes, bool padded = true)
{
    QByteArray text = bytes.toBase64();
    if (!padded)
        while (text.endsWith('='))
            text.chop(1);
    return "=?" + QByteArray(charset) + "?B?" + text + "?=";
}

void senderColumns()
{
    QTest::addColumn<QByteArray>("raw");
    QTest::addColumn<QString>("expected"); // as written, U+FFFD where a character is lost
    QTest::addColumn<QString>("keyword");  // from the intact part
}

// The sender as written, and the watch list finding it.
void checkSender()
{
    QFETCH(QByteArray, raw);
    QFETCH(QString, expected);
    QFETCH(QString, keyword);
    const QString decoded = decodeFieldValue(raw);
    QCOMPARE(decoded, expected);
    QCOMPARE(qp::KeywordMatcher::matchList({keyword}, decoded).matchCount, 1);
}
}

class HeaderDecoderTest : public QObject {
    Q_OBJECT
private slots:
    void encodedWords_data()
    {
        QTest::addColumn<QByteArray>("raw");
        QTest::addColumn<QString>("expected");

        QTest::newRow("ISO-2022-JP B") << QByteArray("=?ISO-2022-JP?B?GyRCOzNFRBsoQg==?= <yamada@example.jp>")
                                       << kYamada + QStringLiteral(" <yamada@example.jp>");
        QTest::newRow("lower-case label and encoding") << QByteArray("=?iso-2022-jp?b?GyRCOzNFRBsoQg==?=") << kYamada;
        QTest::newRow("UTF-8 Q with underscore") << QByteArray("=?UTF-8?Q?=E5=B1=B1_=E7=94=B0?=")
                                                 << QStringLiteral("山 田");
        QTest::newRow("adjacent words, folded, space dropped")
            << QByteArray("=?UTF-8?B?5bGx?=\r\n =?UTF-8?B?55Sw?= <a@example.jp>")
            << kYamada + QStringLiteral(" <a@example.jp>");
        QTest::newRow("character cut between two words")
            << QByteArray("=?UTF-8?B?5bGx5w==?= =?UTF-8?B?lLA=?=") << kYamada;
        QTest::newRow("base64 cut inside a quantum")
            << QByteArray("=?UTF-8?B?5bGx55?=\r\n\t=?UTF-8?B?Sw?=") << kYamada;
        // Each word back in ASCII at its end, as RFC 2047 wants: joined, the
        // bytes hold one escape sequence right after another.
        QTest::newRow("ISO-2022-JP words each complete")
            << QByteArray("=?ISO-2022-JP?B?GyRCOzMbKEI=?=\r\n =?ISO-2022-JP?B?GyRCRUQbKEI=?= <y@example.jp>")
            << kYamada + QStringLiteral(" <y@example.jp>");
        QTest::newRow("adjacent words in two charsets")
            << QByteArray("=?UTF-8?B?5bGx?= =?ISO-2022-JP?B?GyRCRUQbKEI=?=") << kYamada;
        QTest::newRow("words with text between keep the text")
            << QByteArray("=?UTF-8?B?5bGx?= and =?UTF-8?B?55Sw?=") << QStringLiteral("山 and 田");
        QTest::newRow("inside a quoted string")
            << QByteArray("\"=?ISO-2022-JP?B?GyRCOzNFRBsoQg==?=\" <y@example.jp>")
            << QStringLiteral("\"山田\" <y@example.jp>");
        QTest::newRow("Shift_JIS with NEC extension")
            << QByteArray("=?Shift_JIS?B?h0CX6ZbY?=") << QStringLiteral("①鈴木");
        QTest::newRow("ISO-2022-JP with NEC row 13")
            << QByteArray("=?ISO-2022-JP?B?GyRCLSEtahsoQg==?=") << QStringLiteral("①㈱");
        QTest::newRow("EUC-JP label") << QByteArray("=?EUC-JP?B?u7PFxA==?=") << kYamada;
        QTest::newRow("language suffix") << QByteArray("=?UTF-8*ja?B?5bGx55Sw?=") << kYamada;
        QTest::newRow("unknown encoding letter stays literal")
            << QByteArray("=?UTF-8?X?abc?= x") << QStringLiteral("=?UTF-8?X?abc?= x");
        QTest::newRow("unterminated word stays literal")
            << QByteArray("a =?UTF-8?B?5bGx") << QStringLiteral("a =?UTF-8?B?5bGx");
    }
    void encodedWords()
    {
        QFETCH(QByteArray, raw);
        QFETCH(QString, expected);
        QCOMPARE(decodeFieldValue(raw), expected);
    }

    void raw8BitHeaders_data()
    {
        QTest::addColumn<QByteArray>("raw");
        QTest::addColumn<QString>("expected");
        QTest::newRow("ISO-2022-JP, unlabelled ESC $ B")
            << QByteArray("\x1b$BNkLZ\x1b(B <suzuki@example.jp>") << QStringLiteral("鈴木 <suzuki@example.jp>");
        QTest::newRow("Shift_JIS") << QByteArray("\x8d\xb2\x93\xa1 <sato@example.jp>")
                                   << QStringLiteral("佐藤 <sato@example.jp>");
        QTest::newRow("EUC-JP") << QByteArray("\xba\xb4\xc6\xa3 <sato@example.jp>")
                                << QStringLiteral("佐藤 <sato@example.jp>");
        QTest::newRow("EUC-JP that is also valid Shift_JIS")
            << QByteArray("\xce\xeb\xcc\xda") << QStringLiteral("鈴木");
        QTest::newRow("UTF-8") << QByteArray("\xe5\xb1\xb1\xe7\x94\xb0 <y@example.jp>")
                               << kYamada + QStringLiteral(" <y@example.jp>");
        QTest::newRow("ISO-2022-JP with the JIS X 0208-1990 announcer")
            << QByteArray("\x1b&@\x1b$B;3ED\x1b(B") << kYamada;
        QTest::newRow("ISO-2022-JP over a fold")
            << QByteArray("\x1b$B;3\x1b(B\r\n \x1b$BED\x1b(B") << QStringLiteral("山 田");
    }
    void raw8BitHeaders()
    {
        QFETCH(QByteArray, raw);
        QFETCH(QString, expected);
        QCOMPARE(decodeFieldValue(raw), expected);
    }

    // ISO-2022-JP that ICU's strict converter refuses, as Windows mailers
    // and broken ones write it.
    void brokenIso2022Jp_data()
    {
        senderColumns();
        const QString shop = QStringLiteral("ﾔﾏﾀﾞ商店");
        QTest::newRow("SO/SI half-width katakana")
            << bWord("ISO-2022-JP", "\x0eTO@^\x0f\x1b$B>&E9\x1b(B") + " <shop@example.jp>"
            << shop + QStringLiteral(" <shop@example.jp>") << shop;
        QTest::newRow("ESC ( I katakana beside a user-defined code")
            << bWord("ISO-2022-JP", "\x1b(ITO@^\x1b$B>&E9\x75\x21\x1b(B") << shop + kLost << QStringLiteral("ﾔﾏﾀﾞ");
        QTest::newRow("JIS X 0212 in plain ISO-2022-JP")
            << bWord("iso-2022-jp", "\x1b$B?9\x1b$(Dl?\x1b$B30\x1b(B") << QStringLiteral("森鷗外")
            << QStringLiteral("森鷗外");
        QTest::newRow("unassigned code")
            << bWord("ISO-2022-JP", "\x1b$B;3ED/!\x1b(B") + " <yamada@example.jp>"
            << kYamada + kLost + QStringLiteral(" <yamada@example.jp>") << kYamada;
        QTest::newRow("odd byte count")
            << bWord("ISO-2022-JP", "\x1b$BB@O:;3E\x1b(B") << QStringLiteral("太郎山") + kLost << QStringLiteral("太郎");
        QTest::newRow("cut before the closing escape, joined")
            << bWord("ISO-2022-JP", "\x1b$B;3ED\x1b(") + " " + bWord("ISO-2022-JP", "\x1b$BB@O:\x1b(B")
            << QStringLiteral("山田太郎") << QStringLiteral("太郎");
        QTest::newRow("NEC row 13 beside SO/SI katakana")
            << bWord("ISO-2022-JP", "\x1b$B-j\x1b(B\x0e" "6\x0f") << QStringLiteral("㈱ｶ") << QStringLiteral("㈱");
        QTest::newRow("unlabelled, SO/SI") << QByteArray("\x1b$B;3ED\x1b(B\x0eTO@^\x0f") << kYamada + QStringLiteral("ﾔﾏﾀﾞ")
                                           << kYamada;
    }
    void brokenIso2022Jp() { checkSender(); }

    // An 8-bit word with a bad or cut-off character loses that character,
    // read in its label, not the whole name to a guessed charset.
    void invalidInLabel_data()
    {
        senderColumns();
        QTest::newRow("UTF-8, bad byte in the second word")
            << bWord("UTF-8", "\xe5\xb1\xb1\xe7\x94\xb0") + " " + bWord("UTF-8", "\xff\xe5\xa4\xaa\xe9\x83\x8e")
            << kYamada + kLost + QStringLiteral("太郎") << QStringLiteral("太郎");
        QTest::newRow("UTF-8, last character cut off")
            << bWord("UTF-8", "\xe5\xb1\xb1\xe7\x94\xb0\xe5\xa4\xaa\xe9\x83") + " <y@example.jp>"
            << QStringLiteral("山田太") + kLost + QStringLiteral(" <y@example.jp>") << kYamada;
        QTest::newRow("EUC-JP, bad byte") << bWord("EUC-JP", "\xce\xeb\xcc\xda\xff\xb0\xec\xcf\xba")
                                          << QStringLiteral("鈴木") + kLost + QStringLiteral("一郎") << QStringLiteral("一郎");
        QTest::newRow("EUC-JP, last character cut off") << bWord("EUC-JP", "\xce\xeb\xcc\xda\xb0\xec\xcf")
                                                        << QStringLiteral("鈴木一") + kLost << QStringLiteral("鈴木");
        QTest::newRow("Shift_JIS, lead byte without its trail")
            << bWord("Shift_JIS", "\x8d\xb2\x93\xa1\x89 \x89\xd4\x8eq") << QStringLiteral("佐藤") + kLost + QStringLiteral(" 花子")
            << QStringLiteral("花子");
        QTest::newRow("unknown label, UTF-8 with a bad byte")
            << bWord("x-unknown", "\xe5\xb1\xb1\xe7\x94\xb0\xff\xe5\xa4\xaa\xe9\x83\x8e")
            << kYamada + kLost + QStringLiteral("太郎") << QStringLiteral("太郎");
        // Not one character valid in the label: the label cannot be right.
        QTest::newRow("UTF-8 label over Shift_JIS") << bWord("UTF-8", "\x8d\xb2\x93\xa1") << QStringLiteral("佐藤")
                                                    << QStringLiteral("佐藤");
    }
    void invalidInLabel() { checkSender(); }

    // Words that leave their base64 padding off stand on their own; a group
    // really cut across two words is still joined.
    void base64WithoutPadding_data()
    {
        senderColumns();
        QTest::newRow("two ISO-2022-JP words")
            << bWord("ISO-2022-JP", "\x1b$B;3ED\x1b(B", false) + "\r\n " + bWord("ISO-2022-JP", "\x1b$BB@O:\x1b(B", false)
            << QStringLiteral("山田太郎") << QStringLiteral("太郎");
        QTest::newRow("two bytes short of a group")
            << bWord("UTF-8", "\xe5\xb1\xb1\xe7\x94\xb0" "a", false) + " " + bWord("UTF-8", "\xe5\xa4\xaa\xe9\x83\x8e")
            << QStringLiteral("山田a太郎") << QStringLiteral("太郎");
        QTest::newRow("one byte short of a group")
            << bWord("UTF-8", "\xe5\xb1\xb1\xe7\x94\xb0" "ab", false) + " " + bWord("UTF-8", "\xe5\xa4\xaa\xe9\x83\x8e")
            << QStringLiteral("山田ab太郎") << QStringLiteral("太郎");
        QTest::newRow("group cut after one character") << QByteArray("=?UTF-8?B?5bGx5?= =?UTF-8?B?5Sw?=") << kYamada
                                                       << kYamada;
        // The first word would end a text correctly; only the second shows
        // that the group goes on.
        QTest::newRow("cut that looks like an end")
            << QByteArray("=?UTF-8?B?5bGx55SwIOWkqumDjiA?= =?UTF-8?B?8eWFtYWRhQGV4YW1wbGUuanA+?=")
            << QStringLiteral("山田 太郎 <yamada@example.jp>") << QStringLiteral("yamada@example.jp");
    }
    void base64WithoutPadding() { checkSender(); }

    // C1 controls or private-use characters mean a wrong label, unless no
    // other charset reads the bytes as text either.
    void strayCharactersInLabel_data()
    {
        senderColumns();
        QTest::newRow("Shift_JIS labelled EUC-JP") << bWord("EUC-JP", "\x8eR\x93\x63\x91\xbe\x98Y")
                                                   << QStringLiteral("山田太郎") << kYamada;
        QTest::newRow("sender's C1 control") << bWord("UTF-8", "\xe5\xb1\xb1\xc2\x85\xe7\x94\xb0")
                                             << QStringLiteral("山 田") << QStringLiteral("山");
    }
    void strayCharactersInLabel() { checkSender(); }

    // One cut sequence is no evidence for another charset.
    void loneCutSequence_data()
    {
        senderColumns();
        QTest::newRow("cut 3-byte") << QByteArray("=?utf-8?Q?=E2=AC?= <a@example.jp>") << kLost + " <a@example.jp>"
                                    << QStringLiteral("a@example.jp");
        QTest::newRow("UTF-8 Q word folded inside a character") << QByteArray("=?UTF-8?Q?=E5=B1\r\n =B1?=")
                                                                << QStringLiteral("山") << QStringLiteral("山");
        QTest::newRow("lone lead byte") << QByteArray("=?utf-8?Q?=28=c3=29?= b") << "(" + kLost + ") b" << QStringLiteral("b");
    }
    void loneCutSequence() { checkSender(); }

    void malformedWords_data()
    {
        senderColumns();
        QTest::newRow("question marks") << QByteArray("=?UTF-8?Q?=C3=A5??" "?=") << QStringLiteral("å??") << QStringLiteral("å");
        QTest::newRow("spaces") << QByteArray("=?iso-8859-1?q?Copy of Rapport fra Norges R=E5fisklag=2Edoc?=")
                                << QStringLiteral("Copy of Rapport fra Norges Råfisklag.doc") << QStringLiteral("Råfisklag");
        QTest::newRow("folded inside") << QByteArray("=?ISO-2022-JP?B?GyRCOzNF\r\n RBsoQg==?= <y@example.jp>")
                                       << kYamada + " <y@example.jp>" << kYamada;
        QTest::newRow("Q word folded inside an escape") << QByteArray("=?UTF-8?Q?=E5=B1=B1=\r\n E7=94=B0?=") << kYamada
                                                        << kYamada;
        QTest::newRow("unclosed before another word") << QByteArray("=?UTF-8?Q?a =?UTF-8?B?5bGx55Sw?=")
                                                      << "=?UTF-8?Q?a " + kYamada << kYamada;
    }
    void malformedWords() { checkSender(); }

    void utf16And32_data()
    {
        senderColumns();
        QTest::newRow("UTF-16, no mark") << QByteArray("=?UTF-16?B?MEIwRDBGMEgwSg==?=") << QStringLiteral("あいうえお")
                                         << QStringLiteral("うえ");
        QTest::newRow("UTF-16, little-endian mark") << bWord("UTF-16", QByteArray::fromHex("fffe715c3075")) << kYamada << kYamada;
        QTest::newRow("UTF-32, no mark") << bWord("utf-32", QByteArray::fromHex("00005c7100007530")) << kYamada << kYamada;
        QTest::newRow("UTF-16BE, lone surrogate") << bWord("UTF-16BE", QByteArray::fromHex("d8007530")) << kLost + "田"
                                                  << QStringLiteral("田");
    }
    void utf16And32() { checkSender(); }

    void gb2312AsGbk_data()
    {
        senderColumns();
        QTest::newRow("GBK code") << QByteArray("=?GB2312?B?6V8=?=") << QStringLiteral("開") << QStringLiteral("開");
        QTest::newRow("GB2312 code") << bWord("gb2312", "\xd6\xd0\xce\xc4") << QStringLiteral("中文") << QStringLiteral("中文");
    }
    void gb2312AsGbk() { checkSender(); }

    // Shift_JIS takes 0xF0-0xF9 and the ASCII letter after it as one
    // user-defined character: Latin-1 reads such names better.
    void latin1Guess_data()
    {
        senderColumns();
        QTest::newRow("unknown label") << QByteArray("=?ISO-FOOO?Q?Morten_R=F8verdatt=E9r?=")
                                       << QStringLiteral("Morten Røverdattér") << QStringLiteral("Røverdattér");
        QTest::newRow("unlabelled") << QByteArray("J\xf6rg <j@example.de>") << QStringLiteral("Jörg <j@example.de>")
                                    << QStringLiteral("Jörg");
    }
    void latin1Guess() { checkSender(); }

    // Mislabelled or broken input: a readable result where one exists,
    // never a crash, never text that would cut or split the sender.
    void mislabelledAndHostile()
    {
        // Labelled ISO-2022-JP, really Shift_JIS (Windows mailers did this).
        QCOMPARE(decodeFieldValue("=?ISO-2022-JP?B?jlKTYw==?="), kYamada);
        // An unknown label over UTF-8 bytes.
        QCOMPARE(decodeFieldValue("=?x-unknown?B?5bGx55Sw?="), kYamada);
        // "us-ascii" over 8-bit bytes.
        QCOMPARE(decodeFieldValue("=?us-ascii?Q?=E5=B1=B1=E7=94=B0?="), kYamada);
        // Invalid in every candidate: something comes out, the ASCII survives.
        const QString garbage = decodeFieldValue("=?UTF-8?B?/////w==?= <x@example.jp>");
        QVERIFY(garbage.endsWith(QStringLiteral("<x@example.jp>")));
        // A truncated ISO-2022-JP sequence.
        QVERIFY(decodeFieldValue("\x1b$B;").size() < 5);
        // A decoded NUL or line break must not end or split the text.
        QCOMPARE(decodeFieldValue("=?UTF-8?Q?a=00b=0D=0Ac?= <z@example.jp>"), QStringLiteral("a b  c <z@example.jp>"));
        QCOMPARE(decodeFieldValue("=?UTF-8?B?" "?="), QString());
        QCOMPARE(decodeFieldValue(""), QString());
    }

    void headerFields()
    {
        const QByteArray message =
            "Received: from mx.example.jp\r\n\tby pop.example.jp\r\n"
            "FROM: =?ISO-2022-JP?B?GyRCOzNFRBsoQg==?= <yamada@example.jp>\r\n"
            "Subject: =?UTF-8?B?5bGx?=\r\n =?UTF-8?B?55Sw?= report\r\n"
            "Date: Mon, 7 Dec 2026 08:00:00 +0900\r\n"
            "From: second@example.jp\r\n"
            "X-Raw: \x8d\xb2\x93\xa1\r\n"
            "\r\n"
            "From: not a header\r\n";
        const QByteArrayView block = headerBlock(message);
        QVERIFY(!block.contains("not a header"));
        QCOMPARE(body(message).toByteArray(), QByteArray("From: not a header\r\n"));

        const DecodedHeader h = decodeHeader(block);
        QCOMPARE(h.from, kYamada + QStringLiteral(" <yamada@example.jp>")); // first From, any case
        QCOMPARE(h.subject, QStringLiteral("山田 report"));
        QCOMPARE(h.date, QStringLiteral("Mon, 7 Dec 2026 08:00:00 +0900"));
        const QStringList lines = h.header.split(QStringLiteral("\r\n"));
        QCOMPARE(lines.size(), 6);
        QCOMPARE(lines.at(0), QStringLiteral("Received: from mx.example.jp\tby pop.example.jp"));
        QCOMPARE(lines.at(2), QStringLiteral("Subject: 山田 report"));
        QCOMPARE(lines.at(5), QStringLiteral("X-Raw: 佐藤"));
    }

    void headerBlockEdges()
    {
        // LF-only mail, no body, empty header.
        QCOMPARE(headerBlock("From: a@b\nSubject: s\n\nbody\n").toByteArray(), QByteArray("From: a@b\nSubject: s\n"));
        QCOMPARE(body("From: a@b\nSubject: s\n\nbody\n").toByteArray(), QByteArray("body\n"));
        QCOMPARE(headerBlock("From: a@b\r\n").toByteArray(), QByteArray("From: a@b\r\n"));
        QCOMPARE(body("From: a@b\r\n").toByteArray(), QByteArray());
        QCOMPARE(headerBlock("\r\nbody").toByteArray(), QByteArray());
        QVERIFY(!rawField("Subject: x\r\n", "From"));
        QVERIFY(!rawField("Fromage: x\r\n", "From"));
        QCOMPARE(*rawField("From:\r\n  a@b\r\n", "From"), QByteArray("a@b"));
        QCOMPARE(decodeHeader("From: a@b").from, QStringLiteral("a@b")); // no final line end
        // A control character in a field name does not reach the texts.
        QCOMPARE(decodeHeader("Sub\x18ject: x\r\nFrom: a@b\r\n").header, QStringLiteral("Sub ject: x\r\nFrom: a@b"));
    }
};

QTEST_GUILESS_MAIN(HeaderDecoderTest)
#include "tst_header_decoder.moc"
