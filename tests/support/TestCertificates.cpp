#include "TestCertificates.h"

#include <QFile>
#include <QHostAddress>
#include <QProcess>

namespace qp::test {

namespace {
const QStringList kEcKey = {QStringLiteral("-newkey"), QStringLiteral("ec"), QStringLiteral("-pkeyopt"),
                            QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes")};
}

bool TestCa::run(const QStringList& args)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.setStandardInputFile(QProcess::nullDevice());
    p.start(QStringLiteral("openssl"), args);
    if (!p.waitForStarted(10000)) {
        m_error = QStringLiteral("openssl did not start: ") + p.errorString();
        return false;
    }
    if (!p.waitForFinished(30000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        m_error = QStringLiteral("openssl %1 failed: %2").arg(args.join(' '), QString::fromLocal8Bit(p.readAll()));
        return false;
    }
    return true;
}

bool TestCa::writeExtensions(const QString& path, const QStringList& names)
{
    QStringList alt;
    for (const QString& n : names)
        alt << (QHostAddress(n).isNull() ? QStringLiteral("DNS:") : QStringLiteral("IP:")) + n;
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        m_error = QStringLiteral("cannot write ") + path;
        return false;
    }
    f.write("basicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\nsubjectAltName=");
    f.write(alt.join(',').toLatin1());
    f.write("\n");
    return true;
}

bool TestCa::create(const QString& folder)
{
    m_folder = folder;
    return run(QStringList{QStringLiteral("req"), QStringLiteral("-x509")} + kEcKey
               + QStringList{QStringLiteral("-keyout"), caKeyPath(), QStringLiteral("-out"), caPath(),
                             QStringLiteral("-days"), QStringLiteral("2"), QStringLiteral("-subj"),
                             QStringLiteral("/CN=Quillpost Test CA"), QStringLiteral("-addext"),
                             QStringLiteral("basicConstraints=critical,CA:TRUE"), QStringLiteral("-addext"),
                             QStringLiteral("keyUsage=critical,keyCertSign,cRLSign")});
}

bool TestCa::issue(const QString& baseName, const QStringList& names)
{
    if (names.isEmpty()) {
        m_error = QStringLiteral("no names");
        return false;
    }
    const QString csr = m_folder + '/' + baseName + QStringLiteral(".csr");
    const QString ext = m_folder + '/' + baseName + QStringLiteral(".ext");
    if (!writeExtensions(ext, names))
        return false;
    if (!run(QStringList{QStringLiteral("req")} + kEcKey
             + QStringList{QStringLiteral("-keyout"), keyPath(baseName), QStringLiteral("-out"), csr,
                           QStringLiteral("-subj"), QStringLiteral("/CN=") + names.first()}))
        return false;
    return run({QStringLiteral("x509"), QStringLiteral("-req"), QStringLiteral("-in"), csr, QStringLiteral("-CA"),
                caPath(), QStringLiteral("-CAkey"), caKeyPath(), QStringLiteral("-CAcreateserial"),
                QStringLiteral("-out"), certPath(baseName), QStringLiteral("-days"), QStringLiteral("2"),
                QStringLiteral("-extfile"), ext});
}

bool TestCa::issueSelfSigned(const QString& baseName, const QStringList& names)
{
    if (names.isEmpty()) {
        m_error = QStringLiteral("no names");
        return false;
    }
    QStringList alt;
    for (const QString& n : names)
        alt << (QHostAddress(n).isNull() ? QStringLiteral("DNS:") : QStringLiteral("IP:")) + n;
    return run(QStringList{QStringLiteral("req"), QStringLiteral("-x509")} + kEcKey
               + QStringList{QStringLiteral("-keyout"), keyPath(baseName), QStringLiteral("-out"),
                             certPath(baseName), QStringLiteral("-days"), QStringLiteral("2"),
                             QStringLiteral("-subj"), QStringLiteral("/CN=") + names.first(),
                             QStringLiteral("-addext"), QStringLiteral("subjectAltName=") + alt.join(',')});
}

} // namespace qp::test
