#pragma once
#include "mail/NMail.h"

#include <QObject>
#include <QThread>

#include <functional>
#include <initializer_list>
#include <map>
#include <vector>
#include <memory>

class QEventLoop;

namespace qp {

// The mail library with its network waits on a thread of their own. Each
// call is handed to a worker thread that owns the real library, and the
// calling (window's) thread sleeps in its event loop until the answer is
// back: the window repaints, timers tick, the close box, the tray and
// signals are handled while a server takes its time. The caller sees the
// same calls in the same order with the same results as if it called the
// real library itself.
//
//   services.mail = std::make_unique<ThreadedMailLibrary>(std::make_unique<NMail>());
//
// Handlers that run during a call must not start another check; CheckMail's
// guard drops such a request. A call made from inside such a handler all
// the same is served in turn (the worker does one call at a time).
//
// Closing the program during a call: NMailEndWinSock (or abandon) gives the
// session up at once. The call in progress returns failure to its caller as
// soon as the window's thread gets back to it, every later call fails at
// once, and nothing waits for the worker, which the process's end takes
// down with its connection. When no call is in progress, NMailEndWinSock
// lets the worker close what is open (QUIT, LOGOUT), within kEndWaitMs.
class ThreadedMailLibrary : public MailLibrary {
public:
    // How long NMailEndWinSock waits for the worker to say goodbye to the
    // servers when it is free: short enough that shutdown stays well inside
    // the two seconds a desktop session gives a program at logout.
    static constexpr int kEndWaitMs = 500;

    explicit ThreadedMailLibrary(std::unique_ptr<MailLibrary> library);
    // Waits for the call in progress, then ends the worker.
    ~ThreadedMailLibrary() override;

    int NMailInitializeWinSock() override;
    int NMailEndWinSock() override;
    int NMailSetOption(int option, int value) override;
    int NMailPop3Connect(const QString& server) override;
    int NMailPop3Authenticate(int handle, const QString& id, const QString& password, int apop) override;
    int NMailPop3GetMailStatus(int handle, int number, QString& subject, QString& date, QString& from,
                               QString& header, int flag) override;
    int NMailPop3GetMailSize(int handle, int number) override;
    int NMailPop3GetMail(int handle, int number, QString& subject, QString& date, QString& from,
                         QString& header, QString& body, int flag1, int flag2) override;
    int NMailPop3Close(int handle) override;
    int NMailGetMessage(int code, QString& buffer, int& size) override;
    bool lastConnectFailureIsTls() const override { return m_lastConnectTls; }
    void planWalk(int handle, int count) override;
    bool isSessionUsable(int handle) const override;
    bool lastLoginWasBusy() const override { return m_lastLoginBusy; }
    int authenticateWithToken(int handle, const QString& id, std::shared_ptr<OAuthTokenSource> source) override;
    bool lastLoginTokenRefused() const override { return m_lastTokenRefused; }
    int loginDelaySeconds(int handle) const override;

    // Gives every session up: see the class comment. For the program's end.
    void abandon();
    bool isAbandoned() const { return m_abandoned; }
    // A call is being served by the worker now.
    bool isBusy() const { return m_busy > 0; }

private:
    struct Call;
    // Runs work on the worker and waits for it in the event loop. False when
    // the answer did not come (abandoned, or the application is quitting).
    bool run(const std::function<void(MailLibrary&)>& work);
    // The same, for a call with an int result and failure -1.
    int runInt(const std::function<int(MailLibrary&)>& work);
    // A login call; keeps what the check asks about a login afterwards.
    int runLogin(int handle, const std::function<int(MailLibrary&)>& login);
    // A call on a session's handle that fills up to five texts: the texts
    // and whether the session is still usable come back with the result.
    int runOnSession(int handle, std::initializer_list<QString*> texts,
                     const std::function<int(MailLibrary&, QString*)>& work);
    void noteUsable(int handle, bool usable);

    std::unique_ptr<MailLibrary> m_library;
    QThread m_thread;
    QObject* m_worker = nullptr; // lives on m_thread
    QObject m_receiver;          // lives on the caller's thread
    std::vector<std::shared_ptr<Call>> m_calls; // waiting now, innermost last
    int m_busy = 0;
    bool m_abandoned = false;
    bool m_lastConnectTls = false;
    bool m_lastLoginBusy = false;
    bool m_lastTokenRefused = false;
    std::map<int, int> m_loginDelays; // seconds, by handle, as learnt at login
    // Open handles, and whether each session was still usable after its last call.
    std::map<int, bool> m_sessions;
};

} // namespace qp
