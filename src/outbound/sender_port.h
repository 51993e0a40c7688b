#pragma once
// Queueing outgoing messages from inside a module: replies and broadcasts go to the running
// sender port with the shortest queue, preferring ports whose own number was requested.

#include <string>

namespace pelorin::outbound {

// The port to send from; 0 when no running sender port qualifies. Throws DbError.
int PickSenderPort(const std::string& sender);

// Queues one message; a failing pick sends it to port 0, a failing insert is dropped
// silently (a reply must never stop the module). Never throws.
void QueueOutgoingSms(const std::string& destination, const std::string& sender,
                      const std::string& message);

} // namespace pelorin::outbound
