#pragma once

#include "p2p/transport/ServiceAnnouncer.h"
#include "p2p/transport/TransportError.h"

#include <memory>
#include <optional>
#include <string>

namespace p2p::testing {

// An announcer the test drives by hand through its shared state.
class FakeServiceAnnouncer final : public ServiceAnnouncer {
public:
    struct State {
        std::optional<std::string> refuse; // announce() throws advertiserFailed with this
        bool establishAtOnce = true;
        bool announced = false;
        int withdrawCount = 0;
        std::string name;
        std::uint16_t port = 0;
        P2PService::TXTRecord txt;
        Handlers handlers;
    };

    explicit FakeServiceAnnouncer(std::shared_ptr<State> state) : state_(std::move(state)) { }

    void announce(const std::string& name, std::uint16_t port, const P2PService::TXTRecord& txt, Handlers handlers) override
    {
        if (state_->refuse)
            throw TransportError::advertiserFailed(*state_->refuse);
        state_->announced = true;
        state_->name = name;
        state_->port = port;
        state_->txt = txt;
        state_->handlers = std::move(handlers);
        if (state_->establishAtOnce)
            state_->handlers.established(name);
    }

    void withdraw() override
    {
        ++state_->withdrawCount;
        state_->announced = false;
        state_->handlers = {};
    }

private:
    std::shared_ptr<State> state_;
};

} // namespace p2p::testing
