#include <memory>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sio/sio.h"

namespace vg::sio {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes packet(std::uint8_t len, std::uint8_t fill) {
    Bytes p(len, fill);
    p[0] = kPacketStart;
    if (len > 1) {
        p[1] = len;
    }
    return p;
}

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes text(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

// A ring and a framer, fed in chunks; packets come back out of the ring as byte strings.
struct Rig {
    std::unique_ptr<PacketRing> ring = std::make_unique<PacketRing>();
    Framer framer;
    std::size_t completed = 0;

    Rig() { setRingSize(*ring, kMaxSlots); }

    void feed(const Bytes& b, std::size_t from = 0, std::size_t to = SIZE_MAX) {
        to = std::min(to, b.size());
        completed += frameBytes(framer, *ring, b.data() + from, to - from);
    }
    std::vector<Bytes> packets() {
        std::vector<Bytes> out;
        std::array<std::uint8_t, kSlotBytes> dest{};
        while (takePacket(*ring, dest.data()) == 0) {
            out.emplace_back(dest.begin(), dest.begin() + dest[1]);
        }
        return out;
    }
};

std::vector<Bytes> frameWhole(const Bytes& stream) {
    Rig rig;
    rig.feed(stream);
    return rig.packets();
}

TEST(FramerTest, CutsPacketsOutOfTheStream) {
    const Bytes p40 = packet(40, 0x11);
    const Bytes withDollars = Bytes{0x24, 6, 2, 0x24, 0x24, 0x24};  // "$" bytes in the payload
    const Bytes p36 = Bytes{0x24, 0x24} + Bytes(34, 0x33);          // "$$": a length of 36
    const struct {
        const char* name;
        Bytes stream;
        std::vector<Bytes> expected;
        std::uint64_t noise;  // bytes skipped: they start no packet
    } cases[] = {
        {"empty", {}, {}, 0},
        {"junk only", text("abc\x01\xff"), {}, 5},
        {"junk before a packet", text("xyz\r\n") + p40, {p40}, 5},
        {"dollar inside a payload", withDollars + p40, {withDollars, p40}, 0},
        {"dollar dollar is a length of 36", p36 + p40, {p36, p40}, 0},
        {"length 0 is no packet", Bytes{0x24, 0} + p40, {p40}, 2},
        {"length 1 is no packet", Bytes{0x24, 1} + p40, {p40}, 2},
        {"length 2 is a bare header", Bytes{0x24, 2} + p40, {Bytes{0x24, 2}, p40}, 0},
        {"length 127", packet(127, 0x7e) + p40, {packet(127, 0x7e), p40}, 0},
        {"length 128 is no packet", Bytes{0x24, 128} + p40, {p40}, 2},
        {"length 255 is no packet", Bytes{0x24, 255} + p40, {p40}, 2},
        {"no-packet header swallows only itself",
         Bytes{0x24, 0x80, 0x24, 0x05, 1, 2, 3},
         {Bytes{0x24, 5, 1, 2, 3}},
         2},
        {"incomplete tail is kept back", p40 + Bytes(p40.begin(), p40.begin() + 20), {p40}, 0},
        {"back to back",
         p40 + withDollars + packet(2, 0) + p40,
         {p40, withDollars, packet(2, 0), p40},
         0},
    };
    for (const auto& c : cases) {
        Rig rig;
        rig.feed(c.stream);
        EXPECT_EQ(rig.completed, c.expected.size()) << c.name;
        EXPECT_EQ(rig.packets(), c.expected) << c.name;
        EXPECT_EQ(rig.framer.noiseBytes, c.noise) << c.name;
    }
}

TEST(FramerTest, ALostLinkCutsThePartialPacketAndCountsIt) {
    const Bytes p = packet(40, 0x11);
    Rig rig;
    rig.feed(p, 0, 25);
    dropPartialPacket(rig.framer);
    dropPartialPacket(rig.framer);  // nothing left to cut
    rig.feed(p);                    // what comes after never completes the cut packet
    EXPECT_EQ(rig.packets(), std::vector<Bytes>{p});
    EXPECT_EQ(rig.framer.cutPackets, 1u);
}

TEST(FramerTest, PacketSplitAcrossCallsIsStoredOnlyWhenWhole) {
    const Bytes p = packet(42, 0x5a);
    for (std::size_t cut = 1; cut < p.size(); ++cut) {
        Rig rig;
        rig.feed(p, 0, cut);
        EXPECT_TRUE(rig.packets().empty()) << "after " << cut << " bytes";
        rig.feed(p, cut);
        const auto got = rig.packets();
        ASSERT_EQ(got.size(), 1u) << "cut at " << cut;
        EXPECT_EQ(got[0], p) << "cut at " << cut;
    }
}

// A long stream of random packets and junk, some of it "$" bytes that start false packets:
// however it is cut into chunks, the same packets come out.
TEST(FramerTest, PacketsDependOnTheBytesAloneNotOnTheChunking) {
    std::mt19937 rng(7);
    Bytes stream;
    std::vector<Bytes> sent;
    std::uint64_t junk = 0;
    for (int i = 0; i < 600; ++i) {
        if (rng() % 4 == 0) {
            for (auto j = rng() % 5; j > 0; --j, ++junk) {
                const auto b = static_cast<std::uint8_t>(rng());
                stream.push_back(b == kPacketStart ? 0 : b);  // junk that cannot start a packet
            }
        }
        Bytes p = packet(static_cast<std::uint8_t>(2 + rng() % 126), 0);
        for (std::size_t k = 2; k < p.size(); ++k) {
            p[k] = (rng() % 8 == 0) ? kPacketStart : static_cast<std::uint8_t>(rng());
        }
        sent.push_back(p);
        stream = stream + p;
    }
    const auto whole = frameWhole(stream);
    EXPECT_EQ(whole, sent);

    // Now with stray "$" bytes, which garble what follows them until the framing recovers; what
    // comes out must still not depend on the chunking.
    Bytes noisy = stream;
    for (int i = 0; i < 40; ++i) {
        noisy.insert(noisy.begin() + static_cast<std::ptrdiff_t>(rng() % noisy.size()),
                     kPacketStart);
    }
    Rig noisyRig;
    noisyRig.feed(noisy);
    const std::uint64_t noisyNoise = noisyRig.framer.noiseBytes;
    const auto noisyWhole = noisyRig.packets();
    EXPECT_NE(noisyWhole, sent);
    EXPECT_GT(noisyWhole.size(), sent.size() / 2);

    for (const Bytes* s : {&stream, &noisy}) {
        const auto& expected = (s == &stream) ? whole : noisyWhole;
        Rig single;
        for (std::size_t i = 0; i < s->size(); ++i) {
            single.feed(*s, i, i + 1);
        }
        EXPECT_EQ(single.packets(), expected) << "one byte at a time";
        for (int round = 0; round < 20; ++round) {
            Rig rig;
            for (std::size_t at = 0; at < s->size();) {
                const std::size_t len = 1 + rng() % 300;
                rig.feed(*s, at, at + len);
                at += len;
            }
            ASSERT_EQ(rig.packets(), expected) << "random chunks, round " << round;
            EXPECT_EQ(rig.framer.noiseBytes, s == &stream ? junk : noisyNoise) << round;
        }
    }
}

TEST(FramerTest, StoresNothingIntoAnUnopenedRing) {
    auto ring = std::make_unique<PacketRing>();
    Framer framer;
    const Bytes p = packet(13, 1);
    frameBytes(framer, *ring, p.data(), p.size());
    std::uint16_t n = 1;
    countPackets(*ring, n);
    EXPECT_EQ(n, 0);
}

}  // namespace
}  // namespace vg::sio
