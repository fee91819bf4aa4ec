#pragma once
#include <QByteArray>
#include <QByteArrayView>

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
        TooLarge,     // multi-line data over the limit given to startMultiLine
    };

    // A single-line reply ("+OK ..." or "-ERR ...").
    void startSingleLine();
    // A reply that carries multi-line data when its status is +OK. A -ERR
    // status ends the reply at its status line.
    void startMultiLine(qsizetype maxDataBytes);

    // Consumes bytes from input up to the end of the reply; consumed tells
    // how many. After Done, LineTooLong or TooLarge, start again before
    // feeding more.
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
    QByteArray takeData();
    void reserveData(qsizetype bytes) { m_data.reserve(bytes); }

private:
    enum class State { Status, LineStart, InLine, DotAtStart, DotCr, Finished };
    bool statusComplete();

    State m_state = State::Finished;
    bool m_multiLine = false;
    qsizetype m_maxData = 0;
    QByteArray m_status;
    QByteArray m_data;
};

} // namespace qp
