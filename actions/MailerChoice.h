#pragma once
#include <QString>

#include <functional>
#include <optional>

namespace qp {

// Choosing the mail program (Command7_Click). The open-file dialog keeps the
// name picked last in this run, and a cancelled dialog hands that name back
// unchanged; before any pick it holds nothing. That name, not the path read
// from the settings file, is what a cancel puts into the mail-program box.
class MailerChooser {
public:
    // Shows the dialog with the name it currently holds (empty before any
    // pick) and returns the picked path, or nothing when cancelled.
    using FileDialog = std::function<std::optional<QString>(const QString& currentFileName)>;

    struct Choice {
        QString mailProgramPath;  // new text of Text7
        QString mailProgramTitle; // new text of Text8: the file-name part
        bool picked = false;      // false: the dialog was cancelled
    };

    Choice choose(const FileDialog& dialog);

private:
    QString m_dialogFileName;
};

} // namespace qp
