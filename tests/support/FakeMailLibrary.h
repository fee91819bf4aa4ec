#pragma once
// A mail library that serves a fixed mailbox and logs its calls, in a log
// the test shares with its other fakes (the check's host, the sound device).
#include "mail/MailLibrary.h"

#include <QStringList>

#include <functional>
#include <utility>

namespace qp::test {

class FakeMailLibrary : public MailLibrary {
public:
    explicit FakeMailLibrary(QStringList& log) : m_log(log) {}

    QStringList senders;            // message m has sender senders[m - 1]
    QList<int> sizes;               // sizes[m - 1]; 100 when not given, -1 past the mailbox
    int connectResult = 1;
    QList<int> badStatus;           // messages whose header cannot be read
    int countOverride = -1;         // >= 0: the count login reports instead of senders.size()
    bool loginFails = false;
    bool loginBusy = false;         // with loginFails: refused for a busy mailbox
    int loginDelay = 0;             // LOGIN-DELAY after a successful login
    bool connectFailsOverTls = false; // with connectResult -1: a TLS failure
    int brokenFrom = 0;             // > 0: the session is lost from this message's status read on
    int plannedCount = -1;          // the count of the last planned walk
    QString errorText = QStringLiteral("ログインに失敗しました");
    QString serverNotice;           // handed out once by takeServerNotice
    QStringList headers; // the fourth buffer per message ("header" beyond)
    std::function<void(int)> onStatus; // runs inside GetMailStatus of message m
    std::function<void()> onEnd;       // runs inside EndWinSock
    QString lastId, lastPassword;
    int lastApop = 99;
    int calls = 0;

    // A mailbox of this many messages from one sender; a negative count: a
    // refused login.
    void setMessageCount(int count, const QString& from = QStringLiteral("someone@example.jp"))
    {
        loginFails = count < 0;
        senders = QStringList(qMax(count, 0), from);
    }

    int NMailInitializeWinSock() override { return m_log << QStringLiteral("init"), 0; }
    int NMailEndWinSock() override
    {
        m_log << QStringLiteral("end");
        if (onEnd)
            onEnd();
        return 0;
    }
    int NMailSetOption(int option, int value) override
    {
        return m_log << QStringLiteral("option:%1:%2").arg(option).arg(value), 0;
    }
    int NMailPop3Connect(const QString& server) override
    {
        ++calls;
        m_log << QStringLiteral("connect:") + server;
        return connectResult;
    }
    int NMailPop3Authenticate(int handle, const QString& id, const QString& password, int apop) override
    {
        ++calls;
        m_log << QStringLiteral("auth:%1").arg(handle);
        lastId = id;
        lastPassword = password;
        lastApop = apop;
        return loginFails ? -1 : countOverride >= 0 ? countOverride : int(senders.size());
    }
    int authenticateWithToken(int handle, const QString& id, std::shared_ptr<qp::OAuthTokenSource>) override
    {
        m_log << QStringLiteral("token:%1:%2").arg(handle).arg(id);
        return -1;
    }
    int NMailPop3GetMailStatus(int, int number, QString& b1, QString& b2, QString& from, QString& b4, int) override
    {
        ++calls;
        m_log << QStringLiteral("status:%1").arg(number);
        lastStatus = number;
        if (onStatus)
            onStatus(number);
        // A failed read leaves the buffers as they were.
        if (number < 1 || number > senders.size() || badStatus.contains(number))
            return -1;
        b1 = QStringLiteral("subject");
        b2 = QStringLiteral("date");
        from = senders[number - 1];
        b4 = number <= headers.size() ? headers[number - 1] : QStringLiteral("header");
        return 0;
    }
    int NMailPop3GetMailSize(int, int number) override
    {
        ++calls;
        m_log << QStringLiteral("size:%1").arg(number);
        if (number - 1 < sizes.size())
            return sizes[number - 1];
        return number <= senders.size() ? 100 : -1;
    }
    int NMailPop3GetMail(int, int number, QString&, QString&, QString&, QString&, QString& body, int, int) override
    {
        ++calls;
        m_log << QStringLiteral("get:%1").arg(number);
        body = QStringLiteral("body");
        return 0;
    }
    int NMailPop3Close(int handle) override
    {
        ++calls;
        m_log << QStringLiteral("close:%1").arg(handle);
        return 0;
    }
    bool lastConnectFailureIsTls() const override { return connectResult == -1 && connectFailsOverTls; }
    void planWalk(int, int count) override { plannedCount = count; }
    bool isSessionUsable(int) const override { return brokenFrom <= 0 || lastStatus < brokenFrom; }
    bool lastLoginWasBusy() const override { return loginFails && loginBusy; }
    int loginDelaySeconds(int) const override { return loginDelay; }
    QString takeServerNotice(int) override { return std::exchange(serverNotice, QString()); }
    int NMailGetMessage(int code, QString& buffer, int& size) override
    {
        ++calls;
        m_log << QStringLiteral("message:%1:%2").arg(code).arg(size);
        buffer = errorText + QChar(u'\0') + QStringLiteral("garbage");
        return 0;
    }

private:
    QStringList& m_log;
    int lastStatus = 0;
};

} // namespace qp::test
