#include "Pop3Reply.h"

#include <cstring>

namespace qp {

namespace {

bool startsWithIndicator(const QByteArray& line, const char* indicator)
{
    const qsizetype n = qsizetype(std::strlen(indicator));
    if (line.size() < n || qstrnicmp(line.constData(), indicator, n) != 0)
        return false;
    return line.size() == n || line.at(n) == ' ' || line.at(n) == '\t';
}

} // namespace

void Pop3ReplyReader::startSingleLine()
{
    m_state = State::Status;
    m_multiLine = false;
    m_maxData = 0;
    m_keep = 0;
    m_dataSize = 0;
    m_overflowed = false;
    m_status.clear();
    m_data.clear();
}

void Pop3ReplyReader::startMultiLine(qsizetype maxDataBytes, qsizetype keepBytes)
{
    startSingleLine();
    m_multiLine = true;
    m_maxData = maxDataBytes;
    m_keep = keepBytes < 0 ? maxDataBytes : std::min(keepBytes, maxDataBytes);
}

bool Pop3ReplyReader::takeData(const char* bytes, qsizetype n)
{
    const qsizetype room = std::min(m_keep, m_maxData) - m_data.size();
    if (room > 0)
        m_data.append(bytes, std::min(room, n));
    m_dataSize += n;
    if (m_overflowed || m_dataSize <= m_maxData)
        return false;
    m_overflowed = true;
    return true;
}

bool Pop3ReplyReader::isOk() const
{
    return startsWithIndicator(m_status, "+OK");
}

bool Pop3ReplyReader::isErr() const
{
    return startsWithIndicator(m_status, "-ERR");
}

QByteArray Pop3ReplyReader::statusText() const
{
    const qsizetype space = m_status.indexOf(' ');
    const qsizetype tab = m_status.indexOf('\t');
    qsizetype cut = space < 0 ? tab : (tab < 0 ? space : std::min(space, tab));
    if (cut < 0)
        return {};
    return m_status.mid(cut + 1).trimmed();
}

QByteArray Pop3ReplyReader::takeData()
{
    QByteArray d = std::move(m_data);
    m_data = QByteArray();
    return d;
}

// The status line is complete: strip its CR and decide what follows.
bool Pop3ReplyReader::statusComplete()
{
    if (m_status.endsWith('\r'))
        m_status.chop(1);
    if (m_multiLine && isOk()) {
        m_state = State::LineStart;
        return false;
    }
    m_state = State::Finished;
    return true;
}

Pop3ReplyReader::Status Pop3ReplyReader::feed(QByteArrayView input, qsizetype* consumed)
{
    const char* p = input.data();
    const qsizetype n = input.size();
    qsizetype i = 0;
    auto done = [&](Status s) {
        *consumed = i;
        return s;
    };

    while (i < n) {
        switch (m_state) {
        case State::Finished:
            return done(Status::Done);

        case State::Status: {
            const void* nl = std::memchr(p + i, '\n', size_t(n - i));
            const qsizetype end = nl ? static_cast<const char*>(nl) - p : n;
            if (m_status.size() + (end - i) > kMaxStatusLine + 1) { // +1: the CR
                i = end;
                m_state = State::Finished;
                return done(Status::LineTooLong);
            }
            m_status.append(p + i, end - i);
            if (!nl) {
                i = n;
                break;
            }
            i = end + 1;
            if (statusComplete())
                return done(Status::Done);
            break;
        }

        case State::LineStart:
            if (p[i] == '.') {
                m_state = State::DotAtStart;
                ++i;
                break;
            }
            m_state = State::InLine;
            break;

        case State::InLine: {
            // Copy up to the next line that starts with a dot (or the end of
            // the input) in one piece: only such lines need a closer look.
            qsizetype end = n;
            bool atLineStart = false;
            for (qsizetype from = i; from < n;) {
                const void* nl = std::memchr(p + from, '\n', size_t(n - from));
                if (!nl)
                    break;
                const qsizetype after = static_cast<const char*>(nl) - p + 1;
                if (after >= n || p[after] == '.') {
                    end = after;
                    atLineStart = true;
                    break;
                }
                from = after;
            }
            const bool over = takeData(p + i, end - i);
            i = end;
            if (atLineStart)
                m_state = State::LineStart;
            if (over)
                return done(Status::TooLarge);
            break;
        }

        case State::DotAtStart:
            if (p[i] == '\r') {
                m_state = State::DotCr;
                ++i;
            } else if (p[i] == '\n') { // ".\n": a sloppy terminator
                ++i;
                m_state = State::Finished;
                return done(Status::Done);
            } else {
                // A stuffed dot: the first dot of the line is dropped and the
                // rest of the line is data.
                m_state = State::InLine;
            }
            break;

        case State::DotCr:
            if (p[i] == '\n') {
                ++i;
                m_state = State::Finished;
                return done(Status::Done);
            }
            // ".\r" followed by something else: keep the CR as data.
            m_state = State::InLine;
            if (takeData("\r", 1))
                return done(Status::TooLarge);
            break;
        }
    }
    if (m_state == State::Finished)
        return done(Status::Done);
    return done(Status::NeedMore);
}

void HeaderFieldCollector::feed(QByteArrayView bytes)
{
    constexpr qsizetype lineCap = kMaxFieldBytes + 1024;
    while (!m_ended && !bytes.isEmpty()) {
        const qsizetype nl = bytes.indexOf('\n');
        const qsizetype take = nl < 0 ? bytes.size() : nl + 1;
        if (m_line.size() < lineCap)
            m_line.append(bytes.first(std::min(take, lineCap - m_line.size())));
        bytes = bytes.sliced(take);
        if (nl < 0)
            return;
        takeLine();
        m_line.clear();
    }
}

void HeaderFieldCollector::takeLine()
{
    if (m_line == "\r\n" || m_line == "\n") {
        m_ended = true;
        return;
    }
    if (!m_line.endsWith('\n')) // cut: the field's bound ends it
        m_line += "\r\n";
    if (m_line.startsWith(' ') || m_line.startsWith('\t')) {
        if (m_current >= 0 && m_fields[m_current].size() < kMaxFieldBytes)
            m_fields[m_current] += m_line.first(std::min(m_line.size(), kMaxFieldBytes - m_fields[m_current].size()));
        return;
    }
    m_current = -1;
    static const char* const names[] = {"From", "Subject", "Date"};
    const qsizetype colon = m_line.indexOf(':');
    for (int i = 0; i < 3 && colon > 0; ++i) {
        if (m_order[i] < 0 && qstrnicmp(m_line.constData(), colon, names[i], qsizetype(std::strlen(names[i]))) == 0) {
            m_current = i;
            m_order[i] = m_found++;
            m_fields[i] = m_line.first(std::min(m_line.size(), kMaxFieldBytes));
        }
    }
}

QByteArray HeaderFieldCollector::fields() const
{
    QByteArray out;
    for (int k = 0; k < m_found; ++k)
        for (int i = 0; i < 3; ++i)
            if (m_order[i] == k) {
                out += m_fields[i];
                if (!out.endsWith('\n'))
                    out += "\r\n";
            }
    return out;
}

} // namespace qp
