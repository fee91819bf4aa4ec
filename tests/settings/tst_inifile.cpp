#include "platform/AtomicFile.h"
#include "platform/Cp932.h"
#include "settings/IniFile.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/types.h>

using namespace qp;

namespace {

QByteArray sjis(const QString& s)
{
    auto e = cp932::encode(s);
    Q_ASSERT(e.ok);
    return e.bytes;
}

void writeBytes(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(bytes);
}

QByteArray readBytes(const QString& path)
{
    return readWholeFile(path).bytes;
}

// A tmpfs of 64 KiB of our own, unmounted again however the test ends.
// Mounting needs root (as in CI); elsewhere the caller skips.
struct SmallDisk {
    QTemporaryDir dir;
    bool mounted = ::mount("tmpfs", QFile::encodeName(dir.path()).constData(), "tmpfs", 0, "size=64k") == 0;
    ~SmallDisk() { if (mounted) ::umount2(QFile::encodeName(dir.path()).constData(), MNT_DETACH); }
};

} // namespace

class IniFileTest : public QObject {
    Q_OBJECT
    QTemporaryDir m_dir;
    QString file(const QString& name) { return QDir(m_dir.path()).filePath(name); }

private slots:
    void readsAFileAsWindowsWritesIt()
    {
        // A file as other tools leave it: CP932, CRLF, mixed case.
        const QString path = file("win.ini");
        QByteArray bytes = "[ExeIni]\r\n"
                           "Number=1\r\n"
                           "number2 = 15 \r\n"
                           "NAME=" + sjis(QStringLiteral("C:\\Program Files\\表計算\\ソフト.exe")) + "\r\n"
                           "NUMBER3=2abc\r\n"
                           "NUMBER4=abc\r\n"
                           "NUMBER5=\r\n"
                           "[OTHER]\r\n"
                           "NUMBER9=7\r\n";
        writeBytes(path, bytes);
        QCOMPARE(ReadIniInt(path, "NUMBER"), 1);
        QCOMPARE(ReadIniInt(path, "NUMBER2"), 15);
        QCOMPARE(ReadIniInt(path, "NUMBER3"), 2);
        QCOMPARE(ReadIniInt(path, "NUMBER4"), 0);
        QCOMPARE(ReadIniInt(path, "NUMBER5"), 0);
        QCOMPARE(ReadIniInt(path, "NUMBER9"), 0); // another section
        // ソ and 表 end in 0x5C, which must not be taken for a backslash escape.
        QCOMPARE(ReadIniText(path, "name", "x"), QStringLiteral("C:\\Program Files\\表計算\\ソフト.exe"));
        QCOMPARE(ReadIniText(path, "NUMBER5", QStringLiteral("未設定")), QStringLiteral("未設定"));
        QCOMPARE(ReadIniText(path, "MISSING", QStringLiteral("未設定")), QStringLiteral("未設定"));
    }

    void longValuesAreReadAsTheirFirst255Bytes()
    {
        const QString path = file("long.ini");
        writeBytes(path, "[EXEINI]\r\nNAME=" + QByteArray(300, 'a') + "\r\n");
        QCOMPARE(ReadIniText(path, "NAME", "").size(), 255);
        // A double-byte character across byte 255 is dropped whole.
        writeBytes(path, "[EXEINI]\r\nNAME=" + QByteArray(254, 'b') + sjis(QStringLiteral("表")) + "\r\n");
        QCOMPARE(ReadIniText(path, "NAME", ""), QString(254, QLatin1Char('b')));
    }

    void missingFilesSectionsAndGarbageGiveTheMissingValue()
    {
        const QString none = file("none.ini");
        QCOMPARE(ReadIniInt(none, "NUMBER"), 0);
        QCOMPARE(ReadIniText(none, "NAME", QStringLiteral("未設定")), QStringLiteral("未設定"));

        const QString noSection = file("nosection.ini");
        writeBytes(noSection, "NUMBER=1\r\nNAME=x\r\n");
        QCOMPARE(ReadIniInt(noSection, "NUMBER"), 0);
        QCOMPARE(ReadIniText(noSection, "NAME", "d"), QStringLiteral("d"));

        const QString garbage = file("garbage.ini");
        QByteArray junk;
        for (int i = 0; i < 4096; ++i)
            junk += char((i * 7919 + 13) & 0xFF);
        writeBytes(garbage, junk);
        QCOMPARE(ReadIniInt(garbage, "NUMBER"), 0);
        ReadIniText(garbage, "NAME", "d"); // must simply not crash

        // Invalid Shift-JIS in a value reads as replacement characters.
        const QString bad = file("badsjis.ini");
        writeBytes(bad, QByteArray("[EXEINI]\r\nNAME=a\x81\r\n"));
        QCOMPARE(ReadIniText(bad, "NAME", ""), QStringLiteral("a\uFFFD"));
    }

