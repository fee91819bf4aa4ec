#pragma once
#include <QByteArray>
#include <QByteArrayView>

#include <algorithm>
#include <array>

namespace qp {

// Reads one POP3 reply from bytes fed in whatever pieces the socket
// delivers. It never needs a whole data line in memory: multi-line data is
// unstuffed as it streams, so only the status line is bounded by a line
// limit and the data by a byte limit. A hostile server can therefore not make
// us buffer more than those limits.
class Pop3ReplyReader {
public:
    // RFC 2449 allows 512 octets for a status line; real servers stay far
    // below. Anything past this is not a POP3 server talking.
    static constexpr qsizetype kMaxStatusLine = 8192;

    enum class Status {
        NeedMore,     // feed more bytes
        Done,         // the reply is complete; bytes after it were not consumed
        LineTooLong,  // status line over kMaxStatusLine
        TooLarge,     // multi-line data over the limit given to startMultiLine;
                      // feeding on drops the rest of the reply up to its end
    };

    // A single-line reply ("+OK ..." or "-ERR ...").
    void startSingleLine();
    // A reply that carries multi-line data when its status is +OK. A -ERR
    // status ends the reply at its status line. At most keepBytes of the
    // data are kept (all up to maxDataBytes when negative); the rest is
    // unstuffed, counted and dropped.
    void startMultiLine(qsizetype maxDataBytes, qsizetype keepBytes = -1);
    // Keeps no data past this many bytes (what is kept beyond goes now).
    void setKeepLimit(qsizetype bytes)
    {
        m_keep = std::min(m_keep, bytes);
        if (m_data.size() > m_keep)
            m_data.truncate(m_keep);
    }

    // Consumes bytes from input up to the end of the reply; consumed tells
    // how many. After Done or LineTooLong, start again before feeding more.
    // After TooLarge, either start again or feed on: the rest of the data
    // is then read up to the end of the reply and dropped.
    Status feed(QByteArrayView input, qsizetype* consumed);

    // The status line without its line end.
    const QByteArray& statusLine() const { return m_status; }
    bool isOk() const;  // status "+OK"
    bool isErr() const; // status "-ERR"
    // The status line's text after "+OK " / "-ERR ".
    QByteArray statusText() const;

    // Multi-line data, dot-unstuffed, without the terminating ".", lines
    // ending as the server ended them (CRLF, or LF from sloppy servers).
    const QByteArray& data() const { return m_data; }
    // Data bytes read so far, kept or not.
    qsizetype dataSize() const { return m_dataSize; }
    // The data went past maxDataBytes.
    bool overflowed() const { return m_overflowed; }
    QByteArray takeData();
    void reserveData(qsizetype bytes) { m_data.reserve(bytes); }

private:
    enum class State { Status, LineStart, InLine, DotAtStart, DotCr, Finished };
    bool statusComplete();
    // Counts and keeps what the bounds allow; true when this crossed maxData.
    bool takeData(const char* bytes, qsizetype n);

    State m_state = State::Finished;
    bool m_multiLine = false;
    qsizetype m_maxData = 0;
    qsizetype m_keep = 0;
    qsizetype m_dataSize = 0;
    bool m_overflowed = false;
    QByteArray m_status;
    QByteArray m_data;
};

// The fields a check uses (the first From, Subject and Date) from a header
// streamed in pieces of any size, keeping nothing else: a header of any
// length costs at most kMaxFieldBytes per field and one line's worth more.
// Each field is kept as it came, folded lines and all, so that decoding the
// result gives the same From, Subject and Date as decoding the whole header.
class HeaderFieldCollector {
public:
    // Far above any real field; a hostile one is cut here. 48 KB of
    // encoded words (even quoted-printable Japanese, 9 bytes a character)
    // still decode past the 8 KB text buffer, so a cut field reads as an
    // uncut one would.
    static constexpr qsizetype kMaxFieldBytes = 48 * 1024;

    void feed(QByteArrayView bytes);
    // The header's empty line has been seen: what follows is not header.
    bool ended() const { return m_ended; }
    // The collected fields in the order they came, each ending in a line end.
    QByteArray fields() const;

private:
    void takeLine();

    QByteArray m_line; // the line coming in, cut at kMaxFieldBytes + 1024
    int m_current = -1; // the wanted field the current line continues, or -1
    std::array<QByteArray, 3> m_fields;
    std::array<int, 3> m_order{-1, -1, -1};
    int m_found = 0;
    bool m_ended = false;
};

} // namespace qp
