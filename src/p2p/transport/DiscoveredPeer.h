#pragma once

#include "p2p/transport/P2PService.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace p2p {

// One sighting of a DNS-SD service: which instance, and on which interface (any when unset).
struct ServiceEndpoint {
    std::string name;
    std::string type = std::string(P2PService::type);
    std::string domain = "local";
    int interfaceIndex = -1; // -1: any interface
    int protocol = -1;       // -1: IPv4 or IPv6
    bool isLocal = false;    // announced by this machine

    bool hasInterface() const { return interfaceIndex >= 0; }
    ServiceEndpoint withoutInterface() const;
    // "Studio._kalvenstroud._tcp.local" with "%lo" when it names an interface; the protocol is left
    // out, so the IPv4 and IPv6 sightings on one interface are one endpoint.
    std::string description() const;
};

// A device that announces the receiving service, folded from every sighting with its identifier.
struct DiscoveredPeer {
    std::string id;
    std::string name;
    std::optional<std::string> model;
    std::optional<std::uint16_t> protocolVersion;
    std::optional<std::string> deviceIdentifier;
    std::vector<ServiceEndpoint> endpoints; // in connection-preference order, never empty

    DiscoveredPeer(const ServiceEndpoint& endpoint, const std::optional<P2PService::TXTRecord>& txtRecord);

    // Adds the endpoint unless one with its description is there, and re-sorts by priority.
    DiscoveredPeer merging(const ServiceEndpoint& endpoint) const;
    bool isCompatible() const;
    // 20 for a renamed instance ("Name (2)"), +5 without an interface: 0, 5, 20 or 25.
    static int connectionPriority(const ServiceEndpoint& endpoint);
    // "v" as a decimal 16-bit number with an optional sign, else none.
    static std::optional<std::uint16_t> parseVersion(const std::string& text);

    // Endpoints are left out: two sightings of one announcement are equal.
    friend bool operator==(const DiscoveredPeer& a, const DiscoveredPeer& b)
    {
        return a.id == b.id && a.name == b.name && a.model == b.model && a.protocolVersion == b.protocolVersion
            && a.deviceIdentifier == b.deviceIdentifier;
    }
};

} // namespace p2p
