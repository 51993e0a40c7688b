// The two modem-less types end to end: "MERL-SENDER" against a loopback web service written
// here, "MERL-CENTER" against real TCP clients.

#include <gtest/gtest.h>

#include <QDate>
#include <QElapsedTimer>
#include <QFile>
#include <QThread>

#include <atomic>
#include <mutex>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "db/query.h"
#include "e2e_fixture.h"

namespace pelorin::test {
namespace {

// A listening loopback socket on a free port.
int listenLoopback(quint16& port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 64) != 0) return -1;
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
    return fd;
}

// A web service on loopback: records each request line with its arrival time and answers
// 200, or never answers when told to hang.
class WebService {
public:
    explicit WebService(bool hang = false) : hang_(hang) {
        listener_ = listenLoopback(port_);
        thread_ = std::thread([this] { serve(); });
    }
    ~WebService() {
        stop_ = true;
        thread_.join();
        for (const int fd : held_) ::close(fd);
        ::close(listener_);
    }
    quint16 port() const { return port_; }
    std::vector<std::pair<std::string, qint64>> requests() {
        std::lock_guard lock(mutex_);
        return requests_;
    }

private:
    void serve() {
        QElapsedTimer clock;
        clock.start();
        while (!stop_) {
            pollfd p{listener_, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            const int fd = ::accept(listener_, nullptr, nullptr);
            if (fd < 0) continue;
            std::string request;
            char buffer[4096];
            while (request.find("\r\n\r\n") == std::string::npos) {
                pollfd c{fd, POLLIN, 0};
                if (::poll(&c, 1, 2000) <= 0) break;
                const ssize_t got = ::read(fd, buffer, sizeof buffer);
                if (got <= 0) break;
                request.append(buffer, static_cast<std::size_t>(got));
            }
            {
                std::lock_guard lock(mutex_);
                requests_.emplace_back(request.substr(0, request.find("\r\n")), clock.elapsed());
            }
            if (hang_) {
                held_.push_back(fd);
                continue;
            }
            const char reply[] = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nOK";
            [[maybe_unused]] const ssize_t sent = ::write(fd, reply, sizeof reply - 1);
            ::close(fd);
        }
    }

    bool hang_;
    quint16 port_ = 0;
    int listener_ = -1;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex mutex_;
    std::vector<std::pair<std::string, qint64>> requests_;
    std::vector<int> held_;
};

// A TCP client of the menu port: connects, reads the reply, sends `request`.
struct MenuClient {
    int fd = -1;
    explicit MenuClient(quint16 port) {
        fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            ::close(fd);
            fd = -1;
        }
    }
    ~MenuClient() {
        if (fd >= 0) ::close(fd);
    }
    std::string readReply(std::size_t bytes = 151) {
        std::string out;
        char buffer[512];
        while (out.size() < bytes) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 10000) <= 0) break;
            const ssize_t got = ::read(fd, buffer, sizeof buffer);
            if (got <= 0) break;
            out.append(buffer, static_cast<std::size_t>(got));
        }
        return out;
    }
    bool send(const std::string& bytes) {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n <= 0) return false;
            done += static_cast<std::size_t>(n);
        }
        return true;
    }
};

quint16 freePort() {
    quint16 port = 0;
    const int fd = listenLoopback(port);
    ::close(fd);
    return port;
}

long residentKb(qint64 pid) {
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly)) return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:")) return line.mid(6).trimmed().split(' ').first().toLong();
    return -1;
}

const std::string kReply =
    "HTTP/1.0 200 OK\r\nTE: deflate,gzip;q=0.3\r\nConnection: TE, close\r\nHost: 127.0.0.1\r\n"
    "User-Agent: TAVRIN\r\nContent-Length: 2\r\nContent-Type: text/html\r\n\r\nOK\r\n";

