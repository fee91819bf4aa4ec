#pragma once
#include <QString>

namespace qp {

// Outcome of starting the user's mail program.
struct LaunchResult {
    enum class Status {
        Started,     // the program is running on its own; nobody waits for it
        NothingToDo, // no program set ("未設定", empty or only spaces)
        Failed,      // it could not be started; message says why
    };
    Status status = Status::NothingToDo;
    QString program; // what was (or would have been) started, spaces removed
    QString message; // short Japanese text for the user, only when Failed
    qint64 pid = 0;  // only when Started; informational

    bool started() const { return status == Status::Started; }
};

// The one rule for "no mail program": empty when the mail-program box's text
// is exactly "未設定" or nothing but spaces, else the text without leading and
// trailing spaces. The check cycle and the launch both use it.
QString mailProgramToStart(const QString& mailProgramText);

// Starts the mail program named by the mail-program box's text (Text7),
// without waiting for it and without keeping track of it.
//  - The trimmed text is the program itself: no shell, no quoting, no
//    arguments added. A bare name without '/' is looked up in PATH.
//  - The program inherits the notifier's current directory, which is where
//    "ferrule.ini" lives, so a sibling mail program finds the shared file.
// Whether the launch option (Check2) is ticked is the caller's decision.
LaunchResult launchMailProgram(const QString& mailProgramText);

// The file-name part of a path (what the banner shows and Text8 holds):
// "/usr/bin/sylpheed" -> "sylpheed", "未設定" -> "未設定", "" -> "",
// a path ending in '/' -> "".
QString fileTitle(const QString& path);

} // namespace qp
