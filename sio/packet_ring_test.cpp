#include <deque>
#include <memory>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "sio/sio.h"

namespace vg::sio {
namespace {

using Packet = std::vector<std::uint8_t>;

// A "$"-packet of length len whose payload carries the tag, so packets can be told apart.
Packet makePacket(std::uint8_t len, std::uint8_t tag) {
    Packet p(len, 0);
    p[0] = kPacketStart;
    p[1] = len;
    for (std::size_t i = 2; i < len; ++i) {
        p[i] = static_cast<std::uint8_t>(tag + i);
    }
    return p;
}

struct RingTest : ::testing::Test {
    std::unique_ptr<PacketRing> ring = std::make_unique<PacketRing>();

    std::uint16_t count() {
        std::uint16_t n = 0xFFFF;
        EXPECT_EQ(countPackets(*ring, n), 0);
        return n;
    }
    Packet take() {
        std::array<std::uint8_t, kSlotBytes> dest{};
        if (takePacket(*ring, dest.data()) != 0) {
            return {};
        }
        return Packet(dest.begin(), dest.begin() + dest[1]);
    }
};

TEST_F(RingTest, SizeClampsToTheDefault) {
    const struct {
        std::uint16_t asked, got;
    } cases[] = {{0, 4096}, {1, 1}, {5, 5}, {4096, 4096}, {4097, 4096}, {5000, 4096}};
    for (const auto& c : cases) {
        setRingSize(*ring, c.asked);
        EXPECT_EQ(ring->slotCount, c.got) << "asked " << c.asked;
    }
}

TEST_F(RingTest, PacketsComeOutInOrderWithTheirOwnLength) {
    setRingSize(*ring, 4096);
    const Packet a = makePacket(2, 0), b = makePacket(127, 1), c = makePacket(40, 2);
    for (const auto* p : {&a, &b, &c}) {
        storePacket(*ring, p->data());
    }
    EXPECT_EQ(count(), 3);
    EXPECT_EQ(take(), a);
    EXPECT_EQ(take(), b);
    EXPECT_EQ(take(), c);
    EXPECT_EQ(count(), 0);
}

TEST_F(RingTest, EmptyTakeLeavesTheDestinationAlone) {
    setRingSize(*ring, 4096);
    std::array<std::uint8_t, kSlotBytes> dest;
    dest.fill(0xAB);
    EXPECT_EQ(takePacket(*ring, dest.data()), -1);
    for (auto b : dest) {
        ASSERT_EQ(b, 0xAB);
    }
    EXPECT_EQ(count(), 0);
}

TEST_F(RingTest, StoreIgnoresABufferThatIsNoPacket) {
    setRingSize(*ring, 4096);
    Packet p = makePacket(10, 0);
    p[0] = 'E';
    storePacket(*ring, p.data());
    EXPECT_EQ(count(), 0);
}

TEST_F(RingTest, FullRingDropsTheOldest) {
    setRingSize(*ring, 4096);
    for (int i = 0; i < 4096; ++i) {
        storePacket(*ring, makePacket(10, static_cast<std::uint8_t>(i)).data());
    }
    EXPECT_EQ(count(), 4095);
    EXPECT_EQ(ring->dropped, 1u);
    EXPECT_EQ(take(), makePacket(10, 1));  // packet 0 was dropped
}

TEST_F(RingTest, OneSlotHoldsNothing) {
    setRingSize(*ring, 1);
    storePacket(*ring, makePacket(10, 0).data());
    EXPECT_EQ(count(), 0);
    EXPECT_TRUE(take().empty());
}

TEST_F(RingTest, CountAcrossTheWrap) {
    setRingSize(*ring, 4096);
    ring->readIndex = 4095;
    ring->writeIndex = 1;
    EXPECT_EQ(count(), 2);
    ring->readIndex = 5;
    ring->writeIndex = 7;
    EXPECT_EQ(count(), 2);
}

TEST_F(RingTest, WrapKeepsOrderAndCountMatchesTakes) {
    setRingSize(*ring, 5);
    std::uint8_t next = 0, expected = 0;
    for (int round = 0; round < 20; ++round) {
        for (int i = 0; i < 3; ++i) {
            storePacket(*ring, makePacket(20, next++).data());
        }
        const std::uint16_t n = count();
        ASSERT_EQ(n, 3);
        for (std::uint16_t i = 0; i < n; ++i) {
            ASSERT_EQ(take(), makePacket(20, expected++));
        }
    }
}

TEST_F(RingTest, ResetEmptiesAndRewinds) {
    setRingSize(*ring, 4096);
    for (int i = 0; i < 3; ++i) {
        storePacket(*ring, makePacket(10, 0).data());
    }
    take();
    resetRing(*ring);
    EXPECT_EQ(ring->readIndex, 0);
    EXPECT_EQ(ring->writeIndex, 0);
    EXPECT_EQ(count(), 0);

    ring->readIndex = ring->writeIndex = 9;  // an empty ring keeps its indices
    resetRing(*ring);
    EXPECT_EQ(ring->readIndex, 9);
}

// Random runs of stores and takes against a plain queue, across sizes where the indices wrap
// often and where the ring fills and drops: what comes out, the count and the drops all match.
TEST_F(RingTest, StoresAndTakesMatchAQueueAtEverySize) {
    std::mt19937 random(7);
    for (const int size : {1, 2, 5, 16, 17, 4096}) {
        SCOPED_TRACE(size);
        ring = std::make_unique<PacketRing>();
        setRingSize(*ring, static_cast<std::uint16_t>(size));
        std::deque<Packet> model;
        std::uint64_t modelDropped = 0;
        std::uint8_t tag = 0;
        for (int burst = 0; burst < 400; ++burst) {
            const int stores = std::uniform_int_distribution<int>(0, size + 2)(random);
            for (int i = 0; i < stores; ++i) {
                const auto len = static_cast<std::uint8_t>(2 + (tag * 37) % 126);
                model.push_back(makePacket(len, tag++));
                storePacket(*ring, model.back().data());
                // The ring keeps one slot free, so a store into size - 1 packets drops one.
                if (model.size() >= static_cast<std::size_t>(size)) {
                    model.pop_front();
                    ++modelDropped;
                }
            }
            ASSERT_EQ(count(), model.size());
            const auto takes = std::uniform_int_distribution<std::size_t>(0, model.size())(random);
            for (std::size_t i = 0; i < takes; ++i) {
                ASSERT_EQ(take(), model.front());
                model.pop_front();
            }
        }
        EXPECT_EQ(ring->dropped, modelDropped);
    }
}

// A ring that is emptied after every few packets, as the loop does, keeps its packets at the
// front of its storage however far the indices have gone round: the rest is never touched.
TEST_F(RingTest, ARingKeptNearlyEmptyUsesTheFrontOfItsStorage) {
    setRingSize(*ring, 4096);
    for (auto& slot : ring->slots) {
        slot.fill(0xEE);
    }
    std::uint8_t tag = 0;
    for (int pass = 0; pass < 3000; ++pass) {  // 9000 packets: the indices go round twice
        for (int i = 0; i < 3; ++i) {
            storePacket(*ring, makePacket(40, tag++).data());
        }
        while (count() != 0) {
            take();
        }
    }
    EXPECT_NE(ring->writeIndex, 0);
    for (std::size_t place = 3; place < kMaxSlots; ++place) {
        ASSERT_EQ(ring->slots[place][0], 0xEE) << "storage slot " << place << " was written";
    }
}

}  // namespace
}  // namespace vg::sio
