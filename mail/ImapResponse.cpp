#include "ImapResponse.h"

#include <cstring>

namespace qp {

// ---------------------------------------------------------------- reader

void ImapResponseReader::start(qsizetype maxText, qsizetype maxLiteral, qsizetype maxResponse)
{
    m_maxText = maxText;
    m_maxLiteral = maxLiteral;
    m_maxResponse = maxResponse;
    m_text = 0;
    m_lineStart = 0;
    m_literalLeft = 0;
    m_raw.resize(0);
    m_state = State::Text;
}

QByteArray ImapResponseReader::take()
{
    QByteArray out = std::move(m_raw);
    m_raw = QByteArray();
    return out;
}

namespace {

// "{n}" or "{n+}" (or literal8 "~{n}") ending a line; -1 when the line does
// not end in one, -2 when the number is not one we can hold.
qint64 literalAtEnd(QByteArrayView line)
{
    if (!line.endsWith('}'))
        return -1;
    const qsizetype open = line.lastIndexOf('{');
    if (open < 0)
        return -1;
    QByteArrayView digits = line.sliced(open + 1, line.size() - open - 2);
    if (digits.endsWith('+'))
        digits.chop(1);
    if (digits.isEmpty())
        return -1;
    if (digits.size() > 18)
        return -2;
    qint64 n = 0;
    for (char c : digits) {
        if (c < '0' || c > '9')
            return -1;
        n = n * 10 + (c - '0');
    }
    return n;
}

} // namespace

ImapResponseReader::Status ImapResponseReader::lineEnded()
{
    // Line ends are kept as CRLF (a lone LF from a sloppy server included),
    // so the parser finds each literal's bytes right after "}\r\n".
    m_raw.chop(1); // the LF
    if (m_raw.endsWith('\r'))
        m_raw.chop(1);
    const qint64 n = literalAtEnd(QByteArrayView(m_raw).sliced(m_lineStart));
    if (n < 0 && n != -2) {
        m_state = State::Finished;
        return Status::Done;
    }
    if (n == -2 || n > (m_collect ? m_maxAnnounced : m_maxLiteral)) {
        m_state = State::Finished;
        return Status::LiteralTooLarge;
    }
    if (m_raw.size() + 2 + (m_collect ? std::min<qint64>(n, m_maxLiteral) : n) > m_maxResponse) {
        m_state = State::Finished;
        return Status::TooLarge;
    }
    if (m_collect) {
        m_literalHead = m_raw.lastIndexOf('{');
        m_fields = HeaderFieldCollector();
        if (n == 0)
            m_raw += "\r\n";
    } else {
        m_raw += "\r\n";
    }
    m_literalLeft = n;
    m_state = n > 0 ? State::Literal : State::Text;
    m_lineStart = m_raw.size();
    return Status::NeedMore;
}

ImapResponseReader::Status ImapResponseReader::feed(QByteArrayView input, qsizetype* consumed)
{
    qsizetype at = 0;
    while (at < input.size()) {
        if (m_state == State::Finished)
            break;
        if (m_state == State::Literal) {
            const qsizetype n = std::min(m_literalLeft, input.size() - at);
            if (m_collect)
                m_fields.feed(input.sliced(at, n));
            else
                m_raw.append(input.sliced(at, n));
            at += n;
            m_literalLeft -= n;
            if (m_literalLeft == 0 && m_collect) {
                // The literal becomes what was kept of it, within the bound.
                const QByteArray kept = m_fields.fields().left(m_maxLiteral);
                m_raw.truncate(m_literalHead);
                m_raw += '{' + QByteArray::number(kept.size()) + "}\r\n" + kept;
            }
            if (m_literalLeft == 0) {
                m_state = State::Text;
                m_lineStart = m_raw.size();
            }
            continue;
        }
        // Text up to and including the next line feed, within the bounds.
        const char* begin = input.data() + at;
        const void* nl = std::memchr(begin, '\n', size_t(input.size() - at));
        const qsizetype n = nl ? static_cast<const char*>(nl) - begin + 1 : input.size() - at;
        if (m_text + n > m_maxText + 2) { // the bound is on text, not on its line end
            *consumed = at;
            m_state = State::Finished;
            return Status::LineTooLong;
        }
        if (m_raw.size() + n > m_maxResponse + 2) {
            *consumed = at;
            m_state = State::Finished;
            return Status::TooLarge;
        }
        m_raw.append(begin, n);
        m_text += n;
        at += n;
        if (nl) {
            const Status s = lineEnded();
            if (s != Status::NeedMore) {
                *consumed = at;
                return s;
            }
        }
    }
    *consumed = at;
    return Status::NeedMore;
}

// ---------------------------------------------------------------- parser

bool ImapValue::isNil() const
{
    return type == Type::Atom && text.compare("NIL", Qt::CaseInsensitive) == 0;
}

std::optional<qint64> ImapValue::number() const
{
    if (type != Type::Atom || text.isEmpty() || text.size() > 18)
        return std::nullopt;
    qint64 n = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        n = n * 10 + (c - '0');
    }
    return n;
}

