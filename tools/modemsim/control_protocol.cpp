#include "modemsim/control_protocol.h"

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace pelorin::modemsim {

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

int connectTo(const std::string& path, std::string& error) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) {
        error = "control path too long: " + path;
        return -1;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        error = "cannot connect to " + path + ": " + std::strerror(errno);
        if (fd >= 0) ::close(fd);
        return -1;
    }
    return fd;
}

bool writeAll(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

// Folds one reply line into the reply; true once the terminating line has arrived.
bool takeReplyLine(const std::string& line, ControlReply& reply) {
    if (line.rfind("- ", 0) == 0) {
        reply.lines.push_back(line.substr(2));
        return false;
    }
    reply.ok = line.rfind("OK", 0) == 0;
    const std::size_t space = line.find(' ');
    reply.value = space == std::string::npos ? std::string() : line.substr(space + 1);
    return true;
}

} // namespace

std::string escapeBytes(std::string_view raw) {
    static const char* const kHex = "0123456789ABCDEF";
    std::string out;
    for (const char ch : raw) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '\\') out += "\\\\";
        else if (c == '\r') out += "\\r";
        else if (c == '\n') out += "\\n";
        else if (c == '\t') out += "\\t";
        else if (c >= 0x20 && c < 0x7F) out += ch;
        else out += {'\\', 'x', kHex[c >> 4], kHex[c & 0xF]};
    }
    return out;
}

std::string unescapeBytes(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const char next = i + 1 < text.size() ? text[i + 1] : '\0';
        if (c != '\\' || next == '\0') {
            out += c;
        } else if (next == 'r' || next == 'n' || next == 't' || next == '\\') {
            out += next == 'r' ? '\r' : next == 'n' ? '\n' : next == 't' ? '\t' : '\\';
            ++i;
        } else if (next == 'x' && i + 3 < text.size() && hexValue(text[i + 2]) >= 0 &&
                   hexValue(text[i + 3]) >= 0) {
            out += static_cast<char>(hexValue(text[i + 2]) * 16 + hexValue(text[i + 3]));
            i += 3;
        } else {
            out += c;
        }
    }
    return out;
}

ControlReply controlRequest(const std::string& socketPath, const std::string& line,
                            std::chrono::milliseconds timeout) {
    ControlReply reply;
    const int fd = connectTo(socketPath, reply.value);
    if (fd < 0) return reply;
    const auto deadline = SteadyClock::now() + timeout;
    std::string buffer;
    bool done = !writeAll(fd, line + "\n");
    if (done) reply.value = "cannot send the request";
    while (!done) {
        pollfd pfd{fd, POLLIN, 0};
        const int ready = ::poll(&pfd, 1, remainingMs(deadline));
        if (ready < 0 && errno == EINTR) continue;
        char chunk[4096];
        const ssize_t n = ready > 0 ? ::read(fd, chunk, sizeof chunk) : -1;
        if (n <= 0) {
            reply = ControlReply{false, ready == 0 ? "no reply in time" : "connection lost", {}};
            break;
        }
        buffer.append(chunk, static_cast<std::size_t>(n));
        for (std::size_t eol; !done && (eol = buffer.find('\n')) != std::string::npos;) {
            done = takeReplyLine(buffer.substr(0, eol), reply);
            buffer.erase(0, eol + 1);
        }
    }
    ::close(fd);
    return reply;
}

int remainingMs(SteadyClock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

} // namespace pelorin::modemsim
