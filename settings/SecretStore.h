#pragma once
#include <QByteArray>
#include <QMutex>
#include <QString>

namespace qp {

// Where secrets (refresh tokens, and a password when the user wants it
// kept there) are kept: the desktop's keyring through the Secret Service
// (or KWallet), and when that cannot be reached (no session bus, no keyring
// service, a locked keyring that says no) a file readable by its owner only
// in the data folder. Each call blocks with a time-out; any thread may
// call, while the application's thread runs its event loop (the keyring is
// reached from there).
class SecretStore {
public:
    // fallbackPath: the owner-only file; service: the keyring's service name.
    explicit SecretStore(QString fallbackPath, QString service = QStringLiteral("Quillpost"));

    struct Outcome {
        bool ok = false;
        QString error;  // Japanese, when !ok
        // Set the first time in this store's life that a secret goes to the
        // file rather than the keyring: where it went, for the user.
        QString notice;
    };
    Outcome write(const QString& key, const QByteArray& secret);
    // Empty when there is none.
    QByteArray read(const QString& key);
    void remove(const QString& key);

    // The owner-only file moved (another data folder): the next secret that
    // goes there is said again.
    void setFallbackPath(const QString& path);

    // How long a keyring call may take before the keyring counts as absent.
    void setKeyringTimeoutMs(int ms) { m_timeoutMs = ms; }

private:
    enum class Keyring { Ok, NotFound, Unavailable };
    enum class Op { Read, Write, Remove };
    Keyring keyringCall(Op op, const QString& key, const QByteArray& secret, QByteArray* out);
    bool fileWrite(const QString& key, const QByteArray* secret, QString* error);
    QByteArray fileRead(const QString& key);

    QString m_fallbackPath;
    QString m_service;
    int m_timeoutMs = 10000;
    QMutex m_mutex;
    bool m_told = false;
};

} // namespace qp
