#pragma once
// Remote commands: an authorised sender makes the module broadcast a text to a phonebook
// selection. Statements run on the calling thread's connection; a failing statement, a NULL
// read, or a `remotecommand` column name or comparison that does not fit `phonebook` throws
// DbError (copies queued before it stay queued).

#include <string>
#include <string_view>

namespace pelorin::inbound {

// True when the sender is listed in `remotehp`.
bool IsRemoteSender(const std::string& sender);

// Recognises the first command whose keyword begins the message, splits the message into its
// parameters and the text to send, and queues one personalised copy ("<nama>", "<alamat>",
// "<groupdata>" filled in) for every selected contact in `msisdn` order. `sender` is not used.
void RunRemoteCommand(const std::string& sender, const std::string& text);

// A command form read in lower case: keyword, optional "<param1>" separator A "<param2>",
// separator B, "<message>". Positions count from 1; 0 when the token is absent.
struct CommandForm {
    long long p1 = 0;
    long long p2 = 0;
    long long pm = 0;
    std::string keyword;
    std::string separatorA;
    std::string separatorB;
};
CommandForm ParseCommandForm(std::string_view command);

// A recognised message cut along its form: the two selection values and the text to send
// (neither trimmed yet).
struct CommandMessage {
    std::string value1;
    std::string value2;
    std::string part;
};
CommandMessage SplitCommandMessage(const CommandForm& form, const std::string& message);

} // namespace pelorin::inbound