// Neither type has a modem: no simulator.
class ModemLess : public ModemPortTest {
protected:
    ModemLess() : ModemPortTest({QStringLiteral("nomor=081200000005")}, SimStart::OnDemand) {}
    // In the international form the web service gets back as a national number.
    void queue(const QString& text, const QString& to = QStringLiteral("+628123456789")) {
        ModemPortTest::queue(text, {}, to);
    }
    QString sender(quint16 port) const {
        return QStringLiteral("com=5#modem=MERL-SENDER#baudrate=127.0.0.1:%1#handshake=KEY123#whandle=SIGN9#sender=SENDER")
            .arg(port);
    }
    void writeMenus() {
        QFile ini(home.path() + QStringLiteral("/merlcenter.ini"));
        ASSERT_TRUE(ini.open(QIODevice::WriteOnly));
        ini.write("com=5\r\nMESSAGE=Menu utama ^1\r\nTipe=PULSA\r\nMESSAGE=Isi ^1 sebesar ^2\r\ncom=6\r\nTipe=X\r\n");
    }
};

TEST_F(ModemLess, WebServiceGetsOneRequestPerMessageInQueueOrder) {
    WebService service;
    queue(QStringLiteral("Halo 123"));
    queue(QStringLiteral("a&b=c"));
    queue(QStringLiteral("tiga"), QStringLiteral("6281111"));
    ModuleRun module(home, sender(service.port()));
    ASSERT_TRUE(waitUntil([&] { return service.requests().size() == 3; }));
    EXPECT_EQ(rows(QStringLiteral("smsout")), 3);
    EXPECT_EQ(rows(QStringLiteral("qsms")), 0);
    const auto requests = service.requests();
    const std::string path = "GET /UmbVmsXLWebService/UmbVmsTransaction.asmx/MessagesOutBoxInsertExtend?activationKey=KEY123";
    // The client writes percent-encoded unreserved characters (the digits) plainly, an
    // equivalent form of the same URL; reserved ones stay encoded.
    const std::string bodies[] = {"&destination=08123456789&bodyMOB=Halo+123&",
                                  "&destination=08123456789&bodyMOB=a%26b%3Dc&", "&destination=081111&bodyMOB=tiga&"};
    const std::string today = QDate::currentDate().toString(Qt::ISODate).toStdString();
    for (std::size_t i = 0; i < 3; ++i) {
        const std::string& line = requests[i].first;
        EXPECT_EQ(line.rfind(path, 0), 0u) << line;
        EXPECT_NE(line.find(bodies[i]), std::string::npos) << line;
        EXPECT_NE(line.find("&smppVmsTypeID=Reply&timeRequest=" + today + "%20"), std::string::npos) << line;
        EXPECT_NE(line.find("&sign=SIGN9 HTTP/1.1"), std::string::npos) << line;
        if (i > 0) {
            EXPECT_GE(requests[i].second - requests[i - 1].second, 150) << "requests are spaced";
        }
    }
}

TEST_F(ModemLess, AWebServiceThatHangsOrRefusesNeverSlowsTheQueue) {
    for (const bool refuse : {false, true}) {
        SCOPED_TRACE(refuse ? "refusing" : "hanging");
        db::exec(QStringLiteral("DELETE FROM smsout"));
        WebService hanging(true);
        const quint16 port = refuse ? freePort() : hanging.port();
        for (int i = 0; i < 9; ++i) queue(QStringLiteral("m%1").arg(i));
        disablePort();
        ModuleRun module(home, sender(port));
        // Three per cycle, and a cycle takes little more than a second.
        ASSERT_TRUE(rowsBecome(QStringLiteral("smsout"), 9, 15000));
        if (refuse) {
            ASSERT_TRUE(waitUntil([&] { return module.output().count(QStringLiteral("failed")) >= 9; }))
                << module.output().toStdString();
            EXPECT_TRUE(module.output().contains(QStringLiteral("for 08123456789 failed")));
        }
        EXPECT_FALSE(module.output().contains(QStringLiteral("KEY123")));
        EXPECT_FALSE(module.output().contains(QStringLiteral("SIGN9")));
    }
}

