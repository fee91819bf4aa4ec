#pragma once
#include "notify/SoundInterface.h"
#include "tests/support/FakeMailLibrary.h"

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

} // namespace qp::test
