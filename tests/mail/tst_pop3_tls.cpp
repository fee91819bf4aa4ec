// TLS against a scripted server: implicit and upgraded, the failures told,
// and the memory of servers that had it, so that a later downgrade is
// refused.
#include "Pop3FakeScript.h"

using namespace pop3fake;

class Pop3TlsTest : public CaFixture {
    Q_OBJECT

private slots:

    // TLS from the first byte, or by STLS where offered (the capabilities
    // asked again over TLS); the login follows either way.
    void tlsSession_data()
    {
        QTest::addColumn<bool>("implicit");
        QTest::newRow("implicit") << true;
        QTest::newRow("STLS") << false;
    }

    void tlsSession()
    {
        QFETCH(bool, implicit);
        FakePop3Server server;
        server.setTls(m_ca.certPath(QStringLiteral("good")), m_ca.keyPath(QStringLiteral("good")), implicit);
        if (!implicit) {
            server.expect("CAPA", "+OK\r\nSTLS\r\nUSER\r\n.\r\n");
            server.expect("STLS", "+OK Begin TLS negotiation", Then::StartTls);
        }
        scriptLogin(server);
        server.expect("STAT", "+OK 0 0");
        server.expect("QUIT", "+OK", Then::Close);
        QVERIFY(server.start());
        NMail mail;
        mail.setTimeouts(quickTimeouts());
        mail.setExtraCaCertificates(QSslCertificate::fromPath(m_ca.caPath()));
        const int h = mail.NMailPop3Connect(implicit ? QStringLiteral("pop3s://localhost:%1").arg(server.port()) : server.serverText());
        QVERIFY2(h > 0, qPrintable(lastMessage(mail)));
        QVERIFY(mail.client(h)->isEncrypted());
        QVERIFY(!mail.client(h)->hasCapability("STLS"));
        QCOMPARE(mail.NMailPop3Authenticate(h, QStringLiteral("alice"), QStringLiteral("secret"), 0), 0);
        mail.NMailPop3Close(h);
        QVERIFY(server.waitForDisconnect(5000));
        QCOMPARE(server.mismatch(), QString());
        QVERIFY(server.scriptCompleted());
    }

