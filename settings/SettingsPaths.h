#pragma once
#include "platform/ProgramFolder.h"

#include <QString>

namespace qp {

// {P}\★MailData\ini.ini: check options and the mail program.
inline QString iniPath() { return programPath(QStringLiteral("\\★MailData\\ini.ini")); }
// {P}\★MailData\iniIdPass.ini: the account.
inline QString idPassIniPath() { return programPath(QStringLiteral("\\★MailData\\iniIdPass.ini")); }
// {P}/★MailData/secrets.json: secrets when the desktop has no keyring (owner only).
inline QString secretFilePath() { return programPath(QStringLiteral("\\★MailData\\secrets.json")); }

inline const QString kNotSet = QStringLiteral("未設定");

} // namespace qp
