#include "notify/FluidTunePlayer.h"

#include "notify/MidiFileCheck.h"

#include <alsa/asoundlib.h>
#include <fluidsynth.h>

#include <QFile>
#include <QFileInfo>

#include <algorithm>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace qp {

namespace {

constexpr double kSampleRate = 44100.0;
// About 23 ms of sound per wake-up of the silent clock.
constexpr int kSilentBlockFrames = 1024;
constexpr int kDevicePeriodFrames = 2048;
constexpr int kDevicePeriods = 2;

// A device that takes no sound for this long while a tune plays is dead. A
// new stream may wait for the server's first request for longer (a sound
// server's idle sink can sleep for about two seconds).
constexpr auto kDeviceSilenceLimit = std::chrono::milliseconds(1000);
constexpr auto kDeviceFirstSoundLimit = std::chrono::milliseconds(5000);

void discardLog(int, const char*, void*) {}

void discardAlsaError(const char*, int, const char*, int, const char*, ...) {}

// FluidSynth reports every audio driver that fails to open on stderr, and
// the ALSA library prints its own lines for every card it cannot find; the
// program has no log and a missing sound device is an expected state here.
// Both libraries' own handlers are replaced, so stderr stays free for
// anything else.
void quietSoundLibrariesOnce()
{
    static std::once_flag once;
    std::call_once(once, [] {
        for (int level : {FLUID_ERR, FLUID_WARN, FLUID_INFO, FLUID_DBG})
            fluid_set_log_function(level, discardLog, nullptr);
        snd_lib_error_set_handler(discardAlsaError);
    });
}

void collectOption(void* data, const char*, const char* option)
{
    static_cast<std::vector<std::string>*>(data)->emplace_back(option);
}

} // namespace

// Renders the synthesizer into a scratch buffer at real-time pace. The
// player advances only while the synthesizer renders, so this is what makes
// a tune take its real length when no sound device exists. The thread ends
// by itself once the player has stopped or reached the tune's last tick.
class SilentClock {
public:
    SilentClock(fluid_synth_t* synth, fluid_player_t* player, int endTick)
        : m_synth(synth), m_player(player), m_endTick(endTick), m_thread([this] { run(); }) {}

    ~SilentClock()
    {
        {
            std::lock_guard lock(m_mutex);
            m_quit = true;
        }
        m_wake.notify_all();
        m_thread.join();
    }

    bool finished() const
    {
        std::lock_guard lock(m_mutex);
        return m_finished;
    }

private:
    void run()
    {
        using namespace std::chrono;
        std::vector<float> left(kSilentBlockFrames), right(kSilentBlockFrames);
        const auto block = duration_cast<steady_clock::duration>(
            duration<double>(kSilentBlockFrames / kSampleRate));
        auto next = steady_clock::now();
        std::unique_lock lock(m_mutex);
        while (!m_quit) {
            lock.unlock();
            // Rendering first also carries out a pending jump to the start.
            fluid_synth_write_float(m_synth, kSilentBlockFrames, left.data(), 0, 1, right.data(), 0, 1);
            lock.lock();
            if (fluid_player_get_status(m_player) != FLUID_PLAYER_PLAYING
                || fluid_player_get_current_tick(m_player) >= m_endTick)
                break;
            next += block;
            const auto now = steady_clock::now();
            if (now - next > seconds(1))
                next = now; // after a long stall (suspend) do not race to catch up
            m_wake.wait_until(lock, next, [this] { return m_quit; });
        }
        m_finished = true;
    }

    fluid_synth_t* m_synth;
    fluid_player_t* m_player;
    const int m_endTick;
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_quit = false;
    bool m_finished = false;
    std::thread m_thread; // last: starts after the members above exist
};

struct FluidTunePlayer::Impl {
    Output output;
    QString soundFontPath;
    fluid_settings_t* settings = nullptr;
    fluid_synth_t* synth = nullptr;
    bool soundFontLoaded = false;
    fluid_player_t* player = nullptr;
    int endTick = 0;
    fluid_audio_driver_t* driver = nullptr;
    std::unique_ptr<SilentClock> silentClock;
    // Once the device failed to open or died, this tune stays on the
    // silent clock instead of probing every driver again each loop.
    bool noDeviceForThisTune = false;
    enum class State { Opened, Playing, Stopped, Ended } state = State::Opened;
    // A jump to the start is carried out at the next rendering; until the
    // player's tick has dropped below the end, the old tick means nothing.
    bool restartPending = false;
    // When the player's tick last moved while a device was rendering, and
    // whether the open device has taken any sound yet.
    int lastTick = -1;
    std::chrono::steady_clock::time_point lastProgress;
    bool deviceTookSound = false;

