#include "check/Scheduler.h"

#include "platform/Cp932.h"
#include "platform/Numbers.h"
#include "platform/ProgramFolder.h"

#include <cmath>

namespace qp {

namespace {
// A counter's number as decimal text.
QString numberText(double value)
{
    if (value == std::floor(value) && std::fabs(value) < 1e15)
        return QString::number(static_cast<qint64>(value));
    return QString::number(value, 'g', 15);
}
} // namespace

QString lampPicturePath(Lamp lamp)
{
    return programPath(lamp == Lamp::Green ? QStringLiteral("\\画像データ\\Green.gif")
                                           : QStringLiteral("\\画像データ\\Red.gif"));
}

QString bannerFileTitle(const QString& path)
{
    const qsizetype slash = std::max(path.lastIndexOf(QLatin1Char('/')), path.lastIndexOf(QLatin1Char('\\')));
    const QString title = path.mid(slash + 1);
    // The title was read into a 250-byte buffer, its NUL included.
    if (cp932::byteLength(title) >= 250)
        return QString();
    return title;
}

void Scheduler::setMinuteCounter(const QString& text)
{
    setMinute(text);
}

void Scheduler::setSecondCounter(const QString& text)
{
    m_secondCounter = text;
}

void Scheduler::setMinute(const QString& text)
{
    if (text != m_minuteCounter)
        ++m_minuteStep;
    m_minuteCounter = text;
}

void Scheduler::secondTick(const QString& intervalText)
{
    const double interval = intervalMinutes(intervalText);
    // Reaching the interval starts the count over; so does being past it,
    // which happens when the interval was lowered below the count (the count
    // would otherwise never meet it again).
    if (leadingNumber(m_minuteCounter) >= interval)
        setMinute(QStringLiteral("0"));
    const double seconds = leadingNumber(m_secondCounter);
    if (seconds >= 60) {
        m_secondCounter = QStringLiteral("0");
        setMinute(numberText(leadingNumber(m_minuteCounter) + 1));
    } else {
        m_secondCounter = numberText(seconds + 1);
    }
}

bool Scheduler::checkDue(const QString& intervalText, bool checkRunning)
{
    // Compared in the whole minutes the counter reaches (1.5 means 2).
    const double interval = intervalMinutes(intervalText);
    if (!(interval > 0)) {
        m_checkWaiting = false; // automatic checking is off
        return false;
    }
    // One check per minute step: the counter keeps its value for a whole
    // second, and checking on every 100 ms tick of it would log in up to
    // ten times in that second.
    if (leadingNumber(m_minuteCounter) == interval && m_firedStep != m_minuteStep) {
        m_firedStep = m_minuteStep;
        m_checkWaiting = true;
    }
    if (!m_checkWaiting || checkRunning)
        return false;
    m_checkWaiting = false;
    return true;
}

BannerState Scheduler::bannerTick(const QString& text7)
{
    BannerState state;
    // Runs 50 times a second: work out the title only when Text7 changed.
    if (text7 != m_bannerText7 || m_bannerText7.isNull()) {
        m_bannerText7 = text7.isNull() ? QStringLiteral("") : text7;
        m_bannerTitle = bannerFileTitle(text7);
    }
    state.text8 = m_bannerTitle;
    state.caption = text7.isEmpty() ? QStringLiteral("設定されていません。") : state.text8;
    if (m_bannerLeft == kBannerEndTwips)
        m_bannerLeft = kBannerRestartTwips;
    else
        m_bannerLeft -= kBannerStepTwips;
    state.leftTwips = m_bannerLeft;
    return state;
}

BannerState Scheduler::bannerAdvance(const QString& text7, std::uint64_t steps)
{
    // From the restart position the caption comes back to it every 214 steps.
    constexpr std::uint64_t loop = (kBannerRestartTwips - kBannerEndTwips) / kBannerStepTwips + 1;
    auto inLoop = [this] {
        return m_bannerLeft >= kBannerEndTwips && m_bannerLeft <= kBannerRestartTwips
            && (kBannerRestartTwips - m_bannerLeft) % kBannerStepTwips == 0;
    };
    BannerState state = bannerTick(text7);
    for (--steps; steps > 0; --steps) {
        if (steps >= loop && inLoop())
            steps %= loop;
        if (steps == 0)
            break;
        state = bannerTick(text7);
    }
    return state;
}

bool Scheduler::lampBegin(const std::function<bool()>& autoCheckOn, const std::function<void(Lamp)>& show)
{
    if (m_lampBusy)
        return false;
    if (autoCheckOn()) {
        show(Lamp::Green);
        m_lampBusy = true;
        return true;
    }
    show(Lamp::Green);
    return false;
}

void Scheduler::lampFinish(const std::function<bool()>& autoCheckOn, const std::function<void(Lamp)>& show)
{
    m_lampBusy = false;
    show(Lamp::Red);
    // Switched off during the wait: green.
    if (!autoCheckOn())
        show(Lamp::Green);
}

} // namespace qp
