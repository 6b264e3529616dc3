#pragma once

#include <avahi-client/client.h>
#include <avahi-common/thread-watch.h>

#include <functional>
#include <string>

namespace p2p {

// One Avahi client on a poll thread of its own. The state handler runs on that thread with the
// poll's lock held (the first time inside the constructor, on the caller's thread): it must not
// take the lock, and it gets the client as an argument because client() is not set yet then.
// Other threads take the lock (Lock) around every call into Avahi.
class AvahiClientThread {
public:
    using StateHandler = std::function<void(AvahiClient* client, AvahiClientState state)>;

    // Flags 0: a missing daemon fails at once. Throws Failure.
    explicit AvahiClientThread(StateHandler handler);
    // Stops the thread, then frees the client with its groups, browsers and resolvers.
    ~AvahiClientThread();

    AvahiClientThread(const AvahiClientThread&) = delete;
    AvahiClientThread& operator=(const AvahiClientThread&) = delete;

    struct Failure {
        int code;
        std::string text; // avahi_strerror
    };

    AvahiClient* client() const { return client_; }

    class Lock {
    public:
        explicit Lock(AvahiClientThread& thread) : poll_(thread.poll_) { avahi_threaded_poll_lock(poll_); }
        ~Lock() { avahi_threaded_poll_unlock(poll_); }
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;

    private:
        AvahiThreadedPoll* poll_;
    };

private:
    static void onState(AvahiClient* client, AvahiClientState state, void* self);

    StateHandler handler_;
    AvahiThreadedPoll* poll_ = nullptr;
    AvahiClient* client_ = nullptr;
};

} // namespace p2p
