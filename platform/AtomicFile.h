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
// A symbolic link is followed: its final target is replaced, the link
// stays. permissions < 0 keeps the default; otherwise the new file gets exactly
// those QFileDevice::Permissions bits (used for the account file).
WriteResult writeFileAtomically(const QString& path, const QByteArray& bytes, int permissions = -1);

// Reads a whole file; ok is false when it does not exist or cannot be read.
// Only a regular file is read: a FIFO, a device or a folder in its place
// counts as unreadable, and opening never waits (no FIFO writer, no device).
// maxBytes >= 0: a larger file counts as unreadable too, and no more than
// that is ever held in memory.
struct ReadResult {
    bool ok = false;
    QByteArray bytes;
    QString error; // why it could not be read, when ok is false
};
ReadResult readWholeFile(const QString& path, qint64 maxBytes = -1);

// Opens path for reading when it is a regular file (symbolic links followed)
// and returns the descriptor, without blocking whatever the entry is; -1
// with *error set otherwise. The caller closes the descriptor.
int openRegularFileForReading(const QString& path, QString* error);

} // namespace qp
