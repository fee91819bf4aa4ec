#pragma once
#include <QString>
#include <QStringList>

namespace qp::test {

// A throwaway certificate authority made with the openssl command at test
// time, so no key material is ever checked in. Keys are EC P-256 (fast to
// make). Typical use:
//
//   qp::test::TestCa ca;
//   QVERIFY2(ca.create(dir.path()), qPrintable(ca.errorString()));
//   QVERIFY(ca.issue("server", {"localhost", "127.0.0.1"}));
//   // ca.caPath(), ca.certPath("server"), ca.keyPath("server")
class TestCa {
public:
    // Makes ca.pem and ca.key in folder (which must exist).
    bool create(const QString& folder);

    // Issues a server certificate signed by this CA: <baseName>.pem and
    // <baseName>.key in the same folder. The first name is the common name;
    // all names go into subjectAltName (IP addresses as IP entries).
    bool issue(const QString& baseName, const QStringList& names);

    // A self-signed server certificate that no CA vouches for.
    bool issueSelfSigned(const QString& baseName, const QStringList& names);

    QString folder() const { return m_folder; }
    QString caPath() const { return m_folder + QStringLiteral("/ca.pem"); }
    QString caKeyPath() const { return m_folder + QStringLiteral("/ca.key"); }
    QString certPath(const QString& baseName) const { return m_folder + '/' + baseName + QStringLiteral(".pem"); }
    QString keyPath(const QString& baseName) const { return m_folder + '/' + baseName + QStringLiteral(".key"); }
    QString errorString() const { return m_error; }

private:
    bool run(const QStringList& args);
    bool writeExtensions(const QString& path, const QStringList& names);

    QString m_folder;
    QString m_error;
};

} // namespace qp::test