    void writeReplacesOnlyItsKeyAndKeepsEveryOtherByte()
    {
        const QString path = file("keep.ini");
        const QByteArray before = "; comment \xE2\x80\x94 kept\r\n"
                                  "[Other]\r\nNAME=other\r\n"
                                  "[exeini]\r\n"
                                  "Number=1\r\n"
                                  "odd line without equals\r\n"
                                  "NAME=" + sjis(QStringLiteral("ソ")) + "\r\n"
                                  "\r\n"
                                  "[Third]\n"
                                  "k=v";
        writeBytes(path, before);
        QVERIFY(WriteIniText(path, "name", QStringLiteral("表")).ok);
        QByteArray expected = before;
        expected.replace("NAME=" + sjis(QStringLiteral("ソ")), "name=" + sjis(QStringLiteral("表")));
        QCOMPARE(readBytes(path), expected);

        // A new key goes to the end of the section, before its blank line.
        QVERIFY(WriteIniText(path, "NUMBER3", "0").ok);
        expected.replace("\r\n\r\n[Third]", "\r\nNUMBER3=0\r\n\r\n[Third]");
        QCOMPARE(readBytes(path), expected);
        QCOMPARE(ReadIniInt(path, "NUMBER3"), 0);
        QCOMPARE(ReadIniText(path, "NAME", ""), QStringLiteral("表"));
        QCOMPARE(ReadIniText(path, "k", ""), QString()); // other section untouched, not ours
    }

    void writeCreatesSectionAndFile()
    {
        const QString path = file("new.ini");
        QVERIFY(WriteIniText(path, "NAME", QStringLiteral("未設定")).ok);
        QCOMPARE(readBytes(path), "[EXEINI]\r\nNAME=" + sjis(QStringLiteral("未設定")) + "\r\n");
        QVERIFY(WriteIniText(path, "NUMBER3", "1").ok);
        QCOMPARE(readBytes(path), "[EXEINI]\r\nNAME=" + sjis(QStringLiteral("未設定")) + "\r\nNUMBER3=1\r\n");

        // A file without our section (and without a final line end) gets one appended.
        const QString other = file("other.ini");
        writeBytes(other, "[X]\r\na=b");
        QVERIFY(WriteIniText(other, "NUMBER", "0").ok);
        QCOMPARE(readBytes(other), QByteArray("[X]\r\na=b\r\n[EXEINI]\r\nNUMBER=0\r\n"));
    }

    void writesThatCannotBeStoredFaithfullyAreRefused()
    {
        const QString path = file("refuse.ini");
        writeBytes(path, "[EXEINI]\r\nNAME=old\r\n");
        // A character Shift-JIS cannot hold would come back as something else.
        QVERIFY(!WriteIniText(path, "NAME", QStringLiteral("a😀")).ok);
        QCOMPARE(readBytes(path), QByteArray("[EXEINI]\r\nNAME=old\r\n"));
        // A line break cannot forge a second key.
        QVERIFY(WriteIniText(path, "NAME", "x\r\nNUMBER3=1").ok);
        QCOMPARE(ReadIniInt(path, "NUMBER3"), 0);
        QCOMPARE(ReadIniText(path, "NAME", ""), QStringLiteral("x"));
        // More than a read gives back (255 bytes) would come back cut.
        const QString longest = QString(126, QChar(u'表')) + QStringLiteral("abc"); // 255 bytes
        QVERIFY(!WriteIniText(path, "NAME", longest + QLatin1Char('d')).ok);
        QCOMPARE(ReadIniText(path, "NAME", ""), QStringLiteral("x"));
        QVERIFY(WriteIniText(path, "NAME", longest).ok);
        QCOMPARE(ReadIniText(path, "NAME", ""), longest);
    }

    void blanksAndQuotesAtTheEndsReadBackExactlyWhenQuoted()
    {
        const QString path = file("quoted.ini");
        for (const char* const text : {" pw ", "\"pw\"", "'pw'", "pw\t", "pw\"", "p w\"x"}) {
            const QString value = QString::fromUtf8(text);
            QVERIFY(WriteIniText(path, "NAME2", valueReadBackExactly(value)).ok);
            QCOMPARE(ReadIniText(path, "NAME2", "(none)"), value);
        }
        // The file keeps its format: one pair of quotes, or none when not needed.
        QCOMPARE(readBytes(path), QByteArray("[EXEINI]\r\nNAME2=p w\"x\r\n"));
        QVERIFY(WriteIniText(path, "NAME2", valueReadBackExactly(" pw ")).ok);
        QCOMPARE(readBytes(path), QByteArray("[EXEINI]\r\nNAME2=\" pw \"\r\n"));
    }

