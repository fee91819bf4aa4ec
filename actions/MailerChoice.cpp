#include "actions/MailerChoice.h"

#include "actions/MailerLaunch.h"

namespace qp {

MailerChooser::Choice MailerChooser::choose(const FileDialog& dialog)
{
    Choice choice;
    if (dialog) {
        const std::optional<QString> picked = dialog(m_dialogFileName);
        // An empty answer cannot be a file: treat it as a cancel.
        if (picked && !picked->isEmpty()) {
            m_dialogFileName = *picked;
            choice.picked = true;
        }
    }
    choice.mailProgramPath = m_dialogFileName;
    choice.mailProgramTitle = fileTitle(m_dialogFileName);
    return choice;
}

} // namespace qp
