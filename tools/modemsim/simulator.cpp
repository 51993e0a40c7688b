#include "modemsim/simulator.h"

#include "modemsim/at_engine.h"
#include "modemsim/control_commands.h"
#include "modemsim/control_protocol.h"
#include "modemsim/pty_link.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace pelorin::modemsim {

namespace {

constexpr Millis kExclusiveReleasePeriod{250};
constexpr Millis kHangupBackoff{100};
constexpr std::size_t kMaxRequestBytes = 1 << 20;
constexpr std::size_t kMaxPendingToModule = 1 << 20;

int gSignalWrite = -1;

extern "C" void onSignal(int) {
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(gSignalWrite, &byte, 1);
    errno = saved;
}

struct Client {
    int fd = -1;
    std::string in;
    std::string out;
    bool readClosed = false;
};

std::string systemError(const std::string& what) { return what + ": " + std::strerror(errno); }

int millisUntil(Clock::time_point when, Clock::time_point now) {
    if (when <= now) return 0;
    const auto ms = std::chrono::ceil<Millis>(when - now).count();
    return static_cast<int>(ms);
}

class Simulator {
public:
    explicit Simulator(const SimulatorConfig& config)
        : config_(config), link_(config.dir + "/COM" + std::to_string(config.port)),
          engine_(config.cdma ? Mode::Cdma : Mode::Gsm) {}
    ~Simulator();

    int run();

private:
    bool setUp(std::string& error);
    bool installSignals(std::string& error);
    bool listenControl(std::string& error);
    struct PollSet {
        std::vector<pollfd> fds;
        bool masterActive = false;
        std::size_t firstClient = 0;
    };

    void loopOnce();
    PollSet pollSet(Clock::time_point now) const;
    void serve(const PollSet& set, Clock::time_point now);
    int pollTimeout(Clock::time_point now) const;
    void pumpOutput(Clock::time_point now);
    void readMaster(Clock::time_point now);
    void writeMaster();
    void acceptClient();
    bool serviceClient(Client& client, short revents);
    bool flushClient(Client& client);
    void handleRequests(Client& client);
    ControlHooks hooks();
    void hangup();
    bool reopen(std::string& result);
    void trace(const char* direction, std::string_view bytes) const;
    void flushClientsOnExit();

    SimulatorConfig config_;
    PtyLink link_;
    AtEngine engine_;
    int listenFd_ = -1;
    bool controlCreated_ = false;
    int signalRead_ = -1;
    std::vector<Client> clients_;
    std::string toModule_;
    std::optional<Clock::time_point> masterPausedUntil_;
    Clock::time_point nextRelease_{};
    bool quit_ = false;
};

Simulator::~Simulator() {
    for (Client& c : clients_) ::close(c.fd);
    if (listenFd_ >= 0) ::close(listenFd_);
    if (controlCreated_) ::unlink(config_.control.c_str());
    link_.removeLink();
}

int Simulator::run() {
    std::string error;
    if (!setUp(error)) {
        std::fprintf(stderr, "pelorin-modemsim: %s\n", error.c_str());
        return 1;
    }
    std::printf("READY %s %s %s\n", link_.linkPath().c_str(), link_.slavePath().c_str(),
                config_.control.c_str());
    std::fflush(stdout);
    while (!quit_) loopOnce();
    flushClientsOnExit();
    return 0;
}

bool Simulator::setUp(std::string& error) {
    if (config_.control.empty())
        config_.control = config_.dir + "/COM" + std::to_string(config_.port) + ".ctl";
    return installSignals(error) && listenControl(error) && link_.open(error);
}

bool Simulator::installSignals(std::string& error) {
    int fds[2];
    if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) {
        error = systemError("pipe");
        return false;
    }
    signalRead_ = fds[0];
    gSignalWrite = fds[1];
    struct sigaction action{};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    for (const int sig : {SIGTERM, SIGINT, SIGHUP}) ::sigaction(sig, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    return true;
}

bool Simulator::listenControl(std::string& error) {
    const std::string& path = config_.control;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) {
        error = "control path too long: " + path;
        return false;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    struct stat st{};
    if (::lstat(path.c_str(), &st) == 0) {
        // A socket nobody answers on is left over from a simulator that was killed.
        if (!S_ISSOCK(st.st_mode)) {
            error = path + " exists and is not a socket";
            return false;
        }
        if (controlRequest(path, "ping", Millis{2000}).ok) {
            error = "another simulator serves " + path;
            return false;
        }
        ::unlink(path.c_str());
    }
    listenFd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0 || ::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listenFd_, 16) != 0) {
        error = systemError("control socket " + path);
        return false;
    }
    controlCreated_ = true;
    return true;
}

