#include "actions/ActionsUi.h"

#include "platform/MessageBoxes.h"
#include "platform/ProgramFolder.h"

#include <QDesktopServices>
#include <QFileDialog>
#include <QFileInfo>

namespace qp {

LaunchResult launchMailProgramOrNotify(QWidget* parent, const QString& mailProgramText)
{
    LaunchResult result = launchMailProgram(mailProgramText);
    if (result.status == LaunchResult::Status::Failed)
        notifyNonBlocking(parent, result.message);
    return result;
}

namespace {

OpenFileDialogHandler& fileDialogHandler()
{
    static OpenFileDialogHandler handler;
    return handler;
}

UrlOpener& urlOpener()
{
    static UrlOpener opener;
    return opener;
}

} // namespace

std::optional<QString> showOpenFileDialog(QWidget* parent, const QString& currentFileName)
{
    if (fileDialogHandler())
        return fileDialogHandler()(parent, currentFileName);
    // Before any pick the dialog opens where programs are installed, not
    // in the folder the program happens to run in (the settings folder).
    const QString programs = QStringLiteral("/usr/bin");
    const QString start = currentFileName.isEmpty() && QFileInfo(programs).isDir() ? programs : currentFileName;
    const QString picked = QFileDialog::getOpenFileName(parent, QString(), start, QString());
    if (picked.isEmpty())
        return std::nullopt;
    return picked;
}

void setOpenFileDialogHandler(OpenFileDialogHandler handler)
{
    fileDialogHandler() = std::move(handler);
}

MailerChooser::Choice chooseMailProgram(QWidget* parent, MailerChooser& chooser)
{
    return chooser.choose([parent](const QString& current) { return showOpenFileDialog(parent, current); });
}

void setUrlOpener(UrlOpener opener)
{
    urlOpener() = std::move(opener);
}

QUrl userPageAddress()
{
    return QUrl::fromLocalFile(programPath(kUserPageTail));
}

HomepageOutcome showHomepagePrompt(QWidget* parent)
{
    const QMessageBox::StandardButton answer =
        showMessage(parent, {QMessageBox::Question, kHomepageCaption, kHomepageQuestion,
                             QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes});
    if (answer != QMessageBox::Yes)
        return HomepageOutcome::Declined;

    const QUrl address = userPageAddress();
    if (!QFileInfo(address.toLocalFile()).isFile()) {
        notifyNonBlocking(parent, QStringLiteral("説明のページが見つかりません。\n%1").arg(address.toLocalFile()));
        return HomepageOutcome::OpenFailed;
    }
    const bool opened = urlOpener() ? urlOpener()(address) : QDesktopServices::openUrl(address);
    if (opened)
        return HomepageOutcome::Opened;
    notifyNonBlocking(parent, QStringLiteral("ブラウザーを開けませんでした。\n%1").arg(address.toLocalFile()));
    return HomepageOutcome::OpenFailed;
}

} // namespace qp
