#include "watchlist/KeywordStore.h"

#include "platform/AtomicFile.h"
#include "platform/Cp932.h"
#include "platform/Numbers.h"
#include "platform/ProgramFolder.h"
#include "watchlist/KeywordRecord.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qp {

namespace {

// The loader, the length probe, the deleter and the check cycle spell the
// store this way; the record writer spells it "ferruledata50.data". Both
// resolve to one file; a store created afresh takes the loader's spelling,
// because loading (which creates it) always comes first.
const QString kStoreTail = QStringLiteral("\\★MAilData\\Ferruledata50.data");
const QString kWriterTail = QStringLiteral("\\★MAilData\\ferruledata50.data");
const QString kTempTail = QStringLiteral("\\★MAilData\\FERRULEDATA50.TMP");
const QString kFolderTail = QStringLiteral("\\★MAilData");

constexpr qsizetype kRecord = KeywordRecord::kSize;

std::function<void(KeywordStoreStep)>& stepHook()
{
    static std::function<void(KeywordStoreStep)> hook;
    return hook;
}

void step(KeywordStoreStep s)
{
    if (stepHook())
        stepHook()(s);
}

KeywordStoreStatus failed(KeywordStoreFailure failure, const QString& detail)
{
    KeywordStoreStatus status;
    status.failure = failure;
    status.detail = detail;
    return status;
}

QString systemReason()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

// Flushes a folder's entry list to disk so a rename survives a power cut.
void syncFolder(const QString& folder)
{
    const int fd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

// Identifies a folder's list of entries: any entry added, removed or
// renamed in it changes its modification time.
struct FolderStamp {
    bool valid = false;
    dev_t device = 0;
    ino_t inode = 0;
    timespec modified{};

    bool operator==(const FolderStamp& o) const
    {
        return valid && o.valid && device == o.device && inode == o.inode
            && modified.tv_sec == o.modified.tv_sec && modified.tv_nsec == o.modified.tv_nsec;
    }
};

FolderStamp stampOf(const QString& folder)
{
    FolderStamp stamp;
    struct stat st {};
    if (::stat(QFile::encodeName(folder).constData(), &st) == 0 && S_ISDIR(st.st_mode)) {
        stamp.valid = true;
        stamp.device = st.st_dev;
        stamp.inode = st.st_ino;
        stamp.modified = st.st_mtim;
    }
    return stamp;
}

// The store's path for the check cycle's read, which runs once per waiting
// message. Resolving the name without regard to case lists the folder
// that holds it (the data folder is spelled "★MAilData" here and "★MailData" on
// disk), which costs about as much as matching itself; so the last
// resolution is reused while neither folder's entries have changed. The
// stamps are taken before resolving, so a change during it is noticed next
// time.
QString storePathForReading()
{
    struct Cache {
        QString program;
        FolderStamp programStamp;
        QString data;
        FolderStamp dataStamp;
        QString path;
    };
    static Cache cache;
    const QString program = userFolder();
    if (!cache.path.isEmpty() && cache.program == program && stampOf(program) == cache.programStamp
        && stampOf(cache.data) == cache.dataStamp)
        return cache.path;
    Cache fresh;
    fresh.program = program;
    fresh.programStamp = stampOf(program);
    fresh.data = programPath(kFolderTail);
    fresh.dataStamp = stampOf(fresh.data);
    fresh.path = programPath(kStoreTail);
    cache = fresh;
    return cache.path;
}

// Makes sure the store exists: restores it from the temporary file a broken
// deletion left behind, or creates it empty. Returns its path in *path.
KeywordStoreStatus ensureStore(const QString& tail, QString* path)
{
    *path = tail == kStoreTail ? storePathForReading() : programPath(tail);
    if (QFileInfo::exists(*path))
        return {};
    const QString folder = programPath(kFolderTail);
    if (!QFileInfo(folder).isDir())
        return failed(KeywordStoreFailure::FolderMissing, QDir::toNativeSeparators(folder));

    const QString temp = programPath(kTempTail);
    if (QFileInfo(temp).isFile()) {
        if (::rename(QFile::encodeName(temp).constData(), QFile::encodeName(*path).constData()) != 0)
            return failed(KeywordStoreFailure::RenameFailed,
                          QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(temp), systemReason()));
        syncFolder(folder);
        KeywordStoreStatus status;
        status.recoveredFromTemp = true;
        return status;
    }

    QFile file(*path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly) && !QFileInfo::exists(*path))
        return failed(KeywordStoreFailure::OpenFailed,
                      QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(*path), file.errorString()));
    return {};
}

