#include "notify/MciCommand.h"

#include <QStringList>

namespace qp {

namespace {

bool is(const QString& word, const char* keyword)
{
    return word.compare(QLatin1String(keyword), Qt::CaseInsensitive) == 0;
}

// Splits on white space; a double-quoted run is one word (quotes removed)
// and may hold spaces. An unterminated quote makes the text unusable.
std::optional<QStringList> splitWords(const QString& text, int* quotedIndex)
{
    QStringList words;
    *quotedIndex = -1;
    qsizetype i = 0;
    const qsizetype n = text.size();
    while (i < n) {
        while (i < n && text[i].isSpace())
            ++i;
        if (i >= n)
            break;
        if (text[i] == QLatin1Char('"')) {
            const qsizetype end = text.indexOf(QLatin1Char('"'), i + 1);
            if (end < 0)
                return std::nullopt;
            *quotedIndex = int(words.size());
            words << text.mid(i + 1, end - i - 1);
            i = end + 1;
            if (i < n && !text[i].isSpace())
                return std::nullopt; // "path"junk
        } else {
            const qsizetype start = i;
            while (i < n && !text[i].isSpace() && text[i] != QLatin1Char('"'))
                ++i;
            words << text.mid(start, i - start);
        }
    }
    return words;
}

} // namespace

std::optional<MciCommand> parseMciCommand(const QString& text)
{
    int quoted = -1;
    const std::optional<QStringList> split = splitWords(text, &quoted);
    if (!split || split->isEmpty())
        return std::nullopt;
    const QStringList& w = *split;
    // Only the open command carries a quoted word, and only as its path.
    if (quoted != -1 && !(is(w[0], "open") && quoted == 1))
        return std::nullopt;

    MciCommand c;
    if (is(w[0], "open")) {
        if (w.size() != 4 || quoted != 1 || w[1].isEmpty() || !is(w[2], "alias"))
            return std::nullopt;
        c.verb = MciCommand::Verb::Open;
        c.path = w[1];
        c.alias = w[3];
        return c;
    }
    if (w.size() < 2)
        return std::nullopt;
    c.alias = w[1];
    if (is(w[0], "play") && w.size() == 2) {
        c.verb = MciCommand::Verb::Play;
    } else if (is(w[0], "play") && w.size() == 4 && is(w[2], "from") && w[3] == QLatin1String("0")) {
        c.verb = MciCommand::Verb::PlayFromStart;
    } else if (is(w[0], "status") && w.size() == 3 && is(w[2], "mode")) {
        c.verb = MciCommand::Verb::StatusMode;
    } else if (is(w[0], "stop") && w.size() == 2) {
        c.verb = MciCommand::Verb::Stop;
    } else if (is(w[0], "close") && w.size() == 2) {
        c.verb = MciCommand::Verb::Close;
    } else {
        return std::nullopt;
    }
    return c;
}

} // namespace qp
