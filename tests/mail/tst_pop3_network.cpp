// Reaching the server: the name look-up and its answers, an unreachable
// address, and reads that a signal interrupts.
#include "Pop3FakeScript.h"

using namespace pop3fake;

class Pop3NetworkTest : public CaFixture {
    Q_OBJECT

private slots:

    // The connection under any protocol: what arrives, in whatever pieces,
    // comes out whole and in order through buffered() and consume(); once
    // the server has closed, reads and writes fail at once with one text.
    void transportReads_data()
    {
        QTest::addColumn<int>("chunk");
        QTest::newRow("whole") << 0;
        QTest::newRow("one-byte pieces") << 1;
    }

    void transportReads()
    {
        QFETCH(int, chunk);
        FakePop3Server server;
        server.setChunkSize(chunk);
        const QByteArray sent = "* OK hello\r\n{5}\r\nABCDE0123456789tail\n" + QByteArray(60, 'x') + "\r\n";
        server.greeting(sent, FakePop3Server::Then::Close);
        QVERIFY(server.start());
        qp::MailTransport t;
        t.setTimeouts(quickTimeouts());
        QVERIFY(t.connectTo(*qp::parsePop3Server(server.serverText())));
        const QDeadlineTimer deadline(5000);
        QByteArray received;
        while (received.size() < sent.size()) {
            if (t.buffered().isEmpty())
                QVERIFY(t.receiveMore(deadline));
            const qsizetype take = std::min<qsizetype>(t.buffered().size(), 7); // not the pieces it came in
            received += t.buffered().first(take).toByteArray();
            t.consume(take);
        }
        QCOMPARE(received, sent);
        QVERIFY(!t.receiveMore(deadline));
        QCOMPARE(t.error(), qp::MailTransport::Error::Closed);
        const QString text = t.errorText();
        QVERIFY(!t.receiveMore(deadline));
        QVERIFY(!t.write("x\r\n"));
        QCOMPARE(t.errorText(), text);
        t.close();
    }

    // Whatever the resolver says decides where the client goes: not found
    // and resolver trouble are reported, later addresses are tried when the
    // first refuses, an address needs no look-up, and over TLS the
    // certificate must name the host that was asked for, not its address.
    void lookUpResults_data()
    {
        QTest::addColumn<QString>("host");
        QTest::addColumn<QString>("cert"); // empty: plain POP3
        QTest::addColumn<QStringList>("answer");
        QTest::addColumn<int>("lookupError");
        QTest::addColumn<int>("kind"); // Pop3Client::ErrorKind, None when it connects
        QTest::addColumn<QString>("says");
        using Kind = qp::Pop3Client::ErrorKind;
        const QString good = QStringLiteral("good"), wrong = QStringLiteral("wronghost");
        QTest::newRow("not found") << QStringLiteral("pop.example.jp") << QString() << QStringList()
                                   << int(QHostInfo::HostNotFound) << int(Kind::Unreachable)
                                   << QStringLiteral("サーバー「pop.example.jp」に接続できません（サーバー名が見つかりません）");
        QTest::newRow("no addresses") << QStringLiteral("pop.example.jp") << QString() << QStringList()
                                      << int(QHostInfo::NoError) << int(Kind::Unreachable)
                                      << QStringLiteral("サーバー名が見つかりません");
        QTest::newRow("resolver trouble") << QStringLiteral("pop.example.jp") << QString() << QStringList()
                                          << int(QHostInfo::UnknownError) << int(Kind::Unreachable)
                                          << QStringLiteral("サーバー名を調べられません");
        QTest::newRow("first address refuses")
            << QStringLiteral("pop.example.jp") << QString()
            << QStringList{QStringLiteral("127.0.0.9"), QStringLiteral("127.0.0.1")} << int(QHostInfo::NoError)
            << int(Kind::None) << QString();
        QTest::newRow("every address refuses")
            << QStringLiteral("pop.example.jp") << QString()
            << QStringList{QStringLiteral("127.0.0.9"), QStringLiteral("127.0.0.8")} << int(QHostInfo::NoError)
            << int(Kind::Unreachable) << QStringLiteral("接続を拒否されました");
        QTest::newRow("address needs no look-up") << QStringLiteral("127.0.0.1") << QString() << QStringList()
                                                  << int(QHostInfo::HostNotFound) << int(Kind::None) << QString();
        QTest::newRow("TLS: certificate for the name")
            << QStringLiteral("mail.example.org") << wrong << QStringList{QStringLiteral("127.0.0.1")}
            << int(QHostInfo::NoError) << int(Kind::None) << QString();
        QTest::newRow("TLS: certificate for the address only")
            << QStringLiteral("mail.example.org") << good << QStringList{QStringLiteral("127.0.0.1")}
            << int(QHostInfo::NoError) << int(Kind::Tls) << QStringLiteral("証明書のサーバー名が一致しません");
    }

