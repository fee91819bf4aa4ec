#pragma once
#include "settings/ProcessSettings.h"

#include <QString>

namespace qp {

inline const QString kServerFileName = QStringLiteral("ferrule.ini");

// Fills SMTP, POP3, mail address and APOP from "ferrule.ini" in folder
// (the process's current working directory when empty). A missing file
// leaves the values as they are. Returns whether a file was read.
bool LoadServerFile(ProcessSettings& settings, const QString& folder = QString());

struct ServerFileResult {
    bool ok = false;
    QString error; // Japanese, for the user
};

// Rewrites "ferrule.ini" in folder (the current working directory when
// empty) with exactly the four lines, CP932, CRLF; replaced atomically.
ServerFileResult SaveServerFile(const ProcessSettings& settings, const QString& folder = QString());

} // namespace qp
