#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace p2p {

// Three ASCII digits shown on the desktop and typed on the phone; leading zeros allowed.
class PairingCode {
public:
    static constexpr int digitCount = 3;

    // Three unbiased digits from the kernel's secure generator.
    static PairingCode random();
    // Same, drawing 64-bit words from `randomWord` (tests).
    static PairingCode random(const std::function<std::uint64_t()>& randomWord);
    // Trims white space and line breaks from both ends, then requires exactly three bytes '0'-'9'.
    static std::optional<PairingCode> parse(std::string_view text);

    const std::string& value() const { return value_; }
    std::string formatted() const { return value_; }

    friend bool operator==(const PairingCode&, const PairingCode&) = default;

private:
    explicit PairingCode(std::string value) : value_(std::move(value)) {}
    std::string value_;
};

// Judges pairing attempts. Lives as long as a road waits for phones and is shared by every session
// on it (so reconnecting does not reset the count); touched only on the transfer thread.
class PairingVerifier {
public:
    // Wrong codes, across regenerations and reconnects, after which the road gives up.
    static constexpr std::int64_t totalFailureLimit = 10;

    struct Outcome {
        enum class Kind { rejected, accepted, rejectedAndCodeRegenerated };
        Kind kind = Kind::rejected;
        std::int64_t remainingAttempts = 0; // for rejected
        friend bool operator==(const Outcome&, const Outcome&) = default;

        static Outcome accepted() { return {Kind::accepted, 0}; }
        static Outcome rejected(std::int64_t remaining) { return {Kind::rejected, remaining}; }
        static Outcome rejectedAndCodeRegenerated() { return {Kind::rejectedAndCodeRegenerated, 0}; }
    };

    // maximumAttempts below 1 counts as 1.
    PairingVerifier(PairingCode code, std::int64_t maximumAttempts);

    Outcome verify(std::string_view input);
    void regenerate();

    const PairingCode& code() const { return code_; }
    std::int64_t maximumAttempts() const { return maximumAttempts_; }
    std::int64_t failedAttempts() const { return failedAttempts_; }
    std::int64_t remainingAttempts() const;
    // Wrong codes since the last accepted one, not reset by regeneration.
    std::int64_t totalFailedAttempts() const { return totalFailedAttempts_; }
    bool isExhausted() const { return totalFailedAttempts_ >= totalFailureLimit; }

private:
    PairingCode code_;
    std::int64_t maximumAttempts_;
    std::int64_t failedAttempts_ = 0;
    std::int64_t totalFailedAttempts_ = 0;
};

} // namespace p2p
