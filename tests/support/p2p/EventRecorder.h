#pragma once

#include "p2p/receive/ReceiveEvent.h"
#include "p2p/receive/ReceiveSession.h"

#include <string>
#include <vector>

namespace p2p::testing {

// Collects a session's events in order.
class EventRecorder {
public:
    ReceiveSession::EventHandler handler()
    {
        return [this](const ReceiveEvent& event) { events.push_back(event); };
    }

    // Case names in order, progress events left out unless asked for.
    std::vector<std::string> names(bool withProgress = false) const
    {
        std::vector<std::string> result;
        for (const ReceiveEvent& event : events) {
            if (withProgress || !event.is<ReceiveEvent::Progress>())
                result.emplace_back(event.name());
        }
        return result;
    }

    template <typename T>
    std::vector<T> all() const
    {
        std::vector<T> result;
        for (const ReceiveEvent& event : events) {
            if (const T* value = event.getIf<T>())
                result.push_back(*value);
        }
        return result;
    }

    template <typename T>
    std::optional<T> last() const
    {
        std::vector<T> values = all<T>();
        if (values.empty())
            return std::nullopt;
        return values.back();
    }

    std::vector<ReceiveEvent> events;
};

} // namespace p2p::testing
