#pragma once
#include <atomic>
#include <cstdint>
#include <thread>

// A TCP relay on 127.0.0.1 that holds every byte back for a fixed time in
// each direction before passing it on: a distant server on loopback, with
// the round trip of a real link (the kernels of these machines have no
// netem). No bandwidth limit; order and stream ends are kept; each
// direction buffers at most a few MB (the reading side waits beyond that,
// as a TCP window would).
//
//   DelayRelay relay(dovecotPort, 25);   // 25 ms each way, RTT 50 ms
//   if (!relay.start()) ...;
//   connect to 127.0.0.1:relay.port()
//   relay.stop();                        // also in the destructor
class DelayRelay {
public:
    DelayRelay(std::uint16_t targetPort, int delayMs) : m_target(targetPort), m_delayMs(delayMs) {}
    ~DelayRelay() { stop(); }
    DelayRelay(const DelayRelay&) = delete;
    DelayRelay& operator=(const DelayRelay&) = delete;

    bool start();
    void stop();
    std::uint16_t port() const { return m_port; }
    // How often a client spoke after its server had (its round trips, TLS
    // handshake included), over all connections since the last reset.
    int clientTurns() const { return m_clientTurns; }
    void resetTurns() { m_clientTurns = 0; }
    // Bytes passed on from the server to its clients since the last reset.
    long long serverBytes() const { return m_serverBytes; }
    void resetServerBytes() { m_serverBytes = 0; }

private:
    void run();

    std::uint16_t m_target;
    int m_delayMs;
    int m_listen = -1;
    int m_wake[2] = {-1, -1};
    std::uint16_t m_port = 0;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_clientTurns{0};
    std::atomic<long long> m_serverBytes{0};
    std::thread m_thread;
};
