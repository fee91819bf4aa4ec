#pragma once
#include "platform/ProgramFolder.h"

#include <QString>

namespace qp {

// {P}\★MailData\ini.ini: check options and the mail program.
inline QString iniPath() { return programPath(QStringLiteral("\\★MailData\\ini.ini")); }
// {P}\★MailData\iniIdPass.ini: the account.
inline QString idPassIniPath() { return programPath(QStringLiteral("\\★MailData\\iniIdPass.ini")); }

inline const QString kNotSet = QStringLiteral("未設定");

} // namespace qp
