#pragma once
#include <QString>

namespace qp {

// The program's own folder {P}: the folder of the running executable,
// without a trailing separator. The delivered files (Sound, 画像データ,
// help) hang below it.
QString programFolder();

// Tests run the program's logic against a throwaway folder.
void setProgramFolderOverride(const QString& folder);

// The folder that holds the data folder "★MailData": the program folder,
// unless the process was started with QUILLPOST_USER_FOLDER naming another
// one. An installed copy is shared and read-only, so the launcher keeps each
// user's settings in a folder of their own and names it there.
QString userFolder();
void setUserFolder(const QString& folder);

// Reads QUILLPOST_USER_FOLDER once at start (a relative path counts from
// the current folder) and removes it from the environment, so that the
// mail program Quillpost starts does not inherit it. Returns the folder
// taken, or an empty text when none was given.
QString takeUserFolderFromEnvironment();

// {P} joined with a tail written with backslashes ("\★MailData\ini.ini"),
// each component resolved without regard to case, so that every spelling
// of a data file's name finds the one file that is there. A tail inside the
// data folder is joined to userFolder() instead.
QString programPath(const QString& tail);

} // namespace qp