    bool ensureSynth()
    {
        if (!synth) {
            quietSoundLibrariesOnce();
            settings = new_fluid_settings();
            if (!settings)
                return false;
            fluid_settings_setnum(settings, "synth.sample-rate", kSampleRate);
            // The default gain (0.2) leaves a sparse tune such as a chime
            // barely audible next to other programs.
            fluid_settings_setnum(settings, "synth.gain", 0.5);
            // FluidSynth's default periods of 64 frames wake its thread 700
            // times a second, and a sound server is asked for one period of
            // buffer (1.5 ms), which runs dry on a busy machine: each time
            // it does, silence is played that the tune never gets back. A
            // chime can afford 46 ms (one period of 2048 frames on a sound
            // server, two of them on an ALSA card).
            fluid_settings_setint(settings, "audio.period-size", kDevicePeriodFrames);
            fluid_settings_setint(settings, "audio.periods", kDevicePeriods);
            synth = new_fluid_synth(settings);
            if (!synth) {
                delete_fluid_settings(settings);
                settings = nullptr;
                return false;
            }
        }
        // Without a SoundFont the tune still runs its course, silently; a
        // later open tries again in case the file has appeared.
        if (!soundFontLoaded && QFileInfo::exists(soundFontPath))
            soundFontLoaded = fluid_synth_sfload(synth, QFile::encodeName(soundFontPath).constData(), 1) != FLUID_FAILED;
        return true;
    }

    // Called whenever the tune starts or starts again.
    void startOutput()
    {
        lastTick = -1;
        lastProgress = std::chrono::steady_clock::now();
        if (!driver && output == Output::Automatic && !noDeviceForThisTune) {
            driver = openAudioDevice();
            deviceTookSound = false;
            if (!driver)
                noDeviceForThisTune = true;
        }
        if (driver)
            return;
        // A new clock each time: it renders before it looks at the tick,
        // so a jump to the start is never taken for the end, and a clock
        // deciding to end just now cannot strand the tune.
        silentClock.reset();
        silentClock = std::make_unique<SilentClock>(synth, player, endTick);
    }

    fluid_audio_driver_t* openAudioDevice()
    {
        std::vector<std::string> available;
        fluid_settings_foreach_option(settings, "audio.driver", &available, collectOption);
        for (const char* name : {"pipewire", "pulseaudio", "alsa"}) {
            if (std::find(available.begin(), available.end(), name) == available.end())
                continue;
            fluid_settings_setstr(settings, "audio.driver", name);
            if (fluid_audio_driver_t* opened = new_fluid_audio_driver(settings, synth))
                return opened;
        }
        return nullptr;
    }

    void closeDevice()
    {
        if (driver) {
            delete_fluid_audio_driver(driver);
            driver = nullptr;
        }
    }

    // The device's thread has stopped rendering: the tick stands still.
    void watchDevice()
    {
        if (!driver)
            return;
        const int tick = fluid_player_get_current_tick(player);
        const auto now = std::chrono::steady_clock::now();
        if (tick != lastTick) {
            deviceTookSound = deviceTookSound || lastTick >= 0;
            lastTick = tick;
            lastProgress = now;
            return;
        }
        if (now - lastProgress < (deviceTookSound ? kDeviceSilenceLimit : kDeviceFirstSoundLimit))
            return;
        closeDevice();
        noDeviceForThisTune = true;
        silentClock = std::make_unique<SilentClock>(synth, player, endTick);
        lastProgress = now;
    }