    void lookUpResults()
    {
        QFETCH(QString, host);
        QFETCH(QString, cert);
        QFETCH(QStringList, answer);
        QFETCH(int, lookupError);
        QFETCH(int, kind);
        QFETCH(QString, says);
        const bool tls = !cert.isEmpty();
        FakePop3Server server;
        if (tls)
            server.setTls(m_ca.certPath(cert), m_ca.keyPath(cert), true);
        server.expect("CAPA", kCapa);
        server.expect("QUIT", "+OK", Then::Close);
        QVERIFY(server.start());
        qp::Pop3Client client;
        client.setTimeouts(quickTimeouts());
        client.setExtraCaCertificates(QSslCertificate::fromPath(m_ca.caPath()));
        auto asked = std::make_shared<std::atomic<int>>(0);
        const auto answering = lookupAnswering(answer, lookupError, QStringLiteral("DNS サーバーから答えがありません"));
        client.setNameLookup([asked, answering](const QString& name) {
            ++*asked;
            return answering(name);
        });
        const bool connected = client.connectToServer(Pop3Endpoint{host, server.port(), tls});
        QCOMPARE(int(client.errorKind()), kind);
        QCOMPARE(connected, kind == int(qp::Pop3Client::ErrorKind::None));
        QVERIFY2(client.errorText().contains(says), qPrintable(client.errorText()));
        QCOMPARE(asked->load(), QHostAddress(host).isNull() ? 1 : 0);
        if (connected) {
            QCOMPARE(client.isEncrypted(), tls);
            client.quit();
            QVERIFY(server.waitForDisconnect(5000));
            QCOMPARE(server.mismatch(), QString());
            QVERIFY(server.scriptCompleted());
        } else if (kind != int(qp::Pop3Client::ErrorKind::Tls)) {
            QCOMPARE(server.connections(), 0);
        }
    }

    // A resolver that never answers (a dead DNS server) holds the call no
    // longer than the connect time-out, and nothing else of the program runs
    // meanwhile. Its answer, when it comes after the client is gone, goes
    // nowhere.
    void lookUpNeverAnswers()
    {
        FakePop3Server server;
        QVERIFY(server.start());
        auto gate = std::make_shared<std::promise<void>>();
        const std::shared_future<void> opened = gate->get_future().share();
        auto answered = std::make_shared<std::atomic<bool>>(false);
        const auto answering = lookupAnswering({QStringLiteral("127.0.0.1")});
        {
            qp::Pop3Client client;
            qp::Pop3Timeouts t = quickTimeouts();
            t.connectMs = 1000;
            client.setTimeouts(t);
            client.setNameLookup([opened, answered, answering](const QString& name) {
                opened.wait();
                QHostInfo info = answering(name);
                *answered = true;
                return info;
            });
            QObject context;
            bool eventRan = false;
            QTimer::singleShot(0, &context, [&eventRan] { eventRan = true; });
            QElapsedTimer clock;
            clock.start();
            QVERIFY(!client.connectToServer(Pop3Endpoint{QStringLiteral("pop.example.jp"), server.port(), false}));
            QVERIFY2(clock.elapsed() >= 900, qPrintable(QString::number(clock.elapsed())));
            QVERIFY2(clock.elapsed() < 2500, qPrintable(QString::number(clock.elapsed())));
            QVERIFY(!eventRan);
            QCOMPARE(client.errorKind(), qp::Pop3Client::ErrorKind::Timeout);
            QVERIFY2(client.errorText().contains(QStringLiteral("サーバー名の問い合わせが 1 秒で時間切れ")),
                     qPrintable(client.errorText()));
            QVERIFY(!client.isConnected());
            client.quit();
        }
        gate->set_value();
        QTRY_VERIFY(answered->load());
        QTest::qWait(200);
        QCOMPARE(server.connections(), 0);
    }

    // --- no server at all ---

    void unreachable()
    {
        NMail mail;
        mail.setTimeouts(quickTimeouts());
        QTcpServer probe; // a port that was free a moment ago: connection refused
        QVERIFY(probe.listen(QHostAddress(QStringLiteral("127.0.0.1")), 0));
        const quint16 port = probe.serverPort();
        probe.close();
        QCOMPARE(mail.NMailPop3Connect(QStringLiteral("127.0.0.1:%1").arg(port)), -1);
        QVERIFY2(lastMessage(mail).contains(QStringLiteral("接続を拒否されました")), qPrintable(lastMessage(mail)));
        QVERIFY(!mail.lastConnectFailureIsTls()); // silent
        // The system resolver on a name that never exists: not found, or
        // (with no DNS server in reach) cannot be looked up; within the bound.
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(mail.NMailPop3Connect(QStringLiteral("no-such-host.invalid")), -1);
        QVERIFY(clock.elapsed() < 5000);
        QVERIFY2(lastMessage(mail).contains(QStringLiteral("サーバー「no-such-host.invalid」に接続できません（サーバー名")),
                 qPrintable(lastMessage(mail)));
        QCOMPARE(mail.NMailPop3Connect(QStringLiteral("host:0")), -1);
        QVERIFY(lastMessage(mail).contains(QStringLiteral("正しくありません")));
        QVERIFY(mail.NMailPop3Authenticate(42, QStringLiteral("a"), QStringLiteral("b"), 0) < 0);
        QVERIFY(mail.NMailPop3GetMailSize(42, 1) < 0);
    }
};

QTEST_GUILESS_MAIN(Pop3NetworkTest)
#include "tst_pop3_network.moc"
