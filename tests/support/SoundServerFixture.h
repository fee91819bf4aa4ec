#pragma once
#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

#include <vector>

namespace qp::test {

// A private PulseAudio server with one null sink, for tests that must hear
// what the program plays. Everything lives in a temp folder of its own: the
// server's config, runtime and state folders and its socket. While the
// fixture lives, this process's sound clients talk to that server only
// (PULSE_SERVER, no autospawn, XDG_RUNTIME_DIR moved so that no PipeWire of
// the desktop is found); the destructor kills the server and the recorder
// and restores the environment.
//
//   qp::test::SoundServerFixture server;
//   if (!server.start()) QSKIP(qPrintable(server.errorString()));
//   QVERIFY(server.startRecording());
//   ... play ...
//   const std::vector<qint16> samples = server.stopRecording();
class SoundServerFixture {
public:
    static constexpr int kRate = 44100; // recorded as mono, signed 16-bit

    SoundServerFixture();
    ~SoundServerFixture();
    SoundServerFixture(const SoundServerFixture&) = delete;
    SoundServerFixture& operator=(const SoundServerFixture&) = delete;

    // Starts the server and waits for its socket (false with a reason).
    bool start();
    QString errorString() const { return m_error; }

    // Records the null sink's monitor from now on.
    bool startRecording();
    // What has been recorded so far; stopping ends the recording.
    std::vector<qint16> recording() const;
    std::vector<qint16> stopRecording();

    // The server dies at once, as when it crashes.
    void killServer();

private:
    void restoreEnvironment();

    QTemporaryDir m_dir;
    QProcess m_server;
    QProcess m_recorder;
    QString m_error;
    struct Saved {
        QByteArray name;
        bool set;
        QByteArray value;
    };
    std::vector<Saved> m_saved;
};

} // namespace qp::test
