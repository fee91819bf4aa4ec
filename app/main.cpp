#include "app/AppServices.h"
#include "app/CommandLine.h"
#include "app/MainForm.h"

#include "mail/NMailLayer.h"
#include "notify/MciSound.h"
#include "platform/AppFont.h"
#include "platform/ProcessEnd.h"
#include "platform/ProgramFolder.h"

#include <QApplication>
#include <QSslCertificate>

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
    // The launcher of an installed copy names the user's own folder for
    // "★MailData"; a program folder of a build keeps its data beside it.
    qp::takeUserFolderFromEnvironment();

    qp::AppServices services;
    auto mail = std::make_unique<qp::NMail>();
    // Servers seen with TLS, so that a session stripped of it is refused.
    mail->setTlsMemoryFile(qp::programPath(QStringLiteral("\\★MailData\\tlsservers.txt")));
    // Authorities the user trusts besides the system's (a server of their
    // own with a private CA); read once, a missing file is no CA.
    mail->setExtraCaCertificates(
        QSslCertificate::fromPath(qp::programPath(QStringLiteral("\\★MailData\\cacerts.pem"))));
    services.mail = std::move(mail);
    services.sound = std::make_unique<qp::MciSound>();

    qp::MainForm mainForm(services);
    mainForm.Form_Load();
    mainForm.endWithSession();
    return app.exec();
}
