#include "notify/Alert.h"

#include "notify/PicturePane.h"
#include "notify/SoundInterface.h"
#include "platform/ProgramFolder.h"

#include <QCheckBox>
#include <QTimer>

namespace qp {

namespace {
const QString kAlertPicture = QStringLiteral("ShintyakuMove.gif");
const QString kIdlePicture = QStringLiteral("TanabataMove.gif");
constexpr int kReplyLength = 255;
} // namespace

Alert::Alert(SoundInterface& sound, PicturePane& pane, QTimer& timer2, const QCheckBox& check1,
             QWidget* mainWindow, QObject* parent)
    : QObject(parent)
    , m_sound(sound)
    , m_pane(pane)
    , m_timer2(timer2)
    , m_check1(check1)
    , m_mainWindow(mainWindow)
    , m_form1([this] { return new Form1(m_mainWindow.data()); })
{
    m_reply.reserve(kReplyLength);
}

Alert::~Alert()
{
    m_form1.unload();
}

QString Alert::openCommand()
{
    return QStringLiteral("open ") + QLatin1Char('"') + programFolder()
        + QStringLiteral("\\Sound\\Kouka.mid") + QLatin1Char('"') + QStringLiteral(" alias bgm");
}

QString Alert::pictureAddress(const QString& fileName)
{
    return QStringLiteral("file://") + programFolder() + QStringLiteral("\\画像データ\\") + fileName;
}

void Alert::Command2_Click()
{
    // A tune still open from an earlier alert refuses the open; the play
    // then acts on that tune.
    m_sound.mciSendString(openCommand());
    m_sound.mciSendString(QStringLiteral("play bgm"));
    if (m_watcherRunning && !m_timer2.isActive())
        m_timer2.start();
    m_pane.Navigate(pictureAddress(kAlertPicture));
    m_form1.show();
    emit alertingChanged(true);
}

void Alert::Command3_Click()
{
    stopTune();
    showIdlePicture();
    m_form1.unload();
    emit alertingChanged(false);
}

void Alert::Check4_Click()
{
    stopTune();
}

void Alert::Timer2_Timer()
{
    if (m_sound.mciSendString(QStringLiteral("status bgm mode"), &m_reply) != 0) {
        // No tune open: nothing can end before the next alert starts one.
        m_timer2.stop();
        return;
    }
    if (m_reply.left(7) != QLatin1String("stopped"))
        return; // playing
    if (m_check1.checkState() != Qt::Unchecked) {
        m_sound.mciSendString(QStringLiteral("play bgm from 0"));
    } else {
        stopTune();
        stopWatcher();
    }
}

void Alert::stopWatcher()
{
    m_watcherRunning = false;
    m_timer2.stop();
}

void Alert::stopTune()
{
    m_sound.mciSendString(QStringLiteral("stop bgm"));
    m_sound.mciSendString(QStringLiteral("close bgm"));
}

void Alert::showIdlePicture()
{
    m_pane.Navigate(pictureAddress(kIdlePicture));
}

} // namespace qp
