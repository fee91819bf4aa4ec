// IMAP responses arrive in whatever pieces TCP delivers; every case is fed
// whole, in single bytes and in odd chunks, and must read the same.
#include <QtTest>

#include "mail/ImapResponse.h"

using qp::ImapResponse;
using qp::ImapResponseReader;
using Status = ImapResponseReader::Status;

namespace {

struct Read {
    Status status = Status::NeedMore;
    QByteArray raw;
    qsizetype consumed = 0;
};

Read readInChunks(const QByteArray& input, qsizetype chunk, qsizetype maxText = 1024, qsizetype maxLiteral = 1024,
                  qsizetype maxResponse = 4096)
{
    ImapResponseReader r;
    r.start(maxText, maxLiteral, maxResponse);
    Read out;
    for (qsizetype at = 0; at < input.size();) {
        const qsizetype n = std::min(chunk, input.size() - at);
        qsizetype used = 0;
        out.status = r.feed(QByteArrayView(input).sliced(at, n), &used);
        out.consumed += used;
        at += used;
        if (out.status != Status::NeedMore || used != n)
            break;
    }
    out.raw = r.raw();
    return out;
}

} // namespace

class ImapResponseTest : public QObject {
    Q_OBJECT
private slots:
    void reader_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("raw");
        QTest::addColumn<qsizetype>("consumed");
        const QByteArray fetch = "* 1 FETCH (UID 7 BODY[HEADER.FIELDS (FROM)] {12}\r\nFrom: a\r\n\r\n)\r\n";
        QTest::newRow("next response left alone")
            << QByteArray("a1 OK done\r\n* BYE\r\n") << int(Status::Done) << QByteArray("a1 OK done") << qsizetype(12);
        QTest::newRow("literal holding line ends")
            << fetch + "a2 OK" << int(Status::Done) << fetch.chopped(2) << fetch.size();
        QTest::newRow("lone LF, empty literal")
            << QByteArray("* 2 FETCH (X {0}\n)\n") << int(Status::Done) << QByteArray("* 2 FETCH (X {0}\r\n)") << qsizetype(19);
        QTest::newRow("text over its bound")
            << QByteArray("* OK ") + QByteArray(2000, 'x') << int(Status::LineTooLong) << QByteArray() << qsizetype(-1);
        QTest::newRow("literal announced over its bound")
            << QByteArray("* 1 FETCH (BODY[] {999999999999}\r\n") << int(Status::LiteralTooLarge) << QByteArray()
            << qsizetype(-1);
        QTest::newRow("literal number past any integer")
            << QByteArray("* 1 FETCH (BODY[] {99999999999999999999999}\r\n") << int(Status::LiteralTooLarge)
            << QByteArray() << qsizetype(-1);
        QTest::newRow("literals adding up over the whole bound")
            << QByteArray("* 1 FETCH (A {1024}\r\n") + QByteArray(1024, 'a') + " B {1024}\r\n" + QByteArray(1024, 'b')
                   + " C {1024}\r\n" + QByteArray(1024, 'c') + " D {1024}\r\n"
            << int(Status::TooLarge) << QByteArray() << qsizetype(-1);
    }
    void reader()
    {
        QFETCH(QByteArray, input);
        QFETCH(int, status);
        QFETCH(QByteArray, raw);
        QFETCH(qsizetype, consumed);
        for (const qsizetype chunk : {input.size(), qsizetype(1), qsizetype(7)}) {
            const Read r = readInChunks(input, chunk);
            QCOMPARE(int(r.status), status);
            if (status == int(Status::Done)) {
                QCOMPARE(r.raw, raw);
                QCOMPARE(r.consumed, consumed);
            }
        }
    }

    void statusAndData()
    {
        auto r = qp::parseImapResponse("* OK [CAPABILITY IMAP4rev1 SASL-IR AUTH=PLAIN] Dovecot ready.");
        QVERIFY(r && r->kind == ImapResponse::Kind::Untagged && r->status == "OK");
        QCOMPARE(r->capabilities(), (QList<QByteArray>{"IMAP4REV1", "SASL-IR", "AUTH=PLAIN"}));
        QCOMPARE(r->text, QByteArray("Dovecot ready."));

        r = qp::parseImapResponse("a3 no [AUTHENTICATIONFAILED] Authentication failed.");
        QVERIFY(r && r->kind == ImapResponse::Kind::Tagged);
        QCOMPARE(r->tag, QByteArray("a3"));
        QCOMPARE(r->status, QByteArray("NO"));
        QCOMPARE(r->code, QByteArray("AUTHENTICATIONFAILED"));

        r = qp::parseImapResponse("* CAPABILITY IMAP4rev1 STARTTLS LOGINDISABLED");
        QVERIFY(r && r->capabilities().contains("LOGINDISABLED"));
        r = qp::parseImapResponse("* SEARCH 3 17 4000000000");
        QCOMPARE(r->searchNumbers(), (QList<qint64>{3, 17, 4000000000}));
        QCOMPARE(qp::parseImapResponse("* SEARCH")->searchNumbers(), QList<qint64>());
        QVERIFY(!qp::parseImapResponse("* SEARCH 3 x")->searchNumbers());
        QVERIFY(!qp::parseImapResponse("* SEARCH 0")->searchNumbers());
        QCOMPARE(qp::parseImapResponse("* SEARCH 2 5 (MODSEQ 917162500)")->searchNumbers(), (QList<qint64>{2, 5}));
        QVERIFY(!qp::parseImapResponse("* SEARCH 4294967296")->searchNumbers());
        // A line of a few MB holds millions of numbers: refused, not stored.
        QByteArray many = "* SEARCH";
        for (qsizetype i = 0; i <= ImapResponse::kMaxSearchNumbers; ++i)
            many += " 1";
        r = qp::parseImapResponse(many);
        QVERIFY(r && r->searchTooMany() && !r->searchNumbers());
        r = qp::parseImapResponse("+ ");
        QVERIFY(r && r->kind == ImapResponse::Kind::Continuation);

        // A tagged line that is not a status, and one with no tag at all.
        QVERIFY(!qp::parseImapResponse("a1 FETCH (UID 1)"));
        QVERIFY(!qp::parseImapResponse(" OK"));
        // A data response we do not read stays a response, without values.
        r = qp::parseImapResponse("* XSERVER (\"unclosed");
        QVERIFY(r && !r->valuesParsed && r->name == "XSERVER");
    }

    void fetch()
    {
        // Items in any order, any case, sections quoted or not, literal or quoted strings.
        auto r = qp::parseImapResponse("* 12 FETCH (rfc822.size 4711 FLAGS (\\Seen) "
                                       "BODY[HEADER.FIELDS (\"FROM\" \"SUBJECT\")] {9}\r\nFrom: x\r\n UID 99)");
        auto f = qp::imapFetch(*r);
        QVERIFY(f);
        QCOMPARE(f->sequence, 12);
        QCOMPARE(f->uid, 99);
        QCOMPARE(f->size, 4711);
        QCOMPARE(f->headerFields, QByteArray("From: x\r\n"));
        f = qp::imapFetch(*qp::parseImapResponse("* 1 FETCH (UID 5 BODY[HEADER.FIELDS (FROM)] NIL)"));
        QVERIFY(f && f->headerFields == QByteArray() && !f->size);
        f = qp::imapFetch(*qp::parseImapResponse("* 1 FETCH (BODY[HEADER.FIELDS (FROM)] \"a\\\"b\" UID 1)"));
        QCOMPARE(f->headerFields, QByteArray("a\"b"));

        // Malformed: odd item count, bad number, a list where a string belongs,
        // a literal that claims more than follows, lists nested past any need.
        for (const QByteArray& bad : {QByteArray("* 1 FETCH (UID)"), QByteArray("* 1 FETCH (UID -1)"),
                                     QByteArray("* 1 FETCH (BODY[HEADER.FIELDS (FROM)] (a))"),
                                     QByteArray("* 1 FETCH (BODY[HEADER.FIELDS (FROM)] {50}\r\nshort)"),
                                     QByteArray("* 1 FETCH (UID 1") , QByteArray("* 1 FETCH (X ") + QByteArray(40, '(')
                                         + QByteArray(40, ')') + ")",
                                     QByteArray("* 0 FETCH (UID 1)")}) {
            const auto p = qp::parseImapResponse(bad);
            QVERIFY2(p && !qp::imapFetch(*p), bad.constData());
        }
    }
};

QTEST_APPLESS_MAIN(ImapResponseTest)
#include "tst_imap_response.moc"
