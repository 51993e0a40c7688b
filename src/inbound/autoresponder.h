#pragma once
// Automatic replies to received messages and forwarding of complaints. Replies are queued
// with QueueOutgoingSms; statements run on the calling thread's connection and a failing
// one throws DbError (whatever was queued before it stays queued).

#include <string>

namespace pelorin::inbound {

// Gives the stored message (see StoreReceivedMessage) its reply, in this precedence: exact
// rules (if any exist, nothing else happens), then the first "<any>" rule of the sender's
// group that matches, then the first complaint keyword in ascending order that begins the
// message. At most one message is queued. `moduleName` is the text of `enama`, the
// receiver of stored complaints; `storageIndex` is not used.
void RunAutoResponder(const std::string& moduleName, const std::string& sender,
                      const std::string& text, const std::string& stamp, int storageIndex);

// Inserts one `komplain` row (sender and receiver cut to 30, forward number to 20 characters).
void StoreComplaint(const std::string& sender, const std::string& receiver, const std::string& text,
                    const std::string& forwardNumber, const std::string& stamp);

} // namespace pelorin::inbound
