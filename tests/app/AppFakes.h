#pragma once
#include "mail/NMail.h"
#include "notify/SoundInterface.h"

#include <QStringList>
#include <functional>

namespace qp::test {

// Records every call in one shared journal, so tests can check the order of
// sound commands, settings writes and mail-library calls.
struct Journal {
    QStringList entries;
};

class RecordingSound : public SoundInterface {
public:
    explicit RecordingSound(Journal& journal) : m_journal(journal) {}
    int mciSendString(const QString& command, QString* reply) override
    {
        m_journal.entries << QStringLiteral("sound: ") + command;
        if (command.startsWith(QLatin1String("open ")))
            m_open = true;
        else if (command == QLatin1String("close bgm"))
            m_open = false;
        if (reply)
            *reply = m_open ? QStringLiteral("playing") : QString();
        return 0;
    }
    bool isOpen() const { return m_open; }

private:
    Journal& m_journal;
    bool m_open = false;
};

// A mail library that knows a fixed mailbox and records the calls.
class ScriptedMail : public MailLibrary {
public:
    explicit ScriptedMail(Journal& journal) : m_journal(journal) {}
    int messages = 0;
    QString errorText = QStringLiteral("ログインできませんでした。");
    QString sender = QStringLiteral("someone@example.jp");
    std::function<void()> onEnd;

    int NMailInitializeWinSock() override { return log("init"), 0; }
    int NMailEndWinSock() override
    {
        log("end");
        if (onEnd)
            onEnd();
        return 0;
    }
    int NMailSetOption(int option, int value) override
    {
        return log(QStringLiteral("option %1 %2").arg(option).arg(value)), 0;
    }
    int NMailPop3Connect(const QString& server) override { return log("connect " + server), 1; }
    int NMailPop3Authenticate(int, const QString& id, const QString&, int) override
    {
        log("login " + id);
        return messages;
    }
    int NMailPop3GetMailStatus(int, int n, QString&, QString&, QString& from, QString&, int) override
    {
        log(QStringLiteral("status %1").arg(n));
        from = sender;
        return 0;
    }
    int NMailPop3GetMailSize(int, int) override { return 10; }
    int NMailPop3GetMail(int, int n, QString&, QString&, QString&, QString&, QString&, int, int) override
    {
        return log(QStringLiteral("retr %1").arg(n)), 0;
    }
    int NMailPop3Close(int) override { return log("close"), 0; }
    int NMailGetMessage(int, QString& buffer, int&) override
    {
        buffer = errorText;
        return 0;
    }

private:
    void log(const QString& s) { m_journal.entries << QStringLiteral("mail: ") + s; }
    Journal& m_journal;
};

} // namespace qp::test
