#pragma once
#include <functional>

namespace qp {

// The account file holds the password in plain text, and a core dump holds
// what the process read: no core dumps for this process.
void disableCoreDumps();

// Hands SIGTERM, SIGHUP and SIGINT over to the event loop: the handler only
// writes the signal's number to a socket pair, and handler runs later from
// the event loop of the calling thread, where anything may be done. Needs a
// QCoreApplication. Calling it again replaces the handler.
void deliverTerminationSignals(std::function<void(int signalNumber)> handler);

} // namespace qp
