#pragma once
// Process-level glue: Qt's messages in the module's log, and termination signals turned into
// an orderly quit of the event loop. Qt Core only: the headless program uses it.

#include <functional>

class QObject;

namespace pelorin::app {

// Qt's own messages go through the module's log (level and port on every line). Noise the
// module knows to be harmless is dropped: it keeps nothing in XDG_RUNTIME_DIR, so a service
// or a shell without a session need not hear that it is not set.
void routeQtMessages();
// SIGTERM, SIGINT and SIGHUP run `onSignal` on the event loop instead of killing the
// process, so that the module can end the way an operator would end it.
void handleTerminationSignals(QObject* parent, std::function<void()> onSignal);

} // namespace pelorin::app
