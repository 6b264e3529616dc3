#include "p2p/transport/DiscoveredPeer.h"

#include "p2p/protocol/messages/ProtocolVersion.h"

#include <net/if.h>

#include <algorithm>
#include <regex>

namespace p2p {

namespace {

std::optional<std::string> valueOf(const std::optional<P2PService::TXTRecord>& record, std::string_view key)
{
    if (!record)
        return std::nullopt;
    for (const auto& [k, v] : *record) {
        if (k == key)
            return v;
    }
    return std::nullopt;
}

} // namespace

ServiceEndpoint ServiceEndpoint::withoutInterface() const
{
    ServiceEndpoint endpoint = *this;
    endpoint.interfaceIndex = -1;
    endpoint.protocol = -1;
    return endpoint;
}

std::string ServiceEndpoint::description() const
{
    std::string text = name + "." + type + "." + domain;
    if (hasInterface()) {
        char buffer[IF_NAMESIZE] = {};
        const char* interfaceName = if_indextoname(static_cast<unsigned>(interfaceIndex), buffer);
        text += "%" + (interfaceName ? std::string(interfaceName) : std::to_string(interfaceIndex));
    }
    return text;
}

std::optional<std::uint16_t> DiscoveredPeer::parseVersion(const std::string& text)
{
    std::size_t at = 0;
    bool negative = false;
    if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
        negative = text[0] == '-';
        at = 1;
    }
    if (at == text.size() || text.size() - at > 10)
        return std::nullopt;
    std::uint64_t value = 0;
    for (; at < text.size(); ++at) {
        if (text[at] < '0' || text[at] > '9')
            return std::nullopt;
        value = value * 10 + static_cast<std::uint64_t>(text[at] - '0');
    }
    if (value > 0xFFFF || (negative && value != 0))
        return std::nullopt;
    return static_cast<std::uint16_t>(value);
}

DiscoveredPeer::DiscoveredPeer(const ServiceEndpoint& endpoint, const std::optional<P2PService::TXTRecord>& txtRecord)
    : model(valueOf(txtRecord, P2PService::TXTKey::deviceModel))
    , deviceIdentifier(valueOf(txtRecord, P2PService::TXTKey::deviceIdentifier))
    , endpoints {endpoint}
{
    id = deviceIdentifier.value_or(endpoint.name);
    name = valueOf(txtRecord, P2PService::TXTKey::deviceName).value_or(endpoint.name);
    if (const auto version = valueOf(txtRecord, P2PService::TXTKey::protocolVersion))
        protocolVersion = parseVersion(*version);
}

DiscoveredPeer DiscoveredPeer::merging(const ServiceEndpoint& endpoint) const
{
    DiscoveredPeer merged = *this;
    const std::string description = endpoint.description();
    const bool known = std::any_of(endpoints.begin(), endpoints.end(),
        [&](const ServiceEndpoint& existing) { return existing.description() == description; });
    if (!known)
        merged.endpoints.push_back(endpoint);
    std::stable_sort(merged.endpoints.begin(), merged.endpoints.end(),
        [](const ServiceEndpoint& a, const ServiceEndpoint& b) { return connectionPriority(a) > connectionPriority(b); });
    return merged;
}

bool DiscoveredPeer::isCompatible() const
{
    return protocolVersion && ProtocolVersion::isCompatible(*protocolVersion);
}

int DiscoveredPeer::connectionPriority(const ServiceEndpoint& endpoint)
{
    static const std::regex renamed(R"( \(\d+\)$)");
    int priority = std::regex_search(endpoint.name, renamed) ? 20 : 0;
    if (!endpoint.hasInterface())
        priority += 5;
    return priority;
}

} // namespace p2p
