#include "log/log.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace pelorin::log {
namespace {

std::mutex& lineMutex() {
    static std::mutex mutex;
    return mutex;
}

std::string& portName() {
    static std::string port;
    return port;
}

bool envFlag(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && value[0] != '\0' && std::string_view(value) != "0";
}

// systemd sets JOURNAL_STREAM when standard error goes to the journal.
bool toJournal() {
    static const bool journal = std::getenv("JOURNAL_STREAM") != nullptr;
    return journal;
}

const char* levelWord(Level level) {
    switch (level) {
    case Level::Error: return "error: ";
    case Level::Warning: return "warning: ";
    default: return "";
    }
}

} // namespace

void setPort(std::string port) {
    const std::lock_guard lock(lineMutex());
    portName() = std::move(port);
}

bool verbose() {
    static const bool on = envFlag("PELORIN_VERBOSE");
    return on;
}

std::string escaped(std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\r') out += "\\r";
        else if (c == '\n') out += "\\n";
        else if (c == '\t') out += "\\t";
        else if (c == '\\') out += "\\\\";
        else if (byte < 0x20 || byte == 0x7F) {
            out += "\\x";
            out += kHex[byte >> 4];
            out += kHex[byte & 0x0F];
        } else out += c;
    }
    return out;
}

std::string formatLine(Level level, std::string_view text) {
    std::string line;
    if (toJournal()) line = "<" + std::to_string(static_cast<int>(level)) + ">";
    if (!portName().empty()) line += "port " + portName() + ": ";
    if (!toJournal()) line += levelWord(level);
    line += escaped(text);
    return line;
}

void write(Level level, std::string_view text) {
    if (level == Level::Debug && !verbose()) return;
    const std::lock_guard lock(lineMutex());
    const std::string line = formatLine(level, text) + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

} // namespace pelorin::log
