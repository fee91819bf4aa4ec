#include "app/AppServices.h"
#include "app/CommandLine.h"
#include "app/MainForm.h"
#include "app/SingleInstance.h"

#include "check/MailWorker.h"
#include "mail/NMail.h"
#include "notify/MciSound.h"
#include "platform/AppFont.h"
#include "platform/MessageBoxes.h"
#include "platform/ProcessEnd.h"
#include "platform/ProgramFolder.h"

#include <QApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

#include <cstdio>
#include <unistd.h>

int main(int argc, char** argv)
{
    qp::disableCoreDumps();
    // --help, --version and wrong arguments are answered here, before the
    // application object opens a display or anything reads a file.
    if (const std::optional<int> exitCode = qp::answerCommandLine(argc, argv))
        return *exitCode;

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quillpost"));
    QApplication::setDesktopFileName(QStringLiteral("quillpost"));
    // The program ends only through the main window's unload (or the shaped
    // window's right button); closing the last visible window, for example
    // a settings window while the main window is in the tray, must not.
    QApplication::setQuitOnLastWindowClosed(false);
    qp::installApplicationFont();
    // Qt's own texts (the file dialog, the standard buttons) in the user's
    // language: qtbase_ja under a Japanese locale, from
    // qt6-translations-l10n. Without a translation they stay English.
    QTranslator qtTexts;
    if (qtTexts.load(QLocale(), QStringLiteral("qtbase"), QStringLiteral("_"),
                     QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        QCoreApplication::installTranslator(&qtTexts);
    // The launcher could not prepare the user's folder and has said why on
    // stderr; a desktop user sees it here.
    const QString launchProblem = qEnvironmentVariable("QUILLPOST_LAUNCH_PROBLEM");
    if (!launchProblem.isEmpty()) {
        qp::warning(nullptr, QStringLiteral("Quillpost を起動できません。\n%1").arg(launchProblem));
        return 1;
    }
    // The launcher of an installed copy names the user's own folder for
    // "★MailData"; a program folder of a build keeps its data beside it.
    qp::takeUserFolderFromEnvironment();

    // A second start for the same data folder brings the running program's
    // main window forward instead of checking the same mailbox again.
    qp::SingleInstance instance(qp::programPath(QStringLiteral("\\★MailData")));
    switch (instance.claim()) {
    case qp::SingleInstance::Claim::First:
        break;
    case qp::SingleInstance::Claim::Handed:
        return 0;
    case qp::SingleInstance::Claim::Unreachable: {
        // Started from a menu, stderr is seen by no one.
        const QString text = QStringLiteral("このデータフォルダでは既に Quillpost が動いていますが、応答がありません。"
                                            "止まっている Quillpost を終了してから、もう一度起動してください。");
        std::fputs(qPrintable(QStringLiteral("Quillpost: %1\n").arg(text)), stderr);
        qp::warning(nullptr, text);
        return 1;
    }
    }
    // Every end leaves through _exit (no destructor runs): the lock and the
    // socket go first.
    qp::MainForm::setProcessExit([&instance](int code) {
        instance.release();
        ::_exit(code);
    });

    qp::AppServices services;
    auto mail = std::make_unique<qp::NMail>();
    // Servers seen with TLS, so that a session stripped of it is refused.
    mail->setTlsMemoryFile(qp::programPath(QStringLiteral("\\★MailData\\tlsservers.txt")));
    // What checks read of each message, so that the first check after a
    // start asks the server only about what is new.
    mail->setHeaderMemoryFile(qp::programPath(QStringLiteral("\\★MailData\\mailheaders.dat")));
    // Authorities the user trusts besides the system's (a server of their
    // own with a private CA); read once, a missing file is no CA.
    const qp::ExtraCaFile cas = qp::readExtraCaFile(qp::programPath(QStringLiteral("\\★MailData\\cacerts.pem")));
    mail->setExtraCaCertificates(cas.certificates);
    mail->setCaFileProblem(cas.problem);
    // The network waits run off the window's thread.
    services.mail = std::make_unique<qp::ThreadedMailWorker>(std::move(mail));
    // An unusable CA file is told by every check; the watcher stays off.
    if (cas.problem.isEmpty()) {
        qp::MailSessionSetup pushSetup;
        pushSetup.extraCas = cas.certificates;
        pushSetup.tlsMemory.setPath(qp::programPath(QStringLiteral("\\★MailData\\tlsservers.txt")));
        services.push = std::make_unique<qp::PushWatcher>();
        services.push->setSetup(pushSetup);
        services.push->followSystemEvents();
    }
    services.sound = std::make_unique<qp::MciSound>();
    services.notifier = std::make_unique<qp::DesktopNotifier>();
    // Which watched messages were announced already, so a message is told once.
    services.notifier->setMemoryFile(qp::programPath(QStringLiteral("\\★MailData\\notified.txt")));

    qp::MainForm mainForm(services);
    mainForm.Form_Load();
    QObject::connect(&instance, &qp::SingleInstance::showRequested, &mainForm, [&mainForm] { mainForm.mnu_Popup_Click(0); });
    mainForm.endWithSession();
    return app.exec();
}
