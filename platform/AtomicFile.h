#pragma once
#include <QByteArray>
#include <QString>

namespace qp {

struct WriteResult {
    bool ok = false;
    QString error; // why it failed, for a message or a log
};

// Replaces the file at path with bytes: written to a temporary file in the
// same folder, flushed to disk, then renamed over the old one. A crash or a
// full disk leaves either the old file or the new one, never a half file.
// The folder is never created: a missing folder is a failed write.
// permissions < 0 keeps the default; otherwise the new file gets exactly
// those QFileDevice::Permissions bits (used for the account file).
WriteResult writeFileAtomically(const QString& path, const QByteArray& bytes, int permissions = -1);

// Reads a whole file; ok is false when it does not exist or cannot be read.
struct ReadResult {
    bool ok = false;
    QByteArray bytes;
};
ReadResult readWholeFile(const QString& path);

} // namespace qp