// Reads the store into buffer: all of it, or with a limit at most limit
// bytes (recordsIgnored when there was more). Only a regular file is read,
// and opening never blocks.
KeywordStoreStatus readInto(const QString& path, QByteArray& buffer, qsizetype limit = -1)
{
    QString reason;
    const int fd = openRegularFileForReading(path, &reason);
    if (fd < 0)
        return failed(KeywordStoreFailure::OpenFailed,
                      QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(path), reason));
    QFile file;
    if (!file.open(fd, QIODevice::ReadOnly | QIODevice::Unbuffered, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return failed(KeywordStoreFailure::OpenFailed,
                      QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(path), file.errorString()));
    }
    // One read of the expected size (plus one byte to notice growth) reusing
    // the buffer's capacity: the check cycle does this once per message.
    const qint64 size = qMax<qint64>(file.size(), 0);
    qsizetype want = limit >= 0 ? qMin<qint64>(size, limit) + 1 : size + 1;
    qsizetype got = 0;
    buffer.resize(want);
    for (;;) {
        const qint64 n = file.read(buffer.data() + got, want - got);
        if (n < 0) {
            buffer.clear();
            return failed(KeywordStoreFailure::ReadFailed,
                          QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(path), file.errorString()));
        }
        if (n == 0)
            break;
        got += n;
        if (got == want) {
            if (limit >= 0 && got > limit)
                break;
            want += 64 * 1024;
            if (limit >= 0)
                want = qMin(want, limit + 1);
            buffer.resize(want);
        }
    }
    KeywordStoreStatus status;
    if (limit >= 0 && got > limit) {
        got = limit;
        status.recordsIgnored = true;
    }
    buffer.resize(got);
    return status;
}

constexpr qsizetype kReadLimit = qsizetype(KeywordStore::kMaxRecords) * kRecord;

// Replaces the file at storePath with bytes through the temporary file:
// write, flush to disk, rename. On failure the store is untouched and the
// temporary file is removed.
KeywordStoreStatus replaceStore(const QString& storePath, const QByteArray& bytes)
{
    const QString temp = programPath(kTempTail);
    const QByteArray tempName = QFile::encodeName(temp);
    // Never blocks: something other than a regular file under the temporary
    // name (a FIFO, a device) is refused rather than written into.
    const int fd = ::open(tempName.constData(), O_WRONLY | O_CREAT | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0666);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || ::ftruncate(fd, 0) != 0) {
        const QString reason = fd < 0 || S_ISREG(st.st_mode) ? systemReason() : QStringLiteral("not a regular file");
        if (fd >= 0)
            ::close(fd);
        return failed(KeywordStoreFailure::OpenFailed,
                      QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(temp), reason));
    }
    QFile file;
    if (!file.open(fd, QIODevice::WriteOnly | QIODevice::Unbuffered, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return failed(KeywordStoreFailure::OpenFailed,
                      QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(temp), file.errorString()));
    }
    step(KeywordStoreStep::TempOpened);

    auto writeFailed = [&](const QString& reason) {
        file.close();
        QFile::remove(temp);
        return failed(KeywordStoreFailure::WriteFailed,
                      QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(temp), reason));
    };
    // Whole records in two parts, so that the crash test can stop in between.
    const qsizetype half = (bytes.size() / kRecord / 2) * kRecord;
    if (file.write(bytes.constData(), half) != half)
        return writeFailed(file.errorString());
    step(KeywordStoreStep::TempHalfWritten);
    if (file.write(bytes.constData() + half, bytes.size() - half) != bytes.size() - half)
        return writeFailed(file.errorString());
    if (!file.flush())
        return writeFailed(file.errorString());
    if (::fsync(file.handle()) != 0)
        return writeFailed(systemReason());
    file.close();
    if (QFileInfo::exists(storePath))
        QFile::setPermissions(temp, QFile::permissions(storePath));
    step(KeywordStoreStep::TempSynced);

    if (::rename(tempName.constData(), QFile::encodeName(storePath).constData()) != 0) {
        const QString reason = systemReason();
        QFile::remove(temp);
        return failed(KeywordStoreFailure::RenameFailed,
                      QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(storePath), reason));
    }
    step(KeywordStoreStep::Renamed);
    syncFolder(QFileInfo(storePath).absolutePath());
    return {};
}

