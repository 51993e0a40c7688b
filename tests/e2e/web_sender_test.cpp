// The "MERL-SENDER" type end to end against a loopback web service written here: a message is
// logged as sent only once the service took it, whatever the service or a kill -9 does.

#include <gtest/gtest.h>

#include <QDate>
#include <QThread>
#include <QUrl>

#include <csignal>
#include <map>
#include <optional>
#include <set>

#include "db/query.h"
#include "e2e_fixture.h"
#include "loopback_peers.h"

namespace pelorin::test {
namespace {

// No modem: no simulator.
class WebSender : public ModemPortTest {
protected:
    WebSender() : ModemPortTest({QStringLiteral("nomor=081200000005")}, SimStart::OnDemand) {}
    // In the international form the web service gets back as a national number.
    void queue(const QString& text, const QString& to = QStringLiteral("+628123456789")) const {
        ModemPortTest::queue(text, {}, to);
    }
    static QString argument(quint16 port) {
        return QStringLiteral("com=5#modem=MERL-SENDER#baudrate=127.0.0.1:%1#handshake=KEY123#whandle=SIGN9#sender=SENDER")
            .arg(port);
    }
    // The message texts the service received, decoded.
    static std::multiset<std::string> bodies(WebService& service) {
        std::multiset<std::string> out;
        for (const WebService::Request& r : service.requests()) {
            QByteArray body = QByteArray::fromStdString(WebService::param(r.line, "bodyMOB")).replace('+', ' ');
            out.insert(QUrl::fromPercentEncoding(body).toStdString());
        }
        return out;
    }
};

TEST_F(WebSender, OneRequestPerMessageInQueueOrderSpacedApart) {
    WebService service;
    queue(QStringLiteral("Halo 123"));
    queue(QStringLiteral("a&b=c"));
    queue(QStringLiteral("tiga"), QStringLiteral("6281111"));
    ModuleRun module(home, argument(service.port()));
    ASSERT_TRUE(rowsBecome(QStringLiteral("smsout"), 3)) << module.output().toStdString();
    EXPECT_EQ(rows(QStringLiteral("qsms")), 0);
    const auto requests = service.requests();
    ASSERT_EQ(requests.size(), 3u);
    const std::string path = "GET /UmbVmsXLWebService/UmbVmsTransaction.asmx/MessagesOutBoxInsertExtend?activationKey=KEY123";
    // The client writes percent-encoded unreserved characters (the digits) plainly, an
    // equivalent form of the same URL; reserved ones stay encoded.
    const std::string bodyParts[] = {"&destination=08123456789&bodyMOB=Halo+123&",
                                     "&destination=08123456789&bodyMOB=a%26b%3Dc&", "&destination=081111&bodyMOB=tiga&"};
    const std::string today = QDate::currentDate().toString(Qt::ISODate).toStdString();
    for (std::size_t i = 0; i < 3; ++i) {
        const std::string& line = requests[i].line;
        EXPECT_EQ(line.rfind(path, 0), 0u) << line;
        EXPECT_NE(line.find(bodyParts[i]), std::string::npos) << line;
        EXPECT_NE(line.find("&smppVmsTypeID=Reply&timeRequest=" + today + "%20"), std::string::npos) << line;
        EXPECT_NE(line.find("&sign=SIGN9 HTTP/1.1"), std::string::npos) << line;
        if (i > 0) {
            EXPECT_GE(requests[i].atMs - requests[i - 1].atMs, 150) << "requests are spaced";
        }
    }
    EXPECT_EQ(texts(QStringLiteral("SELECT penerima FROM smsout ORDER BY penerima")),
              (QStringList{"081111", "08123456789", "08123456789"}));
}

// Each failure is an attempt: never logged as sent; with automatic removal at one failure the
// second attempt sets the message aside.
TEST_F(WebSender, AnythingButTwoHundredIsAFailedAttempt) {
    WebService elsewhere;
    struct Case {
        const char* name;
        std::optional<WebAnswer> answer; // none: nobody listens
        int status;
        std::string location;
        QString reason;
    };
    const std::string away = "http://127.0.0.1:" + std::to_string(elsewhere.port()) + "/taken";
    const Case cases[] = {
        {"server error", WebAnswer::Status, 500, "", QStringLiteral("failed: HTTP 500")},
        {"not found", WebAnswer::Status, 404, "", QStringLiteral("failed: HTTP 404")},
        {"reset in the body", WebAnswer::ResetInBody, 200, "", QStringLiteral("failed: HTTP 200, then")},
        {"closed in the body", WebAnswer::CloseInBody, 200, "", QStringLiteral("failed: HTTP 200, then")},
        {"silence beyond the limit", WebAnswer::Silence, 0, "", QStringLiteral("failed: no answer within 2 s")},
        {"redirect to another server", WebAnswer::Status, 302, away, QStringLiteral("failed: HTTP 302")},
        {"connection refused", std::nullopt, 0, "", QStringLiteral("failed: Connection refused")},
    };
    db::exec(QStringLiteral("INSERT INTO setting (cekautodel,smsautodel) VALUES (1,1)"));
    QProcessEnvironment limit;
    limit.insert(QStringLiteral("PELORIN_WEB_TIMEOUT_SECONDS"), QStringLiteral("2"));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        db::exec(QStringLiteral("DELETE FROM failedsent"));
        disablePort();
        queue(QStringLiteral("pesan"));
        std::optional<WebService> service;
        if (c.answer) service.emplace(*c.answer, c.status, 0, c.location);
        ModuleRun module(home, argument(service ? service->port() : freePort()), limit);
        ASSERT_TRUE(rowsBecome(QStringLiteral("failedsent"), 1, 40000))
            << module.output().toStdString();
        EXPECT_EQ(rows(QStringLiteral("smsout")), 0);
        EXPECT_EQ(rows(QStringLiteral("qsms")), 0);
        EXPECT_EQ(texts(QStringLiteral("SELECT trycount FROM failedsent")), QStringList{"1"});
        // A reset the client meets before it read the head makes Qt send the request again.
        if (service && (c.answer == WebAnswer::ResetInBody || c.answer == WebAnswer::CloseInBody)) {
            EXPECT_GE(service->requests().size(), 2u);
        } else if (service) {
            EXPECT_EQ(service->requests().size(), 2u);
        }
        const QString output = module.output();
        EXPECT_EQ(output.count(QStringLiteral("for 08123456789 ") + c.reason), 2) << output.toStdString();
        EXPECT_FALSE(output.contains(QStringLiteral("KEY123")) || output.contains(QStringLiteral("SIGN9")));
        EXPECT_TRUE(module.running());
    }
    EXPECT_TRUE(elsewhere.requests().empty()) << "a redirect never takes the credentials elsewhere";
}

TEST_F(WebSender, ASlowServiceWithinTheLimitGetsEveryMessageOnce) {
    WebService slow(WebAnswer::Ok, 200, 12000);
    constexpr int kMessages = 9;
    for (int i = 0; i < kMessages; ++i) queue(QStringLiteral("lambat %1").arg(i));
    ModuleRun module(home, argument(slow.port()));
    ASSERT_TRUE(rowsBecome(QStringLiteral("smsout"), kMessages, 120000))
        << module.output().toStdString();
    EXPECT_EQ(slow.requests().size(), static_cast<std::size_t>(kMessages));
    const std::multiset<std::string> received = bodies(slow);
    EXPECT_EQ(std::set<std::string>(received.begin(), received.end()).size(), static_cast<std::size_t>(kMessages));
    EXPECT_FALSE(module.output().contains(QStringLiteral("failed"))) << module.output().toStdString();
}

TEST_F(WebSender, KillNineWhileDrainingNeverLogsWhatTheServiceDidNotGet) {
    // A short delay holds each request open, so kills land between request and record too.
    WebService service(WebAnswer::Ok, 200, 300);
    constexpr int kMessages = 45;
    for (int i = 0; i < kMessages; ++i) queue(QStringLiteral("k%1").arg(i));
    const auto loggedButNeverReceived = [&] {
        const std::multiset<std::string> received = bodies(service);
        QStringList missing;
        for (const QString& text : texts(QStringLiteral("SELECT pesan FROM smsout")))
            if (received.count(text.toStdString()) == 0) missing << text;
        return missing;
    };
    for (int round = 0; round < 8; ++round) {
        disablePort();
        ModuleRun module(home, argument(service.port()));
        QThread::msleep(900 + 170 * (round % 5));
        module.signal(SIGKILL);
        ASSERT_TRUE(module.waitForExit());
        EXPECT_EQ(loggedButNeverReceived(), QStringList()) << "round " << round;
    }
    disablePort();
    ModuleRun module(home, argument(service.port()));
    ASSERT_TRUE(rowsBecome(QStringLiteral("qsms"), 0, 90000)) << module.output().toStdString();
    EXPECT_EQ(loggedButNeverReceived(), QStringList());
    std::map<QString, int> logged;
    for (const QString& text : texts(QStringLiteral("SELECT pesan FROM smsout"))) ++logged[text];
    EXPECT_EQ(logged.size(), static_cast<std::size_t>(kMessages));
    for (const auto& [text, times] : logged) EXPECT_EQ(times, 1) << text.toStdString();
}

TEST_F(WebSender, DestinationsNeverChangeTheRequestsParameters) {
    WebService service;
    const QString bad[] = {QStringLiteral("0812&activationKey=EVIL&sign=EVIL"), QStringLiteral("0813#frag"),
                           QStringLiteral("0814?x=1&y")};
    // Written as the main application writes rows, past the admin tool's own check.
    for (const QString& to : bad) {
        db::exec(QStringLiteral("INSERT INTO qsms (tgl,waktu,pengirim,tujuan,isipesan,pidcom,trycount) "
                                "VALUES (?,'09:00','SENDER',?,'jahat',5,0)"),
                 {db::today(), to});
    }
    queue(QStringLiteral("baik"), QStringLiteral("+1555"));
    queue(QStringLiteral("baik"), QStringLiteral("+62 815-0000"));
    ModuleRun module(home, argument(service.port()));
    ASSERT_TRUE(rowsBecome(QStringLiteral("smsout"), 2)) << module.output().toStdString();
    EXPECT_EQ(texts(QStringLiteral("SELECT tujuan FROM failedsent ORDER BY idx")), (QStringList{bad[0], bad[1], bad[2]}));
    EXPECT_EQ(module.output().count(QStringLiteral("set aside: its destination is not a phone number; moved to failedsent")), 3);
    std::vector<std::string> destinations;
    for (const WebService::Request& r : service.requests()) {
        for (const char* key : {"activationKey", "destination", "bodyMOB", "smppVmsTypeID", "timeRequest", "sign"})
            EXPECT_EQ(WebService::count(r.line, key), 1) << key << " in " << r.line;
        EXPECT_EQ(WebService::param(r.line, "activationKey"), "KEY123");
        EXPECT_EQ(WebService::param(r.line, "sign"), "SIGN9");
        destinations.push_back(WebService::param(r.line, "destination"));
    }
    EXPECT_EQ(destinations, (std::vector<std::string>{"%2B1555", "08150000"}));
    EXPECT_TRUE(module.running());
}

} // namespace
} // namespace pelorin::test
