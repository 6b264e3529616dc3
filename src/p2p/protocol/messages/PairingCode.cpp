#include "p2p/protocol/messages/PairingCode.h"

#include <sys/random.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <limits>
#include <stdexcept>

namespace p2p {

namespace {

std::uint64_t secureRandomWord()
{
    std::uint64_t word = 0;
    auto* bytes = reinterpret_cast<unsigned char*>(&word);
    std::size_t filled = 0;
    while (filled < sizeof word) {
        const ssize_t n = ::getrandom(bytes + filled, sizeof word - filled, 0);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw std::runtime_error("getrandom failed");
        }
        filled += static_cast<std::size_t>(n);
    }
    return word;
}

// Uniform 0-9 without modulo bias: the high word of r * 10, redrawing the 6 values of r
// (2^64 mod 10) whose low word would make some digits likelier.
int unbiasedDigit(const std::function<std::uint64_t()>& randomWord)
{
    for (;;) {
        const unsigned __int128 m = static_cast<unsigned __int128>(randomWord()) * 10u;
        if (static_cast<std::uint64_t>(m) >= 6u) {
            return static_cast<int>(m >> 64);
        }
    }
}

// White space and line breaks trimmed from typed codes, as UTF-8.
constexpr std::array<std::string_view, 25> whitespace = {
    "\t", "\n", "\v", "\f", "\r", " ",
    "\xC2\x85",     // U+0085
    "\xC2\xA0",     // U+00A0
    "\xE1\x9A\x80", // U+1680
    "\xE2\x80\x80", "\xE2\x80\x81", "\xE2\x80\x82", "\xE2\x80\x83", "\xE2\x80\x84", "\xE2\x80\x85",
    "\xE2\x80\x86", "\xE2\x80\x87", "\xE2\x80\x88", "\xE2\x80\x89", "\xE2\x80\x8A", // U+2000-200A
    "\xE2\x80\xA8", "\xE2\x80\xA9", "\xE2\x80\xAF", "\xE2\x81\x9F", // U+2028, 2029, 202F, 205F
    "\xE3\x80\x80", // U+3000
};

std::size_t leadingSpace(std::string_view text)
{
    for (std::string_view space : whitespace) {
        if (text.starts_with(space)) {
            return space.size();
        }
    }
    return 0;
}

std::size_t trailingSpace(std::string_view text)
{
    for (std::string_view space : whitespace) {
        if (text.ends_with(space)) {
            return space.size();
        }
    }
    return 0;
}

} // namespace

PairingCode PairingCode::random()
{
    return random(secureRandomWord);
}

PairingCode PairingCode::random(const std::function<std::uint64_t()>& randomWord)
{
    std::string digits;
    for (int i = 0; i < digitCount; ++i) {
        digits.push_back(static_cast<char>('0' + unbiasedDigit(randomWord)));
    }
    return PairingCode(std::move(digits));
}

std::optional<PairingCode> PairingCode::parse(std::string_view text)
{
    while (const std::size_t n = leadingSpace(text)) {
        text.remove_prefix(n);
    }
    while (const std::size_t n = trailingSpace(text)) {
        text.remove_suffix(n);
    }
    // ASCII digits only: full-width, Arabic-Indic and Chinese numerals are refused.
    if (text.size() != static_cast<std::size_t>(digitCount)
        || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
    }
    return PairingCode(std::string(text));
}

PairingVerifier::PairingVerifier(PairingCode code, std::int64_t maximumAttempts)
    : code_(std::move(code))
    , maximumAttempts_(std::max<std::int64_t>(maximumAttempts, 1))
{
}

PairingVerifier::Outcome PairingVerifier::verify(std::string_view input)
{
    const auto parsed = PairingCode::parse(input);
    if (parsed && *parsed == code_) {
        failedAttempts_ = 0;
        totalFailedAttempts_ = 0;
        return Outcome::accepted();
    }
    failedAttempts_ += 1;
    if (totalFailedAttempts_ < std::numeric_limits<std::int64_t>::max()) {
        totalFailedAttempts_ += 1;
    }
    if (failedAttempts_ >= maximumAttempts_) {
        regenerate();
        return Outcome::rejectedAndCodeRegenerated();
    }
    return Outcome::rejected(remainingAttempts());
}

void PairingVerifier::regenerate()
{
    code_ = PairingCode::random();
    failedAttempts_ = 0;
}

std::int64_t PairingVerifier::remainingAttempts() const
{
    return std::max<std::int64_t>(maximumAttempts_ - failedAttempts_, 0);
}

} // namespace p2p
