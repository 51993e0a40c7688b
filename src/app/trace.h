#pragma once
// What an operator is shown of the modem conversation. For the window: what the worker is
// doing, in words, from the command it sent last. For the log (PELORIN_VERBOSE): one debug
// line per exchange, its command and its answer, except an exchange that said exactly what
// the same command said last time: the idle polling of every cycle is shown once, and again
// when its answer changes.
// Thread-safe; never throws.

#include <QString>

#include <map>
#include <mutex>
#include <string>

namespace pelorin::app {

// "reading stored messages" for "AT+CMGL=4\r", and so on; empty for nothing known.
QString describeCommand(const QString& command);
// A modem text on one line: CR and LF as visible escapes, as the log writes them.
QString oneLine(const QString& text);

class ExchangeTrace {
public:
    // Worker thread: a completed exchange.
    void exchanged(const std::string& command, const std::string& answer);

private:
    std::mutex mutex_;
    std::map<std::string, std::string> lastAnswer_; // by command
};

} // namespace pelorin::app
