// The bookkeeping of long messages whose parts arrive in different reading passes, on a clock
// the test moves.

#include <gtest/gtest.h>

#include "modem/held_parts.h"

using namespace pelorin::modem;
using pelorin::pdu::DeliveredMessage;
using pelorin::pdu::PartInfo;

namespace {

DeliveredMessage part(const std::string& index, const std::string& sender, int ref, int total, int seq,
                      const std::string& text) {
    return {index, sender, "08-12-26 10:53:40", text, PartInfo{ref, total, seq}};
}
DeliveredMessage plain(const std::string& index, const std::string& text) {
    return {index, "0812", "08-12-26 10:53:40", text, std::nullopt};
}

// Each ready message as "text@indices".
std::vector<std::string> shown(const std::vector<ReadyMessage>& ready) {
    std::vector<std::string> out;
    for (const ReadyMessage& m : ready) {
        std::string indices;
        for (const std::string& i : m.indices) indices += (indices.empty() ? "" : ",") + i;
        out.push_back(m.sender + ":" + m.text + "@" + indices);
    }
    return out;
}

using Shown = std::vector<std::string>;

TEST(HeldParts, IncompleteMessagesWaitForTheirPartsAndNeverHoldOthersBack) {
    HeldParts held(600);
    // Pass 1: part 2 of 3 and a plain message listed after it.
    EXPECT_EQ(shown(held.take({part("1", "0812", 7, 3, 2, "b"), plain("2", "solo")}, 1000, false)),
              Shown{"0812:solo@2"});
    EXPECT_EQ(held.heldCount(), 1u);
    // Pass 2: part 3 arrives; still one missing.
    EXPECT_TRUE(held.take({part("1", "0812", 7, 3, 2, "b"), part("3", "0812", 7, 3, 3, "c")}, 1010, false)
                    .empty());
    // Pass 3: part 1; the whole message comes out in part order with every index.
    EXPECT_EQ(shown(held.take({part("1", "0812", 7, 3, 2, "b"), part("3", "0812", 7, 3, 3, "c"),
                               part("4", "0812", 7, 3, 1, "a")},
                              1020, false)),
              Shown{"0812:abc@4,1,3"});
    EXPECT_EQ(held.heldCount(), 0u);
}

TEST(HeldParts, ALonePartIsReleasedOnceItHasWaitedFromItsFirstSighting) {
    HeldParts held(20);
    const std::vector<DeliveredMessage> lone = {part("5", "0812", 9, 2, 2, "tail")};
    EXPECT_TRUE(held.take(lone, 100, false).empty());
    EXPECT_TRUE(held.take(lone, 119, false).empty());
    EXPECT_EQ(shown(held.take(lone, 120, false)), Shown{"0812:tail@5"});
    // Listed again later (its deletion failed): a new wait, not a second release at once.
    EXPECT_TRUE(held.take(lone, 121, false).empty());

    HeldParts immediate(0);
    EXPECT_EQ(shown(immediate.take(lone, 100, false)), Shown{"0812:tail@5"});
}

TEST(HeldParts, SetsAreKeptApartBySenderReferenceAndTotal) {
    HeldParts held(600);
    const std::vector<DeliveredMessage> listing = {
        part("1", "0811", 33, 2, 1, "I"), part("2", "0822", 33, 2, 1, "J"),
        part("3", "0822", 33, 2, 2, "K"), part("4", "0811", 33, 2, 2, "L"),
        part("5", "0811", 33, 3, 1, "x"), // same sender and reference, other total
        part("6", "0822", 33, 2, 1, "J2"), // the place of part 1 is taken: another message
    };
    EXPECT_EQ(shown(held.take(listing, 0, false)), (Shown{"0811:IL@1,4", "0822:JK@2,3"}));
    EXPECT_EQ(held.heldCount(), 2u);
}

TEST(HeldParts, AFullStorageReleasesTheLongestWaitingMessage) {
    HeldParts held(600);
    EXPECT_TRUE(held.take({part("1", "0811", 1, 2, 1, "old")}, 0, false).empty());
    const std::vector<DeliveredMessage> listing = {part("1", "0811", 1, 2, 1, "old"),
                                                   part("2", "0822", 2, 2, 1, "new")};
    EXPECT_EQ(shown(held.take(listing, 50, true)), Shown{"0811:old@1"});
    EXPECT_EQ(held.heldCount(), 1u);
}

TEST(HeldParts, StorageFullnessIsReadFromTheSelectAnswer) {
    EXPECT_TRUE(StorageFull("\r\n+CPMS: 30,30,30,30,30,30\r\n\r\nOK\r\n"));
    EXPECT_FALSE(StorageFull("\r\n+CPMS: 29,30,29,30,29,30\r\n\r\nOK\r\n"));
    EXPECT_FALSE(StorageFull("\r\nOK\r\n"));
    EXPECT_FALSE(StorageFull("\r\n+CPMS: 0,0,0,0,0,0\r\n"));
}

} // namespace
