#pragma once
#include <QString>
#include <memory>

#include "mail/OAuthTokenSource.h"

namespace qp {

// The mail-library calls the check cycle makes: one call per step of a
// check, each with a plain result the cycle can test. Connection handles are
// small positive integers; -1 is a failed connect. Text results are decoded
// QStrings (cut to the text buffer size); the third holds the sender.
// The real implementation is qp::NMail in mail/NMail.h (target
// qp_mail_library); tests of callers fake this interface.
class MailLibrary {
public:
    virtual ~MailLibrary() = default;

    virtual int NMailInitializeWinSock() = 0;
    virtual int NMailEndWinSock() = 0;
    virtual int NMailSetOption(int option, int value) = 0;

    // -1 on failure (see NMailGetMessage for why).
    virtual int NMailPop3Connect(const QString& server) = 0;
    // > 0 messages waiting, 0 none, < 0 failure. apop: -1 APOP, 0 USER/PASS.
    virtual int NMailPop3Authenticate(int handle, const QString& id, const QString& password, int apop) = 0;
    // Fills subject, date, sender (buffer 3) and the header fields these
    // come from.
    virtual int NMailPop3GetMailStatus(int handle, int number, QString& subject, QString& date,
                                       QString& from, QString& header, int flag) = 0;
    // Size in bytes, negative on failure.
    virtual int NMailPop3GetMailSize(int handle, int number) = 0;
    virtual int NMailPop3GetMail(int handle, int number, QString& subject, QString& date,
                                 QString& from, QString& header, QString& body, int flag1, int flag2) = 0;
    // Sends QUIT and closes, also after an error.
    virtual int NMailPop3Close(int handle) = 0;
    // The error text of the last failure, Japanese, at most size characters.
    virtual int NMailGetMessage(int code, QString& buffer, int& size) = 0;

    // --- what the check cycle needs besides the step calls ---

    // NMailPop3Authenticate for an account that signs in with OAuth: the
    // access token comes from source just before the login; a refused token
    // is renewed and tried once more. Same results.
    virtual int authenticateWithToken(int /*handle*/, const QString& /*id*/,
                                      std::shared_ptr<OAuthTokenSource> /*source*/)
    {
        return -1;
    }
    // The last failed login was a refused token (after its one renewal):
    // the user must sign in again, which is no wrong password.
    virtual bool lastLoginTokenRefused() const { return false; }

    // The last NMailPop3Connect that gave -1 failed in a way the user must
    // be told about (TLS could not be set up, or was missing where it had
    // been before), not because the server is off or out of reach.
    virtual bool lastConnectFailureIsTls() const { return false; }
    // The walk the check is about to make on the handle: status, size and
    // message of 1 .. count, in that order; the bodies are not used. The
    // library may send the commands ahead, and answer from what it read in
    // earlier checks; the calls keep their contracts.
    virtual void planWalk(int /*handle*/, int /*count*/) {}
    // false once the connection behind the handle is lost or out of step:
    // every later call on it fails at once.
    virtual bool isSessionUsable(int /*handle*/) const { return true; }
    // The last NMailPop3Authenticate that failed was refused because the
    // mailbox is busy for a while (held by another session, or logins too
    // close together), not for a wrong ID or password.
    virtual bool lastLoginWasBusy() const { return false; }
    // After a successful login: the fewest seconds the server wants between
    // two logins (POP3 LOGIN-DELAY); 0 when it asks for none.
    virtual int loginDelaySeconds(int /*handle*/) const { return 0; }
    // After a successful login: a text the user should be told once about
    // this server, although the check goes on (a POP3 server without TOP:
    // no sender can be read there, so no watched sender is recognised).
    // Empty when there is none or it was handed out before in this run.
    virtual QString takeServerNotice(int /*handle*/) { return QString(); }
};

} // namespace qp
