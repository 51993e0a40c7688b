// The real simulator program: a serial device opened with termios as the module opens it,
// and the control socket through ModemSim and the "ctl" command line. Waits are generous;
// nothing here depends on tight timing.

#include "modemsim/modemsim_client.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <memory>
#include <poll.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace pelorin::modemsim {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using SteadyClock = std::chrono::steady_clock;

const std::string kDeliverPdu =
    "07912618485400F9040B818021436587F90000628021013504820EC830FB0D0AC3C3A075581C9603";
const std::string kSubmitPdu = "0011000B818021436587F90000AA05C8329BFD06";

// The module's side of the line: raw 8N1, optionally with RTS/CTS, non-blocking reads.
class Device {
public:
    explicit Device(const std::string& path, bool hardwareFlow = false) {
        fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        termios tio{};
        if (fd_ < 0 || ::tcgetattr(fd_, &tio) != 0) return;
        ::cfmakeraw(&tio);
        ::cfsetspeed(&tio, B9600);
        if (hardwareFlow) tio.c_cflag |= CRTSCTS;
        ::tcsetattr(fd_, TCSANOW, &tio);
    }
    ~Device() {
        if (fd_ >= 0) ::close(fd_);
    }
    bool isOpen() const { return fd_ >= 0; }

    void send(std::string_view bytes) {
        ASSERT_EQ(::write(fd_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    // Everything read until `marker` has arrived or the time is up.
    std::string readUntil(std::string_view marker, std::chrono::milliseconds timeout = 10s) {
        std::string got;
        const auto deadline = SteadyClock::now() + timeout;
        while (got.find(marker) == std::string::npos && SteadyClock::now() < deadline)
            if (!readSome(got, 50ms)) break;
        return got;
    }
    // Everything that arrives within `window`.
    std::string readFor(std::chrono::milliseconds window) {
        std::string got;
        const auto deadline = SteadyClock::now() + window;
        while (SteadyClock::now() < deadline)
            if (!readSome(got, 50ms)) break;
        return got;
    }
    std::string exchange(std::string_view command, std::string_view marker = "OK\r\n") {
        send(command);
        return readUntil(marker);
    }
    // True once the line reports a hang-up (POLLHUP, end of file or EIO).
    bool seesHangup(std::chrono::milliseconds timeout) {
        const auto deadline = SteadyClock::now() + timeout;
        std::string ignored;
        while (SteadyClock::now() < deadline)
            if (!readSome(ignored, 50ms)) return true;
        return false;
    }

private:
    // False when the line is gone.
    bool readSome(std::string& got, std::chrono::milliseconds wait) {
        pollfd pfd{fd_, POLLIN, 0};
        const int ready = ::poll(&pfd, 1, static_cast<int>(wait.count()));
        if (ready <= 0) return ready == 0;
        char buf[4096];
        const ssize_t n = ::read(fd_, buf, sizeof buf);
        if (n > 0) got.append(buf, static_cast<std::size_t>(n));
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) return false;
        return (pfd.revents & POLLHUP) == 0 || n > 0;
    }

    int fd_ = -1;
};

class SimulatorProcessTest : public ::testing::Test {
protected:
    std::string device() const { return dir.path() + "/COM5"; }
    // A device on which echo is already off, as after the module's initialisation.
    std::unique_ptr<Device> quietDevice() {
        auto dev = std::make_unique<Device>(sim->devicePath());
        EXPECT_TRUE(dev->isOpen());
        EXPECT_EQ(dev->exchange("ATE0\r"), "ATE0\r\r\nOK\r\n");
        return dev;
    }

    TempDir dir;
    std::unique_ptr<ModemSim> sim = std::make_unique<ModemSim>(dir.path(), 5);
};

TEST_F(SimulatorProcessTest, LinksTheDeviceAndCleansUpOnQuit) {
    ASSERT_TRUE(fs::is_symlink(device()));
    EXPECT_EQ(fs::read_symlink(device()).string(), sim->slavePath());
    EXPECT_TRUE(fs::exists(sim->controlPath()));
    EXPECT_TRUE(sim->request("ping").ok);
    EXPECT_TRUE(sim->stop());
    EXPECT_FALSE(fs::exists(fs::symlink_status(device())));
    EXPECT_FALSE(fs::exists(fs::symlink_status(sim->controlPath())));
}

TEST_F(SimulatorProcessTest, SigtermRemovesTheLink) {
    ASSERT_EQ(::kill(sim->pid(), SIGTERM), 0);
    const auto deadline = SteadyClock::now() + 10s;
    while (sim->running() && SteadyClock::now() < deadline) std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(sim->running());
    EXPECT_FALSE(fs::exists(fs::symlink_status(device())));
}

TEST_F(SimulatorProcessTest, EchoesUntilAte0AndLogsRawCommands) {
    Device dev(device());
    EXPECT_EQ(dev.exchange("AT\r"), "AT\r\r\nOK\r\n");
    EXPECT_EQ(dev.exchange("ATE0\r"), "ATE0\r\r\nOK\r\n");
    EXPECT_EQ(dev.exchange("AT+CMGF=0\r"), "\r\nOK\r\n");
    EXPECT_EQ(dev.exchange("AT+BOGUS\r", "ERROR\r\n"), "\r\nERROR\r\n");
    EXPECT_TRUE(sim->waitForEntry("AT+CMGF=0\r"));
    EXPECT_EQ(sim->sentLog(),
              (std::vector<std::string>{"AT\r", "ATE0\r", "AT+CMGF=0\r", "AT+BOGUS\r"}));
    sim->clearLog();
    EXPECT_TRUE(sim->sentLog().empty());
}

TEST_F(SimulatorProcessTest, SubmitsPduWithPromptAndLogsIt) {
    auto dev = quietDevice();
    EXPECT_EQ(dev->exchange("AT+CMGS=19\r", ">"), "\r\n> ");
    EXPECT_EQ(dev->exchange(kSubmitPdu + "\x1A"), "\r\n+CMGS: 1\r\n\r\nOK\r\n");
    EXPECT_TRUE(sim->waitForEntry(kSubmitPdu + "\x1A"));
    EXPECT_EQ(sim->submitted(), std::vector<std::string>{kSubmitPdu});
    sim->setCmgsSucceeds(false);
    dev->exchange("AT+CMGS=19\r", ">");
    EXPECT_EQ(dev->exchange(kSubmitPdu + "\x1A", "500\r\n"), "\r\n+CMS ERROR: 500\r\n");
}

TEST_F(SimulatorProcessTest, ListsStoredPdusPerStorageAndDeletesThem) {
    EXPECT_EQ(sim->storePdu("ME", kDeliverPdu), 1);
    EXPECT_EQ(sim->storePdu("SM", kDeliverPdu, 1), 1);
    EXPECT_EQ(sim->storePdu("SM", kSubmitPdu, 3), 2);
    auto dev = quietDevice();
    EXPECT_EQ(dev->exchange("AT+CPMS=\"ME\"\r"), "\r\n+CPMS: 1,100,1,100,1,100\r\n\r\nOK\r\n");
    EXPECT_EQ(dev->exchange("AT+CMGL=4\r"),
              "\r\n+CMGL: 1,0,,32\r\n" + kDeliverPdu + "\r\n\r\nOK\r\n");
    EXPECT_EQ(dev->exchange("AT+CMGD=1\r"), "\r\nOK\r\n");
    EXPECT_EQ(dev->exchange("AT+CMGL=4\r"), "\r\nOK\r\n");
    dev->exchange("AT+CPMS=\"SM\"\r");
    EXPECT_EQ(dev->exchange("AT+CMGL=4\r"), "\r\n+CMGL: 1,1,,32\r\n" + kDeliverPdu +
                                                "\r\n+CMGL: 2,3,,19\r\n" + kSubmitPdu +
                                                "\r\n\r\nOK\r\n");
    EXPECT_EQ(dev->exchange("AT+CMGD=2\r"), "\r\nOK\r\n");
    const auto left = sim->messages();
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].storage, "SM");
    EXPECT_EQ(left[0].body, kDeliverPdu);
}

