#pragma once

namespace qp {

// Keeps a handler from being entered again while it is still running (a
// timer that fires during the handler's own wait for events). The second
// call is dropped, not queued.
//
//   void MainForm::Timer5_Timer() {
//       ReentryGuard guard(m_timer5Busy);
//       if (!guard.entered()) return;
//       ...
//   }
class ReentryGuard {
public:
    explicit ReentryGuard(bool& busy) : m_busy(busy), m_entered(!busy) { if (m_entered) m_busy = true; }
    ~ReentryGuard() { if (m_entered) m_busy = false; }
    ReentryGuard(const ReentryGuard&) = delete;
    ReentryGuard& operator=(const ReentryGuard&) = delete;
    bool entered() const { return m_entered; }

private:
    bool& m_busy;
    bool m_entered;
};

} // namespace qp
