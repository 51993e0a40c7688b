// The parts of a module that need Qt Network: the menu listener of "MERL-CENTER" and the HTTP
// client of "MERL-SENDER". Linked into the programs that run those types (pelorin-net, the
// window program); `pelorin` links module_no_network.cpp instead, so that a modem's module
// never maps Qt Network and the libraries it pulls in.

#include "app/module.h"

#include "db/port_row.h"
#include "db/query.h"
#include "inbound/inbound_store.h"
#include "outbound/dispatch.h"
#include "outbound/tcp_menu.h"
#include "outbound/web_requests.h"

namespace pelorin::app {
namespace {

constexpr int kBrowserPoolSize = 50;

// Made by openMenuListener below, so of this type.
outbound::TcpMenuServer* menuServerOf(const std::unique_ptr<QObject>& server) {
    return static_cast<outbound::TcpMenuServer*>(server.get());
}

} // namespace

bool Module::networkLinked() {
    return true;
}

bool Module::openMenuListener(int port) {
    const std::string com = settings_.cport;
    auto server = std::make_unique<outbound::TcpMenuServer>(
        PortSection,
        [com](const outbound::MenuEntry& entry) {
            // The own number is read in the same transaction: a failed lookup fails the store,
            // which is waited for and done again, never stored with an empty number.
            db::inTransaction([&] {
                inbound::StoreReceivedMessage(entry.caller, entry.message, entry.stamp,
                                              db::port_row::LookupOwnNumber(com));
            });
        },
        [this] { return waitForDatabase(true); });
    connect(server.get(), &outbound::TcpMenuServer::received, this, [this](const QString& text) {
        emit progress(text);
    });
    const QString error = port >= 0 && port <= 65535
                              ? server->listen(settings_.listenAddress, settings_.allowedClients,
                                               static_cast<quint16>(port))
                              : QStringLiteral("no such TCP port");
    menuServer_ = std::move(server);
    if (error.isEmpty()) return true;
    SetPortError("Error Listen port " + settings_.ehost + " (" + error.toStdString() + ")");
    return false;
}

void Module::openWebClient(outbound::DispatchContext& dispatch) {
    auto web = std::make_unique<outbound::WebRequests>(outbound::WebRequests::timeoutFromEnvironment());
    connect(web.get(), &outbound::WebRequests::requestFailed, this, [this](const QString& line) { emit progress(line); });
    dispatch.webWaitMs = 2 * web->timeoutMs() + 5000;
    dispatch.stopping = [this] { return StopFlag.load(); };
    // Requests take the slots of the pool in turn, 0 to 49, for the life of the module.
    dispatch.IssueWebRequest = [this, raw = web.get()](const std::string& url) {
        const int slot = BrowserIndex;
        BrowserIndex = (slot + 1) % kBrowserPoolSize;
        return raw->issue(url, slot);
    };
    webRequests_ = std::move(web);
}

void Module::finishMenuRequests(int ms) {
    if (menuServer_) menuServerOf(menuServer_)->finish(ms);
}

void Module::closeNetwork() {
    if (menuServer_) menuServerOf(menuServer_)->close();
    webRequests_.reset(); // requests still under way are aborted
}

} // namespace pelorin::app