namespace {

// Lists deeper than any response we read are a server trying to exhaust
// the stack.
constexpr int kMaxDepth = 32;

class ValueParser {
public:
    explicit ValueParser(QByteArrayView s) : m_s(s) {}

    bool atEnd() const { return m_at >= m_s.size(); }
    qsizetype position() const { return m_at; }

    void skipSpaces()
    {
        while (m_at < m_s.size() && m_s.at(m_at) == ' ')
            ++m_at;
    }

    // A run of atom characters (for tags and response names).
    QByteArray word()
    {
        const qsizetype from = m_at;
        while (m_at < m_s.size() && isAtomChar(m_s.at(m_at)) && m_s.at(m_at) != '[')
            ++m_at;
        return m_s.sliced(from, m_at - from).toByteArray();
    }

    QByteArrayView rest() const { return m_s.sliced(std::min(m_at, m_s.size())); }

    // Values up to the end (depth 0) or the closing parenthesis of a list.
    bool values(QList<ImapValue>* out, int depth)
    {
        for (;;) {
            skipSpaces();
            if (atEnd())
                return depth == 0;
            if (m_s.at(m_at) == ')') {
                if (depth == 0)
                    return false;
                ++m_at;
                return true;
            }
            ImapValue v;
            if (!value(&v, depth))
                return false;
            out->append(std::move(v));
        }
    }

private:
    static bool isAtomChar(char c)
    {
        const auto u = static_cast<unsigned char>(c);
        return u > 0x20 && u != 0x7F && c != '(' && c != ')' && c != '"' && c != '{';
    }

    bool value(ImapValue* v, int depth)
    {
        const char c = m_s.at(m_at);
        if (c == '(') {
            if (depth >= kMaxDepth)
                return false;
            ++m_at;
            v->type = ImapValue::Type::List;
            return values(&v->items, depth + 1);
        }
        if (c == '"')
            return quoted(v);
        if (c == '{' || (c == '~' && m_at + 1 < m_s.size() && m_s.at(m_at + 1) == '{'))
            return literal(v);
        return atom(v);
    }

    bool quoted(ImapValue* v)
    {
        v->type = ImapValue::Type::String;
        ++m_at;
        while (m_at < m_s.size()) {
            char c = m_s.at(m_at++);
            if (c == '"')
                return true;
            if (c == '\r' || c == '\n')
                return false;
            if (c == '\\') {
                if (m_at >= m_s.size())
                    return false;
                c = m_s.at(m_at++);
            }
            v->text.append(c);
        }
        return false;
    }

    bool literal(ImapValue* v)
    {
        v->type = ImapValue::Type::String;
        if (m_s.at(m_at) == '~')
            ++m_at;
        const qsizetype close = m_s.indexOf('}', m_at);
        if (close < 0 || close + 2 >= m_s.size() || m_s.at(close + 1) != '\r' || m_s.at(close + 2) != '\n')
            return false;
        QByteArrayView digits = m_s.sliced(m_at + 1, close - m_at - 1);
        if (digits.endsWith('+'))
            digits.chop(1);
        ImapValue n{ImapValue::Type::Atom, digits.toByteArray(), {}};
        const auto length = n.number();
        const qsizetype start = close + 3;
        if (!length || *length > m_s.size() - start)
            return false;
        v->text = m_s.sliced(start, qsizetype(*length)).toByteArray();
        m_at = start + qsizetype(*length);
        return true;
    }

    // An atom; a section in brackets ("BODY[HEADER.FIELDS (FROM)]", which
    // holds spaces and parentheses) is part of it, as is a partial "<0>".
    bool atom(ImapValue* v)
    {
        const qsizetype from = m_at;
        while (m_at < m_s.size() && isAtomChar(m_s.at(m_at))) {
            if (m_s.at(m_at) == '[') {
                const qsizetype close = m_s.indexOf(']', m_at);
                if (close < 0)
                    return false;
                for (qsizetype i = m_at; i < close; ++i)
                    if (m_s.at(i) == '\r' || m_s.at(i) == '\n')
                        return false;
                m_at = close + 1;
                continue;
            }
            ++m_at;
        }
        if (m_at == from)
            return false;
        v->type = ImapValue::Type::Atom;
        v->text = m_s.sliced(from, m_at - from).toByteArray();
        return true;
    }

    QByteArrayView m_s;
    qsizetype m_at = 0;
};

bool isStatusWord(const QByteArray& w)
{
    return w == "OK" || w == "NO" || w == "BAD" || w == "PREAUTH" || w == "BYE";
}

// resp-text: an optional "[CODE text]" and the human text.
void parseRespText(QByteArrayView s, ImapResponse* r)
{
    while (s.startsWith(' '))
        s = s.sliced(1);
    if (s.startsWith('[')) {
        const qsizetype close = s.indexOf(']');
        if (close > 0) {
            const QByteArrayView inside = s.sliced(1, close - 1);
            const qsizetype space = inside.indexOf(' ');
            r->code = (space < 0 ? inside : inside.first(space)).toByteArray().toUpper();
            if (space >= 0)
                r->codeText = inside.sliced(space + 1).toByteArray();
            s = s.sliced(close + 1);
            while (s.startsWith(' '))
                s = s.sliced(1);
        }
    }
    r->text = s.toByteArray();
}

} // namespace

