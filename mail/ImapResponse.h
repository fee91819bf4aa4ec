#pragma once
#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <optional>

#include "mail/Pop3Reply.h"

namespace qp {

// Reads one IMAP response (RFC 3501 section 7) from bytes fed in whatever
// pieces the socket delivers. A response is a line that may carry literals
// ("{n}" at a line end, then n bytes, then the line goes on). Everything is
// bounded: the text outside literals, each literal, and the whole response,
// so a hostile server cannot make us hold more than the caller allows.
class ImapResponseReader {
public:
    enum class Status {
        NeedMore,        // feed more bytes
        Done,            // one whole response; bytes after it were not consumed
        LineTooLong,     // text outside literals over maxText
        LiteralTooLarge, // a literal announced over maxLiteral
        TooLarge,        // text and literals together over maxResponse
    };

    // Bounds for the next response. Text counts every byte outside literals.
    void start(qsizetype maxText, qsizetype maxLiteral, qsizetype maxResponse);
    // From the next start() on: every literal is a message header of any
    // size, of which only the fields a check uses are kept (as
    // HeaderFieldCollector keeps them); the literal then reads as those
    // fields alone, and maxLiteral bounds what is kept, not what came; a
    // literal announced over maxAnnounced is still refused at once.
    void setCollectHeaderFields(bool on, qsizetype maxAnnounced = 0)
    {
        m_collect = on;
        m_maxAnnounced = maxAnnounced;
    }
    Status feed(QByteArrayView input, qsizetype* consumed);

    // The response without its final CRLF; each literal stays as "{n}\r\n"
    // followed by its n bytes, which is what parseImapResponse reads.
    const QByteArray& raw() const { return m_raw; }
    QByteArray take();

private:
    enum class State { Text, Cr, Literal, Finished };
    Status lineEnded();

    State m_state = State::Finished;
    qsizetype m_maxText = 0, m_maxLiteral = 0, m_maxResponse = 0;
    qsizetype m_text = 0;          // bytes outside literals so far
    qsizetype m_lineStart = 0;     // where the current line's text begins in m_raw
    qsizetype m_literalLeft = 0;
    QByteArray m_raw;
    bool m_collect = false;
    qsizetype m_maxAnnounced = 0;
    qsizetype m_literalHead = 0;   // where the "{n}" of the current literal begins
    HeaderFieldCollector m_fields; // collecting mode: the literal's wanted fields
};

// A value in a response: an atom (numbers and NIL are atoms too), a string
// (quoted or literal, unescaped) or a parenthesised list.
struct ImapValue {
    enum class Type { Atom, String, List };
    Type type = Type::Atom;
    QByteArray text;         // atom or string bytes
    QList<ImapValue> items;  // list members

    bool isNil() const;
    // A number of at most 19 digits; nullopt for anything else.
    std::optional<qint64> number() const;
};

// One response, split into its parts.
struct ImapResponse {
    enum class Kind { Untagged, Tagged, Continuation };
    Kind kind = Kind::Untagged;
    QByteArray tag;       // tagged only
    // Status responses (OK, NO, BAD, PREAUTH, BYE), upper case; empty for data.
    QByteArray status;
    QByteArray code;      // the response code's name, upper case ("CAPABILITY", "READ-ONLY")
    QByteArray codeText;  // what follows the name inside the brackets
    QByteArray text;      // human-readable text (also a continuation's text)
    // Data responses: "* 3 FETCH (...)" has number 3 and name "FETCH";
    // "* SEARCH 4 9" has name "SEARCH". Names in upper case.
    qint64 number = -1;
    QByteArray name;
    QList<ImapValue> values; // the values after the name
    // Data responses the client has no use for may hold what our value
    // reader does not take (servers' own extensions): then values stays
    // empty and this is false, and only a response the client needs fails.
    bool valuesParsed = true;

    bool isStatus() const { return !status.isEmpty(); }
    // Capabilities from a CAPABILITY data response or response code, upper case.
    QList<QByteArray> capabilities() const;
    // The numbers of a SEARCH response; nullopt when one is not a number or
    // there are more than kMaxSearchNumbers (searchTooMany() tells which).
    // They are read straight from the line, without a value for each.
    static constexpr qsizetype kMaxSearchNumbers = 1000000;
    std::optional<QList<qint64>> searchNumbers() const;
    bool searchTooMany() const { return searchState == SearchState::TooMany; }

    enum class SearchState { None, Read, Malformed, TooMany };
    SearchState searchState = SearchState::None;
    QList<qint64> searched;
};

// What a FETCH response says about one message; items it did not carry stay
// unset.
struct ImapFetch {
    qint64 sequence = 0;
    std::optional<qint64> uid;
    std::optional<qint64> size;                // RFC822.SIZE
    std::optional<QByteArray> headerFields;    // BODY[HEADER.FIELDS (...)], NIL as empty
};

// nullopt when the bytes are not an IMAP response at all (no tag, a tagged
// response that is not a status).
std::optional<ImapResponse> parseImapResponse(QByteArrayView raw);

// The FETCH items of a "* n FETCH (...)" response; nullopt when it is not
// one or its item list is malformed.
std::optional<ImapFetch> imapFetch(const ImapResponse& response);

} // namespace qp
