#include "check/MailWorker.h"

#include <QSemaphore>

#include <atomic>

namespace qp {

void InlineMailWorker::post(std::function<void(MailLibrary&)> work, std::function<void()> answer)
{
    work(m_library);
    if (answer)
        answer();
}

// What the posted pieces share with the worker object: they may outlive it
// (a piece still queued when the program ends).
struct ThreadedMailWorker::Shared {
    std::atomic<bool> abandoned = false;
};

ThreadedMailWorker::ThreadedMailWorker(std::unique_ptr<MailLibrary> library)
    : m_library(std::move(library)), m_shared(std::make_shared<Shared>())
{
    m_thread.setObjectName(QStringLiteral("mail"));
    m_worker = new QObject;
    m_worker->moveToThread(&m_thread);
    m_thread.start();
}

ThreadedMailWorker::~ThreadedMailWorker()
{
    // The library's connections belong to the worker's thread: end them there.
    QMetaObject::invokeMethod(m_worker, [this] { m_library.reset(); }, Qt::QueuedConnection);
    m_thread.quit();
    m_thread.wait();
    delete m_worker;
}

void ThreadedMailWorker::post(std::function<void(MailLibrary&)> work, std::function<void()> answer)
{
    if (m_shared->abandoned)
        return;
    ++m_pending;
    // The piece holds only what it owns or shares: the caller may be gone
    // when it runs. Its answer is queued to the caller's thread after the
    // work is over, so whatever the work wrote is complete when it is read.
    QMetaObject::invokeMethod(
        m_worker,
        [library = m_library.get(), work = std::move(work), answer = std::move(answer), shared = m_shared,
         receiver = &m_receiver, pending = &m_pending] {
            if (shared->abandoned)
                return;
            work(*library);
            QMetaObject::invokeMethod(
                receiver,
                [answer, shared, pending] {
                    if (shared->abandoned)
                        return;
                    --*pending;
                    if (answer)
                        answer();
                },
                Qt::QueuedConnection);
        },
        Qt::QueuedConnection);
}

void ThreadedMailWorker::end()
{
    if (m_pending > 0 || m_shared->abandoned) {
        // A server is being talked to: give the session up; the process's
        // end closes the connection.
        m_shared->abandoned = true;
        return;
    }
    // Nothing in progress: the worker closes what is open, politely but
    // within a bound, and not through the event loop (this is shutdown).
    auto finished = std::make_shared<QSemaphore>();
    QMetaObject::invokeMethod(
        m_worker,
        [library = m_library.get(), finished] {
            library->NMailEndWinSock();
            finished->release();
        },
        Qt::QueuedConnection);
    if (!finished->tryAcquire(1, kEndWaitMs))
        m_shared->abandoned = true;
}

} // namespace qp
