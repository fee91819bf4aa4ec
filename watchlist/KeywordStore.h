#pragma once
#include <QByteArray>
#include <QString>
#include <QStringList>
#include <functional>

namespace qp {

// Why a store operation failed. The window turns these into its messages;
// the check cycle treats any failure as "no keywords".
enum class KeywordStoreFailure {
    None,
    FolderMissing, // the data folder does not exist
    OpenFailed,    // the store or its temporary file could not be opened/created
    ReadFailed,
    WriteFailed,   // writing or flushing the temporary file failed (disk full, ...)
    RenameFailed,  // the temporary file could not replace the store
    Unencodable,   // the keyword holds characters CP932 cannot store
    Full,          // the store already holds the most records it can
};

struct KeywordStoreStatus {
    KeywordStoreFailure failure = KeywordStoreFailure::None;
    QString detail; // the system's reason and the file concerned, for the message
    // The store was missing and was restored from "FERRULEDATA50.TMP", left
    // behind by a deletion that did not finish. The user should be told.
    bool recoveredFromTemp = false;
    // The store holds more than kMaxRecords whole records; only the first
    // kMaxRecords were read. The user should be told (once).
    bool recordsIgnored = false;

    bool ok() const { return failure == KeywordStoreFailure::None; }
};

struct KeywordList {
    KeywordStoreStatus status;
    QStringList keywords; // records 1, 2, ... in file order, filler spaces kept
};

struct KeywordRecordNumber {
    KeywordStoreStatus status;
    int number = 0;
};

// The points at which replacing the store can be interrupted. The crash test
// kills a child process at each of them.
enum class KeywordStoreStep {
    TempOpened,      // "FERRULEDATA50.TMP" created or emptied
    TempHalfWritten, // part of the new list written
    TempSynced,      // all written and flushed to disk, not yet renamed
    Renamed,         // the temporary file has replaced the store
};

// The keyword store: a file of 204-byte records in the data folder,
// {P}/★MAilData/ferruledata50.data (folder and file matched without regard
// to case). Every operation opens the files it needs and closes them before
// it returns; nothing is kept in memory between calls.
//
// Changes never modify the store in place: the new contents are written to
// "FERRULEDATA50.TMP" in the same folder, flushed, and renamed over the
// store, so an interrupted change leaves either the old or the new list.
// A store that is missing while a "FERRULEDATA50.TMP" exists is restored
// from it (recoveredFromTemp) before anything else happens, so a list
// that only survives in the temporary file is never replaced by an empty one.
class KeywordStore {
public:
    // Record numbers are 16-bit and the load loop counts one past the last,
    // so this is the most records a store can hold.
    static constexpr int kMaxRecords = 32766;

    // Paths as they resolve now (the spellings existing data folders hold).
    static QString storePath();  // "\★MAilData\Ferruledata50.data"
    static QString tempPath();   // "\★MAilData\FERRULEDATA50.TMP"
    static QString dataFolder(); // "\★MAilData"

    // Load all: the keyword field of every whole record, as read (trailing
    // filler included), InUse not consulted. Creates an empty store when
    // there is none. A trailing part-record is not returned, nor any record
    // after the first kMaxRecords (recordsIgnored tells).
    static KeywordList loadAll();

    // The record number an append writes to: store length / 204 + 1, to the
    // nearest whole number with halves to even. Creates the store if missing.
    static KeywordRecordNumber nextRecordNumber();

    // Writes keyword as record n (1-based): InUse 1, CR LF, the keyword cut
    // to 200 bytes at a character boundary and padded with spaces. A gap
    // before record n (a store with a part-record at its end) is filled with
    // zero bytes, as extending a file by seeking past its end gives. Refuses n beyond
    // kMaxRecords (Full) and text CP932 cannot hold (Unencodable).
    static KeywordStoreStatus putRecord(int n, const QString& keyword);

    // Rewrites the store without the records whose InUse is 0 and, when
    // removeRow >= 0, without record removeRow + 1 (the 0-based row of the
    // list loadAll returned). removeRow < 0 rewrites the same records in the
    // same order. A part-record at the end is dropped. Records after the
    // first kMaxRecords are not looked at and are kept, byte for byte. On
    // failure the store is left exactly as it was and no temporary file
    // remains.
    static KeywordStoreStatus compact(int removeRow = -1);

    // The raw bytes of the store, read afresh into buffer (its capacity is
    // reused), at most the first kMaxRecords records. Creates the store (or
    // restores it) like loadAll. Used by the matcher, which reads the store
    // once for every waiting message.
    static KeywordStoreStatus readBytes(QByteArray& buffer);

    // Test seam: called at each step of replacing the store.
    static void setStepHook(std::function<void(KeywordStoreStep)> hook);
};

} // namespace qp
