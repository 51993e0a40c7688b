#pragma once
// What a modem listing holds besides received messages. A status report is the network's
// word on a message sent: it is deleted from the modem with a log line. A stored SMS-SUBMIT
// is the SIM owner's own outbox: it is left where it is. Never throws (beyond what
// `deleteEntry` throws).

#include <functional>
#include <string>
#include <vector>

#include "pdu/deliver.h"

namespace pelorin::modem {

// The received messages of a listing, in listing order; status reports are handed to
// `deleteEntry` (their storage index) once logged, stored SMS-SUBMITs are dropped untouched.
std::vector<pdu::DeliveredMessage>
SetAsideNonDeliveries(std::vector<pdu::DeliveredMessage> listed,
                      const std::function<void(const std::string& index)>& deleteEntry);

// The log line of one status report.
std::string DescribeStatusReport(const pdu::DeliveredMessage& report);

} // namespace pelorin::modem