void Simulator::loopOnce() {
    Clock::time_point now = Clock::now();
    engine_.expire(now);
    pumpOutput(now);
    if (now >= nextRelease_) {
        link_.releaseExclusive();
        nextRelease_ = now + kExclusiveReleasePeriod;
    }
    PollSet set = pollSet(now);
    if (::poll(set.fds.data(), set.fds.size(), pollTimeout(now)) < 0) {
        if (errno == EINTR) return;
        std::perror("pelorin-modemsim: poll");
        quit_ = true;
        return;
    }
    if (set.fds[0].revents != 0) {
        quit_ = true; // SIGTERM, SIGINT or SIGHUP
        return;
    }
    serve(set, Clock::now());
}

// Fixed order: signal pipe, listening socket, the master when it is worth polling, clients.
Simulator::PollSet Simulator::pollSet(Clock::time_point now) const {
    PollSet set;
    set.fds = {{signalRead_, POLLIN, 0}, {listenFd_, POLLIN, 0}};
    set.masterActive = link_.isOpen() && (!masterPausedUntil_ || now >= *masterPausedUntil_);
    if (set.masterActive) {
        const short events = static_cast<short>(POLLIN | (toModule_.empty() ? 0 : POLLOUT));
        set.fds.push_back({link_.masterFd(), events, 0});
    }
    set.firstClient = set.fds.size();
    for (const Client& c : clients_)
        set.fds.push_back({c.fd, static_cast<short>(POLLIN | (c.out.empty() ? 0 : POLLOUT)), 0});
    return set;
}

void Simulator::serve(const PollSet& set, Clock::time_point now) {
    if (set.masterActive) {
        const short revents = set.fds[2].revents;
        if ((revents & POLLIN) != 0) readMaster(now);
        else if ((revents & (POLLHUP | POLLERR)) != 0) masterPausedUntil_ = now + kHangupBackoff;
        if ((revents & POLLOUT) != 0) writeMaster();
    }
    // Clients are served before new ones are accepted, so fds and clients_ stay aligned.
    for (std::size_t i = 0; i < set.fds.size() - set.firstClient; ++i) {
        if (!serviceClient(clients_[i], set.fds[set.firstClient + i].revents)) {
            ::close(clients_[i].fd);
            clients_[i].fd = -1;
        }
    }
    std::erase_if(clients_, [](const Client& c) { return c.fd < 0; });
    if ((set.fds[1].revents & POLLIN) != 0) acceptClient();
    pumpOutput(now);
}

int Simulator::pollTimeout(Clock::time_point now) const {
    int timeout = millisUntil(nextRelease_, now);
    if (const auto wake = engine_.nextWake()) timeout = std::min(timeout, millisUntil(*wake, now));
    if (masterPausedUntil_ && *masterPausedUntil_ > now)
        timeout = std::min(timeout, millisUntil(*masterPausedUntil_, now));
    return timeout;
}

void Simulator::pumpOutput(Clock::time_point now) {
    const std::string out = engine_.takeOutput(now);
    if (out.empty() || !link_.isOpen()) return;
    trace("tx", out);
    // Nobody reads a closed device for ever; past this much, old answers are dropped.
    if (toModule_.size() + out.size() > kMaxPendingToModule) toModule_.clear();
    toModule_ += out;
    writeMaster();
}

