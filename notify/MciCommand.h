#pragma once
#include <QString>
#include <optional>

namespace qp {

// One command of the multimedia command-string vocabulary the alert uses:
//   open "<path>" alias <name>
//   play <name>            play <name> from 0
//   status <name> mode     stop <name>          close <name>
// Keywords compare without regard to case, as the Windows interface does;
// anything else (other verbs, other positions, extra words) is refused.
struct MciCommand {
    enum class Verb { Open, Play, PlayFromStart, StatusMode, Stop, Close };
    Verb verb = Verb::Play;
    QString alias;
    QString path; // open only: the text between the double quotes
};

std::optional<MciCommand> parseMciCommand(const QString& text);

} // namespace qp
