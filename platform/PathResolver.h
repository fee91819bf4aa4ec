#pragma once
#include <QString>

namespace qp {

// Joins base with a relative tail ("\★MAilData\Ferruledata50.data" or with
// forward slashes) and resolves every component of the tail without regard to
// the case of ASCII letters: an existing entry whose name matches is used, so
// "★MailData" and "★MAilData" denote one folder. A component that does not
// exist keeps the spelling given, so a new file takes its first writer's name.
// When several entries match (say "Ferruledata50.data" and
// "ferruledata50.data"), the first in sorted order is used whatever the
// spelling asked for, so every reader and writer lands on the same one.
QString resolvePath(const QString& base, const QString& tail);

// Case-insensitive (ASCII only) comparison of two file-name components.
bool sameNameIgnoringAsciiCase(const QString& a, const QString& b);

} // namespace qp
