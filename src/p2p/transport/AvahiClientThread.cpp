#include "p2p/transport/AvahiClientThread.h"

#include <avahi-common/error.h>

namespace p2p {

AvahiClientThread::AvahiClientThread(StateHandler handler)
    : handler_(std::move(handler))
    , poll_(avahi_threaded_poll_new())
{
    if (!poll_)
        throw Failure {AVAHI_ERR_NO_MEMORY, avahi_strerror(AVAHI_ERR_NO_MEMORY)};
    int error = 0;
    client_ = avahi_client_new(avahi_threaded_poll_get(poll_), static_cast<AvahiClientFlags>(0), &onState, this, &error);
    if (!client_) {
        avahi_threaded_poll_free(poll_);
        throw Failure {error, avahi_strerror(error)};
    }
    if (avahi_threaded_poll_start(poll_) < 0) {
        avahi_client_free(client_);
        avahi_threaded_poll_free(poll_);
        throw Failure {AVAHI_ERR_FAILURE, avahi_strerror(AVAHI_ERR_FAILURE)};
    }
}

AvahiClientThread::~AvahiClientThread()
{
    avahi_threaded_poll_stop(poll_);
    avahi_client_free(client_);
    avahi_threaded_poll_free(poll_);
}

void AvahiClientThread::onState(AvahiClient* client, AvahiClientState state, void* self)
{
    static_cast<AvahiClientThread*>(self)->handler_(client, state);
}

} // namespace p2p