TEST_F(SimulatorProcessTest, AnswersUssdWithTheConfiguredText) {
    sim->setCusdAnswer("Sisa pulsa Rp 2500, aktif s/d 31-12");
    auto dev = quietDevice();
    EXPECT_EQ(dev->exchange("AT+CUSD=1,\"*888#\"\r", ",15\r\n"),
              "\r\nOK\r\n\r\n+CUSD: 0,\"Sisa pulsa Rp 2500, aktif s/d 31-12\",15\r\n");
    sim->setCusdDelay(300ms);
    EXPECT_EQ(dev->exchange("ATD*123#;\r", ",15\r\n"),
              "\r\nOK\r\n\r\n+CUSD: 0,\"Sisa pulsa Rp 2500, aktif s/d 31-12\",15\r\n");
}

TEST_F(SimulatorProcessTest, InjectsUnsolicitedLinesAndAnnouncesArrivals) {
    auto dev = quietDevice();
    EXPECT_EQ(dev->exchange("AT+CNMI=0,1,0,0,0\r"), "\r\nOK\r\n");
    sim->storePdu("SM", kDeliverPdu);
    EXPECT_EQ(dev->readUntil("\",1\r\n"), "\r\n+CMTI: \"SM\",1\r\n");
    sim->inject("RING", "--every 100 --times 3");
    EXPECT_EQ(dev->readFor(1000ms), "\r\nRING\r\n\r\nRING\r\n\r\nRING\r\n");
    sim->inject("^MODE:5,4", "--at after-ok");
    EXPECT_EQ(dev->exchange("AT\r", "^MODE:5,4\r\n"), "\r\nOK\r\n\r\n^MODE:5,4\r\n");
}

