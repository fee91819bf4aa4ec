// The reply reader sees replies in whatever pieces TCP delivers; every case
// is fed whole, in single bytes and in odd chunks, and must read the same.
#include <QtTest>

#include "mail/Pop3Reply.h"

using qp::Pop3ReplyReader;

namespace {

struct Outcome {
    Pop3ReplyReader::Status status = Pop3ReplyReader::Status::NeedMore;
    QByteArray statusLine;
    QByteArray data;
    qsizetype consumed = 0;
};

Outcome readInChunks(const QByteArray& input, bool multiLine, qsizetype chunk, qsizetype maxData = 1 << 20)
{
    Pop3ReplyReader r;
    if (multiLine)
        r.startMultiLine(maxData);
    else
        r.startSingleLine();
    Outcome o;
    for (qsizetype at = 0; at < input.size();) {
        const qsizetype n = std::min(chunk, input.size() - at);
        qsizetype used = 0;
        o.status = r.feed(QByteArrayView(input).sliced(at, n), &used);
        o.consumed += used;
        at += used;
        if (o.status != Pop3ReplyReader::Status::NeedMore)
            break;
        if (used != n) { // NeedMore must consume everything offered
            o.status = Pop3ReplyReader::Status::TooLarge;
            break;
        }
    }
    o.statusLine = r.statusLine();
    o.data = r.data();
    return o;
}

} // namespace

class Pop3ReplyTest : public QObject {
    Q_OBJECT
private slots:
    void replies_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<bool>("multiLine");
        QTest::addColumn<QByteArray>("statusLine");
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<qsizetype>("consumed");

        QTest::newRow("single line, next reply left alone")
            << QByteArray("+OK 2 320\r\n+OK next\r\n") << false << QByteArray("+OK 2 320") << QByteArray() << qsizetype(11);
        QTest::newRow("dot-stuffed body")
            << QByteArray("+OK\r\n..leading dot\r\n...\r\n.x\r\nend\r\n.\r\n") << true << QByteArray("+OK")
            << QByteArray(".leading dot\r\n..\r\nx\r\nend\r\n") << qsizetype(37);
        QTest::newRow("terminator only") << QByteArray("+OK\r\n.\r\n") << true << QByteArray("+OK") << QByteArray()
                                         << qsizetype(8);
        QTest::newRow("-ERR carries no data")
            << QByteArray("-ERR no such message\r\n.\r\n") << true << QByteArray("-ERR no such message")
            << QByteArray() << qsizetype(22);
        QTest::newRow("bare line feeds") << QByteArray("+OK\nline\n.\n") << true << QByteArray("+OK")
                                         << QByteArray("line\n") << qsizetype(11);
        QTest::newRow("dot and CR inside a line")
            << QByteArray("+OK\r\na.b\rc\r\n.\rx\r\n.\r\n") << true << QByteArray("+OK")
            << QByteArray("a.b\rc\r\n\rx\r\n") << qsizetype(20);
    }
    void replies()
    {
        QFETCH(QByteArray, input);
        QFETCH(bool, multiLine);
        QFETCH(QByteArray, statusLine);
        QFETCH(QByteArray, data);
        QFETCH(qsizetype, consumed);
        for (qsizetype chunk : {input.size(), qsizetype(1), qsizetype(2), qsizetype(3), qsizetype(7)}) {
            const Outcome o = readInChunks(input, multiLine, chunk);
            QCOMPARE(o.status, Pop3ReplyReader::Status::Done);
            QCOMPARE(o.statusLine, statusLine);
            QCOMPARE(o.data, data);
            QCOMPARE(o.consumed, consumed);
        }
    }

    void statusIndicators()
    {
        Pop3ReplyReader r;
        for (const auto& [line, ok, err, text] :
             {std::tuple{QByteArray("+OK 3 200\r\n"), true, false, QByteArray("3 200")},
              std::tuple{QByteArray("-ERR [AUTH] failed\r\n"), false, true, QByteArray("[AUTH] failed")},
              std::tuple{QByteArray("+OKAY\r\n"), false, false, QByteArray()},
              std::tuple{QByteArray("* OK IMAP\r\n"), false, false, QByteArray("OK IMAP")}}) {
            r.startSingleLine();
            qsizetype used = 0;
            QCOMPARE(r.feed(line, &used), Pop3ReplyReader::Status::Done);
            QCOMPARE(r.isOk(), ok);
            QCOMPARE(r.isErr(), err);
            QCOMPARE(r.statusText(), text);
        }
    }

    // A hostile server cannot make the reader hold more than its bounds.
    void bounds()
    {
        const QByteArray longStatus = "+OK " + QByteArray(Pop3ReplyReader::kMaxStatusLine, 'x') + "\r\n";
        QCOMPARE(readInChunks(longStatus, false, 4096).status, Pop3ReplyReader::Status::LineTooLong);
        // No line end at all, ever: stops at the bound, not at the end of memory.
        const Outcome endless = readInChunks(QByteArray(3 * Pop3ReplyReader::kMaxStatusLine, 'y'), false, 1000);
        QCOMPARE(endless.status, Pop3ReplyReader::Status::LineTooLong);
        QVERIFY(endless.statusLine.size() <= Pop3ReplyReader::kMaxStatusLine + 1);

        // One data line far longer than any status line is fine under the data bound...
        const QByteArray longLine = "+OK\r\n" + QByteArray(100000, 'z') + "\r\n.\r\n";
        const Outcome big = readInChunks(longLine, true, 1500, 200000);
        QCOMPARE(big.status, Pop3ReplyReader::Status::Done);
        QCOMPARE(big.data.size(), 100002);
        // ...and the data bound holds however the bytes arrive.
        for (qsizetype chunk : {qsizetype(1), qsizetype(999), qsizetype(100000)}) {
            const Outcome over = readInChunks(longLine, true, chunk, 5000);
            QCOMPARE(over.status, Pop3ReplyReader::Status::TooLarge);
            QVERIFY(over.data.size() <= 5000);
        }
    }
};

QTEST_GUILESS_MAIN(Pop3ReplyTest)
#include "tst_pop3_reply.moc"
