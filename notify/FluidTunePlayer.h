#pragma once
#include <QByteArray>
#include <QString>

#include <memory>

namespace qp {

// Plays one MIDI tune at a time with FluidSynth and a General MIDI SoundFont.
//
// Costs are paid as late as possible and the expensive part is kept: the
// synthesizer and its SoundFont are created on the first open and kept for
// the rest of the run; each open only hands the file to a new player.
//
// One output drives the synthesizer: FluidSynth's own audio driver when a
// sound device opens, otherwise our silent clock thread, which renders into
// nothing at real-time pace so that the tune still takes its real time and
// ends. The device is opened at the first play and kept until the tune is
// closed, so a repeat starts on the same stream; the silent clock runs only
// while the tune plays. No output exists while no tune is open.
//
// The tune has ended when the player reaches the tick of its last event,
// read from the file itself: FluidSynth's own end comes seconds later, once
// every note has died away. A device that stops taking sound while the tune
// plays (the sound server went away, the headset was pulled) is given up for
// this tune and the silent clock carries on from where it was; the next
// open tries the device again.
//
// All calls come from one thread (the user-interface thread).
class FluidTunePlayer {
public:
    enum class Output {
        Automatic,  // a sound device if one opens, otherwise the silent clock
        SilentClock // always the silent clock (tests, machines without sound)
    };
    enum class Sink { None, AudioDevice, SilentClock };

    static QString defaultSoundFont(); // Debian's General MIDI SoundFont

    explicit FluidTunePlayer(Output output = Output::Automatic,
                             QString soundFontPath = defaultSoundFont());
    ~FluidTunePlayer();
    FluidTunePlayer(const FluidTunePlayer&) = delete;
    FluidTunePlayer& operator=(const FluidTunePlayer&) = delete;

    // Replaces any open tune with this Standard MIDI File (already checked).
    bool open(const QByteArray& midiFile);
    bool isOpen() const;

    // Starts the tune; a tune that has ended starts again from its beginning.
    void play();
    // Starts the tune again from its beginning, whatever its state.
    void playFromStart();
    // Silences the tune at once; it stays open.
    void stop();
    // Stops and forgets the tune; the synthesizer stays loaded.
    void close();

    // True from play until the tune has ended or was stopped. This is where
    // the end and a dead device are noticed.
    bool isPlaying();

    // The tick of the open tune's last event.
    int endTick() const;

    // Where the tune is, in MIDI ticks; it moves only while the tune plays.
    int currentTick() const;

    Sink sink() const;
    bool synthesizerLoaded() const;
    bool soundFontLoaded() const;

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

} // namespace qp