// Carries the recovery notice of the first step into a later result.
KeywordStoreStatus merged(const KeywordStoreStatus& first, KeywordStoreStatus later)
{
    later.recoveredFromTemp = later.recoveredFromTemp || first.recoveredFromTemp;
    return later;
}

} // namespace

QString KeywordStore::storePath()
{
    return programPath(kStoreTail);
}

QString KeywordStore::tempPath()
{
    return programPath(kTempTail);
}

QString KeywordStore::dataFolder()
{
    return programPath(kFolderTail);
}

void KeywordStore::setStepHook(std::function<void(KeywordStoreStep)> hook)
{
    stepHook() = std::move(hook);
}

KeywordStoreStatus KeywordStore::readBytes(QByteArray& buffer)
{
    QString path;
    const KeywordStoreStatus opened = ensureStore(kStoreTail, &path);
    if (!opened.ok()) {
        buffer.clear();
        return opened;
    }
    return merged(opened, readInto(path, buffer, kReadLimit));
}

KeywordList KeywordStore::loadAll()
{
    KeywordList list;
    QByteArray bytes;
    list.status = readBytes(bytes);
    if (!list.status.ok())
        return list;
    const qsizetype records = bytes.size() / kRecord;
    list.keywords.reserve(records);
    for (qsizetype r = 0; r < records; ++r)
        list.keywords.append(KeywordRecord::parse(QByteArrayView(bytes).sliced(r * kRecord, kRecord)).keyword());
    return list;
}

KeywordRecordNumber KeywordStore::nextRecordNumber()
{
    KeywordRecordNumber result;
    QString path;
    result.status = ensureStore(kStoreTail, &path);
    if (!result.status.ok())
        return result;
    const qint64 length = QFileInfo(path).size();
    const double n = roundHalfEven(static_cast<double>(length) / kRecord + 1.0);
    result.number = n > kMaxRecords + 1 ? kMaxRecords + 1 : static_cast<int>(n);
    return result;
}

KeywordStoreStatus KeywordStore::putRecord(int n, const QString& keyword)
{
    if (n < 1 || n > kMaxRecords)
        return failed(KeywordStoreFailure::Full, QString::number(kMaxRecords));
    const cp932::Encoded encoded = cp932::encode(keyword);
    if (!encoded.ok) {
        const qsizetype at = encoded.firstBadChar;
        const bool pair = keyword[at].isHighSurrogate() && at + 1 < keyword.size();
        return failed(KeywordStoreFailure::Unencodable, keyword.mid(at, pair ? 2 : 1));
    }

    QString path;
    const KeywordStoreStatus opened = ensureStore(kWriterTail, &path);
    if (!opened.ok())
        return opened;
    QByteArray bytes;
    const KeywordStoreStatus read = readInto(path, bytes);
    if (!read.ok())
        return merged(opened, read);

    const qsizetype start = static_cast<qsizetype>(n - 1) * kRecord;
    if (bytes.size() < start)
        bytes.append(start - bytes.size(), '\0');
    bytes.replace(start, qMin(kRecord, bytes.size() - start), KeywordRecord::forKeyword(keyword).serialize());
    return merged(opened, replaceStore(path, bytes));
}

KeywordStoreStatus KeywordStore::compact(int removeRow)
{
    QString path;
    const KeywordStoreStatus opened = ensureStore(kStoreTail, &path);
    if (!opened.ok())
        return opened;
    QByteArray bytes;
    const KeywordStoreStatus read = readInto(path, bytes);
    if (!read.ok())
        return merged(opened, read);

    const qsizetype records = qMin(bytes.size(), kReadLimit) / kRecord;
    QByteArray kept;
    kept.reserve(bytes.size());
    for (qsizetype r = 0; r < records; ++r) {
        const QByteArrayView record = QByteArrayView(bytes).sliced(r * kRecord, kRecord);
        if (r == removeRow || keywordRecordInUse(record) == 0)
            continue;
        kept.append(record);
    }
    // What lies beyond the records the program can address is not its to
    // judge: it stays as it was.
    if (bytes.size() > kReadLimit)
        kept.append(QByteArrayView(bytes).sliced(kReadLimit));
    return merged(opened, replaceStore(path, kept));
}

} // namespace qp
