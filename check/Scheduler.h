#pragma once
#include <QString>

#include <cstdint>
#include <functional>

namespace qp {

// The status lamp's two pictures.
enum class Lamp { Green, Red };

// {P}\画像データ\Green.gif or Red.gif.
QString lampPicturePath(Lamp lamp);

// The banner strip after one tick of Timer4.
struct BannerState {
    QString text8;    // MainForm.Text8: the file-name part of Text7
    QString caption;  // MainForm.Label1's caption
    int leftTwips = 0; // MainForm.Label1's left edge, in twips
};

// The file-name part of a path as the banner shows it: the text after the
// last "/" or "\"; empty when that part would not fit the 250-byte buffer
// it was read into.
QString bannerFileTitle(const QString& path);

// The scheduling of automatic checks and the status display, on plain
// values. The main window owns the timers and the controls; each timer's
// handler calls one method here and shows what it returns:
//
//   Timer1 (100 ms):  if (scheduler.checkDue(SetForm.Text2, a check runs)) Picture7_Click();
//   Timer3 (1000 ms, while automatic checking is on):
//                     scheduler.secondTick(SetForm.Text2);
//                     Text1 = scheduler.minuteCounter(); Text4 = scheduler.secondCounter();
//   Timer4 (20 ms):   state = scheduler.bannerTick(Text7); Text8, Label1 caption and left from it
//   Timer5 (1000 ms): if (scheduler.lampBegin(read Check3, show picture))
//                         after 2000 ms: scheduler.lampFinish(read Check3, show picture)
//
// Counters are kept as the texts the window shows and read as numbers
// (leading number, 0 for none), so they start as the boxes' initial texts
// "Text1" and "Text4", which read as 0.
class Scheduler {
public:
    static constexpr int kBannerStartTwips = 3240;
    static constexpr int kBannerEndTwips = -1500;
    static constexpr int kBannerRestartTwips = 2760;
    static constexpr int kBannerStepTwips = 20;
    static constexpr int kLampWaitMilliseconds = 2000;

    // MainForm.Text1 (minutes) and MainForm.Text4 (seconds).
    const QString& minuteCounter() const { return m_minuteCounter; }
    const QString& secondCounter() const { return m_secondCounter; }
    void setMinuteCounter(const QString& text);
    void setSecondCounter(const QString& text);

    // Timer3_Timer, once a second while automatic checking is on.
    // intervalText: SetForm.Text2. The minute counter starts over when it
    // has reached the interval, rounded halves to even, or gone past it
    // (an interval lowered below the counter); the second counter runs
    // 1 .. 60, 0, so a minute step takes 61 ticks.
    void secondTick(const QString& intervalText);

    // Timer1_Timer, every 100 ms. True when a check is to start now: the
    // interval is above 0 and the minute counter equals it (exactly,
    // unrounded) on a minute step that has not had its check yet. When a
    // check is running (checkRunning), the due check waits and is given on
    // the first tick after it ended, so a scheduled check is never lost
    // (one waits, however many steps fall due meanwhile). The caller then
    // runs Picture7_Click.
    bool checkDue(const QString& intervalText, bool checkRunning = false);

    // Timer4_Timer, every 20 ms: the banner's caption from Text7
    // ("設定されていません。" when Text7 is empty) and its next position: 20
    // twips further left, and from exactly -1500 back to 2760.
    BannerState bannerTick(const QString& text7);
    // `steps` ticks at once (at least one), for a banner that was not shown
    // for a while: whole loops of the caption are skipped.
    BannerState bannerAdvance(const QString& text7, std::uint64_t steps);
    int bannerLeftTwips() const { return m_bannerLeft; }

    // Timer5_Timer, once a second, in two halves around a two-second wait
    // that the caller makes a timer (a nested event loop would hold up
    // whatever waits in an outer one). autoCheckOn reads Check3; it is read
    // before the wait and again after it. With automatic checking on:
    // green, and lampBegin returns true: the wait is to follow, then
    // lampFinish shows red, or green if it is off now. Off: green, and
    // false. Ticks that fall due during the wait are dropped (false).
    bool lampBegin(const std::function<bool()>& autoCheckOn, const std::function<void(Lamp)>& show);
    void lampFinish(const std::function<bool()>& autoCheckOn, const std::function<void(Lamp)>& show);

private:
    void setMinute(const QString& text);

    QString m_minuteCounter = QStringLiteral("Text1");
    QString m_secondCounter = QStringLiteral("Text4");
    std::uint64_t m_minuteStep = 0;  // advances whenever the minute counter changes
    std::uint64_t m_firedStep = ~std::uint64_t(0);
    bool m_checkWaiting = false; // due while a check ran
    int m_bannerLeft = kBannerStartTwips;
    QString m_bannerText7; // the Text7 that m_bannerTitle was taken from
    QString m_bannerTitle;
    bool m_lampBusy = false;
};

} // namespace qp
