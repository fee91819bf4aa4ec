#pragma once

// The window manager's side of _NET_WM_PING, under an X server with no window
// manager: a ping sent to a window comes back to the root window once the
// program's window thread has handled it, so its round trip is how long that
// thread kept the program from its event loop. Kept apart from Qt code
// because Xlib's macros collide with Qt's headers.
class PingProbe {
public:
    PingProbe() = default;
    ~PingProbe();
    PingProbe(const PingProbe&) = delete;
    PingProbe& operator=(const PingProbe&) = delete;

    bool open(const char* display);
    // One ping to the window: its round trip in milliseconds, or -1 when no
    // answer came within timeoutMs.
    double ping(unsigned long window, int timeoutMs);
    // WM_DELETE_WINDOW, as a window manager's close box sends it.
    bool sendDelete(unsigned long window);

private:
    void* m_display = nullptr;
    unsigned long m_root = 0;
    unsigned long m_protocols = 0, m_ping = 0, m_delete = 0;
    long m_serial = 1000;
};
