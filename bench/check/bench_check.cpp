// One check of 1000 waiting messages against a keyword store of 10,000
// records, against a private Dovecot on loopback. Reports the time of the
// whole check and the part spent reading the store and matching (the store
// is read afresh for every message), and the same check with an empty
// store for comparison.
//
//   bench_check [messages] [keywords] [runs]
#include "check/CheckMail.h"
#include "mail/NMailLayer.h"
#include "platform/Cp932.h"
#include "platform/AtomicFile.h"
#include "platform/ProgramFolder.h"
#include "settings/IniFile.h"
#include "settings/SettingsPaths.h"
#include "tests/support/DovecotFixture.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>

using namespace qp;

namespace {

class QuietHost : public CheckHost {
public:
    int alerts = 0;
    QString count;
    void putAccountIntoAccountWindow(const QString&, const QString&) override {}
    void showAccountWindow() override {}
    void setMatchWorkBoxes(const QString&, const QString&, int, int) override {}
    bool mailerLaunchTicked() override { return false; }
    QString mailerPath() override { return QStringLiteral("未設定"); }
    bool boardAutoCloseTicked() override { return false; }
    bool hangUpTicked() override { return false; }
    void setBoardTexts(const QString&, const QString& t2) override { count = t2; }
    void showBoard() override {}
    void unloadBoard() override {}
    void waitWithEvents(int) override {}
    void startAlert() override { ++alerts; }
    void startMailProgram(const QString&) override {}
    void hangUp() override {}
    void showLoginError(const QString& text) override { std::fprintf(stderr, "login error: %s\n", qPrintable(text)); }
};

QByteArray record(const QString& keyword)
{
    QByteArray r("\r\n\x01\x00", 4);
    QByteArray k = cp932::encode(keyword).bytes.left(200);
    k.append(QByteArray(200 - k.size(), ' '));
    return r + k;
}

QString watched(int i)
{
    return QStringLiteral("person%1@watch%2.example.jp").arg(i, 5, 10, QLatin1Char('0')).arg(i % 97);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int messages = argc > 1 ? std::atoi(argv[1]) : 1000;
    const int keywords = argc > 2 ? std::atoi(argv[2]) : 10000;
    const int runs = argc > 3 ? std::atoi(argv[3]) : 3;

    if (!test::DovecotFixture::available()) {
        std::fprintf(stderr, "dovecot cannot run here (needs the binary and root)\n");
        return 2;
    }
    test::DovecotFixture dovecot;
    dovecot.addUser(QStringLiteral("bench"), QStringLiteral("benchpw"));
    // Every tenth sender is on the watch list; the others are not.
    for (int m = 0; m < messages; ++m) {
        const QString from = m % 10 == 0 ? QStringLiteral("\"Watched %1\" <%2>").arg(m).arg(watched(m * 7 % keywords))
                                         : QStringLiteral("\"Sender %1\" <sender%1@mail.example.com>").arg(m);
        const QByteArray msg = "From: " + from.toUtf8() + "\r\nTo: bench@example.jp\r\nSubject: message "
                               + QByteArray::number(m) + "\r\nDate: Mon, 1 Jul 2024 10:00:00 +0900\r\n\r\n"
                               + QByteArray(2000, 'x') + "\r\n";
        if (!dovecot.addMessage(QStringLiteral("bench"), msg)) {
            std::fprintf(stderr, "cannot add message\n");
            return 1;
        }
    }
    if (!dovecot.start()) {
        std::fprintf(stderr, "dovecot: %s\n", qPrintable(dovecot.errorString()));
        return 1;
    }

    QTemporaryDir folder;
    QDir(folder.path()).mkdir(QStringLiteral("★MailData"));
    setProgramFolderOverride(folder.path());
    WriteIniText(idPassIniPath(), QStringLiteral("NAME"), QStringLiteral("bench"), IniFileMode::OwnerOnly);
    WriteIniText(idPassIniPath(), QStringLiteral("NAME2"), QStringLiteral("benchpw"), IniFileMode::OwnerOnly);

    NMail lib;
    lib.NMailInitializeWinSock();
    lib.NMailSetOption(NMail::kOptionTextBufferSize, 8192);
    lib.setExtraCaCertificates(dovecot.caCertificates());
    ProcessSettings settings;
    settings.setPop3Server(dovecot.serverText());
    QuietHost host;
    CheckMail check(lib, settings, host);

    auto measure = [&](const char* label) {
        double bestWhole = 1e18, bestMatching = 1e18;
        CheckOutcome last;
        for (int r = 0; r < runs; ++r) {
            QElapsedTimer t;
            t.start();
            last = check.run();
            const double whole = t.nsecsElapsed() / 1e6;
            bestWhole = std::min(bestWhole, whole);
            bestMatching = std::min(bestMatching, last.matchingNanoseconds / 1e6);
            std::printf("  %-16s run %d: whole check %8.1f ms, store reads + matching %7.1f ms\n", label, r + 1,
                        whole, last.matchingNanoseconds / 1e6);
        }
        std::printf("%-18s messages %d, MatchCount %d, GetMail calls %d; best whole %.1f ms, best matching %.1f ms\n",
                    label, last.messageCount, last.matchCount, last.getMailCalls, bestWhole, bestMatching);
        return std::make_pair(bestWhole, bestMatching);
    };

    // Empty store first (created by the check), then the full one.
    const auto empty = measure("empty store:");
    QByteArray bytes;
    bytes.reserve(qsizetype(keywords) * 204);
    for (int i = 0; i < keywords; ++i)
        bytes += record(watched(i));
    // The empty run created the store; any spelling resolves to that file.
    const QString store = programPath(QStringLiteral("\\★MAilData\\ferruledata50.data"));
    if (!writeFileAtomically(store, bytes).ok) {
        std::fprintf(stderr, "cannot write the store\n");
        return 1;
    }
    const auto full = measure("10,000 keywords:");
    std::printf("\nstore %lld bytes; matching against %d keywords adds %.1f ms to the whole check "
                "(%.1f ms in store reads and matching; target: at most 200 ms)\n",
                static_cast<long long>(bytes.size()), keywords, full.first - empty.first, full.second);
    setProgramFolderOverride(QString());
    return 0;
}
