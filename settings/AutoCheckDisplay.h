#pragma once
#include <QString>

namespace qp {

// The main window's display of automatic checking (the "ON"/"OFF" label,
// the automatic-check box, the interval box and the one-second counter
// timer). The check settings window switches it whenever its interval box
// changes; the main window implements it.
class AutoCheckDisplay {
public:
    virtual ~AutoCheckDisplay() = default;

    // Interval above zero: show "ON", tick the automatic-check box, show the
    // interval text as typed and start the one-second timer (1000 ms).
    virtual void autoCheckOn(const QString& intervalText) = 0;

    // Interval of zero (or no number): show "OFF", untick the box, show the
    // interval text and stop the one-second timer.
    virtual void autoCheckOff(const QString& intervalText) = 0;
};

} // namespace qp
