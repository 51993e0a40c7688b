// The handlers while another connection keeps writing, as the main application and the other
// modules do: no reply and no broadcast copy may go missing.

#include <atomic>
#include <thread>

#include "inbound/autoresponder.h"
#include "inbound/inbound_store.h"
#include "inbound/remote_command.h"
#include "inbound_fixture.h"

using namespace pelorin;
using test::InboundTest;

namespace {

// Writes a row every couple of milliseconds on a connection of its own until destroyed.
class OtherWriter {
public:
    OtherWriter()
        : thread_([this] {
              while (!stop_) {
                  db::exec(QStringLiteral("INSERT INTO twoway (nomor,url) VALUES ('writer','x')"));
                  ++writes_;
                  std::this_thread::sleep_for(std::chrono::milliseconds(2));
              }
              db::Database::closeThisThread();
          }) {}
    ~OtherWriter() {
        stop_ = true;
        thread_.join();
    }
    int writes() const { return writes_; }

private:
    std::atomic<bool> stop_{false};
    std::atomic<int> writes_{0};
    std::thread thread_;
};

class WithAnotherWriter : public InboundTest {};

TEST_F(WithAnotherWriter, EveryReplyAndBroadcastCopyIsQueued) {
    constexpr int kContacts = 150;
    constexpr int kMessages = 40;
    for (int i = 0; i < kContacts; ++i) {
        const QString msisdn = QStringLiteral("08%1").arg(i, 6, 10, QLatin1Char('0'));
        insert(QStringLiteral("phonebook"),
               {QStringLiteral("msisdn"), QStringLiteral("nama"), QStringLiteral("alamat"),
                QStringLiteral("groupdata")},
               {msisdn, QStringLiteral("N%1").arg(i), QStringLiteral("A"), QStringLiteral("G")});
    }
    insert(QStringLiteral("remotecommand"),
           {QStringLiteral("command"), QStringLiteral("sender"), QStringLiteral("param1field"),
            QStringLiteral("param1criteria"), QStringLiteral("param2field"),
            QStringLiteral("param2criteria")},
           {"info <message>", "0899", "groupdata", "LIKE", "alamat", "LIKE"});
    // Two matching rules each, so that the rule result is still open when the reply is queued.
    for (const char* format : {"HALO", "HALO", "TANYA <any>", "TANYA <any>"}) {
        insert(QStringLiteral("autorespondset"),
               {QStringLiteral("formatsms"), QStringLiteral("replysms"), QStringLiteral("pengirim"),
                QStringLiteral("onlyphonebook"), QStringLiteral("groupphonebook")},
               {format, "jawab <any>", "", 0, ""});
    }

    OtherWriter writer;
    ASSERT_TRUE(test::waitUntil([&] { return writer.writes() > 0; }));
    inbound::RunRemoteCommand("0812", "info rapat <nama>");
    for (int i = 0; i < kMessages; ++i) {
        const std::string stamp = "01-01-26 10:00:" + std::to_string(10 + i);
        for (const std::string& text : {std::string("halo"), "tanya " + std::to_string(i)}) {
            inbound::StoreReceivedMessage("0813", text, stamp, "0811");
            inbound::RunAutoResponder("MODUL1", "0813", text, stamp, 1);
        }
    }
    EXPECT_EQ(rows(QStringLiteral("SELECT count(*) FROM qsms WHERE isipesan LIKE 'rapat N%'")),
              (std::vector<std::string>{std::to_string(kContacts)}));
    EXPECT_EQ(rows(QStringLiteral("SELECT count(*) FROM qsms WHERE isipesan LIKE 'jawab%'")),
              (std::vector<std::string>{std::to_string(2 * kMessages)}));
}

} // namespace
