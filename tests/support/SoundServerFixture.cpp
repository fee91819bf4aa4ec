#include "SoundServerFixture.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QThread>

#include <cstring>

namespace qp::test {

namespace {
const char* const kSink = "quillpost_test";
} // namespace

SoundServerFixture::SoundServerFixture() = default;

SoundServerFixture::~SoundServerFixture()
{
    for (QProcess* p : {&m_recorder, &m_server}) {
        if (p->state() != QProcess::NotRunning) {
            p->kill();
            p->waitForFinished(5000);
        }
    }
    restoreEnvironment();
}

void SoundServerFixture::restoreEnvironment()
{
    for (const Saved& s : m_saved) {
        if (s.set)
            qputenv(s.name.constData(), s.value);
        else
            qunsetenv(s.name.constData());
    }
    m_saved.clear();
}

bool SoundServerFixture::start()
{
    const QString exe = QStandardPaths::findExecutable(QStringLiteral("pulseaudio"));
    if (exe.isEmpty()) {
        m_error = QStringLiteral("pulseaudio is not installed");
        return false;
    }
    if (!m_dir.isValid()) {
        m_error = QStringLiteral("no temp folder");
        return false;
    }
    const QDir dir(m_dir.path());
    const QString socket = dir.filePath(QStringLiteral("native"));
    QFile config(dir.filePath(QStringLiteral("server.pa")));
    QFile client(dir.filePath(QStringLiteral("client.conf")));
    if (!config.open(QIODevice::WriteOnly) || !client.open(QIODevice::WriteOnly)) {
        m_error = QStringLiteral("cannot write the server's config");
        return false;
    }
    config.write(QStringLiteral("load-module module-null-sink sink_name=%1 rate=%2\n"
                                "load-module module-native-protocol-unix socket=%3 auth-anonymous=1\n"
                                "set-default-sink %1\n")
                     .arg(QLatin1String(kSink))
                     .arg(kRate)
                     .arg(socket)
                     .toUtf8());
    config.close();
    client.write("autospawn = no\n");
    client.close();

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), m_dir.path());
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_dir.path());
    env.insert(QStringLiteral("PULSE_RUNTIME_PATH"), dir.filePath(QStringLiteral("runtime")));
    env.insert(QStringLiteral("PULSE_STATE_PATH"), dir.filePath(QStringLiteral("state")));
    m_server.setProcessEnvironment(env);
    m_server.setProcessChannelMode(QProcess::MergedChannels);
    m_server.start(exe, {QStringLiteral("-n"), QStringLiteral("-F"), config.fileName(),
                         QStringLiteral("--daemonize=no"), QStringLiteral("--exit-idle-time=-1"),
                         QStringLiteral("--use-pid-file=no"), QStringLiteral("--log-target=stderr")});
    if (!m_server.waitForStarted(5000)) {
        m_error = QStringLiteral("pulseaudio does not start: ") + m_server.errorString();
        return false;
    }
    QElapsedTimer t;
    t.start();
    while (!QFileInfo::exists(socket)) {
        if (m_server.state() == QProcess::NotRunning || t.elapsed() > 10000) {
            m_server.kill();
            m_server.waitForFinished(3000);
            const QList<QByteArray> lines = m_server.readAll().trimmed().split('\n');
            m_error = QStringLiteral("the sound server could not start: ")
                + QString::fromLocal8Bit(lines.isEmpty() ? QByteArray("no output") : lines.last());
            return false;
        }
        m_server.waitForReadyRead(50);
        m_server.readAll(); // its log is not needed unless it fails
    }

    auto set = [this](const char* name, const QByteArray& value) {
        m_saved.push_back({name, qEnvironmentVariableIsSet(name), qgetenv(name)});
        qputenv(name, value);
    };
    set("PULSE_SERVER", "unix:" + QFile::encodeName(socket));
    set("PULSE_CLIENTCONFIG", QFile::encodeName(client.fileName()));
    set("XDG_RUNTIME_DIR", QFile::encodeName(m_dir.path()));
    set("PIPEWIRE_REMOTE", QFile::encodeName(dir.filePath(QStringLiteral("no-pipewire"))));
    return true;
}

bool SoundServerFixture::startRecording()
{
    const QString exe = QStandardPaths::findExecutable(QStringLiteral("parec"));
    if (exe.isEmpty()) {
        m_error = QStringLiteral("parec is not installed (pulseaudio-utils)");
        return false;
    }
    m_recorder.setStandardOutputFile(QDir(m_dir.path()).filePath(QStringLiteral("monitor.raw")));
    m_recorder.start(exe, {QStringLiteral("--device=%1.monitor").arg(QLatin1String(kSink)),
                           QStringLiteral("--format=s16le"), QStringLiteral("--rate=%1").arg(kRate),
                           QStringLiteral("--channels=1"), QStringLiteral("--latency-msec=20")});
    if (!m_recorder.waitForStarted(5000)) {
        m_error = QStringLiteral("parec does not start");
        return false;
    }
    // Nothing is played before the recording runs.
    const QFileInfo file(QDir(m_dir.path()).filePath(QStringLiteral("monitor.raw")));
    QElapsedTimer t;
    t.start();
    while (QFileInfo(file.filePath()).size() == 0) {
        if (m_recorder.state() != QProcess::Running || t.elapsed() > 10000) {
            m_error = QStringLiteral("parec records nothing");
            return false;
        }
        QThread::msleep(20);
    }
    return true;
}

std::vector<qint16> SoundServerFixture::stopRecording()
{
    if (m_recorder.state() != QProcess::NotRunning) {
        m_recorder.terminate();
        if (!m_recorder.waitForFinished(3000)) {
            m_recorder.kill();
            m_recorder.waitForFinished(3000);
        }
    }
    return recording();
}

std::vector<qint16> SoundServerFixture::recording() const
{
    QFile raw(QDir(m_dir.path()).filePath(QStringLiteral("monitor.raw")));
    std::vector<qint16> samples;
    if (!raw.open(QIODevice::ReadOnly))
        return samples;
    const QByteArray data = raw.readAll();
    samples.resize(std::size_t(data.size() / 2));
    std::memcpy(samples.data(), data.constData(), samples.size() * 2);
    return samples;
}

void SoundServerFixture::killServer()
{
    m_server.kill();
    m_server.waitForFinished(5000);
}

} // namespace qp::test
