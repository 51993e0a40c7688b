// The modem program's stand-ins for module_network.cpp. It hands "MERL-CENTER" and
// "MERL-SENDER" modules to pelorin-net before they start (and START refuses them should that
// program be missing), so nothing here ever listens or sends.

#include "app/module.h"

namespace pelorin::app {

bool Module::networkLinked() {
    return false;
}

bool Module::openMenuListener(int) {
    return false;
}

void Module::openWebClient(outbound::DispatchContext&) {}

void Module::finishMenuRequests(int) {}

void Module::closeNetwork() {}

} // namespace pelorin::app
