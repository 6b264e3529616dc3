#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace p2p {

// A 128-bit identifier in its 8-4-4-4-12 text form; read in either case, written upper-case.
class Uuid {
public:
    Uuid() = default; // all zero
    explicit Uuid(const std::array<std::uint8_t, 16>& bytes) : bytes_(bytes) {}

    // A random version-4 identifier.
    static Uuid random();
    // Exactly 36 characters, hyphens at 8, 13, 18 and 23, hex digits elsewhere; nothing else.
    static std::optional<Uuid> parse(std::string_view text);

    std::string toString() const; // upper-case
    const std::array<std::uint8_t, 16>& bytes() const { return bytes_; }
    bool isNull() const;

    friend bool operator==(const Uuid&, const Uuid&) = default;
    friend auto operator<=>(const Uuid&, const Uuid&) = default;

private:
    std::array<std::uint8_t, 16> bytes_{};
};

} // namespace p2p

template <>
struct std::hash<p2p::Uuid> {
    std::size_t operator()(const p2p::Uuid& uuid) const noexcept
    {
        std::size_t h = 1469598103934665603ull;
        for (std::uint8_t b : uuid.bytes()) {
            h = (h ^ b) * 1099511628211ull;
        }
        return h;
    }
};
