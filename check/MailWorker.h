#pragma once
#include "mail/MailLibrary.h"

#include <QObject>
#include <QThread>

#include <functional>
#include <memory>

namespace qp {

// Where the mail library's calls are made. A check hands the worker one
// piece of work at a time (a whole session's worth where it can) and goes
// on from the answer, which comes back on the check's own thread: nothing
// waits for the library in a nested event loop, so a box or a menu the user
// opens never holds a check.
class MailWorker {
public:
    virtual ~MailWorker() = default;

    // Runs work with the library, then answer on the calling thread (when
    // given). Pieces run one at a time in the order posted. After abandon()
    // no answer comes any more, so a caller that is gone is never called;
    // what the work wrote is read only from inside its answer.
    virtual void post(std::function<void(MailLibrary&)> work, std::function<void()> answer = {}) = 0;

    // NMailEndWinSock for the program's end. A session in progress is given
    // up at once (its connection ends with the process); otherwise the
    // library says goodbye to the servers within a short bound.
    virtual void end() = 0;
};

// The library called on the caller's own thread, each piece and its answer
// at once. For tests and tools whose library answers without a network wait.
class InlineMailWorker : public MailWorker {
public:
    explicit InlineMailWorker(std::unique_ptr<MailLibrary> library)
        : m_owned(std::move(library)), m_library(*m_owned) {}
    // A library that outlives the worker.
    explicit InlineMailWorker(MailLibrary& library) : m_library(library) {}
    void post(std::function<void(MailLibrary&)> work, std::function<void()> answer = {}) override;
    void end() override { m_library.NMailEndWinSock(); }
    MailLibrary& library() { return m_library; }

private:
    std::unique_ptr<MailLibrary> m_owned;
    MailLibrary& m_library;
};

// The library on a thread of its own, which owns it and every connection it
// opens. The window's thread only posts work and receives answers through
// its event loop.
//
//   services.mail = std::make_unique<ThreadedMailWorker>(std::make_unique<NMail>());
//
// Closing the program during a session: end() abandons it at once; the
// piece in progress finishes (or not) unseen, no answer comes, and nothing
// waits for the thread, which the process's end takes down with its
// connection. With nothing in progress, end() lets the library close what
// is open (QUIT, LOGOUT), within kEndWaitMs.
class ThreadedMailWorker : public MailWorker {
public:
    // Short enough that shutdown stays well inside the two seconds a desktop
    // session gives a program at logout.
    static constexpr int kEndWaitMs = 500;

    explicit ThreadedMailWorker(std::unique_ptr<MailLibrary> library);
    // Waits for the piece in progress unless abandoned, then ends the thread.
    ~ThreadedMailWorker() override;

    void post(std::function<void(MailLibrary&)> work, std::function<void()> answer = {}) override;
    void end() override;

private:
    struct Shared;
    std::unique_ptr<MailLibrary> m_library;
    QThread m_thread;
    QObject* m_worker = nullptr; // lives on m_thread
    QObject m_receiver;          // lives on the caller's thread
    std::shared_ptr<Shared> m_shared;
    int m_pending = 0; // posted, answer not yet back
};

} // namespace qp