TEST_F(SimulatorProcessTest, CdmaModemListsTextsAndTakesSendArgumentWithoutCr) {
    sim.reset();
    ModemSimOptions cdma;
    cdma.cdma = true;
    sim = std::make_unique<ModemSim>(dir.path(), 5, cdma);
    EXPECT_EQ(sim->storeCdma(1, "08123456789", "260812105340", "Test"), 1);
    auto dev = quietDevice();
    EXPECT_EQ(dev->exchange("AT+CMGL=1;\r"),
              "\r\n+CMGL: 1,1\r\n0B08123456789260812105340000004Test\r\n\r\nOK\r\n");
    EXPECT_EQ(dev->exchange("AT+CMGS=0338313202024142"), "\r\n+CMGS: 1\r\n\r\nOK\r\n");
    EXPECT_EQ(sim->submitted(), std::vector<std::string>{"0338313202024142"});
    EXPECT_TRUE(sim->waitForEntry("AT+CMGS=0338313202024142"));
}

TEST_F(SimulatorProcessTest, SilenceFaultAnswersNothing) {
    auto dev = quietDevice();
    sim->setFault("silence");
    dev->send("AT\r");
    EXPECT_EQ(dev->readFor(1s), "");
    EXPECT_TRUE(sim->waitForEntry("AT\r"));
    sim->clearFaults();
    EXPECT_EQ(dev->exchange("AT\r"), "\r\nOK\r\n");
}

TEST_F(SimulatorProcessTest, ErrorFaultCanAimAtOneCommandAndRetire) {
    Device dev(device());
    sim->setFault("error --times 1 ATE0");
    EXPECT_EQ(dev.exchange("ATE0\r", "ERROR\r\n"), "ATE0\r\r\nERROR\r\n");
    EXPECT_EQ(dev.exchange("ATE0\r"), "ATE0\r\r\nOK\r\n");
    sim->setFault("error");
    EXPECT_EQ(dev.exchange("AT+CMGF=0\r", "ERROR\r\n"), "\r\nERROR\r\n");
}

TEST_F(SimulatorProcessTest, SlowFaultDelaysAnswers) {
    auto dev = quietDevice();
    sim->setFault("slow 1500");
    dev->send("AT\r");
    EXPECT_EQ(dev->readFor(300ms), "") << "nothing may come before the delay";
    EXPECT_EQ(dev->readUntil("OK\r\n"), "\r\nOK\r\n");
}

