#include "notify/MciSound.h"

#include "notify/MciCommand.h"
#include "notify/MidiFileCheck.h"
#include "platform/PathResolver.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace qp {

namespace {
// A tune is a few kilobytes; anything this large is not one.
constexpr qint64 kLargestTune = 8 * 1024 * 1024;
} // namespace

MciSound::MciSound(FluidTunePlayer::Output output, QString soundFontPath)
    : m_player(std::make_unique<FluidTunePlayer>(output, std::move(soundFontPath)))
{
}

MciSound::~MciSound() = default;

QString MciSound::localPath(const QString& path)
{
    if (QFileInfo::exists(path))
        return path;
    QString slashed = path;
    slashed.replace(QLatin1Char('\\'), QLatin1Char('/'));
    if (slashed.startsWith(QLatin1Char('/')))
        return resolvePath(QStringLiteral("/"), slashed);
    return resolvePath(QDir::currentPath(), slashed);
}

int MciSound::mciSendString(const QString& command, QString* reply)
{
    if (reply)
        reply->clear();
    const std::optional<MciCommand> parsed = parseMciCommand(command);
    if (!parsed)
        return UnrecognizedCommand;

    if (parsed->verb == MciCommand::Verb::Open) {
        if (!m_alias.isEmpty())
            return AliasInUse;
        QFile file(localPath(parsed->path));
        if (!file.exists())
            return FileNotFound;
        if (file.size() > kLargestTune || !file.open(QIODevice::ReadOnly))
            return InvalidFile;
        const QByteArray data = file.readAll();
        if (!isWellFormedMidiFile(data))
            return InvalidFile;
        if (!m_player->open(data))
            return DeviceFailure;
        m_alias = parsed->alias;
        return NoError;
    }

    if (m_alias.isEmpty() || parsed->alias.compare(m_alias, Qt::CaseInsensitive) != 0)
        return AliasNotOpen;

    switch (parsed->verb) {
    case MciCommand::Verb::Play:
        m_player->play();
        break;
    case MciCommand::Verb::PlayFromStart:
        m_player->playFromStart();
        break;
    case MciCommand::Verb::StatusMode:
        if (reply)
            *reply = m_player->isPlaying() ? QStringLiteral("playing") : QStringLiteral("stopped");
        break;
    case MciCommand::Verb::Stop:
        m_player->stop();
        break;
    case MciCommand::Verb::Close:
        m_player->close();
        m_alias.clear();
        break;
    case MciCommand::Verb::Open:
        break;
    }
    return NoError;
}

} // namespace qp
