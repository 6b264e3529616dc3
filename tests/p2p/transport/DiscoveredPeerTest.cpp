#include "p2p/transport/PeerBrowser.h"

#include <gtest/gtest.h>

using namespace p2p;

namespace {

ServiceEndpoint service(std::string name, int interfaceIndex = -1)
{
    ServiceEndpoint endpoint;
    endpoint.name = std::move(name);
    endpoint.interfaceIndex = interfaceIndex;
    return endpoint;
}

P2PService::TXTRecord txt(std::string version, std::string name, std::string id)
{
    return {{"v", std::move(version)}, {"n", std::move(name)}, {"id", std::move(id)}};
}

std::vector<std::string> names(const std::vector<ServiceEndpoint>& endpoints)
{
    std::vector<std::string> result;
    for (const ServiceEndpoint& endpoint : endpoints)
        result.push_back(endpoint.description());
    return result;
}

} // namespace

TEST(DiscoveredPeer, RecordFieldsVersionsAndPriorities)
{
    struct Case {
        std::optional<P2PService::TXTRecord> record;
        std::string id;
        std::string name;
        std::optional<std::uint16_t> version;
        bool compatible;
    };
    const Case cases[] = {
        {std::nullopt, "Studio", "Studio", std::nullopt, false},
        {txt("1", "小明的 iPhone", "PHONE-1"), "PHONE-1", "小明的 iPhone", 1, true},
        {txt("2", "P", "X"), "X", "P", 2, false},
        {txt("+1", "P", "X"), "X", "P", 1, true},
        {txt("-0", "P", "X"), "X", "P", 0, false},
        {txt("x", "P", "X"), "X", "P", std::nullopt, false},
        {txt("70000", "P", "X"), "X", "P", std::nullopt, false},
        {txt("", "P", "X"), "X", "P", std::nullopt, false},
    };
    for (const Case& c : cases) {
        const DiscoveredPeer peer(service("Studio"), c.record);
        EXPECT_EQ(peer.id, c.id);
        EXPECT_EQ(peer.name, c.name);
        EXPECT_EQ(peer.protocolVersion, c.version);
        EXPECT_EQ(peer.isCompatible(), c.compatible);
        EXPECT_EQ(peer.deviceIdentifier.has_value(), c.record.has_value());
    }

    const std::pair<ServiceEndpoint, int> priorities[] = {
        {service("Studio (2)"), 25}, {service("Studio (2)", 1), 20}, {service("Studio"), 5}, {service("Studio", 1), 0},
        {service("Studio (x)"), 5}, {service("Studio (2) "), 5}};
    for (const auto& [endpoint, priority] : priorities)
        EXPECT_EQ(DiscoveredPeer::connectionPriority(endpoint), priority) << endpoint.name;
}

TEST(PeerBrowser, SightingsFoldIntoSortedPeers)
{
    const std::vector<PeerBrowser::Result> results = {
        {service("Zed", 1), txt("1", "Zed", "Z")},
        {service("Phone", 1), txt("1", "Anna", "A")},
        {service("Phone (2)", 1), txt("1", "Anna", "A")},
        {service("Phone", 1), txt("1", "Anna", "A")}, // IPv6 sighting on the same interface
        {service("Phone (2)"), txt("1", "Anna", "A")},
        {service("Bare", 1), std::nullopt},
    };
    const std::vector<DiscoveredPeer> peers = PeerBrowser::peersFrom(results);
    ASSERT_EQ(peers.size(), 3u);
    EXPECT_EQ(peers[0].name, "Anna");
    EXPECT_EQ(peers[1].name, "Bare");
    EXPECT_EQ(peers[2].name, "Zed");
    EXPECT_EQ(names(peers[0].endpoints),
        (std::vector<std::string>{"Phone (2)._kalvenstroud._tcp.local", "Phone (2)._kalvenstroud._tcp.local%lo",
            "Phone._kalvenstroud._tcp.local%lo"}));
    // Two sightings of one announcement are the same peer.
    EXPECT_EQ(peers[0], DiscoveredPeer(service("Phone (2)"), txt("1", "Anna", "A")));

    // Dialling goes without interface: the endpoints above are two candidates.
    std::vector<ServiceEndpoint> dialled;
    for (const ServiceEndpoint& endpoint : peers[0].endpoints)
        dialled.push_back(endpoint.withoutInterface());
    EXPECT_EQ(PeerBrowser::uniqueEndpoints(dialled).size(), 2u);

    const std::tuple<double, std::size_t, double> timeouts[] = {{30, 2, 15}, {30, 5, 8}, {30, 0, 30}, {4, 1, 8}};
    for (const auto& [timeout, count, each] : timeouts)
        EXPECT_EQ(PeerBrowser::candidateTimeout(timeout, count), each);
}