// "* SEARCH 4 9 (MODSEQ 12)": the numbers, each a non-zero 32-bit value,
// and at most one parenthesised list (RFC 4731/7162 add one; it is not a
// message). A million UIDs are a few MB here, not a value object each.
static ImapResponse::SearchState readSearchNumbers(QByteArrayView s, QList<qint64>* out)
{
    using State = ImapResponse::SearchState;
    qsizetype at = 0;
    const qsizetype size = s.size();
    while (at < size) {
        if (s.at(at) == ' ') {
            ++at;
            continue;
        }
        if (s.at(at) == '(') {
            const qsizetype close = s.indexOf(')', at);
            if (close < 0)
                return State::Malformed;
            at = close + 1;
            continue;
        }
        qint64 n = 0;
        const qsizetype from = at;
        while (at < size && s.at(at) >= '0' && s.at(at) <= '9' && n <= 0xFFFFFFFF)
            n = n * 10 + (s.at(at++) - '0');
        if (at == from || n == 0 || n > 0xFFFFFFFF || (at < size && s.at(at) != ' '))
            return State::Malformed;
        if (out->size() >= ImapResponse::kMaxSearchNumbers)
            return State::TooMany;
        out->append(n);
    }
    return State::Read;
}

std::optional<ImapResponse> parseImapResponse(QByteArrayView raw)
{
    ImapResponse r;
    if (raw.startsWith('+')) {
        r.kind = ImapResponse::Kind::Continuation;
        raw = raw.sliced(1);
        if (raw.startsWith(' '))
            raw = raw.sliced(1);
        r.text = raw.toByteArray();
        return r;
    }
    ValueParser p(raw);
    if (raw.startsWith("* ")) {
        r.kind = ImapResponse::Kind::Untagged;
        p.word(); // "*"
    } else {
        r.kind = ImapResponse::Kind::Tagged;
        r.tag = p.word();
        if (r.tag.isEmpty())
            return std::nullopt;
    }
    p.skipSpaces();
    QByteArray word = p.word().toUpper();
    if (word.isEmpty())
        return std::nullopt;
    if (isStatusWord(word)) {
        r.status = word;
        parseRespText(p.rest(), &r);
        return r;
    }
    if (r.kind == ImapResponse::Kind::Tagged)
        return std::nullopt;
    const ImapValue asNumber{ImapValue::Type::Atom, word, {}};
    if (const auto n = asNumber.number()) {
        r.number = *n;
        p.skipSpaces();
        word = p.word().toUpper();
        if (word.isEmpty())
            return std::nullopt;
    }
    r.name = word;
    if (r.name == "SEARCH" && r.number < 0) {
        r.searchState = readSearchNumbers(p.rest(), &r.searched);
        return r;
    }
    if (!p.values(&r.values, 0)) {
        r.values.clear();
        r.valuesParsed = false;
    }
    return r;
}

QList<QByteArray> ImapResponse::capabilities() const
{
    QList<QByteArray> out;
    if (name == "CAPABILITY") {
        for (const ImapValue& v : values)
            if (v.type == ImapValue::Type::Atom)
                out << v.text.toUpper();
    } else if (code == "CAPABILITY") {
        for (const QByteArray& w : codeText.split(' '))
            if (!w.isEmpty())
                out << w.toUpper();
    }
    return out;
}

std::optional<QList<qint64>> ImapResponse::searchNumbers() const
{
    if (searchState != SearchState::Read)
        return std::nullopt;
    return searched;
}

std::optional<ImapFetch> imapFetch(const ImapResponse& response)
{
    if (response.name != "FETCH" || response.number < 1 || response.values.size() != 1
        || response.values.at(0).type != ImapValue::Type::List)
        return std::nullopt;
    const QList<ImapValue>& items = response.values.at(0).items;
    if (items.size() % 2 != 0)
        return std::nullopt;
    ImapFetch f;
    f.sequence = response.number;
    for (qsizetype i = 0; i < items.size(); i += 2) {
        const ImapValue& name = items.at(i);
        const ImapValue& value = items.at(i + 1);
        if (name.type != ImapValue::Type::Atom)
            return std::nullopt;
        const QByteArray key = name.text.toUpper();
        if (key == "UID" || key == "RFC822.SIZE") {
            const auto n = value.number();
            if (!n)
                return std::nullopt;
            (key == "UID" ? f.uid : f.size) = *n;
        } else if (key.startsWith("BODY[HEADER.FIELDS ") || key.startsWith("BODY[HEADER.FIELDS(")) {
            if (value.type == ImapValue::Type::String)
                f.headerFields = value.text;
            else if (value.isNil())
                f.headerFields = QByteArray();
            else
                return std::nullopt;
        }
    }
    return f;
}

} // namespace qp