    // True once the tune has played to its last event (or the player
    // ended it by itself); the player is then stopped, and the notes that
    // still ring die away on the open device.
    bool reachedEnd()
    {
        const int status = fluid_player_get_status(player);
        const int tick = fluid_player_get_current_tick(player);
        if (restartPending && tick < endTick && status == FLUID_PLAYER_PLAYING)
            restartPending = false;
        if (status == FLUID_PLAYER_PLAYING && (restartPending || tick < endTick))
            return false;
        fluid_player_stop(player);
        state = State::Ended;
        restartPending = false;
        if (silentClock && silentClock->finished())
            silentClock.reset();
        return true;
    }
};

QString FluidTunePlayer::defaultSoundFont()
{
    return QStringLiteral("/usr/share/sounds/sf2/default-GM.sf2");
}

FluidTunePlayer::FluidTunePlayer(Output output, QString soundFontPath)
    : d(std::make_unique<Impl>())
{
    d->output = output;
    d->soundFontPath = std::move(soundFontPath);
}

FluidTunePlayer::~FluidTunePlayer()
{
    close();
    if (d->synth)
        delete_fluid_synth(d->synth);
    if (d->settings)
        delete_fluid_settings(d->settings);
}

bool FluidTunePlayer::open(const QByteArray& midiFile)
{
    close();
    const std::optional<MidiTuneEnd> tuneEnd = midiTuneEnd(midiFile);
    if (!tuneEnd || !d->ensureSynth())
        return false;
    d->player = new_fluid_player(d->synth);
    if (!d->player)
        return false;
    if (fluid_player_add_mem(d->player, midiFile.constData(), size_t(midiFile.size())) != FLUID_OK) {
        delete_fluid_player(d->player);
        d->player = nullptr;
        return false;
    }
    d->endTick = int(tuneEnd->tick);
    d->state = Impl::State::Opened;
    d->restartPending = false;
    d->noDeviceForThisTune = false;
    return true;
}

bool FluidTunePlayer::isOpen() const
{
    return d->player != nullptr;
}

void FluidTunePlayer::play()
{
    if (!d->player)
        return;
    if (d->state == Impl::State::Playing)
        return;
    // A tune that has ended starts again from its beginning; a stopped one
    // goes on from where it stopped.
    if (d->state == Impl::State::Ended) {
        fluid_player_seek(d->player, 0);
        d->restartPending = true;
    }
    d->state = Impl::State::Playing;
    fluid_player_play(d->player);
    d->startOutput();
}

void FluidTunePlayer::playFromStart()
{
    if (!d->player)
        return;
    fluid_player_seek(d->player, 0);
    d->restartPending = true;
    if (fluid_player_get_status(d->player) != FLUID_PLAYER_PLAYING)
        fluid_player_play(d->player);
    d->state = Impl::State::Playing;
    d->startOutput();
}

void FluidTunePlayer::stop()
{
    if (!d->player)
        return;
    fluid_player_stop(d->player);
    d->silentClock.reset();
    // The device stays open; no note may ring on.
    fluid_synth_all_sounds_off(d->synth, -1);
    if (d->state == Impl::State::Playing)
        d->state = Impl::State::Stopped;
    d->restartPending = false;
}

void FluidTunePlayer::close()
{
    if (!d->player)
        return;
    stop();
    // The device goes first: its thread drives the player.
    d->closeDevice();
    delete_fluid_player(d->player);
    d->player = nullptr;
    d->state = Impl::State::Opened;
    // The next tune starts from default programs and controllers.
    fluid_synth_system_reset(d->synth);
}

bool FluidTunePlayer::isPlaying()
{
    if (!d->player || d->state != Impl::State::Playing)
        return false;
    d->watchDevice();
    return !d->reachedEnd();
}

int FluidTunePlayer::currentTick() const
{
    return d->player ? fluid_player_get_current_tick(d->player) : 0;
}

int FluidTunePlayer::endTick() const
{
    return d->player ? d->endTick : 0;
}

FluidTunePlayer::Sink FluidTunePlayer::sink() const
{
    if (d->driver)
        return Sink::AudioDevice;
    if (d->silentClock && !d->silentClock->finished())
        return Sink::SilentClock;
    return Sink::None;
}

bool FluidTunePlayer::synthesizerLoaded() const
{
    return d->synth != nullptr;
}

bool FluidTunePlayer::soundFontLoaded() const
{
    return d->soundFontLoaded;
}

} // namespace qp
