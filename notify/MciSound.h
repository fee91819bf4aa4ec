#pragma once
#include "notify/FluidTunePlayer.h"
#include "notify/SoundInterface.h"

#include <memory>

namespace qp {

// The command-string sound interface over FluidSynth. It understands the
// program's six commands (see MciCommand.h) for one device at a time:
//   open "<path>" alias <name>  reads and checks the MIDI file; refused while
//                               a device is open, or when the file is missing,
//                               too large or not a well-formed MIDI file
//   play <name>                 starts playing and returns at once
//   play <name> from 0          plays again from the beginning
//   status <name> mode          reply "playing", or "stopped" once the tune
//                               has ended or was stopped
//   stop <name>, close <name>
// A command naming an alias that is not open is refused and changes nothing.
// The path may be written with backslashes ("{P}\Sound\Kouka.mid"); it is
// mapped onto the local file system, each component matched without regard
// to case.
class MciSound : public SoundInterface {
public:
    enum Error {
        NoError = 0,
        UnrecognizedCommand,
        AliasNotOpen,
        AliasInUse,
        FileNotFound,
        InvalidFile,
        DeviceFailure,
    };

    explicit MciSound(FluidTunePlayer::Output output = FluidTunePlayer::Output::Automatic,
                      QString soundFontPath = FluidTunePlayer::defaultSoundFont());
    ~MciSound() override;

    int mciSendString(const QString& command, QString* reply = nullptr) override;

    // The alias of the open device, empty when none is open.
    QString openAlias() const { return m_alias; }
    FluidTunePlayer& player() { return *m_player; }

    // A local path for a path as the program writes it.
    static QString localPath(const QString& path);

private:
    std::unique_ptr<FluidTunePlayer> m_player;
    QString m_alias;
};

} // namespace qp
