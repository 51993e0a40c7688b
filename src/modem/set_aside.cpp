#include "modem/set_aside.h"

#include "log/log.h"
#include "pdu/hex.h"
#include "pdu/tpdu_constants.h"

namespace pelorin::modem {
namespace {

using namespace pdu::tpdu;

std::string Outcome(int status) {
    if (status < kStatusTemporaryStillTrying) return "delivered";
    if (status < kStatusPermanentError) return "not delivered yet, still trying";
    if (status < kStatusTemporaryGivenUp) return "failed";
    return "failed, no more attempts";
}

} // namespace

std::string DescribeStatusReport(const pdu::DeliveredMessage& report) {
    const pdu::ReportInfo info = report.report.value_or(pdu::ReportInfo{});
    return "status report (storage " + report.index + "): message " +
           std::to_string(info.reference) + " to " + report.sender + " " + Outcome(info.status) +
           " (status " + pdu::HexByte(info.status) + "); deleting it";
}

std::vector<pdu::DeliveredMessage>
SetAsideNonDeliveries(std::vector<pdu::DeliveredMessage> listed,
                      const std::function<void(const std::string& index)>& deleteEntry) {
    std::vector<pdu::DeliveredMessage> received;
    received.reserve(listed.size());
    for (pdu::DeliveredMessage& entry : listed) {
        switch (entry.kind) {
        case pdu::MessageKind::Deliver:
            received.push_back(std::move(entry));
            break;
        case pdu::MessageKind::StatusReport:
            log::info(DescribeStatusReport(entry));
            deleteEntry(entry.index);
            break;
        case pdu::MessageKind::Submit:
            // Listed again on every pass: only worth a line when asked for.
            log::debug("stored outgoing message left in the SIM (storage " + entry.index + ")");
            break;
        }
    }
    return received;
}

} // namespace pelorin::modem
