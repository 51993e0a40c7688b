// The HTTP client of the web-service type against a loopback service: the time limit runs from
// when a request is on the wire, so requests waiting behind the per-host connection limit are
// not failed for the wait, while a service that stays silent is.

#include <gtest/gtest.h>

#include <chrono>
#include <future>

#include "loopback_peers.h"
#include "outbound/web_requests.h"

using namespace pelorin;
using namespace pelorin::outbound;

namespace {

TEST(WebRequests, TheLimitCountsFromTheWireNotFromTheQueue) {
    struct Case {
        const char* name;
        test::WebAnswer answer;
        int requests;
        bool taken;
        std::string report;
    };
    // Twelve at once: six go out, six wait for a free connection (1.5 s), then take 1.5 s.
    const Case cases[] = {
        {"queued behind the host's connections", test::WebAnswer::Ok, 12, true, ""},
        {"silent", test::WebAnswer::Silence, 2, false, "for 0812 failed: no answer within 2.5 s (http://"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::WebService service(c.answer, 200, 1500);
        WebRequests web(2500);
        std::vector<std::future<WebOutcome>> outcomes;
        const std::string url = "http://127.0.0.1:" + std::to_string(service.port()) + "/p?activationKey=K&destination=0812&sign=S";
        for (int i = 0; i < c.requests; ++i) outcomes.push_back(web.issue(url + "&n=" + std::to_string(i), i));
        for (std::future<WebOutcome>& outcome : outcomes) {
            ASSERT_EQ(outcome.wait_for(std::chrono::seconds(20)), std::future_status::ready);
            const WebOutcome result = outcome.get();
            EXPECT_EQ(result.taken, c.taken) << result.report;
            EXPECT_NE(result.report.find(c.report), std::string::npos) << result.report;
            EXPECT_EQ(result.report.find("K&"), std::string::npos) << "credentials masked: " << result.report;
        }
        EXPECT_EQ(service.requests().size(), static_cast<std::size_t>(c.requests));
    }
}

} // namespace