TEST_F(ModemLess, MenuRequestsAreAnsweredAndStoredAsReceivedMessages) {
    writeMenus();
    insert(QStringLiteral("twoway"), {QStringLiteral("nomor=081200000005"), QStringLiteral("url=http://crm/in")});
    const quint16 port = freePort();
    ModuleRun module(home, QStringLiteral("com=5#modem=MERL-CENTER#baudrate=%1#sender=SENDER").arg(port));
    ASSERT_TRUE(portStatIs(QStringLiteral("RUN")));
    struct Case {
        std::string request;
        QString stored; // empty: nothing stored
    };
    const Case cases[] = {
        {"msisdn=0812\r\nusrinp1=PULSA\r\nUsrInp2=5000\r\n", QStringLiteral("0812|Isi PULSA sebesar 5000")},
        {"MSISDN=0813\r\nUSRINP1=5\r\n", QStringLiteral("0813|Menu utama 5")},
        {"USRINP1=PULSA\r\nUSRINP2=1\r\n", QString()},
        {"MSISDN=0814\r\nUSRINP1=KOSONG\r\n", QString()},
    };
    for (const Case& c : cases) {
        db::exec(QStringLiteral("DELETE FROM smsin"));
        MenuClient client(port);
        ASSERT_GE(client.fd, 0);
        EXPECT_EQ(client.readReply(), kReply);
        ASSERT_TRUE(client.send(c.request));
        EXPECT_EQ(client.readReply(1), "") << "closed once handled";
        const auto stored = textRows(QStringLiteral("SELECT pengirim,pesan,penerima,pass2way FROM smsin"));
        if (c.stored.isEmpty()) {
            EXPECT_TRUE(stored.isEmpty()) << c.request;
            continue;
        }
        ASSERT_FALSE(stored.isEmpty()) << c.request;
        EXPECT_EQ(stored[0][0] + QLatin1Char('|') + stored[0][1], c.stored);
        EXPECT_EQ(stored[0][2], QStringLiteral("081200000005"));
        EXPECT_EQ(stored[0][3], QStringLiteral("http://crm/in"));
    }
}

TEST_F(ModemLess, FloodsNeitherStopTheListenerNorGrowItsMemory) {
    writeMenus();
    const quint16 port = freePort();
    ModuleRun module(home, QStringLiteral("com=5#modem=MERL-CENTER#baudrate=%1#sender=SENDER").arg(port));
    ASSERT_TRUE(portStatIs(QStringLiteral("RUN")));
    {
        MenuClient warm(port);
        warm.readReply();
    }
    const long idle = residentKb(module.pid());
    {
        std::vector<std::unique_ptr<MenuClient>> many;
        for (int i = 0; i < 1000; ++i) many.push_back(std::make_unique<MenuClient>(port));
        MenuClient flood(port);
        flood.readReply();
        const std::string chunk(64 * 1024, 'A');
        for (int i = 0; i < 160 && flood.send(chunk); ++i) {
        }
        QThread::msleep(1000);
        EXPECT_LT(residentKb(module.pid()) - idle, 10 * 1024) << "idle " << idle << " kB";
    }
    EXPECT_TRUE(module.running());
    EXPECT_EQ(portRow(5).value(0), QStringLiteral("RUN"));
    MenuClient client(port);
    ASSERT_GE(client.fd, 0);
    EXPECT_EQ(client.readReply(), kReply);
    ASSERT_TRUE(client.send("MSISDN=0815\r\nUSRINP1=PULSA\r\nUSRINP2=10\r\n"));
    ASSERT_TRUE(rowsBecome(QStringLiteral("SELECT * FROM smsin WHERE pesan='Isi PULSA sebesar 10'"), 1));
}

TEST_F(ModemLess, AListeningPortTakenByAnotherModuleIsAnErrorReport) {
    writeMenus();
    disablePort(6);
    const quint16 port = freePort();
    ModuleRun first(home, QStringLiteral("com=5#modem=MERL-CENTER#baudrate=%1#sender=SENDER").arg(port));
    ASSERT_TRUE(portStatIs(QStringLiteral("RUN")));
    ModuleRun second(home, QStringLiteral("com=6#modem=MERL-CENTER#baudrate=%1#sender=SENDER").arg(port));
    ASSERT_TRUE(second.waitForExit());
    EXPECT_EQ(second.exitCode(), 1);
    EXPECT_EQ(portRow(6).value(0), QStringLiteral("ERR"));
    EXPECT_TRUE(portRow(6).value(1).contains(QString::number(port))) << portRow(6).value(1).toStdString();

    ASSERT_TRUE(stopsCleanly(first));
    EXPECT_LT(MenuClient(port).fd, 0) << "the listener is closed";
}

} // namespace
} // namespace pelorin::test
