#pragma once
#include "notify/Form1.h"
#include "platform/FormInstance.h"

#include <QObject>
#include <QPointer>
#include <QString>

class QCheckBox;
class QTimer;

namespace qp {

class PicturePane;
class SoundInterface;

// The new-mail alert: the looping tune, the alert picture in the main
// window's picture pane and the shaped window Form1. There is no alert flag:
// the state is whether the sound device "bgm" is open, which picture the
// pane shows and whether Form1 is loaded.
//
// The main window owns the controls and passes them in: the picture pane,
// its end-watcher timer Timer2 (100 ms; connect its timeout to a handler
// that calls Timer2_Timer) and the loop switch Check1.
//
// The watcher runs from the window's creation until a tune ends with the
// loop switch off. While it runs but no tune is open it has nothing to
// watch, so its timer does not wake the program: the tick that finds no
// tune open stops the timer, and starting an alert starts it again.
// Its handlers Command2_Click, Command3_Click, Check4_Click and Timer2_Timer
// call the methods of the same names. Nothing here reports a failure: a
// missing tune makes a silent alert, a missing picture an empty pane.
class Alert : public QObject {
    Q_OBJECT
public:
    Alert(SoundInterface& sound, PicturePane& pane, QTimer& timer2, const QCheckBox& check1,
          QWidget* mainWindow, QObject* parent = nullptr);
    ~Alert() override;

    void Command2_Click(); // start: open and play the tune, alert picture, show Form1
    void Command3_Click(); // end: stop and close the tune, idle picture, unload Form1
    void Check4_Click();   // silence: stop and close the tune only
    void Timer2_Timer();   // end watcher: loop the tune, or close it and stop Timer2

    // "stop bgm" then "close bgm" (start-up and shutdown send these too).
    void stopTune();
    // The idle picture in the pane (start-up shows it).
    void showIdlePicture();

    FormInstance<Form1>& form1() { return m_form1; }
    // From Command2_Click until Command3_Click.
    bool alerting() const { return m_form1.isLoaded(); }

    // False once a tune has ended with the loop switch off (or after
    // stopWatcher): the watcher is not started again in this run.
    bool watcherRunning() const { return m_watcherRunning; }
    // Shutdown stops the watcher for good.
    void stopWatcher();

    // "open "{P}\Sound\Kouka.mid" alias bgm".
    static QString openCommand();
    // "file://" + {P} + "\画像データ\" + fileName.
    static QString pictureAddress(const QString& fileName);

signals:
    void alertingChanged(bool alerting);

private:
    SoundInterface& m_sound;
    PicturePane& m_pane;
    QTimer& m_timer2;
    const QCheckBox& m_check1;
    QPointer<QWidget> m_mainWindow;
    FormInstance<Form1> m_form1;
    QString m_reply; // the watcher's reply buffer, kept for the whole run
    bool m_watcherRunning = true;
};

} // namespace qp
