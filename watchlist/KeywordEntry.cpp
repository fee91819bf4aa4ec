#include "watchlist/KeywordEntry.h"

#include "platform/Cp932.h"

namespace qp {

namespace {
QString cutToBytes(const QString& text, qsizetype maxBytes)
{
    return cp932::decode(cp932::truncateAtCharBoundary(cp932::encode(text).bytes, maxBytes)).text;
}
} // namespace

KeywordEdit fitKeywordEdit(const QString& before, const QString& after, int cursorAfter)
{
    KeywordEdit edit;
    const cp932::Encoded encoded = cp932::encode(after);
    if (!encoded.ok) {
        edit.refused = true;
        const qsizetype i = encoded.firstBadChar;
        const qsizetype len = (after[i].isHighSurrogate() && i + 1 < after.size()) ? 2 : 1;
        edit.badCharacter = after.mid(i, len);
        edit.text = before;
        edit.cursor = static_cast<int>(before.size());
        return edit;
    }
    if (encoded.bytes.size() <= kKeywordEntryMaxBytes) {
        edit.text = after;
        edit.cursor = cursorAfter;
        return edit;
    }

    // Find what the edit inserted: after = prefix + inserted + suffix, where
    // prefix and suffix are unchanged parts of before.
    const qsizetype limit = qMin(before.size(), after.size());
    qsizetype prefix = 0;
    while (prefix < limit && before[prefix] == after[prefix])
        ++prefix;
    qsizetype suffix = 0;
    while (suffix < limit - prefix
           && before[before.size() - 1 - suffix] == after[after.size() - 1 - suffix])
        ++suffix;
    const QString head = after.left(prefix);
    const QString tail = after.right(suffix);
    const QString inserted = after.mid(prefix, after.size() - prefix - suffix);
    const qsizetype budget = kKeywordEntryMaxBytes - cp932::byteLength(head + tail);
    if (budget < 0) {
        // The box was already over the limit (text set by the program):
        // keep the first 200 bytes.
        edit.text = cutToBytes(after, kKeywordEntryMaxBytes);
        edit.cursor = static_cast<int>(edit.text.size());
        return edit;
    }
    const QString kept = cutToBytes(inserted, budget);
    edit.text = head + kept + tail;
    edit.cursor = static_cast<int>(head.size() + kept.size());
    return edit;
}

} // namespace qp
