#include "SecretStore.h"

#include <QEventLoop>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>

#include <qt6keychain/keychain.h>

#include "platform/AtomicFile.h"

namespace qp {

namespace {

// Runs a keyring job to its end or the time-out; false on the time-out.
bool runJob(QKeychain::Job& job, int timeoutMs)
{
    job.setAutoDelete(false);
    QEventLoop loop;
    bool finished = false;
    QObject::connect(&job, &QKeychain::Job::finished, &loop, [&] {
        finished = true;
        loop.quit();
    });
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    job.start();
    if (!finished)
        loop.exec();
    return finished;
}

} // namespace

SecretStore::SecretStore(QString fallbackPath, QString service)
    : m_fallbackPath(std::move(fallbackPath)), m_service(std::move(service))
{
}

SecretStore::Keyring SecretStore::keyringRead(const QString& key, QByteArray* out)
{
    QKeychain::ReadPasswordJob job(m_service);
    job.setKey(key);
    if (!runJob(job, m_timeoutMs))
        return Keyring::Unavailable;
    if (job.error() == QKeychain::EntryNotFound)
        return Keyring::NotFound;
    if (job.error() != QKeychain::NoError)
        return Keyring::Unavailable;
    *out = job.binaryData();
    return Keyring::Ok;
}

SecretStore::Keyring SecretStore::keyringWrite(const QString& key, const QByteArray& secret)
{
    QKeychain::WritePasswordJob job(m_service);
    job.setKey(key);
    job.setBinaryData(secret);
    return runJob(job, m_timeoutMs) && job.error() == QKeychain::NoError ? Keyring::Ok : Keyring::Unavailable;
}

SecretStore::Keyring SecretStore::keyringRemove(const QString& key)
{
    QKeychain::DeletePasswordJob job(m_service);
    job.setKey(key);
    if (!runJob(job, m_timeoutMs))
        return Keyring::Unavailable;
    return job.error() == QKeychain::NoError ? Keyring::Ok : Keyring::NotFound;
}

QByteArray SecretStore::fileRead(const QString& key)
{
    const ReadResult r = readWholeFile(m_fallbackPath, 1024 * 1024);
    if (!r.ok)
        return {};
    return QByteArray::fromBase64(QJsonDocument::fromJson(r.bytes).object().value(key).toString().toLatin1());
}

bool SecretStore::fileWrite(const QString& key, const QByteArray* secret, QString* error)
{
    QJsonObject o;
    const ReadResult r = readWholeFile(m_fallbackPath, 1024 * 1024);
    if (r.ok)
        o = QJsonDocument::fromJson(r.bytes).object();
    if (secret)
        o.insert(key, QString::fromLatin1(secret->toBase64()));
    else if (o.contains(key))
        o.remove(key);
    else
        return true;
    const WriteResult w = writeFileAtomically(m_fallbackPath, QJsonDocument(o).toJson(),
                                              int(QFileDevice::ReadOwner | QFileDevice::WriteOwner));
    if (!w.ok && error)
        *error = QStringLiteral("「%1」に書き込めません（%2）").arg(m_fallbackPath, w.error);
    return w.ok;
}

SecretStore::Outcome SecretStore::write(const QString& key, const QByteArray& secret)
{
    QMutexLocker lock(&m_mutex);
    Outcome o;
    if (keyringWrite(key, secret) == Keyring::Ok) {
        fileWrite(key, nullptr, nullptr); // an older copy in the file goes
        o.ok = true;
        return o;
    }
    o.ok = fileWrite(key, &secret, &o.error);
    if (o.ok && !m_told) {
        m_told = true;
        o.notice = QStringLiteral("デスクトップのキーリングが使えないため、サインインの情報を「%1」（本人だけが読めるファイル）に保存しました")
                       .arg(m_fallbackPath);
    }
    return o;
}

QByteArray SecretStore::read(const QString& key)
{
    QMutexLocker lock(&m_mutex);
    QByteArray secret;
    if (keyringRead(key, &secret) == Keyring::Ok)
        return secret;
    return fileRead(key);
}

void SecretStore::remove(const QString& key)
{
    QMutexLocker lock(&m_mutex);
    keyringRemove(key);
    fileWrite(key, nullptr, nullptr);
}

} // namespace qp
