#include "check/ThreadedMailLibrary.h"

#include <QEventLoop>
#include <QSemaphore>

namespace qp {

struct ThreadedMailLibrary::Call {
    bool done = false;           // the answer is back (caller's thread only)
    QEventLoop* loop = nullptr;  // the loop waiting for it, while one does
};

ThreadedMailLibrary::ThreadedMailLibrary(std::unique_ptr<MailLibrary> library)
    : m_library(std::move(library))
{
    m_thread.setObjectName(QStringLiteral("mail"));
    m_worker = new QObject;
    m_worker->moveToThread(&m_thread);
    m_thread.start();
}

ThreadedMailLibrary::~ThreadedMailLibrary()
{
    // The library's connections belong to the worker's thread: end them there.
    QMetaObject::invokeMethod(m_worker, [this] { m_library.reset(); }, Qt::QueuedConnection);
    m_thread.quit();
    m_thread.wait();
    delete m_worker;
}

bool ThreadedMailLibrary::run(const std::function<void(MailLibrary&)>& work)
{
    if (m_abandoned)
        return false;
    auto call = std::make_shared<Call>();
    QObject* receiver = &m_receiver;
    // The work and its answer hold only what they own or share: a caller
    // that has given up may be gone when they run.
    QMetaObject::invokeMethod(
        m_worker,
        [library = m_library.get(), work, call, receiver] {
            work(*library);
            QMetaObject::invokeMethod(
                receiver,
                [call] {
                    call->done = true;
                    if (call->loop)
                        call->loop->quit();
                },
                Qt::QueuedConnection);
        },
        Qt::QueuedConnection);
    ++m_busy;
    m_calls.push_back(call);
    while (!call->done && !m_abandoned) {
        QEventLoop loop;
        call->loop = &loop;
        loop.exec();
        call->loop = nullptr;
        // Only the answer or abandon() end this loop; otherwise the
        // application is quitting, and no loop will wait any more.
        if (!call->done && !m_abandoned)
            abandon();
    }
    --m_busy;
    m_calls.pop_back();
    return call->done && !m_abandoned;
}

int ThreadedMailLibrary::runInt(const std::function<int(MailLibrary&)>& work)
{
    auto result = std::make_shared<int>(-1);
    if (!run([work, result](MailLibrary& library) { *result = work(library); }))
        return -1;
    return *result;
}

void ThreadedMailLibrary::abandon()
{
    m_abandoned = true;
    m_sessions.clear();
    for (const auto& call : m_calls)
        if (call->loop)
            call->loop->quit();
}

int ThreadedMailLibrary::NMailInitializeWinSock()
{
    return runInt([](MailLibrary& library) { return library.NMailInitializeWinSock(); });
}

int ThreadedMailLibrary::NMailEndWinSock()
{
    if (m_busy > 0 || m_abandoned) {
        // A server is being waited for: give the session up; the process's
        // end closes the connection.
        abandon();
        return 0;
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
        abandon();
    m_sessions.clear();
    return 0;
}

int ThreadedMailLibrary::NMailSetOption(int option, int value)
{
    return runInt([option, value](MailLibrary& library) { return library.NMailSetOption(option, value); });
}

int ThreadedMailLibrary::NMailPop3Connect(const QString& server)
{
    struct Out {
        int handle = -1;
        bool tls = false;
    };
    auto out = std::make_shared<Out>();
    m_lastConnectTls = false;
    if (!run([server, out](MailLibrary& library) {
            out->handle = library.NMailPop3Connect(server);
            out->tls = out->handle == -1 && library.lastConnectFailureIsTls();
        }))
        return -1;
    m_lastConnectTls = out->tls;
    if (out->handle != -1)
        m_sessions[out->handle] = true;
    return out->handle;
}

// The calls on a handle also bring back whether its session is still usable.
int ThreadedMailLibrary::NMailPop3Authenticate(int handle, const QString& id, const QString& password, int apop)
{
    return runLogin(handle, [=](MailLibrary& library) {
        return library.NMailPop3Authenticate(handle, id, password, apop);
    });
}

int ThreadedMailLibrary::authenticateWithToken(int handle, const QString& id,
                                               std::shared_ptr<OAuthTokenSource> source)
{
    // The source is called on the worker: getting a token may wait on the
    // network, as the login does.
    return runLogin(handle, [=](MailLibrary& library) { return library.authenticateWithToken(handle, id, source); });
}

int ThreadedMailLibrary::runLogin(int handle, const std::function<int(MailLibrary&)>& login)
{
    struct Out {
        bool usable = false;
        bool busy = false;
        bool tokenRefused = false;
        int delay = 0;
    };
    auto out = std::make_shared<Out>();
    const int result = runInt([=](MailLibrary& library) {
        const int r = login(library);
        out->usable = library.isSessionUsable(handle);
        out->busy = r < 0 && library.lastLoginWasBusy();
        out->tokenRefused = r < 0 && library.lastLoginTokenRefused();
        out->delay = r >= 0 ? library.loginDelaySeconds(handle) : 0;
        return r;
    });
    noteUsable(handle, out->usable);
    m_lastLoginBusy = out->busy;
    m_lastTokenRefused = out->tokenRefused;
    m_loginDelays[handle] = out->delay;
    return result;
}

int ThreadedMailLibrary::runOnSession(int handle, std::initializer_list<QString*> texts,
                                      const std::function<int(MailLibrary&, QString*)>& work)
{
    struct Out {
        int result = -1;
        QString text[5];
        bool usable = false;
    };
    auto out = std::make_shared<Out>();
    const bool answered = run([=](MailLibrary& library) {
        out->result = work(library, out->text);
        out->usable = library.isSessionUsable(handle);
    });
    noteUsable(handle, answered && out->usable);
    QString* from = out->text;
    for (QString* text : texts)
        *text = std::move(*from++);
    return answered ? out->result : -1;
}

int ThreadedMailLibrary::NMailPop3GetMailStatus(int handle, int number, QString& subject, QString& date,
                                                QString& from, QString& header, int flag)
{
    return runOnSession(handle, {&subject, &date, &from, &header}, [=](MailLibrary& library, QString* t) {
        return library.NMailPop3GetMailStatus(handle, number, t[0], t[1], t[2], t[3], flag);
    });
}

int ThreadedMailLibrary::NMailPop3GetMailSize(int handle, int number)
{
    return runOnSession(handle, {}, [=](MailLibrary& library, QString*) {
        return library.NMailPop3GetMailSize(handle, number);
    });
}

int ThreadedMailLibrary::NMailPop3GetMail(int handle, int number, QString& subject, QString& date, QString& from,
                                          QString& header, QString& body, int flag1, int flag2)
{
    return runOnSession(handle, {&subject, &date, &from, &header, &body}, [=](MailLibrary& library, QString* t) {
        return library.NMailPop3GetMail(handle, number, t[0], t[1], t[2], t[3], t[4], flag1, flag2);
    });
}

int ThreadedMailLibrary::NMailPop3Close(int handle)
{
    m_sessions.erase(handle);
    m_loginDelays.erase(handle);
    return runInt([handle](MailLibrary& library) { return library.NMailPop3Close(handle); });
}

int ThreadedMailLibrary::NMailGetMessage(int code, QString& buffer, int& size)
{
    struct Out {
        int result = -1;
        QString buffer;
        int size = 0;
    };
    auto out = std::make_shared<Out>();
    out->size = size;
    if (!run([code, out](MailLibrary& library) { out->result = library.NMailGetMessage(code, out->buffer, out->size); })) {
        buffer.clear();
        size = 0;
        return -1;
    }
    buffer = std::move(out->buffer);
    size = out->size;
    return out->result;
}

void ThreadedMailLibrary::planWalk(int handle, int count)
{
    run([handle, count](MailLibrary& library) { library.planWalk(handle, count); });
}

bool ThreadedMailLibrary::isSessionUsable(int handle) const
{
    const auto it = m_sessions.find(handle);
    return !m_abandoned && it != m_sessions.end() && it->second;
}

int ThreadedMailLibrary::loginDelaySeconds(int handle) const
{
    const auto it = m_loginDelays.find(handle);
    return it == m_loginDelays.end() ? 0 : it->second;
}

void ThreadedMailLibrary::noteUsable(int handle, bool usable)
{
    if (const auto it = m_sessions.find(handle); it != m_sessions.end())
        it->second = usable && !m_abandoned;
}

} // namespace qp
