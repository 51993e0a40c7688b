// The bookkeeping of long messages whose parts arrive in different reading passes, on a clock
// the test moves.

#include <gtest/gtest.h>

#include "modem/handled_messages.h"
#include "modem/held_parts.h"
#include "pdu/part_sets.h"

using namespace pelorin::modem;
using pelorin::pdu::DeliveredMessage;
using pelorin::pdu::PartInfo;

namespace {

DeliveredMessage part(const std::string& index, const std::string& sender, int ref, int total, int seq,
                      const std::string& text, const std::string& stamp = "08-12-26 10:53:40") {
    return {index, sender, stamp, text, PartInfo{ref, total, seq}};
}
DeliveredMessage plain(const std::string& index, const std::string& text) {
    return {index, "0812", "08-12-26 10:53:40", text, std::nullopt};
}

// Each ready message as "sender:text@indices", then each repeat as "repeat@index".
std::vector<std::string> shown(const HeldParts::Taken& taken) {
    std::vector<std::string> out;
    for (const ReadyMessage& m : taken.ready) {
        std::string indices;
        for (const DeliveredMessage& p : m.parts) indices += (indices.empty() ? "" : ",") + p.index;
        out.push_back(m.sender + ":" + m.text + "@" + indices);
    }
    for (const DeliveredMessage& r : taken.repeats) out.push_back("repeat@" + r.index);
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
                    .ready.empty());
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
    EXPECT_TRUE(held.take(lone, 100, false).ready.empty());
    EXPECT_TRUE(held.take(lone, 119, false).ready.empty());
    EXPECT_EQ(shown(held.take(lone, 120, false)), Shown{"0812:tail@5"});
    // Listed again later (its deletion failed): a new wait, not a second release at once.
    EXPECT_TRUE(held.take(lone, 121, false).ready.empty());

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

TEST(HeldParts, RepeatedPartsAreOnlyDeletedAndMessagesSharingAReferenceAreToldApart) {
    const std::string t0 = "08-12-26 10:53:40";
    const std::string soon = "08-12-26 10:54:10";  // 30 s later
    const std::string later = "08-12-26 10:55:40"; // 2 min later
    const std::string far = "08-12-26 11:53:40";   // an hour later
    struct Case {
        const char* name;
        std::vector<std::vector<DeliveredMessage>> passes; // what each listing shows
        Shown last;                                        // what the last one gives
        std::size_t held;
    };
    const Case cases[] = {
        {"part 2 listed twice",
         {{part("1", "0812", 7, 3, 1, "a"), part("2", "0812", 7, 3, 2, "b"), part("3", "0812", 7, 3, 2, "b"),
           part("4", "0812", 7, 3, 3, "c")}},
         {"0812:abc@1,2,4", "repeat@3"}, 0},
        {"the repetition stamped a little later",
         {{part("1", "0812", 7, 2, 2, "b"), part("2", "0812", 7, 2, 2, "b", soon), part("3", "0812", 7, 2, 1, "a")}},
         {"0812:ab@3,1", "repeat@2"}, 0},
        {"the same part an hour later is another message",
         {{part("1", "0812", 7, 2, 1, "a"), part("2", "0812", 7, 2, 1, "a", far)}}, {}, 2},
        {"parts stamped an hour apart are never joined",
         {{part("1", "0812", 7, 2, 1, "a"), part("2", "0812", 7, 2, 2, "b", far)}}, {}, 2},
        {"a held part 2, then a newer message's parts 1 and 2",
         {{part("1", "0812", 7, 2, 2, "x2")},
          {part("1", "0812", 7, 2, 2, "x2"), part("2", "0812", 7, 2, 1, "y1", later),
           part("3", "0812", 7, 2, 2, "y2", later)}},
         {"0812:y1y2@2,3"}, 1},
        {"the same with equal stamps: the storage order decides",
         {{part("1", "0812", 7, 2, 2, "x2")},
          {part("1", "0812", 7, 2, 2, "x2"), part("2", "0812", 7, 2, 1, "y1"), part("3", "0812", 7, 2, 2, "y2")}},
         {"0812:y1y2@2,3"}, 1},
        {"two whole messages, stored interleaved, told apart by their stamps",
         {{part("1", "0812", 7, 2, 1, "a1"), part("2", "0812", 7, 2, 1, "b1", later),
           part("3", "0812", 7, 2, 2, "a2"), part("4", "0812", 7, 2, 2, "b2", later)}},
         {"0812:a1a2@1,3", "0812:b1b2@2,4"}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        HeldParts held(600);
        HeldParts::Taken taken;
        std::int64_t now = 0;
        for (const auto& listing : c.passes) taken = held.take(listing, now += 10, false);
        EXPECT_EQ(shown(taken), c.last);
        EXPECT_EQ(held.heldCount(), c.held);
    }
}

TEST(HeldParts, ServiceCentreStampsReadAsSeconds) {
    using pelorin::pdu::StampSeconds;
    const auto apart = [](const char* a, const char* b) { return *StampSeconds(b) - *StampSeconds(a); };
    EXPECT_EQ(apart("08-12-26 10:53:40", "08-12-26 10:54:41"), 61);
    EXPECT_EQ(apart("02-28-24 23:59:59", "02-29-24 00:00:00"), 1);
    EXPECT_EQ(apart("02-28-25 23:59:59", "03-01-25 00:00:00"), 1);
    EXPECT_EQ(apart("12-31-25 23:59:59", "01-01-26 00:00:00"), 1);
    for (const char* bad : {"", "13-01-26 00:00:00", "08-12-26 10:53", "ab-12-26 10:53:40", "08-12-26 24:00:00",
                            "08/12/26 10:53:40"}) {
        EXPECT_FALSE(StampSeconds(bad).has_value()) << bad;
    }
}

TEST(HandledMessages, AHandledMessageIsKnownAtItsPlaceUntilItsDeletionIsConfirmed) {
    HandledMessages memory;
    const DeliveredMessage halo = plain("3", "halo");
    EXPECT_FALSE(memory.handled("ME", halo, 0));
    memory.remember("ME", halo, 0);
    EXPECT_TRUE(memory.handled("ME", halo, 10));
    EXPECT_TRUE(memory.handled("ME", plain(" 3", "halo"), 10)) << "a blank before the index is the same place";
    EXPECT_FALSE(memory.handled("SM", halo, 10)) << "another storage is another place";
    EXPECT_FALSE(memory.handled("ME", plain("3", "baru"), 10)) << "a new message at that place";
    EXPECT_FALSE(memory.handled("ME", halo, 10)) << "its deletion went through after all";

    memory.remember("ME", halo, 20);
    memory.deleted("ME", "3");
    EXPECT_EQ(memory.undeleted(), 0u);
    memory.remember("ME", halo, 20);
    memory.forgetOld(20 + HandledMessages::kForgetSeconds + 1);
    EXPECT_FALSE(memory.handled("ME", halo, 30)) << "not listed for an hour: gone some other way";
}

TEST(HandledMessages, PartsHandledLatelyAreRecognisedWhereverTheyAreListed) {
    HandledMessages memory;
    memory.remember("ME", part("1", "0812", 7, 2, 2, "b"), 0);
    EXPECT_FALSE(memory.repeatsHandledPart(part("9", "0812", 7, 2, 2, "b")))
        << "only deleted: the part it repeats may still be waiting for its message";
    memory.rememberPart(part("1", "0812", 7, 2, 2, "b"), 0);
    EXPECT_TRUE(memory.repeatsHandledPart(part("9", "0812", 7, 2, 2, "b")));
    EXPECT_FALSE(memory.repeatsHandledPart(part("9", "0812", 7, 2, 2, "c")));
    EXPECT_FALSE(memory.repeatsHandledPart(part("9", "0812", 8, 2, 2, "b")));
    EXPECT_FALSE(memory.repeatsHandledPart(plain("9", "b")));
    memory.forgetOld(HandledMessages::kForgetSeconds + 1);
    EXPECT_FALSE(memory.repeatsHandledPart(part("9", "0812", 7, 2, 2, "b")));
}

TEST(HeldParts, AFullStorageReleasesTheLongestWaitingMessage) {
    HeldParts held(600);
    EXPECT_TRUE(held.take({part("1", "0811", 1, 2, 1, "old")}, 0, false).ready.empty());
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
