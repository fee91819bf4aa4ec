#include "check/PushWatcher.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QElapsedTimer>

#include <algorithm>
#include <atomic>
#include <iterator>
#include <optional>

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace qp {

// One watch of one account: what its thread and the watcher share. The
// thread co-owns it, so it outlives a watcher that moved on.
struct PushWatcher::Run {
    Account account;
    MailEndpoint endpoint;
    MailSessionSetup setup;
    int reIdleMs = ImapIdle::kReIdleMs;
    int silenceMs = ImapIdle::kSilenceMs;
    QPointer<PushWatcher> owner; // read on the owner's thread only
    std::atomic<bool> stopping{false};
    std::atomic<bool> reconnect{false};
    std::atomic<int> state{int(State::Connecting)};
    std::atomic<int> sessions{0};
    // Readable when the thread is to look at stopping and reconnect: it
    // ends the wait on the server (or the pause between tries) at once.
    int wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);

    ~Run()
    {
        if (wakeFd >= 0)
            ::close(wakeFd);
    }
    void wake()
    {
        const quint64 one = 1;
        [[maybe_unused]] const ssize_t n = ::write(wakeFd, &one, sizeof one);
    }
    void drain()
    {
        quint64 count = 0;
        [[maybe_unused]] const ssize_t n = ::read(wakeFd, &count, sizeof count);
    }
    // Sleeps ms, or less when woken.
    void pause(int ms)
    {
        pollfd p{wakeFd, POLLIN, 0};
        ::poll(&p, 1, ms);
    }
};

PushWatcher::PushWatcher(QObject* parent) : QObject(parent)
{
    m_coalesce.setSingleShot(true);
    m_coalesce.setInterval(kCoalesceMs);
    connect(&m_coalesce, &QTimer::timeout, this, &PushWatcher::checkWanted);
}

PushWatcher::~PushWatcher()
{
    stop();
    for (const QPointer<QThread>& thread : std::as_const(m_threads)) {
        if (thread) {
            thread->wait();
            delete thread.data();
        }
    }
}

void PushWatcher::watch(const Account& account)
{
    const std::optional<MailEndpoint> endpoint = parseImapServer(account.server);
    if (!endpoint || account.id.isEmpty() || account.password.isEmpty()) {
        stop();
        return;
    }
    if (m_run && m_run->account == account)
        return;
    stop();
    auto run = std::make_shared<Run>();
    run->account = account;
    run->endpoint = *endpoint;
    run->setup = m_setup;
    run->reIdleMs = m_reIdleMs;
    run->silenceMs = m_silenceMs;
    run->owner = this;
    if (run->wakeFd < 0)
        return; // without a way to stop it, no thread is started
    m_run = run;
    QThread* thread = QThread::create([run] { work(run); });
    thread->setObjectName(QStringLiteral("push"));
    connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    m_threads.removeAll(nullptr);
    m_threads.append(thread);
    thread->start();
}

void PushWatcher::stop()
{
    if (!m_run)
        return;
    m_run->stopping = true;
    m_run->wake();
    m_run.reset(); // its thread ends on its own; nothing here waits for it
}

void PushWatcher::reconnectNow()
{
    if (!m_run)
        return;
    m_run->reconnect = true;
    m_run->wake();
}

void PushWatcher::shutdown()
{
    if (!m_run)
        return;
    const QPointer<QThread> thread = m_threads.isEmpty() ? nullptr : m_threads.constLast();
    stop();
    if (thread)
        thread->wait(QDeadlineTimer(kGoodbyeMs));
}

PushWatcher::State PushWatcher::state() const
{
    return m_run ? State(m_run->state.load()) : State::Off;
}

int PushWatcher::sessions() const
{
    return m_run ? m_run->sessions.load() : 0;
}

void PushWatcher::changed()
{
    if (!m_coalesce.isActive())
        m_coalesce.start();
}

void PushWatcher::followSystemEvents()
{
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected())
        return;
    bus.connect(QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
                QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("PrepareForSleep"), this,
                SLOT(prepareForSleep(bool)));
    bus.connect(QStringLiteral("org.freedesktop.NetworkManager"), QStringLiteral("/org/freedesktop/NetworkManager"),
                QStringLiteral("org.freedesktop.NetworkManager"), QStringLiteral("StateChanged"), this,
                SLOT(networkStateChanged(uint)));
}

void PushWatcher::prepareForSleep(bool sleeping)
{
    // The monotonic clock stood still while asleep: every wait would run
    // its whole length again on a connection that is most likely gone.
    if (!sleeping)
        reconnectNow();
}

void PushWatcher::networkStateChanged(uint state)
{
    // NM_STATE_CONNECTED_LOCAL, _SITE and _GLOBAL: a route that may reach
    // the server (a server on the local network needs no more).
    if (state >= 50)
        reconnectNow();
}

void PushWatcher::work(const std::shared_ptr<Run>& run)
{
    // What the watcher is to do goes to its thread; a watcher that moved
    // on to another account (or is gone) hears nothing of this one.
    const auto post = [run](const std::function<void(PushWatcher&)>& f) {
        QCoreApplication* app = QCoreApplication::instance();
        if (!app)
            return;
        QMetaObject::invokeMethod(
            app, [run, f] {
                if (run->owner && run->owner->m_run == run)
                    f(*run->owner);
            },
            Qt::QueuedConnection);
    };
    int failures = 0;
    bool told = false;
    std::optional<ImapIdle::Mailbox> seen;
    while (!run->stopping) {
        run->reconnect = false;
        run->drain();
        run->state = int(State::Connecting);
        ImapIdle idle;
        run->setup.applyTo(idle.client());
        idle.setTiming(run->reIdleMs, run->silenceMs);
        QElapsedTimer lasted;
        lasted.start();
        if (idle.open(run->endpoint, run->account.id, run->account.password)) {
            ++run->sessions;
            told = false;
            // What changed while no session watched (asleep, disconnected)
            // was reported to nobody.
            if (seen && *seen != idle.mailbox())
                post([](PushWatcher& w) { w.changed(); });
            seen = idle.mailbox();
            run->state = int(State::Watching);
            const ImapIdle::Stop stop = idle.watch(run->wakeFd, [&post] { post([](PushWatcher& w) { w.changed(); }); });
            idle.logout();
            if (stop == ImapIdle::Stop::Woken)
                continue; // stop or reconnect, which the loop looks at
            if (lasted.elapsed() >= kSteadyMs)
                failures = 0;
        } else {
            idle.logout();
            if (idle.failure() == ImapIdle::Failure::Refused && !told) {
                told = true;
                post([text = idle.errorText()](PushWatcher& w) { emit w.loginRefused(text); });
            }
        }
        if (idle.failure() == ImapIdle::Failure::Unsupported) {
            // The interval checks this server; nothing to try again.
            run->state = int(State::Unsupported);
            return;
        }
        if (run->stopping)
            break;
        if (run->reconnect) {
            failures = 0;
            continue;
        }
        run->state = int(State::Pausing);
        const int last = int(std::size(kBackoffMs)) - 1;
        run->pause(kBackoffMs[std::min(failures, last)]);
        ++failures;
    }
    run->state = int(State::Off);
}

} // namespace qp
