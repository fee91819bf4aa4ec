#pragma once
#include <QString>

namespace qp {

// The program's own folder {P}: the folder of the running executable,
// without a trailing separator. Every data path except "ferrule.ini"
// hangs below it.
QString programFolder();

// Tests run the program's logic against a throwaway folder.
void setProgramFolderOverride(const QString& folder);

// {P} joined with a tail written with backslashes ("\★MailData\ini.ini"),
// each component resolved without regard to case, so that every spelling
// of a data file's name finds the one file that is there.
QString programPath(const QString& tail);

} // namespace qp
