#include "SecretStore.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QPointer>
#include <QTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSemaphore>
#include <QThread>

#include <qt6keychain/keychain.h>

#include "platform/AtomicFile.h"

namespace qp {

namespace {

// What a keyring job came back with; shared with the job's handler, which
// may run after the caller gave up waiting.
struct JobResult {
    QSemaphore done;
    QKeychain::Error error = QKeychain::OtherError;
    QByteArray data;
    QPointer<QEventLoop> waiting; // the application's thread waits in it
};

} // namespace

SecretStore::SecretStore(QString fallbackPath, QString service)
    : m_fallbackPath(std::move(fallbackPath)), m_service(std::move(service))
{
}

SecretStore::Keyring SecretStore::keyringCall(Op op, const QString& key, const QByteArray& secret, QByteArray* out)
{
    auto result = std::make_shared<JobResult>();
    const QString service = m_service;
    // QtKeychain runs its jobs one at a time through an object of its own
    // that lives on the application's thread: each job is made and started
    // there, whatever thread asks.
    auto start = [result, service, op, key, secret] {
        QKeychain::Job* job = nullptr;
        if (op == Op::Read)
            job = new QKeychain::ReadPasswordJob(service);
        else if (op == Op::Write)
            job = new QKeychain::WritePasswordJob(service);
        else
            job = new QKeychain::DeletePasswordJob(service);
        job->setAutoDelete(true);
        job->setKey(key);
        if (auto* w = qobject_cast<QKeychain::WritePasswordJob*>(job))
            w->setBinaryData(secret);
        QObject::connect(job, &QKeychain::Job::finished, job, [result](QKeychain::Job* j) {
            result->error = j->error();
            if (auto* r = qobject_cast<QKeychain::ReadPasswordJob*>(j))
                result->data = r->binaryData();
            result->done.release();
            if (result->waiting)
                result->waiting->quit();
        });
        job->start();
    };
    QCoreApplication* app = QCoreApplication::instance();
    if (!app)
        return Keyring::Unavailable;
    if (QThread::currentThread() == app->thread()) {
        QEventLoop loop;
        QTimer::singleShot(m_timeoutMs, &loop, &QEventLoop::quit);
        result->waiting = &loop;
        start();
        if (result->done.available() == 0)
            loop.exec();
        if (!result->done.tryAcquire())
            return Keyring::Unavailable;
    } else {
        QMetaObject::invokeMethod(app, start, Qt::QueuedConnection);
        if (!result->done.tryAcquire(1, m_timeoutMs))
            return Keyring::Unavailable;
    }
    if (result->error == QKeychain::EntryNotFound)
        return Keyring::NotFound;
    if (result->error != QKeychain::NoError)
        return Keyring::Unavailable;
    if (out)
        *out = result->data;
    return Keyring::Ok;
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

void SecretStore::setFallbackPath(const QString& path)
{
    QMutexLocker lock(&m_mutex);
    if (path == m_fallbackPath)
        return;
    m_fallbackPath = path;
    m_told = false;
}

SecretStore::Outcome SecretStore::write(const QString& key, const QByteArray& secret)
{
    QMutexLocker lock(&m_mutex);
    Outcome o;
    if (keyringCall(Op::Write, key, secret, nullptr) == Keyring::Ok) {
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
    if (keyringCall(Op::Read, key, {}, &secret) == Keyring::Ok)
        return secret;
    return fileRead(key);
}

void SecretStore::remove(const QString& key)
{
    QMutexLocker lock(&m_mutex);
    keyringCall(Op::Remove, key, {}, nullptr);
    fileWrite(key, nullptr, nullptr);
}

} // namespace qp
