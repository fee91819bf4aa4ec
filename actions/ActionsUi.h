#pragma once
#include "actions/MailerChoice.h"
#include "actions/MailerLaunch.h"

#include <QString>
#include <QUrl>

#include <functional>
#include <optional>

class QWidget;

namespace qp {

// ---- Mail-program launch ---------------------------------------------------

// Starts the mail program (see launchMailProgram) and, when it cannot start,
// shows a short notice that does not block; the caller carries on either way.
LaunchResult launchMailProgramOrNotify(QWidget* parent, const QString& mailProgramText);

// ---- Choosing the mail program (Command7_Click) ------------------------------

// The open-file dialog: no filter, no title, no folder of our own; it starts
// at currentFileName (the last pick of this run, or empty). Returns the picked
// path, or nothing when cancelled. Tests replace it with setOpenFileDialogHandler.
std::optional<QString> showOpenFileDialog(QWidget* parent, const QString& currentFileName);

using OpenFileDialogHandler =
    std::function<std::optional<QString>(QWidget* parent, const QString& currentFileName)>;
// An empty function restores the real dialog.
void setOpenFileDialogHandler(OpenFileDialogHandler handler);

// Shows the dialog and returns what goes into Text7 and Text8. The chooser
// belongs to the main window and lives as long as it does.
MailerChooser::Choice chooseMailProgram(QWidget* parent, MailerChooser& chooser);

// ---- Homepage prompt (Picture10_Click) ---------------------------------------

// The user's page ships with the program, so the answer "yes" works offline.
inline const QString kUserPageTail = QStringLiteral("help/index.html");
// The page as a "file://" address below the program folder.
QUrl userPageAddress();
inline const QString kHomepageQuestion =
    QStringLiteral("「Larkspur」作者のホームページです。ちょっと見てみますか？");
inline const QString kHomepageCaption = QStringLiteral("確認");

enum class HomepageOutcome {
    Declined,   // "No": nothing opened
    Opened,     // "Yes": the browser was asked to open the address
    OpenFailed, // "Yes", but the page is missing or no browser could be started;
                // a notice was shown
};

// Opens an address in the user's web browser (QDesktopServices::openUrl).
// Tests replace it; an empty function restores the real one.
using UrlOpener = std::function<bool(const QUrl&)>;
void setUrlOpener(UrlOpener opener);

// Asks the "確認" question (Yes/No, question icon) and on Yes opens the
// user's page in the user's browser. A page that is missing (a program
// folder laid out by hand) is said so instead of handing the browser a
// dead address.
HomepageOutcome showHomepagePrompt(QWidget* parent);

} // namespace qp
