#include "notify/FluidTunePlayer.h"

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

void discardLog(int, const char*, void*) {}

// FluidSynth reports every audio driver that fails to open on stderr; the
// program has no log and a missing sound device is an expected state here.
void quietFluidSynthOnce()
{
    static std::once_flag once;
    std::call_once(once, [] {
        for (int level : {FLUID_ERR, FLUID_WARN, FLUID_INFO, FLUID_DBG})
            fluid_set_log_function(level, discardLog, nullptr);
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
// by itself once the player has finished.
class SilentClock {
public:
    SilentClock(fluid_synth_t* synth, fluid_player_t* player)
        : m_synth(synth), m_player(player), m_thread([this] { run(); }) {}

    ~SilentClock()
    {
        {
            std::lock_guard lock(m_mutex);
            m_quit = true;
        }
        m_wake.notify_all();
        m_thread.join();
    }

    // Taken under the lock the thread holds while it looks at the player's
    // status and decides to end: a play that comes just after the end either
    // is seen by the thread, or finds it finished and starts a new one.
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
            fluid_synth_write_float(m_synth, kSilentBlockFrames, left.data(), 0, 1, right.data(), 0, 1);
            lock.lock();
            if (fluid_player_get_status(m_player) == FLUID_PLAYER_DONE)
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
    fluid_audio_driver_t* driver = nullptr;
    std::unique_ptr<SilentClock> silentClock;
    bool stoppedByCommand = false;
    // Once a tune found no sound device, its restarts go straight to the
    // silent clock instead of probing every driver again each loop.
    bool noDeviceForThisTune = false;

    bool ensureSynth()
    {
        if (!synth) {
            quietFluidSynthOnce();
            settings = new_fluid_settings();
            if (!settings)
                return false;
            fluid_settings_setnum(settings, "synth.sample-rate", kSampleRate);
            // The default gain (0.2) leaves a sparse tune such as a chime
            // barely audible next to other programs.
            fluid_settings_setnum(settings, "synth.gain", 0.5);
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

    void startOutput()
    {
        if (driver)
            return;
        if (silentClock) {
            if (!silentClock->finished())
                return;
            silentClock.reset();
        }
        if (output == Output::Automatic && !noDeviceForThisTune)
            driver = openAudioDevice();
        if (!driver) {
            noDeviceForThisTune = true;
            silentClock = std::make_unique<SilentClock>(synth, player);
        }
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

    void stopOutput()
    {
        if (driver) {
            delete_fluid_audio_driver(driver);
            driver = nullptr;
        }
        silentClock.reset();
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
    if (!d->ensureSynth())
        return false;
    d->player = new_fluid_player(d->synth);
    if (!d->player)
        return false;
    if (fluid_player_add_mem(d->player, midiFile.constData(), size_t(midiFile.size())) != FLUID_OK) {
        delete_fluid_player(d->player);
        d->player = nullptr;
        return false;
    }
    d->stoppedByCommand = false;
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
    const int status = fluid_player_get_status(d->player);
    if (status == FLUID_PLAYER_PLAYING && !d->stoppedByCommand)
        return;
    d->stoppedByCommand = false;
    // After the end the player starts again from its first tick by itself.
    fluid_player_play(d->player);
    d->startOutput();
}

void FluidTunePlayer::playFromStart()
{
    if (!d->player)
        return;
    const int status = fluid_player_get_status(d->player);
    if (status == FLUID_PLAYER_DONE && !d->stoppedByCommand) {
        // Played to its end: the player starts again from its first tick.
        fluid_player_play(d->player);
    } else {
        // A stopped player reports DONE too, but resumes where it stopped.
        fluid_player_seek(d->player, 0);
        if (status != FLUID_PLAYER_PLAYING || d->stoppedByCommand)
            fluid_player_play(d->player);
    }
    d->stoppedByCommand = false;
    d->startOutput();
}

void FluidTunePlayer::stop()
{
    if (!d->player)
        return;
    fluid_player_stop(d->player);
    d->stopOutput();
    // Nothing renders now; make sure no note rings on when output resumes.
    fluid_synth_all_sounds_off(d->synth, -1);
    d->stoppedByCommand = true;
}

void FluidTunePlayer::close()
{
    if (!d->player)
        return;
    stop();
    delete_fluid_player(d->player);
    d->player = nullptr;
    d->stoppedByCommand = false;
    // The next tune starts from default programs and controllers.
    fluid_synth_system_reset(d->synth);
}

bool FluidTunePlayer::isPlaying()
{
    if (!d->player || d->stoppedByCommand)
        return false;
    if (fluid_player_get_status(d->player) == FLUID_PLAYER_PLAYING)
        return true;
    d->stopOutput();
    return false;
}

int FluidTunePlayer::currentTick() const
{
    return d->player ? fluid_player_get_current_tick(d->player) : 0;
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
