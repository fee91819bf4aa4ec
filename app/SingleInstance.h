#pragma once
#include <QObject>
#include <QString>

#include <memory>

class QLocalServer;
class QLockFile;

namespace qp {

// One running Quillpost per data folder: two would check the same mailbox
// and write the same files. The first start takes a lock named after the
// data folder and listens on a local socket of the same name; a later start
// finds the lock taken, asks the running one to show its main window, and
// ends. Both live in the user's runtime folder, which only the user can
// reach. Qt Core and Network only.
class SingleInstance : public QObject {
    Q_OBJECT
public:
    enum class Claim {
        First,       // this process runs for the folder (and listens for later starts where a lock could be made)
        Handed,      // another one runs and was asked to come forward
        Unreachable, // another one holds the folder but did not answer in time
    };

    explicit SingleInstance(const QString& dataFolder, QObject* parent = nullptr);
    ~SingleInstance() override;

    Claim claim();

    // The base name of the lock and the socket: the same for every spelling
    // of one folder (links and ".." resolved).
    static QString nameFor(const QString& dataFolder);

signals:
    // A later start asked for the main window.
    void showRequested();

private:
    void serve();

    QString m_base; // full path without the extension
    std::unique_ptr<QLockFile> m_lock;
    QLocalServer* m_server = nullptr;
};

} // namespace qp
