#pragma once

#include <QString>
#include <QStringList>

#include <optional>

namespace qp {

// What the command line asks for. Quillpost takes no arguments for its work
// (every setting is made in its windows); it only answers --help and
// --version, and refuses anything else rather than ignore it.
struct CommandLineAnswer {
    bool start = true;  // false: print and exit with exitCode
    int exitCode = 0;
    QString out;        // for stdout
    QString err;        // for stderr
};

// args as the process got them, the program's name first. japanese picks
// the language of the texts.
CommandLineAnswer answerCommandLine(const QStringList& args, bool japanese);

// The same for main(): decides before any application object exists, so
// answering opens no display and touches no file. Returns the exit code when
// the process is to end here.
std::optional<int> answerCommandLine(int argc, char** argv);

} // namespace qp