void Simulator::readMaster(Clock::time_point now) {
    char buf[4096];
    const ssize_t n = ::read(link_.masterFd(), buf, sizeof buf);
    if (n > 0) {
        const std::string_view bytes(buf, static_cast<std::size_t>(n));
        trace("rx", bytes);
        engine_.receive(bytes, now);
        pumpOutput(now);
    } else if (n == 0 || errno == EIO) {
        // No slave side open (only after our own descriptor went): wait for one.
        masterPausedUntil_ = now + kHangupBackoff;
    }
}

void Simulator::writeMaster() {
    while (!toModule_.empty() && link_.isOpen()) {
        const ssize_t n = ::write(link_.masterFd(), toModule_.data(), toModule_.size());
        if (n > 0) {
            toModule_.erase(0, static_cast<std::size_t>(n));
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            if (n < 0 && errno != EAGAIN) toModule_.clear();
            break;
        }
    }
}

void Simulator::acceptClient() {
    const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd >= 0) clients_.push_back(Client{fd, {}, {}, false});
}

bool Simulator::serviceClient(Client& client, short revents) {
    if ((revents & POLLIN) != 0) {
        char buf[4096];
        const ssize_t n = ::read(client.fd, buf, sizeof buf);
        if (n > 0) {
            client.in.append(buf, static_cast<std::size_t>(n));
            if (client.in.size() > kMaxRequestBytes) return false;
            handleRequests(client);
        } else if (n == 0) {
            client.readClosed = true;
        } else if (errno != EAGAIN && errno != EINTR) {
            return false;
        }
    } else if ((revents & (POLLHUP | POLLERR)) != 0) {
        return false;
    }
    if (!flushClient(client)) return false;
    return !(client.readClosed && client.out.empty());
}

bool Simulator::flushClient(Client& client) {
    while (!client.out.empty()) {
        const ssize_t n = ::send(client.fd, client.out.data(), client.out.size(), MSG_NOSIGNAL);
        if (n > 0) client.out.erase(0, static_cast<std::size_t>(n));
        else if (n < 0 && errno == EINTR) continue;
        else return n < 0 && errno == EAGAIN;
    }
    return true;
}

void Simulator::handleRequests(Client& client) {
    for (std::size_t eol; !quit_ && (eol = client.in.find('\n')) != std::string::npos;) {
        std::string line = client.in.substr(0, eol);
        client.in.erase(0, eol + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        client.out += executeControlRequest(line, engine_, hooks());
    }
}

ControlHooks Simulator::hooks() {
    ControlHooks h;
    h.hangup = [this] { hangup(); };
    h.reopen = [this](std::string& result) { return reopen(result); };
    h.quit = [this] { quit_ = true; };
    h.info = [this] {
        return std::vector<std::string>{"device " + link_.linkPath(),
                                        "slave " + link_.slavePath(),
                                        std::string("line ") + (link_.isOpen() ? "up" : "hung-up"),
                                        "control " + config_.control};
    };
    return h;
}

void Simulator::hangup() {
    link_.hangup();
    engine_.resetLine();
    toModule_.clear();
    masterPausedUntil_.reset();
    trace("--", "hang-up");
}

bool Simulator::reopen(std::string& result) {
    std::string error;
    if (!link_.open(error)) {
        result = error;
        return false;
    }
    engine_.restart();
    toModule_.clear();
    masterPausedUntil_.reset();
    result = link_.slavePath();
    trace("--", "reopened " + result);
    return true;
}

void Simulator::trace(const char* direction, std::string_view bytes) const {
    if (!config_.trace) return;
    std::fprintf(stderr, "modemsim COM%d %s %s\n", config_.port, direction,
                 escapeBytes(bytes).c_str());
}

void Simulator::flushClientsOnExit() {
    // The "quit" reply must reach its client before the socket goes away.
    const auto deadline = Clock::now() + Millis{1000};
    for (Client& c : clients_) {
        while (!c.out.empty() && Clock::now() < deadline) {
            pollfd pfd{c.fd, POLLOUT, 0};
            if (::poll(&pfd, 1, 100) > 0 && !flushClient(c)) break;
        }
    }
}

} // namespace

int runSimulator(const SimulatorConfig& config) {
    Simulator simulator(config);
    return simulator.run();
}

} // namespace pelorin::modemsim
