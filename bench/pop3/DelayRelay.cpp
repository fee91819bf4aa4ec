#include "DelayRelay.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <deque>
#include <memory>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::size_t kMaxHeld = 4 * 1024 * 1024;

void setUp(int fd)
{
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
}

// One direction of a connection: bytes read from `from`, each piece due
// for `to` at its time.
struct Direction {
    int from = -1, to = -1;
    struct Piece {
        Clock::time_point due;
        std::string bytes;
        std::size_t sent = 0;
    };
    std::deque<Piece> held;
    std::size_t heldBytes = 0;
    bool readEnded = false; // `from` sent its end
    bool writeEnded = false;

    bool wantsRead() const { return !readEnded && heldBytes < kMaxHeld; }
    bool due(Clock::time_point now) const { return !held.empty() && held.front().due <= now; }
};

struct Pair {
    int client = -1, server = -1;
    Direction up, down; // client to server, server to client
    const Direction* lastRead = nullptr; // the side that spoke last
    bool dead = false;
    ~Pair()
    {
        if (client >= 0)
            ::close(client);
        if (server >= 0)
            ::close(server);
    }
};

// Reads what is there; false when the side is gone for good.
void readInto(Direction& d, Clock::time_point due)
{
    char buffer[65536];
    const ssize_t n = ::recv(d.from, buffer, sizeof buffer, 0);
    if (n > 0) {
        d.held.push_back({due, std::string(buffer, std::size_t(n)), 0});
        d.heldBytes += std::size_t(n);
    } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
        d.readEnded = true;
    }
}

// Writes every piece that is due; passes the end on once all is out.
bool writeDue(Direction& d, Clock::time_point now)
{
    while (d.due(now)) {
        auto& p = d.held.front();
        const ssize_t n = ::send(d.to, p.bytes.data() + p.sent, p.bytes.size() - p.sent, MSG_NOSIGNAL);
        if (n < 0)
            return errno == EAGAIN || errno == EINTR;
        p.sent += std::size_t(n);
        if (p.sent < p.bytes.size())
            return true;
        d.heldBytes -= p.bytes.size();
        d.held.pop_front();
    }
    if (d.readEnded && d.held.empty() && !d.writeEnded) {
        ::shutdown(d.to, SHUT_WR);
        d.writeEnded = true;
    }
    return true;
}

} // namespace

bool DelayRelay::start()
{
    m_listen = ::socket(AF_INET, SOCK_STREAM, 0);
    const int one = 1;
    ::setsockopt(m_listen, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(m_listen, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(m_listen, 16) != 0
        || ::getsockname(m_listen, reinterpret_cast<sockaddr*>(&a), &len) != 0 || ::pipe(m_wake) != 0)
        return false;
    m_port = ntohs(a.sin_port);
    ::fcntl(m_listen, F_SETFL, ::fcntl(m_listen, F_GETFL) | O_NONBLOCK);
    m_thread = std::thread([this] { run(); });
    return true;
}

void DelayRelay::stop()
{
    if (m_thread.joinable()) {
        m_stop = true;
        const char c = 0;
        (void)!::write(m_wake[1], &c, 1);
        m_thread.join();
    }
    for (int* fd : {&m_listen, &m_wake[0], &m_wake[1]}) {
        if (*fd >= 0)
            ::close(*fd);
        *fd = -1;
    }
}

void DelayRelay::run()
{
    const auto delay = std::chrono::milliseconds(m_delayMs);
    std::vector<std::unique_ptr<Pair>> pairs;
    while (!m_stop) {
        std::vector<pollfd> fds{{m_listen, POLLIN, 0}, {m_wake[0], POLLIN, 0}};
        Clock::time_point next = Clock::now() + std::chrono::seconds(1);
        for (const auto& p : pairs) {
            for (Direction* d : {&p->up, &p->down}) {
                short events = d->wantsRead() ? POLLIN : 0;
                fds.push_back({d->from, events, 0});
                if (!d->held.empty()) {
                    next = std::min(next, d->held.front().due);
                    if (d->due(Clock::now()))
                        fds.push_back({d->to, POLLOUT, 0});
                }
            }
        }
        const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(next - Clock::now()).count();
        ::poll(fds.data(), fds.size(), int(std::clamp<long long>(wait + 1, 0, 1000)));
        const auto now = Clock::now();
        if (fds[0].revents & POLLIN) {
            for (int c; (c = ::accept(m_listen, nullptr, nullptr)) >= 0;) {
                auto p = std::make_unique<Pair>();
                p->client = c;
                p->server = ::socket(AF_INET, SOCK_STREAM, 0);
                sockaddr_in t{};
                t.sin_family = AF_INET;
                t.sin_port = htons(m_target);
                t.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
                if (::connect(p->server, reinterpret_cast<sockaddr*>(&t), sizeof t) != 0)
                    continue; // the client sees its connection close
                setUp(p->client);
                setUp(p->server);
                p->up.from = p->down.to = p->client;
                p->up.to = p->down.from = p->server;
                pairs.push_back(std::move(p));
            }
        }
        for (auto& p : pairs) {
            for (Direction* d : {&p->up, &p->down}) {
                if (d->wantsRead()) {
                    pollfd q{d->from, POLLIN, 0};
                    if (::poll(&q, 1, 0) > 0) {
                        const std::size_t before = d->heldBytes;
                        readInto(*d, now + delay);
                        if (d->heldBytes > before) {
                            // The client speaking after the server: one round trip.
                            if (d == &p->up && p->lastRead != &p->up)
                                ++m_clientTurns;
                            p->lastRead = d;
                            if (d == &p->down)
                                m_serverBytes += static_cast<long long>(d->heldBytes - before);
                        }
                    }
                }
                if (!writeDue(*d, now))
                    p->dead = true;
            }
            if (p->up.writeEnded && p->down.writeEnded)
                p->dead = true;
        }
        pairs.erase(std::remove_if(pairs.begin(), pairs.end(), [](const auto& p) { return p->dead; }), pairs.end());
    }
}
