#include "modemsim/modemsim_client.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace pelorin::modemsim {

namespace {

int parseIndex(const ControlReply& reply) {
    char* end = nullptr;
    const long value = std::strtol(reply.value.c_str(), &end, 10);
    if (reply.value.empty() || *end != '\0') throw std::runtime_error("modemsim: bad index");
    return static_cast<int>(value);
}

} // namespace

std::string defaultSimulatorBinary() {
    if (const char* env = std::getenv("PELORIN_MODEMSIM"); env != nullptr && *env != '\0')
        return env;
#ifdef PELORIN_MODEMSIM_BINARY
    return PELORIN_MODEMSIM_BINARY;
#else
    return "pelorin-modemsim";
#endif
}

TempDir::TempDir(const std::string& prefix) {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/" +
                          prefix + "-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed: " + std::string(std::strerror(errno)));
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

ModemSim::ModemSim(std::string dir, int port, ModemSimOptions options)
    : dir_(std::move(dir)), port_(port) {
    device_ = dir_ + "/COM" + std::to_string(port_);
    control_ = options.control.empty() ? device_ + ".ctl" : options.control;
    start(options);
}

ModemSim::~ModemSim() { stop(); }

void ModemSim::start(const ModemSimOptions& options) {
    const std::string binary = options.binary.empty() ? defaultSimulatorBinary() : options.binary;
    std::vector<std::string> args = {binary,    "--dir",   dir_, "--port", std::to_string(port_),
                                     "--control", control_};
    if (options.cdma) args.emplace_back("--cdma");
    if (options.trace) args.emplace_back("--trace");
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) throw std::runtime_error("modemsim: pipe failed");
    const pid_t parent = ::getpid();
    pid_ = ::fork();
    if (pid_ == 0) {
        // Only async-signal-safe calls between fork and exec.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent) ::_exit(127);
        ::dup2(pipeFds[1], STDOUT_FILENO);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(pipeFds[1]);
    if (pid_ < 0) {
        ::close(pipeFds[0]);
        throw std::runtime_error("modemsim: fork failed");
    }
    try {
        readReadyLine(pipeFds[0], options.startTimeout);
    } catch (...) {
        ::close(pipeFds[0]);
        reap(true);
        throw;
    }
    ::close(pipeFds[0]);
}

void ModemSim::readReadyLine(int fd, std::chrono::milliseconds timeout) {
    // "READY <device> <slave> <control>"
    const auto deadline = SteadyClock::now() + timeout;
    std::string line;
    while (line.find('\n') == std::string::npos) {
        pollfd pfd{fd, POLLIN, 0};
        const int ready = ::poll(&pfd, 1, remainingMs(deadline));
        if (ready < 0 && errno == EINTR) continue;
        char chunk[512];
        const ssize_t n = ready > 0 ? ::read(fd, chunk, sizeof chunk) : -1;
        if (n <= 0)
            throw std::runtime_error(ready == 0 ? "modemsim: no ready line in time"
                                                : "modemsim: simulator ended before it was ready");
        line.append(chunk, static_cast<std::size_t>(n));
    }
    line.erase(line.find('\n'));
    char device[4096], slave[4096], control[4096];
    if (std::sscanf(line.c_str(), "READY %4095s %4095s %4095s", device, slave, control) != 3)
        throw std::runtime_error("modemsim: unexpected ready line: " + line);
    slave_ = slave;
}

ControlReply ModemSim::request(const std::string& line) { return controlRequest(control_, line); }

ControlReply ModemSim::command(const std::string& line) {
    ControlReply reply = request(line);
    if (!reply.ok) throw std::runtime_error("modemsim: '" + line + "' failed: " + reply.value);
    return reply;
}

int ModemSim::storePdu(const std::string& storage, const std::string& pdu, int stat) {
    return parseIndex(command("store " + storage + " " + std::to_string(stat) + " " + pdu));
}

int ModemSim::storeCdma(int list, const std::string& sender, const std::string& stamp,
                        const std::string& text) {
    return parseIndex(command("cdma-store " + std::to_string(list) + " " + sender + " " + stamp +
                              " " + escapeBytes(text)));
}

int ModemSim::storeCdmaRaw(int list, const std::string& dataLine) {
    return parseIndex(
        command("cdma-store-raw " + std::to_string(list) + " " + escapeBytes(dataLine)));
}

std::vector<SimMessage> ModemSim::messages() {
    std::vector<SimMessage> out;
    for (const std::string& line : command("list").lines) {
        char storage[16];
        int index = 0, stat = 0, used = 0;
        if (std::sscanf(line.c_str(), "%15s %d %d %n", storage, &index, &stat, &used) < 3)
            continue;
        out.push_back(SimMessage{storage, index, stat, unescapeBytes(line.substr(used))});
    }
    return out;
}

void ModemSim::wipeMessages() { command("wipe"); }

std::vector<std::string> ModemSim::sentLog() {
    std::vector<std::string> out;
    for (const std::string& line : command("log").lines) out.push_back(unescapeBytes(line));
    return out;
}

std::vector<std::string> ModemSim::submitted() {
    std::vector<std::string> out;
    for (const std::string& line : command("submitted").lines) out.push_back(unescapeBytes(line));
    return out;
}

void ModemSim::clearLog() { command("log-clear"); }

bool ModemSim::waitForLog(const std::function<bool(const std::vector<std::string>&)>& predicate,
                          std::chrono::milliseconds timeout) {
    const auto deadline = SteadyClock::now() + timeout;
    for (;;) {
        if (predicate(sentLog())) return true;
        if (SteadyClock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

bool ModemSim::waitForEntry(const std::string& raw, std::chrono::milliseconds timeout) {
    return waitForLog(
        [&raw](const std::vector<std::string>& log) {
            for (const std::string& entry : log)
                if (entry == raw) return true;
            return false;
        },
        timeout);
}

void ModemSim::setCusdAnswer(const std::string& text) {
    command("set cusd " + escapeBytes(text));
}

void ModemSim::setCusdDelay(std::chrono::milliseconds delay) {
    command("set cusd-delay " + std::to_string(delay.count()));
}

void ModemSim::setCusdLine(const std::string& line) {
    command("set cusd-line " + escapeBytes(line));
}

void ModemSim::setCmgsSucceeds(bool ok) { command(ok ? "set cmgs ok" : "set cmgs error"); }

void ModemSim::inject(const std::string& line, const std::string& options) {
    command("inject " + (options.empty() ? std::string() : options + " ") + escapeBytes(line));
}

void ModemSim::setFault(const std::string& fault) { command("fault " + fault); }

void ModemSim::reopen() { slave_ = command("reopen").value; }

bool ModemSim::stop() {
    if (pid_ <= 0) return false;
    controlRequest(control_, "quit", std::chrono::seconds(3));
    const auto deadline = SteadyClock::now() + std::chrono::seconds(5);
    while (SteadyClock::now() < deadline) {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return WIFEXITED(status) && WEXITSTATUS(status) == 0;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    reap(true);
    return false;
}

bool ModemSim::running() {
    if (pid_ <= 0) return false;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) != pid_) return true;
    pid_ = -1;
    return false;
}

void ModemSim::reap(bool force) {
    if (pid_ <= 0) return;
    if (force) ::kill(pid_, SIGTERM);
    const auto deadline = SteadyClock::now() + std::chrono::seconds(3);
    int status = 0;
    while (::waitpid(pid_, &status, WNOHANG) == 0) {
        if (SteadyClock::now() >= deadline) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    pid_ = -1;
}

} // namespace pelorin::modemsim