TEST_F(SimulatorProcessTest, GarbageFaultPutsSeededBytesBeforeAnswers) {
    auto dev = quietDevice();
    sim->setFault("garbage 12 5");
    const std::string first = dev->exchange("AT\r");
    ASSERT_EQ(first.size(), 12u + 6u);
    EXPECT_EQ(first[0], '\0');
    EXPECT_EQ(first.substr(12), "\r\nOK\r\n");
    sim->setFault("garbage 12 5");
    EXPECT_EQ(dev->exchange("AT\r"), first) << "the same seed gives the same bytes";
}

TEST_F(SimulatorProcessTest, SurvivesRepeatedCloseAndReopenOfTheDevice) {
    for (int round = 0; round < 5; ++round) {
        Device dev(device(), round % 2 == 1);
        ASSERT_TRUE(dev.isOpen()) << "round " << round;
        EXPECT_EQ(dev.exchange("AT\r").substr(0, 3), round == 0 ? "AT\r" : "\r\nO");
        if (round == 0) dev.exchange("ATE0\r");
    }
    EXPECT_TRUE(sim->request("ping").ok);
}

TEST_F(SimulatorProcessTest, HangupIsSeenByTheDeviceAndReopenServesAgain) {
    auto dev = quietDevice();
    sim->hangup();
    EXPECT_TRUE(dev->seesHangup(10s));
    EXPECT_TRUE(fs::is_symlink(device())) << "the link stays after a hang-up";
    EXPECT_FALSE(Device(device()).isOpen()) << "but leads to no terminal, as if unplugged";
    dev.reset();
    sim->reopen();
    EXPECT_EQ(fs::read_symlink(device()).string(), sim->slavePath());
    Device again(device());
    EXPECT_EQ(again.exchange("AT\r"), "AT\r\r\nOK\r\n") << "a new line starts with echo on";
}

TEST_F(SimulatorProcessTest, ControlCommandLineForShellScripts) {
    const std::string binary = defaultSimulatorBinary();
    const auto run = [&](const std::string& args, std::string& out) {
        const std::string cmd = binary + " ctl " + sim->controlPath() + " " + args + " 2>&1";
        FILE* pipe = ::popen(cmd.c_str(), "r");
        char buf[512];
        out.clear();
        while (std::fgets(buf, sizeof buf, pipe) != nullptr) out += buf;
        const int status = ::pclose(pipe);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    std::string out;
    EXPECT_EQ(run("store SM 0 " + kDeliverPdu, out), 0);
    EXPECT_EQ(out, "1\n");
    EXPECT_EQ(run("list", out), 0);
    EXPECT_EQ(out, "SM 1 0 " + kDeliverPdu + "\n");
    EXPECT_EQ(run("store XX 0 00", out), 1);
    EXPECT_EQ(out.substr(0, 4), "ERR ");
}

TEST(SimulatorStartTest, ReplacesStaleLinkButNeverARealFile) {
    TempDir dir;
    fs::create_symlink("/nonexistent/pts/77", dir.path() + "/COM7");
    {
        ModemSim sim(dir.path(), 7);
        EXPECT_EQ(fs::read_symlink(dir.path() + "/COM7").string(), sim.slavePath());
    }
    std::ofstream(dir.path() + "/COM8") << "not a device";
    EXPECT_THROW(ModemSim(dir.path(), 8), std::runtime_error);
    EXPECT_TRUE(fs::is_regular_file(dir.path() + "/COM8"));
}

TEST(SimulatorStartTest, SecondSimulatorOnTheSameControlSocketIsRefused) {
    TempDir dir;
    ModemSim first(dir.path(), 5);
    ModemSimOptions sameSocket;
    sameSocket.control = first.controlPath();
    EXPECT_THROW(ModemSim(dir.path(), 6, sameSocket), std::runtime_error);
    EXPECT_TRUE(first.request("ping").ok);
}

} // namespace
} // namespace pelorin::modemsim
