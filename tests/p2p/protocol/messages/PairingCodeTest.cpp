#include "p2p/protocol/messages/PairingCode.h"

#include <gtest/gtest.h>

#include <array>
#include <deque>

using namespace p2p;

TEST(PairingCode, ParsesOnlyThreeAsciiDigits)
{
    struct Case {
        const char* input;
        std::optional<std::string> value;
    };
    const std::vector<Case> cases = {
        {" 042\n", "042"},
        {"007", "007"},
        {"\t\r\n 123 \v\f", "123"},
        {"\xE3\x80\x80" "456" "\xC2\xA0", "456"},  // ideographic and no-break spaces
        {"\xE2\x80\x83" "789" "\xE2\x80\xA8", "789"}, // em space, line separator
        {"42", std::nullopt},
        {"4242", std::nullopt},
        {"4 2", std::nullopt},
        {"0 42", std::nullopt},
        {"", std::nullopt},
        {"   ", std::nullopt},
        {"一二三", std::nullopt},
        {"\xEF\xBC\x90\xEF\xBC\x94\xEF\xBC\x92", std::nullopt}, // full-width ０４２
        {"\xD9\xA0\xD9\xA4\xD9\xA2", std::nullopt},             // Arabic-Indic ٠٤٢
        {"12a", std::nullopt},
        {"+12", std::nullopt},
        {"\xE2\x80\x8B" "123", std::nullopt}, // zero-width space is not white space
    };
    for (const Case& c : cases) {
        const auto code = PairingCode::parse(c.input);
        if (c.value) {
            ASSERT_TRUE(code) << c.input;
            EXPECT_EQ(code->value(), *c.value);
            EXPECT_EQ(code->formatted(), *c.value);
        } else {
            EXPECT_FALSE(code) << c.input;
        }
    }
}

TEST(PairingCode, DrawsUnbiasedDigits)
{
    // Words whose product with 10 leaves a low word below 6 are drawn again.
    std::deque<std::uint64_t> words = {0, 0x199999999999999Aull, ~0ull, (1ull << 63) + 1, 1};
    const auto code = PairingCode::random([&] {
        EXPECT_FALSE(words.empty());
        if (words.empty()) {
            return std::uint64_t{1};
        }
        const std::uint64_t word = words.front();
        words.pop_front();
        return word;
    });
    EXPECT_EQ(code.value(), "950");
    EXPECT_TRUE(words.empty());

    // Chi-square over 10,000 draws per position (9 degrees of freedom; 35 is far beyond p = 0.0001).
    constexpr int draws = 10000;
    std::array<std::array<int, 10>, PairingCode::digitCount> counts{};
    for (int i = 0; i < draws; ++i) {
        const std::string value = PairingCode::random().value();
        ASSERT_TRUE(PairingCode::parse(value));
        for (int position = 0; position < PairingCode::digitCount; ++position) {
            ++counts[position][value[position] - '0'];
        }
    }
    for (int position = 0; position < PairingCode::digitCount; ++position) {
        double chiSquare = 0;
        for (int count : counts[position]) {
            const double expected = draws / 10.0;
            chiSquare += (count - expected) * (count - expected) / expected;
        }
        EXPECT_LT(chiSquare, 35.0) << "position " << position;
        EXPECT_GT(counts[position][0], 0); // leading zeros occur
    }
}

TEST(PairingVerifier, CountsAttemptsAndRegenerates)
{
    PairingVerifier verifier(*PairingCode::parse("042"), 3);
    EXPECT_EQ(verifier.verify("111"), PairingVerifier::Outcome::rejected(2));
    EXPECT_EQ(verifier.verify(""), PairingVerifier::Outcome::rejected(1)); // unparsable counts
    EXPECT_EQ(verifier.remainingAttempts(), 1);
    EXPECT_EQ(verifier.verify(" 042 "), PairingVerifier::Outcome::accepted());
    EXPECT_EQ(verifier.remainingAttempts(), 3);

    // Two wrong, the third regenerates; the new code is then accepted.
    verifier.verify("999x");
    verifier.verify("999x");
    EXPECT_EQ(verifier.verify("999x"), PairingVerifier::Outcome::rejectedAndCodeRegenerated());
    EXPECT_EQ(verifier.failedAttempts(), 0);
    EXPECT_EQ(verifier.remainingAttempts(), 3);
    EXPECT_EQ(verifier.totalFailedAttempts(), 3);
    EXPECT_EQ(verifier.verify(verifier.code().value()), PairingVerifier::Outcome::accepted());
    EXPECT_EQ(verifier.totalFailedAttempts(), 0);

    for (std::int64_t maximum : {1, 0, -5}) {
        PairingVerifier one(*PairingCode::parse("123"), maximum);
        EXPECT_EQ(one.maximumAttempts(), 1);
        EXPECT_EQ(one.verify("12"), PairingVerifier::Outcome::rejectedAndCodeRegenerated());
    }
}

TEST(PairingVerifier, WrongCodesAddUpAcrossRegenerations)
{
    // The road's verifier keeps counting through regenerations (and reconnects that reuse it).
    PairingVerifier verifier(PairingCode::random(), 3);
    for (int i = 1; i <= 10; ++i) {
        EXPECT_FALSE(verifier.isExhausted());
        verifier.verify("not a code");
        EXPECT_EQ(verifier.totalFailedAttempts(), i);
    }
    EXPECT_TRUE(verifier.isExhausted());
    EXPECT_EQ(PairingVerifier::totalFailureLimit, 10);
}
