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
// ends. Both live where only the user can reach: the session's runtime
// folder when it is the user's own and closed to others, else the data
// folder itself (never the shared temp folder, where another user could
// plant them). Either side talks only to a peer of the same user. Qt Core
// and Network only.
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

    // Gives up the lock and removes the lock and the socket: at every end
    // of the program, which leaves through _exit and runs no destructor.
    void release();

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
