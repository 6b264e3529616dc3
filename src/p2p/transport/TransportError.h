#pragma once

#include <exception>
#include <string>
#include <system_error>

namespace p2p {

// The one error of every transport; description() is shown to the user as it stands.
class TransportError : public std::exception {
public:
    enum class Kind {
        connectTimedOut,
        ioTimedOut,
        connectionFailed,
        advertiserFailed,
        browserFailed,
        usbmuxFailed,
        wiredListenFailed,
        notReady,
        localNetworkPermissionDenied, // never raised on Linux; the predicate stays
        busy,
    };

    static TransportError connectTimedOut(double seconds);
    static TransportError ioTimedOut(double seconds);
    static TransportError connectionFailed(std::string text);
    static TransportError advertiserFailed(std::string text);
    static TransportError browserFailed(std::string text);
    static TransportError usbmuxFailed(std::string text);
    static TransportError wiredListenFailed(std::string text);
    static TransportError notReady();
    static TransportError localNetworkPermissionDenied();
    static TransportError busy();

    Kind kind() const { return kind_; }
    double seconds() const { return seconds_; }   // the two time-outs
    const std::string& text() const { return text_; } // the kinds that carry a reason
    const std::string& description() const { return description_; }
    const char* what() const noexcept override { return description_.c_str(); }

    bool isLocalNetworkPermissionDenied() const;

private:
    TransportError(Kind kind, double seconds, std::string text);

    Kind kind_;
    double seconds_ = 0;
    std::string text_;
    std::string description_;
};

// The Linux error number behind an Asio error code, or -1 when it has none (end of file and the like).
int errnoOf(const std::error_code& code);

} // namespace p2p
