#include "orientation/orientation.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <numbers>
#include <string>

#include <gtest/gtest.h>

namespace vg::orientation {
namespace {

constexpr float kHalfPiF = 0x1.921fb6p+0f;  // 1.5707964f, pi/2 rounded to float

float toF(double v) {
    return static_cast<float>(v);
}

SensorState freshState() {
    SensorState s;
    initSensorState(&s);
    return s;
}

void feed(SensorState& s, const Quat& q, std::uint8_t tag) {
    s.quat = q;
    s.sampleTag = tag;
    updateOrientation(s);
}

// A board turned by yaw about the vertical axis after being tilted by tilt about its x axis:
// its phi is yaw + pi/2 (wrapped), its theta is tilt and its psi is pi/2.
Quat board(double yaw, double tilt) {
    const double cy = std::cos(yaw / 2), sy = std::sin(yaw / 2);
    const double ct = std::cos(tilt / 2), st = std::sin(tilt / 2);
    return {toF(cy * ct), toF(cy * st), toF(sy * st), toF(sy * ct)};
}

bool sameBytes(const SensorState& a, const SensorState& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// An independent model of the tracker, worked in long double and rounded to float only at the
// points where the tracker must round. A rounding step missing from (or added to) the tracker
// shows up as a bit difference against it.
namespace model {
using LD = long double;
LD ld(float v) {
    return static_cast<LD>(v);
}
float fl(LD v) {
    return static_cast<float>(v);
}

// Hamilton product with the terms in written order; the output is a fresh value.
Quat product(const Quat& a, const Quat& b) {
    static constexpr int kA[4][4] = {{0, 1, 2, 3}, {0, 1, 2, 3}, {0, 1, 2, 3}, {0, 1, 2, 3}};
    static constexpr int kB[4][4] = {{0, 1, 2, 3}, {1, 0, 3, 2}, {2, 3, 0, 1}, {3, 2, 1, 0}};
    static constexpr int kSign[4][4] = {
        {1, -1, -1, -1}, {1, 1, 1, -1}, {1, -1, 1, 1}, {1, 1, -1, 1}};
    Quat out{};
    for (int c = 0; c < 4; ++c) {
        LD acc = 0;
        for (int t = 0; t < 4; ++t) {
            acc += kSign[c][t] * ld(a[static_cast<std::size_t>(kA[c][t])]) *
                   ld(b[static_cast<std::size_t>(kB[c][t])]);
        }
        out[static_cast<std::size_t>(c)] = fl(acc);
    }
    return out;
}

// Arc tangent of 1 - 2(qi^2 + qj^2) over 2(qi qk - q0 qj): phi with (i, j, k) = (1, 3, 2),
// psi with (1, 2, 3).
float arc(const Quat& q, int i, int j, int k) {
    auto c = [&q](int n) { return ld(q[static_cast<std::size_t>(n)]); };
    return fl(std::atan2(1 - 2 * (c(i) * c(i) + c(j) * c(j)), 2 * (c(i) * c(k) - c(0) * c(j))));
}

float tilt(const Quat& q, float& sine) {
    sine = fl(2 * (ld(q[0]) * ld(q[1]) + ld(q[2]) * ld(q[3])));
    sine = sine > 1 ? 1.0f : (sine < -1 ? -1.0f : sine);
    return fl(std::asin(ld(sine)));
}

void unwrap(float now, float& prev, float& step, float& sum) {
    step = fl(ld(now) - ld(prev));
    prev = now;
    const LD jump = step > 6 ? -6.28L : (step < -6 ? 6.28L : 0);
    sum = fl(ld(sum) + (jump == 0 ? ld(step) : ld(fl(ld(step) + jump))));
}

void update(SensorState& s) {
    if (s.sampleTag == s.lastSampleTag) {
        return;
    }
    s.lastSampleTag = s.sampleTag;
    s.euler = {arc(s.quat, 1, 3, 2), tilt(s.quat, s.sinClamp), arc(s.quat, 1, 2, 3)};
    if (std::fabs(s.euler[1]) <= 1) {
        s.phiNow = s.euler[0];
        s.thetaNow = s.euler[1];
        s.psiNow = s.euler[2];
        unwrap(s.phiNow, s.phiPrev, s.angleStep[0], s.angleSum[0]);
        s.angleStep[1] = fl(ld(s.thetaNow) - ld(s.thetaPrev));
        s.thetaPrev = s.thetaNow;
        s.angleSum[1] = s.euler[1];
        unwrap(s.psiNow, s.psiPrev, s.angleStep[2], s.angleSum[2]);
    } else {
        const Quat inv{s.quatPrev[0], -s.quatPrev[1], -s.quatPrev[2], -s.quatPrev[3]};
        const Quat d = product(inv, s.quat);
        const LD halfPi = ld(kHalfPiF);
        s.angleStep = {fl(ld(arc(d, 1, 3, 2)) - halfPi), tilt(d, s.sinClamp),
                       fl(ld(arc(d, 1, 2, 3)) - halfPi)};
        for (std::size_t i = 0; i < 3; ++i) {
            s.angleSum[i] = fl(ld(s.angleSum[i]) + ld(s.angleStep[i]));
        }
    }
    for (std::size_t i = 0; i < 3; ++i) {
        s.angleSmooth[i] = fl((2 * ld(s.angleSmooth[i]) + ld(s.angleSum[i])) / 3);
    }
    s.quatPrev = s.quat;
}
}  // namespace model

void expectSameTracking(const SensorState& got, const SensorState& want) {
    EXPECT_EQ(got.lastSampleTag, want.lastSampleTag);
    EXPECT_EQ(got.quatPrev, want.quatPrev);
    EXPECT_EQ(got.euler, want.euler);
    EXPECT_EQ(got.sinClamp, want.sinClamp);
    EXPECT_EQ(got.angleStep, want.angleStep);
    EXPECT_EQ(got.angleSum, want.angleSum);
    EXPECT_EQ(got.angleSmooth, want.angleSmooth);
    const float gotPrev[6] = {got.phiNow,    got.phiPrev, got.thetaNow,
                              got.thetaPrev, got.psiNow,  got.psiPrev};
    const float wantPrev[6] = {want.phiNow,    want.phiPrev, want.thetaNow,
                               want.thetaPrev, want.psiNow,  want.psiPrev};
    EXPECT_EQ(std::memcmp(gotPrev, wantPrev, sizeof gotPrev), 0);
}

TEST(OrientationTags, OnlyATagDifferentFromTheLastOneIsProcessed) {
    struct Case {
        const char* what;
        std::uint8_t last, next;
        bool processed;
    };
    const Case cases[] = {
        {"tag 0 as the very first sample", 0, 0, false},
        {"tag 1 as the very first sample", 0, 1, true},
        {"repeated tag", 77, 77, false},
        {"0 after 255", 255, 0, true},
        {"a lower tag", 9, 8, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SensorState s;
        std::memset(static_cast<void*>(&s), 0x3C, sizeof s);  // every float 0.0115, a marker
        s.lastSampleTag = c.last;
        s.quat = board(0.3, 0.2);
        s.sampleTag = c.next;
        SensorState before;
        std::memcpy(static_cast<void*>(&before), &s, sizeof s);

        updateOrientation(s);
        if (c.processed) {
            EXPECT_EQ(s.lastSampleTag, c.next);
            EXPECT_EQ(s.quatPrev, s.quat);
            EXPECT_NE(s.euler, before.euler);
        } else {
            EXPECT_TRUE(sameBytes(s, before)) << "a skipped sample must change nothing";
        }
    }
}

TEST(OrientationQuaternions, ConjugateNegatesTheVectorPart) {
    Quat out{9, 9, 9, 9};
    quatConjugate({0.5f, -0.25f, 2.0f, 0.0f}, out);
    EXPECT_EQ(out, (Quat{0.5f, 0.25f, -2.0f, -0.0f}));
}

TEST(OrientationQuaternions, HamiltonProduct) {
    constexpr float u = 0x1p-12f;
    struct Case {
        const char* what;
        Quat a, b, want;
    };
    const Case cases[] = {
        {"identity on the left", {1, 0, 0, 0}, {0.5f, -1, 2, 3}, {0.5f, -1, 2, 3}},
        {"identity on the right", {0.5f, -1, 2, 3}, {1, 0, 0, 0}, {0.5f, -1, 2, 3}},
        {"i j = k", {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}},
        {"j i = -k", {0, 0, 1, 0}, {0, 1, 0, 0}, {0, 0, 0, -1}},
        {"k i = j", {0, 0, 0, 1}, {0, 1, 0, 0}, {0, 0, 1, 0}},
        {"i i = -1", {0, 1, 0, 0}, {0, 1, 0, 0}, {-1, 0, 0, 0}},
        {"general", {1, 2, 3, 4}, {5, 6, 7, 8}, {-60, 12, 30, 24}},
        // Three terms of 0.75 * 2^-24 each: added one by one in float each vanishes against 1,
        // summed in double they make 1.125 ulp of 1, so the component rounds to 1 + 2^-23.
        {"summed in double, rounded once",
         {1, u, u, u},
         {1, -0.75f * u, -0.75f * u, -0.75f * u},
         {0x1.000002p+0f, 0x1p-14f, 0x1p-14f, 0x1p-14f}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Quat out{9, 9, 9, 9};
        quatMultiply(c.a, c.b, out);
        EXPECT_EQ(out, c.want);
        EXPECT_EQ(model::product(c.a, c.b), c.want);
    }
}

TEST(OrientationQuaternions, ComponentsAreStoredInOrderAsComputed) {
    // With the output sharing storage with the left factor, each component after the first
    // reads the ones already stored: (1,2,3,4)(5,6,7,8) gives -60, then -60*6 + 2*5 + 3*8 - 4*7
    // = -354, then -60*7 + 354*8 + 3*5 + 4*6 = 2451, then -60*8 - 354*7 - 2451*6 + 4*5.
    Quat q{1, 2, 3, 4};
    quatMultiply(q, Quat{5, 6, 7, 8}, q);
    EXPECT_EQ(q, (Quat{-60, -354, 2451, -17644}));
}

TEST(OrientationAngles, AbsoluteAnglesAndTiltClamp) {
    const float sOne = 0x1.aed54ap-1f;    // asin is 1.00000006 in double, 1.0f once rounded
    const float sAbove = 0x1.aed54cp-1f;  // the next float up: theta 1.00000012f
    ASSERT_GT(std::asin(double{sOne}), 1.0);
    ASSERT_EQ(toF(std::asin(double{sOne})), 1.0f);
    // 1 - 2^-30 rounds to a sine of exactly 1; unrounded its arc sine would be 4e-5 short.
    ASSERT_NE(toF(std::asin(1.0 - 0x1p-30)), kHalfPiF);
    struct Case {
        const char* what;
        Quat q;
        float sine, phi, theta, psi;
        bool smallTilt;
    };
    const float nan = std::numeric_limits<float>::quiet_NaN();  // not checked
    const Case cases[] = {
        {"identity", {1, 0, 0, 0}, 0, kHalfPiF, 0, kHalfPiF, true},
        {"half turn about z", {0, 0, 0, 1}, 0, -kHalfPiF, 0, kHalfPiF, true},
        {"half turn about x", {0, 1, 0, 0}, 0, -kHalfPiF, 0, -kHalfPiF, true},
        {"sine 0.5", {1, 0.25f, 0, 0}, 0.5f, nan, 0x1.0c1524p-1f, nan, true},
        {"sine 1.02 clamped", {1, 0.51f, 0, 0}, 1.0f, nan, kHalfPiF, nan, false},
        {"sine -1.02 clamped", {1, -0.51f, 0, 0}, -1.0f, nan, -kHalfPiF, nan, false},
        {"sine rounded to 1 first",
         {1, 0.5f, 0x1p-16f, -0x1p-15f},
         1.0f,
         nan,
         kHalfPiF,
         nan,
         false},
        {"theta exactly 1", {1, sOne / 2, 0, 0}, sOne, nan, 1.0f, nan, true},
        {"theta exactly -1", {1, -sOne / 2, 0, 0}, -sOne, nan, -1.0f, nan, true},
        {"theta just over 1", {1, sAbove / 2, 0, 0}, sAbove, nan, 0x1.000002p+0f, nan, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SensorState s = freshState();
        s.phiNow = -9;  // only the small-tilt path overwrites it
        s.angleSum[1] = 0.25f;
        feed(s, c.q, 1);
        // The large-tilt path then overwrites the sine with the relative rotation's, which is
        // 0 against the still-zero previous quaternion.
        EXPECT_EQ(s.sinClamp, c.smallTilt ? c.sine : 0.0f);
        EXPECT_EQ(s.euler[1], c.theta);
        if (!std::isnan(c.phi)) {
            EXPECT_EQ(s.euler[0], c.phi);
            EXPECT_EQ(s.euler[2], c.psi);
        }
        EXPECT_EQ(s.phiNow, c.smallTilt ? s.euler[0] : -9.0f);
        // Small tilt: theta's sum is the absolute theta; large tilt: the previous sum plus
        // the step, which is 0 against the still-zero previous quaternion.
        EXPECT_EQ(s.angleSum[1], c.smallTilt ? c.theta : 0.25f);
    }
}

TEST(OrientationSmallTilt, WrapCorrectionOfPhiAndPsi) {
    const float seamSum = 0x1.5286eep-1f;  // 0.661185682, a sum that tells the roundings apart
    struct Case {
        const char* what;
        float prev, now, sum, wantSum;
    };
    const Case cases[] = {
        {"step exactly 6.0 added unchanged", -3.0f, 3.0f, 0.5f, 6.5f},
        {"step exactly -6.0 added unchanged", 3.0f, -3.0f, 0.5f, -5.5f},
        {"step 5.99 added unchanged", -2.995f, 2.995f, 0.5f, toF(0.5 + 2.0 * double{2.995f})},
        {"step -5.99 added unchanged", 2.995f, -2.995f, 0.5f, toF(0.5 - 2.0 * double{2.995f})},
        // 3 - -3.0000005 = 6.0000005 (6 + 2^-21, the float after 6): 6.28 comes off.
        {"step just over 6", -0x1.800004p+1f, 3.0f, 0.5f,
         toF(0.5 + double{toF(double{0x1.800002p+2f} - 6.28)})},
        // 3.1 -> -3.1: step -6.19999981; corrected step rounded to 0.0800001919f before the
        // sum, giving 0.741185904f (0.741185844f if it were added unrounded).
        {"crossing the seam upwards", 3.1f, -3.1f, seamSum, 0x1.7b7cb8p-1f},
        // -3.1 -> 3.1: corrected step -0.0800001919f, sum 0.58118546f (unrounded 0.58118552f).
        {"crossing the seam downwards", -3.1f, 3.1f, seamSum, 0x1.299124p-1f},
    };
    struct Axis {
        const char* name;
        float SensorState::*prev;
        std::size_t index;
    };
    const Axis axes[] = {{"phi", &SensorState::phiPrev, 0}, {"psi", &SensorState::psiPrev, 2}};
    for (const Axis& axis : axes) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(axis.name) + ": " + c.what);
            SensorState s = freshState();
            s.*axis.prev = c.prev;
            s.euler[axis.index] = c.now;
            s.angleSum[axis.index] = c.sum;
            trackSmallTilt(s);
            const float step = toF(double{c.now} - double{c.prev});
            EXPECT_EQ(s.angleStep[axis.index], step) << "the step keeps the raw difference";
            EXPECT_EQ(s.*axis.prev, c.now);
            EXPECT_EQ(s.angleSum[axis.index], c.wantSum);
        }
    }
    // The seam rows must tell the rounding of the corrected step and the decimal 6.28 apart.
    const float up = toF(double{-3.1f} - double{3.1f});
    EXPECT_NE(toF(double{seamSum} + (double{up} + 6.28)), 0x1.7b7cb8p-1f);
    EXPECT_NE(toF(double{seamSum} + double{toF(double{up} + 2 * std::numbers::pi)}),
              0x1.7b7cb8p-1f);
}

TEST(OrientationSmallTilt, FirstSampleIsMeasuredFromZeroAndThetaSumIsAbsolute) {
    SensorState s = freshState();
    feed(s, board(0.4, 0.3), 1);
    EXPECT_NEAR(s.euler[0], 0.4 + std::numbers::pi / 2, 1e-6);
    EXPECT_NEAR(s.euler[1], 0.3, 1e-6);
    EXPECT_EQ(s.angleStep, s.euler);
    EXPECT_EQ(s.angleSum, s.euler);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(s.angleSmooth[i], toF(double{s.euler[i]} / 3.0));
    }

    const float theta1 = s.euler[1];
    s.angleSum[1] = 5.0f;  // the next small-tilt sample replaces it, it does not add to it
    feed(s, board(0.41, 0.35), 2);
    EXPECT_NEAR(s.angleStep[0], 0.01, 1e-6);
    EXPECT_EQ(s.angleStep[1], toF(double{s.euler[1]} - double{theta1}));
    EXPECT_EQ(s.angleSum[1], s.euler[1]);
    EXPECT_EQ(s.angleStep[2], 0.0f);
}

TEST(OrientationLargeTilt, UnchangedOrientationAddsNothing) {
    struct Case {
        const char* what;
        Quat q;
    };
    const Case cases[] = {
        {"unit quaternion", board(0.7, 1.3)},
        {"non-unit quaternion", {0.9f, 0.6f, 0.1f, -0.2f}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SensorState s = freshState();
        // First sample: the previous quaternion is still all zero, so the relative rotation is
        // zero and the steps come out 0.
        feed(s, c.q, 1);
        ASSERT_GT(std::fabs(s.euler[1]), 1.0f);
        EXPECT_EQ(s.angleStep, (std::array<float, 3>{0, 0, 0}));
        EXPECT_EQ(s.sinClamp, 0.0f);
        s.angleSum = {0.5f, -1.25f, 2.0f};
        // Then the same orientation over and over: the conjugate product has an exactly zero
        // vector part, both arc tangents give pi/2, and every step is 0 -- psi included, so its
        // sum does not run away.
        for (int n = 0; n < 500; ++n) {
            feed(s, c.q, static_cast<std::uint8_t>(n + 2));
            ASSERT_EQ(s.angleStep, (std::array<float, 3>{0, 0, 0}));
        }
        EXPECT_EQ(s.angleSum, (std::array<float, 3>{0.5f, -1.25f, 2.0f}));
        EXPECT_EQ(s.phiNow, 0.0f);  // the small-tilt memory is never touched on this path
        EXPECT_EQ(s.phiPrev, 0.0f);
    }
}

TEST(OrientationLargeTilt, RelativeSineIsClampedToo) {
    // Quaternions are used as stored, so a non-unit pair can push the relative sine past 1.
    struct Case {
        const char* what;
        Quat prev, q;
        float sine, thetaStep;
    };
    const Case cases[] = {
        {"sine 1.02", {1, 0, 0, 0}, {1, 0.51f, 0, 0}, 1.0f, kHalfPiF},
        {"sine -1.02", {1, 0, 0, 0}, {1, -0.51f, 0, 0}, -1.0f, -kHalfPiF},
        {"sine about -1.51", {1, 0.51f, 0, 0}, {1, -0.51f, 0, 0}, -1.0f, -kHalfPiF},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SensorState s = freshState();
        s.quatPrev = c.prev;
        s.angleSum[1] = 0.5f;
        feed(s, c.q, 1);
        EXPECT_EQ(s.sinClamp, c.sine);
        EXPECT_EQ(s.angleStep[1], c.thetaStep);
        EXPECT_EQ(s.angleSum[1], toF(0.5 + double{c.thetaStep}));
    }
}

TEST(OrientationLargeTilt, StepsAreTheRelativeRotation) {
    struct Case {
        const char* what;
        double yaw0, tilt0, yaw1, tilt1;
        double phiStep, thetaStep, psiStep;  // first-order expectations
    };
    const Case cases[] = {
        {"tilting further", 0.2, 1.2, 0.2, 1.25, 0, 0.05, 0},
        {"turning while tilted", 0.2, 1.2, 0.2013, 1.2, 0.0013 * std::cos(1.2), 0,
         0.0013 * std::sin(1.2)},
        {"turning back while tilted", -1.0, 1.4, -1.003, 1.4, -0.003 * std::cos(1.4), 0,
         -0.003 * std::sin(1.4)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SensorState s = freshState();
        feed(s, board(c.yaw0, c.tilt0), 1);
        const auto sums = s.angleSum;
        SensorState want = s;
        feed(s, board(c.yaw1, c.tilt1), 2);
        want.quat = s.quat;
        want.sampleTag = 2;
        model::update(want);
        expectSameTracking(s, want);

        EXPECT_NEAR(s.angleStep[0], c.phiStep, 2e-6);
        EXPECT_NEAR(s.angleStep[1], c.thetaStep, 2e-6);
        EXPECT_NEAR(s.angleStep[2], c.psiStep, 2e-6);
        // Both arc tangents are rounded to float before pi/2 comes off, so the phi and psi
        // steps are whole multiples of the float spacing just above 1.
        EXPECT_EQ(std::fmod(s.angleStep[0], 0x1p-23f), 0.0f);
        EXPECT_EQ(std::fmod(s.angleStep[2], 0x1p-23f), 0.0f);
        for (std::size_t i = 0; i < 3; ++i) {
            EXPECT_EQ(s.angleSum[i], toF(double{sums[i]} + double{s.angleStep[i]}));
        }
    }
}

TEST(OrientationSmoothing, ConstantSumIsApproachedByTwoThirdsPerSample) {
    // 1.01974213f: for this sum the second smoothed value is 0.566523433f when worked in
    // double, 0.566523373f if worked in float.
    const float sum = 0x1.050dd2p+0f;
    SensorState s = freshState();
    const Quat still = board(0.0, 1.3);  // large tilt, unchanged: the sums stay put
    s.quatPrev = still;
    s.angleSum = {sum, sum, sum};
    feed(s, still, 1);
    EXPECT_EQ(s.angleSmooth,
              (std::array<float, 3>{0x1.5c126ep-2f, 0x1.5c126ep-2f, 0x1.5c126ep-2f}));  // S/3
    feed(s, still, 2);
    EXPECT_EQ(s.angleSmooth[0], 0x1.220f5cp-1f);  // 5S/9
    EXPECT_EQ(s.angleSmooth[2], 0x1.220f5cp-1f);
    double gap = 4.0 / 9.0;
    for (int n = 3; n < 40; ++n) {
        feed(s, still, static_cast<std::uint8_t>(n));
        gap *= 2.0 / 3.0;
        EXPECT_NEAR((sum - s.angleSmooth[1]) / sum, gap, 1e-6);
    }
}

TEST(OrientationPaths, ReturnFromLargeTiltMeasuresFromTheLastSmallTiltSample) {
    SensorState s = freshState();
    feed(s, board(0.1, 0.2), 1);
    const float phiA = s.euler[0], thetaA = s.euler[1], psiA = s.euler[2];
    for (int n = 0; n < 20; ++n) {
        feed(s, board(0.1 + 0.02 * n, 1.2), static_cast<std::uint8_t>(n + 2));
        ASSERT_EQ(s.phiPrev, phiA);
        ASSERT_EQ(s.thetaPrev, thetaA);
        ASSERT_EQ(s.psiNow, psiA);
    }
    const float sumBefore = s.angleSum[0];
    feed(s, board(0.6, 0.3), 30);
    EXPECT_EQ(s.angleStep[0], toF(double{s.euler[0]} - double{phiA}));
    EXPECT_NEAR(s.angleStep[0], 0.5, 1e-6);
    EXPECT_EQ(s.angleStep[1], toF(double{s.euler[1]} - double{thetaA}));
    EXPECT_EQ(s.angleSum[0], toF(double{sumBefore} + double{s.angleStep[0]}));
    EXPECT_EQ(s.angleSum[1], s.euler[1]);
}

// A board turning slowly about its vertical axis, to and fro over many turns, now and then
// tilted past 1 radian: the tracker must match the model bit for bit at every sample, the phi
// sum must stay continuous, and every seam crossing must cost exactly 2*pi - 6.28.
TEST(OrientationLongRun, SlowlyTurningBoardStaysContinuousAcrossTheSeam) {
    const double shortfall = 2 * std::numbers::pi - 6.28;
    SensorState s = freshState();
    SensorState want = s;
    int crossings[2] = {0, 0}, largeTilt = 0, returns = 0;
    bool prevSmall = false;
    double prevYaw = 0;
    float prevSum = 0;
    for (int k = 1; k <= 60000; ++k) {
        const double yaw = 40.0 * std::sin(k / 6000.0);
        const double tilt = 0.8 + 0.25 * std::sin(k / 137.0);
        const auto tag = static_cast<std::uint8_t>(k);
        feed(s, board(yaw, tilt), tag);
        want.quat = s.quat;
        want.sampleTag = tag;
        model::update(want);
        expectSameTracking(s, want);
        if (k % 97 == 0) {  // the same tag again with a different quaternion: ignored
            feed(s, board(yaw + 1.0, 0.0), tag);
            expectSameTracking(s, want);
        }
        for (float v : {s.euler[0], s.euler[1], s.euler[2], s.sinClamp, s.angleStep[0],
                        s.angleStep[1], s.angleStep[2], s.angleSum[0], s.angleSum[1], s.angleSum[2],
                        s.angleSmooth[0], s.angleSmooth[1], s.angleSmooth[2]}) {
            ASSERT_FALSE(std::isnan(v)) << "sample " << k;
        }

        const bool small = std::fabs(s.euler[1]) <= 1.0f;
        const double dYaw = yaw - prevYaw;
        const double dSum = double{s.angleSum[0]} - double{prevSum};
        if (small && prevSmall) {
            if (std::fabs(s.angleStep[0]) > 6.0f) {
                ++crossings[dYaw > 0 ? 0 : 1];
                ASSERT_NEAR(dSum, dYaw - std::copysign(shortfall, dYaw), 2e-5) << "sample " << k;
            } else {
                ASSERT_NEAR(dSum, dYaw, 2e-5) << "sample " << k;
            }
        } else if (!small) {
            ++largeTilt;
            ASSERT_NEAR(dSum, dYaw * std::cos(tilt), 5e-5) << "sample " << k;
        } else {
            ++returns;  // first sample, or back from large tilt: the step spans the whole run
        }
        if (!(small && !prevSmall)) {
            ASSERT_LT(std::fabs(dSum), 0.01) << "sample " << k;
        }
        prevSmall = small;
        prevYaw = yaw;
        prevSum = s.angleSum[0];
        if (HasFailure()) {
            break;
        }
    }
    EXPECT_GE(crossings[0], 12);
    EXPECT_GE(crossings[1], 12);
    EXPECT_GT(largeTilt, 5000);
    EXPECT_GT(returns, 50);
}

}  // namespace
}  // namespace vg::orientation