    // Once TLS was offered, its failure ends the connect: the password never
    // goes out in plain text.
    void tlsFailures_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<QString>("says");
        QTest::newRow("STLS refused") << QStringLiteral("refuse") << QStringLiteral("STLS）を拒否しました（not now）");
        QTest::newRow("plain text after STLS")
            << QStringLiteral("inject") << QStringLiteral("STLS の後に余分なデータ");
        QTest::newRow("hang-up instead of a handshake")
            << QStringLiteral("close") << QStringLiteral("TLS で接続できません（サーバーが接続を閉じました）");
        QTest::newRow("certificate for another host")
            << QStringLiteral("wronghost") << QStringLiteral("証明書のサーバー名が一致しません");
        QTest::newRow("certificate from an unknown CA")
            << QStringLiteral("untrusted") << QStringLiteral("証明書の発行元を信頼できません");
        QTest::newRow("implicit TLS, certificate for another host")
            << QStringLiteral("implicit") << QStringLiteral("TLS で接続できません（証明書のサーバー名が一致しません");
    }

    void tlsFailures()
    {
        QFETCH(QString, how);
        QFETCH(QString, says);
        const bool implicit = how == QLatin1String("implicit");
        FakePop3Server server;
        const QString cert = implicit || how == QLatin1String("wronghost") ? QStringLiteral("wronghost") : QStringLiteral("good");
        server.setTls(m_ca.certPath(cert), m_ca.keyPath(cert), implicit);
        if (!implicit)
            server.expect("CAPA", "+OK\r\nSTLS\r\nUSER\r\n.\r\n");
        if (how == QLatin1String("refuse"))
            server.expect("STLS", "-ERR not now");
        else if (how == QLatin1String("inject"))
            server.expect("STLS", "+OK\r\n+OK injected\r\n", Then::StartTls);
        else if (how == QLatin1String("close"))
            server.expect("STLS", "+OK", Then::Close);
        else if (!implicit)
            server.expect("STLS", "+OK", Then::StartTls);
        server.expect("USER alice", "+OK"); // must never be reached
        QVERIFY(server.start());
        NMail mail;
        mail.setTimeouts(quickTimeouts());
        if (how != QLatin1String("untrusted"))
            mail.setExtraCaCertificates(QSslCertificate::fromPath(m_ca.caPath()));
        QCOMPARE(mail.NMailPop3Connect((implicit ? QStringLiteral("pop3s://127.0.0.1:%1") : QStringLiteral("localhost:%1")).arg(server.port())), -1);
        QVERIFY2(lastMessage(mail).contains(says), qPrintable(lastMessage(mail)));
        QVERIFY(mail.lastConnectFailureIsTls()); // for the error box
        QVERIFY(server.waitForDisconnect(5000));
        for (const QByteArray& c : server.received())
            QVERIFY2(!implicit && !c.startsWith("USER") && !c.startsWith("PASS"), c.constData());
    }

    // Once a server was seen with TLS, a later session there without STLS
    // is refused before the account goes out; the memory file keeps what
    // it knew (junk lines aside) when a server is added.
    void tlsRemembered()
    {
        // A failed handshake is not remembered; a working one is, by host
        // alone (any case, any port); an old "host port" line still counts.
        FakePop3Server badCert, withTls, stripped;
        badCert.setTls(m_ca.certPath(QStringLiteral("wronghost")), m_ca.keyPath(QStringLiteral("wronghost")), false);
        badCert.expect("CAPA", "+OK\r\nSTLS\r\n.\r\n");
        badCert.expect("STLS", "+OK", Then::StartTls);
        withTls.setTls(m_ca.certPath(QStringLiteral("good")), m_ca.keyPath(QStringLiteral("good")), false);
        withTls.expect("CAPA", "+OK\r\nSTLS\r\nUSER\r\n.\r\n");
        withTls.expect("STLS", "+OK", Then::StartTls);
        withTls.expect("CAPA", kCapa);
        withTls.expect("QUIT", "+OK", Then::Close);
        stripped.expect("CAPA", kCapa);
        stripped.expect("USER alice", "+OK"); // must never be reached
        QVERIFY(badCert.start() && withTls.start() && stripped.start());

        const QString path = m_dir.filePath(QStringLiteral("tlsservers.txt"));
        const auto putFile = [&](const QByteArray& bytes) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size());
        };
        putFile("127.0.0.2 110\r\n");
        NMail mail;
        mail.setTimeouts(quickTimeouts());
        mail.setExtraCaCertificates(QSslCertificate::fromPath(m_ca.caPath()));
        mail.setTlsMemoryFile(path);
        QCOMPARE(mail.NMailPop3Connect(QStringLiteral("LocalHost:%1").arg(badCert.port())), -1);
        QCOMPARE(qp::readWholeFile(path).bytes, QByteArray("127.0.0.2 110\r\n"));
        const int h = mail.NMailPop3Connect(QStringLiteral("LocalHost:%1").arg(withTls.port()));
        QVERIFY2(h > 0, qPrintable(lastMessage(mail)));
        mail.NMailPop3Close(h);
        QCOMPARE(qp::readWholeFile(path).bytes, QByteArray("127.0.0.2\nlocalhost\n"));

        // Refused before the password: a known host, and any host while the
        // memory cannot be read or parsed, or is too large.
        const QString strippedAsName = QStringLiteral("LOCALHOST:%1").arg(stripped.port());
        const struct { QByteArray file; QString said; } cases[] = {
            {"localhost\n", QFileInfo(m_dir.path()).fileName() + QStringLiteral("/tlsservers.txt から「localhost」の行")},
            {"\x82\xa0 junk\n", QStringLiteral("1 行目が読めない形")},
            {QByteArray(qp::TlsMemory::kMaxFileBytes + 1, 'a'), QStringLiteral("を読めません")},
            {QByteArray(), QStringLiteral("を読めません")}, // a folder in its place
        };
        for (const auto& c : cases) {
            putFile(c.file);
            if (c.file.isEmpty())
                QVERIFY(QFile::remove(path) && QDir().mkdir(path));
            NMail later; // a new run: nothing known but the file
            later.setTimeouts(quickTimeouts());
            later.setTlsMemoryFile(path);
            QCOMPARE(later.NMailPop3Connect(strippedAsName), -1);
            QVERIFY2(lastMessage(later).contains(c.said) && later.lastConnectFailureIsTls(), qPrintable(lastMessage(later)));
        }
        QVERIFY(QDir().rmdir(path));
        QVERIFY(stripped.waitForDisconnect(5000));
        for (const QByteArray& c : stripped.received())
            QVERIFY2(!c.startsWith("USER") && !c.startsWith("PASS"), c.constData());

        // A memory that cannot be written: the TLS session itself stops.
        NMail unwritable;
        unwritable.setTimeouts(quickTimeouts());
        unwritable.setExtraCaCertificates(QSslCertificate::fromPath(m_ca.caPath()));
        unwritable.setTlsMemoryFile(m_dir.filePath(QStringLiteral("missing/tlsservers.txt")));
        QCOMPARE(unwritable.NMailPop3Connect(QStringLiteral("localhost:%1").arg(withTls.port())), -1);
        QVERIFY2(lastMessage(unwritable).contains(QStringLiteral("ログインしません")), qPrintable(lastMessage(unwritable)));
    }

    void tlsMemoryKeepsEveryWritersHostsAndCaFileFailsClosed()
    {
        // Two writers on one file (two instances on one data folder).
        const QString path = m_dir.filePath(QStringLiteral("shared-tls.txt"));
        auto writer = [&](char side) {
            for (int i = 0; i < 40; ++i)
                QVERIFY(qp::TlsMemory(path).remember(QStringLiteral("%1%2.example.jp").arg(side).arg(i)));
        };
        std::thread a(writer, 'a'), b(writer, 'b');
        a.join();
        b.join();
        QCOMPARE(qp::readWholeFile(path).bytes.count('\n'), 80);

        // The user's own authorities: a file over the cap stops every connect.
        QFile cas(m_dir.filePath(QStringLiteral("cacerts.pem")));
        QVERIFY(cas.open(QIODevice::WriteOnly) && cas.write(QByteArray(1024 * 1024 + 1, '-')) > 0);
        cas.close();
        NMail mail;
        mail.setCaFileProblem(qp::readExtraCaFile(cas.fileName()).problem);
        QCOMPARE(mail.NMailPop3Connect(QStringLiteral("127.0.0.1:1")), -1);
        QVERIFY2(lastMessage(mail).contains(QStringLiteral("cacerts.pem")) && mail.lastConnectFailureIsTls(),
                 qPrintable(lastMessage(mail)));

        // A read-only data folder: a remembered host still passes, a new one
        // is refused.
        QTemporaryDir folder;
        const QByteArray mountPoint = QFile::encodeName(folder.path());
        if (::mount("tmpfs", mountPoint.constData(), "tmpfs", 0, "size=64k") != 0)
            QSKIP("needs root to mount a small tmpfs");
        qp::TlsMemory memory(folder.filePath(QStringLiteral("tlsservers.txt")));
        const bool wrote = memory.remember(QStringLiteral("known.example.jp"));
        const bool readOnly = ::mount(nullptr, mountPoint.constData(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) == 0;
        const bool known = qp::TlsMemory(memory.path()).remember(QStringLiteral("Known.example.jp")),
                   fresh = memory.remember(QStringLiteral("new.example.jp"));
        ::umount2(mountPoint.constData(), MNT_DETACH);
        QVERIFY(wrote && readOnly && known && !fresh);
    }
};

QTEST_GUILESS_MAIN(Pop3TlsTest)
#include "tst_pop3_tls.moc"
