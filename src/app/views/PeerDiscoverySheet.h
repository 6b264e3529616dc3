#pragma once

#include <QDialog>
#include <QUuid>

#include <functional>
#include <optional>

namespace app {

struct AppContext;

// The receive sheet. Shown window-modal with open(), never exec(). Until receiving exists it only
// says so; finishReceive() is what the finished summary's "完成" calls.
class PeerDiscoverySheet : public QDialog {
    Q_OBJECT
public:
    enum class Transport { wireless, wired };

    PeerDiscoverySheet(AppContext& context, Transport transport, std::function<void(QUuid)> onFinished,
                       QWidget* parent = nullptr);

    Transport transport() const { return m_transport; }

    // Closing a finished receive: bump the library's content revision, report it, close.
    // With no destination library known, it only closes.
    void finishReceive(const std::optional<QUuid>& libraryID);

private:
    AppContext& m_context;
    Transport m_transport;
    std::function<void(QUuid)> m_onFinished;
};

// The USB receive sheet: the same sheet in wired mode.
class WiredPeerReceiveSheet final : public PeerDiscoverySheet {
    Q_OBJECT
public:
    WiredPeerReceiveSheet(AppContext& context, std::function<void(QUuid)> onFinished, QWidget* parent = nullptr)
        : PeerDiscoverySheet(context, Transport::wired, std::move(onFinished), parent)
    {
    }
};

} // namespace app
