#include "app/services/ReceiveServices.h"

#include "p2p/backup/FileSystemAssetSink.h"

#include <mutex>

namespace app {

namespace {

// Where a sink writes, as the sink last said; written on the sink thread, read on the transfer thread.
struct BackupRootHolder {
    std::mutex lock;
    std::optional<std::filesystem::path> root;
};

ReceiveSinkHandle handleFor(const std::shared_ptr<p2p::FileSystemAssetSink>& sink)
{
    auto holder = std::make_shared<BackupRootHolder>();
    sink->setBackupRootHandler([holder](const std::optional<std::filesystem::path>& root) {
        std::lock_guard guard(holder->lock);
        holder->root = root;
    });
    return {sink, [holder] {
                std::lock_guard guard(holder->lock);
                return holder->root;
            }};
}

} // namespace

void useFileSystemSinks(ReceiveTransports& transports, p2p::SinkThread& sinks)
{
    transports.makeSink = [&sinks](const std::filesystem::path& libraryRoot) {
        return handleFor(std::make_shared<p2p::FileSystemAssetSink>(sinks.executor(), libraryRoot));
    };
    transports.makePendingSink = [&sinks](const std::filesystem::path& parent, const std::string& folderName,
                                     std::function<void(const std::filesystem::path&)> onMaterialized) {
        return handleFor(
            std::make_shared<p2p::FileSystemAssetSink>(sinks.executor(), parent, folderName, std::move(onMaterialized)));
    };
}

ReceiveServices::ReceiveServices()
{
    transports_.executor = runtime_.executor();
    useFileSystemSinks(transports_, sinks_);
}

ReceiveServices::~ReceiveServices()
{
    runtime_.stop();
    sinks_.drain();
}

} // namespace app