    void onlyRegularFilesAreReadAndNothingWaits()
    {
        // A FIFO without a writer would block an ordinary open for ever.
        const QString fifo = file("fifo.ini");
        QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0644), 0);
        QCOMPARE(ReadIniInt(fifo, "NUMBER"), 0);
        QCOMPARE(ReadIniText(fifo, "NAME", QStringLiteral("未設定")), QStringLiteral("未設定"));
        QVERIFY(!readWholeFile(fifo).ok);
        QVERIFY(!WriteIniText(fifo, "NUMBER", "1").ok); // not replaced by a file
        QVERIFY(!QFileInfo(fifo).isFile());
        QVERIFY(QDir(m_dir.path()).mkdir("folder.ini"));
        QCOMPARE(ReadIniText(file("folder.ini"), "NAME", "d"), QStringLiteral("d"));
        QVERIFY(!readWholeFile("/dev/zero").ok);
    }

    void writeIntoAMissingFolderIsLostWithoutCreatingIt()
    {
        const QString path = QDir(m_dir.path()).filePath(QStringLiteral("★MailData/ini.ini"));
        const auto r = WriteIniText(path, "NUMBER3", "1");
        QVERIFY(!r.ok);
        QVERIFY(!QFileInfo::exists(QFileInfo(path).absolutePath()));
        QCOMPARE(ReadIniInt(path, "NUMBER3"), 0);
    }

    void ownerOnlyFilesAreNotReadableByOthers()
    {
        const QString path = file("idpass.ini");
        QVERIFY(WriteIniText(path, "NAME2", "secret", IniFileMode::OwnerOnly).ok);
        const auto perms = QFileInfo(path).permissions();
        QVERIFY(perms & QFileDevice::ReadOwner);
        QVERIFY(!(perms & (QFileDevice::ReadGroup | QFileDevice::ReadOther)));
    }

    void aLinkedFileIsWrittenWhereItLives()
    {
        // A dotfiles set-up: a relative link to the file kept elsewhere.
        QVERIFY(QDir(m_dir.path()).mkdir("dotfiles"));
        writeBytes(file("dotfiles/ini.ini"), "[EXEINI]\r\nNAME=old\r\n");
        QVERIFY(QFile::link("dotfiles/ini.ini", file("linked.ini")));
        QVERIFY(WriteIniText(file("linked.ini"), "NAME", "new").ok && QFileInfo(file("linked.ini")).isSymLink());
        QCOMPARE(ReadIniText(file("dotfiles/ini.ini"), "NAME", "x"), QStringLiteral("new"));
    }

    void aFullOrReadOnlyDiskFailsAndKeepsTheOldFile()
    {
        SmallDisk disk;
        if (!disk.mounted)
            QSKIP("needs root to mount a small tmpfs");
        const QString path = QDir(disk.dir.path()).filePath("ini.ini");
        QVERIFY(WriteIniText(path, "NAME", "old").ok);
        const QByteArray before = readBytes(path);
        QFile filler(QDir(disk.dir.path()).filePath("filler"));
        QVERIFY(filler.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
        while (filler.write(QByteArray(4096, 'x')) > 0) {}
        QVERIFY(!WriteIniText(path, "NAME", QString(200, 'n')).ok);
        QCOMPARE(readBytes(path), before);
        QCOMPARE(QDir(disk.dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 2);
        filler.remove();
        QVERIFY(::mount(nullptr, QFile::encodeName(disk.dir.path()).constData(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) == 0);
        QVERIFY(!WriteIniText(path, "NAME", "new").ok);
        QCOMPARE(readBytes(path), before);
    }

    void anInterruptedWriteNeverLeavesAHalfFile()
    {
        // A child rewrites the file over and over with large values; killing
        // it at arbitrary moments must leave a whole old or whole new file.
        const QString path = file("crash.ini");
        // A large other section makes each rewrite long.
        QByteArray bulk = "[BULK]\r\n";
        for (int i = 0; i < 10000; ++i)
            bulk += "k" + QByteArray::number(i) + "=" + QByteArray(14, 'v') + "\r\n";
        writeBytes(path, "[EXEINI]\r\nNAME=" + QByteArray(255, 'A') + "\r\n" + bulk);
        for (int round = 0; round < 8; ++round) {
            QProcess child;
            child.start(QCoreApplication::applicationFilePath(), {"--hammer", path});
            QVERIFY(child.waitForStarted());
            QTest::qWait(20 + round * 15);
            ::kill(pid_t(child.processId()), SIGKILL);
            child.waitForFinished();
            const QByteArray bytes = readBytes(path);
            const QString name = ReadIniText(path, "NAME", "");
            QVERIFY2(bytes.endsWith(bulk), "file was cut short");
            QVERIFY(name == QString(255, 'A') || name == QString(255, 'B') || name == QString(255, 'C'));
        }
        // Nothing but the file itself is left in the folder.
        const QStringList left = QDir(m_dir.path()).entryList({"crash.ini*"}, QDir::Files);
        QVERIFY2(left.size() <= 2, qPrintable(left.join(',')));
    }
};

static int hammer(const QString& path)
{
    for (int i = 0;; ++i) {
        const char c = (i % 2) ? 'B' : 'C';
        WriteIniText(path, "NAME", QString(255, QLatin1Char(c)));
    }
    return 0;
}

int main(int argc, char** argv)
{
    if (argc == 3 && QByteArray(argv[1]) == "--hammer") {
        QCoreApplication app(argc, argv);
        return hammer(QString::fromLocal8Bit(argv[2]));
    }
    QCoreApplication app(argc, argv);
    IniFileTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_inifile.moc"
