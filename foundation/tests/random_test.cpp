#include "foundation/random.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <set>
#include <vector>

namespace {

using Common::Guid;
using Common::GuidNewRandom;
using Common::RandomBytes;

// Makes the cryptographic provider fail for the scope.
class ProviderFailure {
 public:
  ProviderFailure() { Common::TestHooks::SetRandomProviderFailure(true); }
  ~ProviderFailure() { Common::TestHooks::SetRandomProviderFailure(false); }
};

// The first RandomBytes of the process seeds rand(); do it before a test
// seeds rand() itself.
void SetUpSource() {
  unsigned char byte;
  ASSERT_TRUE(RandomBytes(&byte, 1, false));
}

// What the pseudo-random fallback gives after srand(seed): the low byte of
// one rand() per byte. Leaves rand() seeded with seed again.
std::vector<unsigned char> RandSequence(unsigned seed, std::size_t length) {
  std::srand(seed);
  std::vector<unsigned char> bytes(length);
  for (auto& b : bytes) b = static_cast<unsigned char>(std::rand());
  std::srand(seed);
  return bytes;
}

TEST(RandomBytes, StrongBytesComeFromTheProvider) {
  SetUpSource();
  const auto pseudo = RandSequence(1234, 64);
  std::vector<unsigned char> bytes(64);
  ASSERT_TRUE(RandomBytes(bytes.data(), bytes.size(), true));
  EXPECT_NE(bytes, pseudo);

  std::vector<unsigned char> more(64);
  ASSERT_TRUE(RandomBytes(more.data(), more.size(), true));
  EXPECT_NE(bytes, more);
}

TEST(RandomBytes, WeakRequestsAlsoUseTheProviderWhenItWorks) {
  SetUpSource();
  const auto pseudo = RandSequence(99, 64);
  std::vector<unsigned char> bytes(64);
  ASSERT_TRUE(RandomBytes(bytes.data(), bytes.size(), false));
  EXPECT_NE(bytes, pseudo);
}

TEST(RandomBytes, EveryByteValueTurnsUp) {
  std::vector<unsigned char> bytes(1 << 16);
  ASSERT_TRUE(RandomBytes(bytes.data(), bytes.size(), true));
  std::set<unsigned char> values(bytes.begin(), bytes.end());
  EXPECT_EQ(values.size(), 256u);
}

TEST(RandomBytes, FailingProviderFallsBackToRandUnlessStrongBytesAreDemanded) {
  SetUpSource();
  ProviderFailure failure;

  std::vector<unsigned char> strong(32, 0xEE);
  EXPECT_FALSE(RandomBytes(strong.data(), strong.size(), true));
  EXPECT_FALSE(RandomBytes(strong.data(), 0, true));

  const auto pseudo = RandSequence(4321, 100);
  std::vector<unsigned char> weak(100);
  ASSERT_TRUE(RandomBytes(weak.data(), weak.size(), false));
  EXPECT_EQ(weak, pseudo);
}

TEST(RandomBytes, ProviderIsUsedAgainOnceItRecovers) {
  SetUpSource();
  { ProviderFailure failure; }
  const auto pseudo = RandSequence(77, 32);
  std::vector<unsigned char> bytes(32);
  ASSERT_TRUE(RandomBytes(bytes.data(), bytes.size(), true));
  EXPECT_NE(bytes, pseudo);
}

TEST(RandomBytes, BadBuffersAreRefused) {
  EXPECT_FALSE(RandomBytes(nullptr, 16, false));
  EXPECT_FALSE(RandomBytes(nullptr, 16, true));
  EXPECT_FALSE(RandomBytes(nullptr, static_cast<std::size_t>(-1), false));
  EXPECT_TRUE(RandomBytes(nullptr, 0, false));
  unsigned char byte = 0x5A;
  EXPECT_TRUE(RandomBytes(&byte, 0, true));
  EXPECT_EQ(byte, 0x5A);
}

// The fixed bits of a version-4 GUID: byte 7 (high byte of the third field)
// 0100xxxx, byte 8 10xxxxxx.
void ExpectVersion4(const Guid& guid) {
  EXPECT_EQ(guid.Data3() >> 12, 4) << "version nibble";
  EXPECT_EQ(guid.bytes[8] & 0xC0, 0x80) << "variant bits";
}

TEST(GuidNewRandom, EveryDrawIsVersion4AndTheOtherBitsVary) {
  constexpr int kDraws = 10000;
  std::set<Guid> seen;
  uint8_t allOnes[16], anyOnes[16];
  std::memset(allOnes, 0xFF, sizeof allOnes);
  std::memset(anyOnes, 0x00, sizeof anyOnes);
  for (int i = 0; i < kDraws; ++i) {
    Guid guid{};
    ASSERT_TRUE(GuidNewRandom(guid, 0));
    ExpectVersion4(guid);
    // Text form: the third group starts with '4', the fourth with 8, 9, A or B.
    const unsigned third = guid.Data3() >> 12, fourth = guid.bytes[8] >> 4;
    EXPECT_EQ(third, 4u);
    EXPECT_TRUE(fourth >= 0x8 && fourth <= 0xB) << fourth;
    seen.insert(guid);
    for (int b = 0; b < 16; ++b) {
      allOnes[b] &= guid.bytes[b];
      anyOnes[b] |= guid.bytes[b];
    }
  }
  EXPECT_EQ(seen.size(), static_cast<std::size_t>(kDraws));
  // Only the version and variant bits are fixed.
  for (int b = 0; b < 16; ++b) {
    SCOPED_TRACE(b);
    const uint8_t fixedOnes = b == 7 ? 0x40 : b == 8 ? 0x80 : 0x00;
    const uint8_t fixedZeros = b == 7 ? 0xB0 : b == 8 ? 0x40 : 0x00;
    EXPECT_EQ(allOnes[b], fixedOnes);
    EXPECT_EQ(anyOnes[b], static_cast<uint8_t>(~fixedZeros));
  }
}

TEST(GuidNewRandom, PseudoRandomBytesAreAccepted) {
  SetUpSource();
  ProviderFailure failure;
  for (int i = 0; i < 200; ++i) {
    Guid guid{};
    ASSERT_TRUE(GuidNewRandom(guid, 0));
    ExpectVersion4(guid);
  }
}

TEST(GuidNewRandom, DefaultGeneratorIsZero) {
  Guid guid{};
  ASSERT_TRUE(GuidNewRandom(guid));
  ExpectVersion4(guid);
}

TEST(GuidNewRandom, OtherGeneratorsAreRefusedAndLeaveTheGuid) {
  for (uint32_t generator : {1u, 2u, 0x80000000u, 0xFFFFFFFFu}) {
    SCOPED_TRACE(generator);
    Guid guid;
    std::memset(guid.bytes, 0xA5, sizeof guid.bytes);
    const Guid before = guid;
    EXPECT_FALSE(GuidNewRandom(guid, generator));
    EXPECT_EQ(guid, before);
  }
}

}  // namespace
