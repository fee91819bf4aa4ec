#pragma once
#include <QString>

namespace qp {

// The keyword entry box holds at most what one record can store: 200 bytes
// of CP932. These rules are applied to every edit the user makes.
inline constexpr int kKeywordEntryMaxBytes = 200;

struct KeywordEdit {
    QString text;      // what the box should hold after the edit
    int cursor = 0;    // where its cursor goes
    bool refused = false; // the edit brought in a character CP932 cannot hold
    QString badCharacter; // that character, for the message
};

// Applies the entry box's limits to an edit that turned `before` into
// `after` (cursorAfter: the cursor after the edit). Characters without a
// CP932 form refuse the whole edit (the text stays `before`). An edit that
// would pass 200 bytes keeps only as much of what was inserted as fits, cut
// at a character boundary, like a length limit that counts bytes.
KeywordEdit fitKeywordEdit(const QString& before, const QString& after, int cursorAfter);

} // namespace qp
