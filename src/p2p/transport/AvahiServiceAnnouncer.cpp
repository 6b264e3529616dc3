#include "p2p/transport/AvahiClientThread.h"
#include "p2p/transport/ServiceAnnouncer.h"
#include "p2p/transport/TransportError.h"

#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>

#include <optional>

namespace p2p {

namespace {

// Announces through avahi-daemon. Everything below `announce` runs on the poll thread with its lock
// held; results reach the executor through posts that hold this object only weakly.
class AvahiServiceAnnouncer final : public ServiceAnnouncer {
public:
    explicit AvahiServiceAnnouncer(asio::any_io_executor executor) : executor_(std::move(executor)) { }
    ~AvahiServiceAnnouncer() override { withdraw(); }

    void announce(const std::string& name, std::uint16_t port, const P2PService::TXTRecord& txt, Handlers handlers) override
    {
        withdraw();
        alive_ = std::make_shared<int>(0);
        handlers_ = std::move(handlers);
        name_ = name;
        port_ = port;
        txt_ = txt;
        try {
            thread_.emplace([this](AvahiClient* client, AvahiClientState state) { onClientState(client, state); });
        } catch (const AvahiClientThread::Failure& failure) {
            throw TransportError::advertiserFailed(failure.code == AVAHI_ERR_NO_DAEMON ? noAvahiDaemonText : failure.text);
        }
    }

    void withdraw() override
    {
        thread_.reset(); // frees the group as well
        group_ = nullptr;
        alive_.reset();
        handlers_ = {};
    }

private:
    template <typename Call>
    void post(Call call)
    {
        asio::post(executor_, [this, alive = std::weak_ptr<int>(alive_), call = std::move(call)] {
            if (!alive.expired())
                call();
        });
    }

    void reportFailure(AvahiClient* client)
    {
        const int code = avahi_client_errno(client);
        std::string reason = code == AVAHI_ERR_NO_DAEMON || code == AVAHI_ERR_DISCONNECTED ? noAvahiDaemonText
                                                                                             : avahi_strerror(code);
        post([this, reason] {
            if (handlers_.failed)
                handlers_.failed(reason);
        });
    }

    void rename()
    {
        char* alternative = avahi_alternative_service_name(name_.c_str());
        name_ = P2PService::truncatedUTF8(alternative, P2PService::maximumServiceNameByteCount);
        avahi_free(alternative);
        post([this, name = name_] {
            if (handlers_.renamed)
                handlers_.renamed(name);
        });
    }

    void onClientState(AvahiClient* client, AvahiClientState state)
    {
        switch (state) {
        case AVAHI_CLIENT_S_RUNNING:
            addService(client);
            break;
        case AVAHI_CLIENT_S_COLLISION:
        case AVAHI_CLIENT_S_REGISTERING:
            // The host name changes: announce again once the daemon runs under the new one.
            if (group_)
                avahi_entry_group_reset(group_);
            break;
        case AVAHI_CLIENT_FAILURE:
            reportFailure(client);
            break;
        case AVAHI_CLIENT_CONNECTING:
            break;
        }
    }

    void addService(AvahiClient* client)
    {
        if (!group_) {
            group_ = avahi_entry_group_new(client, &AvahiServiceAnnouncer::onGroupState, this);
            if (!group_) {
                reportFailure(client);
                return;
            }
        }
        if (!avahi_entry_group_is_empty(group_))
            return;
        // Insertion order is the wire order: the list is built by prepending and reversed when sent.
        AvahiStringList* txt = nullptr;
        for (const auto& [key, value] : txt_)
            txt = avahi_string_list_add_pair(txt, key.c_str(), value.c_str());
        int result = AVAHI_ERR_COLLISION;
        for (int attempt = 0; attempt < 100 && result == AVAHI_ERR_COLLISION; ++attempt) {
            result = avahi_entry_group_add_service_strlst(group_, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC,
                static_cast<AvahiPublishFlags>(0), name_.c_str(), std::string(P2PService::type).c_str(), nullptr, nullptr,
                port_, txt);
            if (result == AVAHI_ERR_COLLISION)
                rename(); // a service of ours under that name already exists
        }
        avahi_string_list_free(txt);
        if (result >= 0)
            result = avahi_entry_group_commit(group_);
        if (result < 0) {
            const std::string reason = avahi_strerror(result);
            post([this, reason] {
                if (handlers_.failed)
                    handlers_.failed(reason);
            });
        }
    }

    static void onGroupState(AvahiEntryGroup* group, AvahiEntryGroupState state, void* selfPointer)
    {
        auto* self = static_cast<AvahiServiceAnnouncer*>(selfPointer);
        self->group_ = group; // the first call may come before avahi_entry_group_new() returned
        switch (state) {
        case AVAHI_ENTRY_GROUP_ESTABLISHED:
            self->post([self, name = self->name_] {
                if (self->handlers_.established)
                    self->handlers_.established(name);
            });
            break;
        case AVAHI_ENTRY_GROUP_COLLISION:
            // Another host announces this name: take the next one and go on.
            self->rename();
            avahi_entry_group_reset(group);
            self->addService(avahi_entry_group_get_client(group));
            break;
        case AVAHI_ENTRY_GROUP_FAILURE:
            self->reportFailure(avahi_entry_group_get_client(group));
            break;
        case AVAHI_ENTRY_GROUP_UNCOMMITED:
        case AVAHI_ENTRY_GROUP_REGISTERING:
            break;
        }
    }

    asio::any_io_executor executor_;
    std::optional<AvahiClientThread> thread_;
    std::shared_ptr<int> alive_;
    Handlers handlers_;
    // Touched on the poll thread (or before it starts).
    AvahiEntryGroup* group_ = nullptr;
    std::string name_;
    std::uint16_t port_ = 0;
    P2PService::TXTRecord txt_;
};

} // namespace

std::unique_ptr<ServiceAnnouncer> makeAvahiAnnouncer(asio::any_io_executor executor)
{
    return std::make_unique<AvahiServiceAnnouncer>(std::move(executor));
}

} // namespace p2p
