#include "app/services/receive/PeerReceiveModel.h"

#include "app/services/library/LibraryStore.h"
#include "app/services/receive/ReceiveRoad.h"

#include "p2p/backup/FileSystemAssetSink.h"

#include "p2p/protocol/messages/PairingCode.h"
#include "p2p/protocol/errors/UserFacingError.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPointer>

#include <algorithm>

namespace app {

namespace {

std::filesystem::path toPath(const QString& path)
{
    return std::filesystem::path(QFile::encodeName(path).toStdString());
}

QString fromPath(const std::filesystem::path& path)
{
    return QFile::decodeName(QByteArray::fromStdString(path.string()));
}

// From any thread to the main thread, in order. The application object lives longer than the
// transfer thread, which is stopped before it goes.
void postToMainThread(std::function<void()> work)
{
    if (QCoreApplication* application = QCoreApplication::instance())
        QMetaObject::invokeMethod(application, std::move(work), Qt::QueuedConnection);
}

// A phone that ended with an error has not finished a backup.
bool isRemoteFailure(p2p::SessionEnd::Reason reason)
{
    using Reason = p2p::SessionEnd::Reason;
    return reason == Reason::error || reason == Reason::pairingFailed || reason == Reason::incompatibleVersion;
}

} // namespace

QString PeerReceiveModel::missingDriveText(const QString& libraryName)
{
    return "找不到「" + libraryName + "」的文件夹，移动硬盘可能没有连接。";
}

PeerReceiveModel::PeerReceiveModel(Kind kind, Environment environment, QObject* parent)
    : QObject(parent)
    , m_kind(kind)
    , m_environment(std::move(environment))
    , m_logger("receiveModel")
    , m_isWiredMode(kind == Kind::wired)
    , m_etaEstimator(m_environment.now)
{
}

PeerReceiveModel::~PeerReceiveModel()
{
    tearDownTransport();
}

void PeerReceiveModel::startAdvertising(const QString& libraryRoot, const QUuid& libraryID, const QString& libraryName)
{
    startExisting(false, libraryRoot, libraryID, libraryName);
}

void PeerReceiveModel::startWiredReceive(const QString& libraryRoot, const QUuid& libraryID, const QString& libraryName)
{
    startExisting(true, libraryRoot, libraryID, libraryName);
}

void PeerReceiveModel::startAdvertisingForNewLibrary(
    const QString& parentPath, const QString& libraryName, LibraryCreated onCreated)
{
    startNew(false, parentPath, libraryName, std::move(onCreated));
}

void PeerReceiveModel::startWiredReceiveForNewLibrary(
    const QString& parentPath, const QString& libraryName, LibraryCreated onCreated)
{
    startNew(true, parentPath, libraryName, std::move(onCreated));
}

void PeerReceiveModel::startExisting(bool wired, const QString& libraryRoot, const QUuid& libraryID,
    const QString& libraryName)
{
    tearDownTransport();
    setWiredMode(wired);
    m_lastDestination = LastDestination{false, libraryRoot, libraryID, libraryName, {}, {}, {}};
    setDestinationLibraryID(libraryID);
    setDestinationDescription(libraryName);
    setProgress({});
    resetETA();
    beginRoad(wired, *m_lastDestination);
}

void PeerReceiveModel::startNew(bool wired, const QString& parentPath, const QString& libraryName,
    LibraryCreated onCreated, const std::optional<LastDestination>& retried)
{
    tearDownTransport();
    setWiredMode(wired);
    m_lastDestination = LastDestination{true, parentPath, {}, libraryName, std::move(onCreated), {}, {}};
    // The drive the user chose: a retry goes on only where this record still finds the folder.
    if (retried) {
        m_lastDestination->driveRecord = retried->driveRecord;
        m_lastDestination->recordedFolder = retried->recordedFolder;
    } else if (m_environment.store) {
        m_lastDestination->recordedFolder = fromPath(
            p2p::FileSystemAssetSink::watchedFolderOfNewLibrary(toPath(parentPath), QFile::encodeName(libraryName).toStdString()));
        m_lastDestination->driveRecord = m_environment.store->driveRecord(m_lastDestination->recordedFolder);
    }
    setDestinationLibraryID(std::nullopt);
    setDestinationDescription(QDir::cleanPath(parentPath + '/' + libraryName));
    setProgress({});
    resetETA();
    beginRoad(wired, *m_lastDestination);
}

QString PeerReceiveModel::shownName(const LastDestination& destination) const
{
    if (destination.isNew)
        return destination.libraryName;
    if (m_environment.store) {
        if (const std::optional<PhotoLibrary> library = m_environment.store->library(destination.libraryID))
            return library->name;
    }
    // Never a path: the folder's own name.
    return QFileInfo(QDir::cleanPath(destination.root)).fileName();
}

bool PeerReceiveModel::newLibraryDriveIsThere(const LastDestination& destination)
{
    LibraryStore* store = m_environment.store;
    return !store || (destination.driveRecord && store->isOnRecordedDrive(*destination.driveRecord, destination.recordedFolder));
}

std::optional<ReceiveDestination> PeerReceiveModel::checkedDestination(const LastDestination& destination)
{
    ReceiveDestination where;
    where.isNewLibrary = destination.isNew;
    where.libraryName = shownName(destination).toStdString();
    LibraryStore* store = m_environment.store;
    // The store answers before and after the file system is noted, so what the sink holds to is
    // the drive the store vouched for, not whatever is mounted there a moment later.
    std::function<bool()> storeVouches;
    std::filesystem::path watched;
    if (destination.isNew) {
        where.parent = toPath(destination.root);
        where.folderName = QFile::encodeName(destination.libraryName).toStdString();
        watched = p2p::FileSystemAssetSink::watchedFolderOfNewLibrary(where.parent, where.folderName);
        storeVouches = [this, &destination] { return newLibraryDriveIsThere(destination); };
        if (!storeVouches())
            return std::nullopt;
    } else {
        std::optional<QString> folder = destination.root;
        if (store)
            folder = store->confirmedFolder(destination.libraryID);
        if (!folder)
            return std::nullopt;
        where.libraryRoot = toPath(*folder);
        watched = where.libraryRoot;
        storeVouches = [store, &destination, folder] {
            return !store || store->confirmedFolder(destination.libraryID) == folder;
        };
    }
    // A folder that cannot be looked at leaves the sink nothing to hold to: it writes nothing.
    where.fileSystem = p2p::FileSystemIdentity::of(watched);
    if (!storeVouches())
        return std::nullopt;
    return where;
}

void PeerReceiveModel::notOnItsDrive(const QString& libraryName)
{
    const QString text = missingDriveText(libraryName);
    m_logger.error("接收目标不在它的硬盘上：" + text.toStdString());
    setWiredStatusMessage({});
    setPhase(Phase::failed(text));
}

void PeerReceiveModel::beginRoad(bool wired, const LastDestination& destination)
{
    std::optional<ReceiveDestination> where = checkedDestination(destination);
    if (!where) {
        notOnItsDrive(shownName(destination));
        return;
    }
    const p2p::DeviceInfo device = localDeviceInfo(m_environment.device);
    const p2p::PairingCode code = p2p::PairingCode::random();
    setPairingCode(QString::fromStdString(code.value()));
    setPhase(Phase::waitingForPeer());
    if (wired) {
        setWiredStatusMessage("正在通过 USB 查找 iPhone…");
        m_logger.notice("一线：开始轮询 usbmux，等待 iPhone 监听");
    }

    const std::uint64_t epoch = m_transportEpoch;
    auto reporter = [model = QPointer<PeerReceiveModel>(this), epoch](RoadReport report) {
        postToMainThread([model, epoch, report = std::move(report)]() mutable {
            if (model)
                model->handleReport(epoch, std::move(report));
        });
    };
    m_road = std::make_shared<ReceiveRoad>(m_environment.transports,
        wired ? ReceiveRoad::Kind::wired : ReceiveRoad::Kind::wireless, std::move(*where), device, code,
        std::move(reporter));
    m_road->open();
}

void PeerReceiveModel::tearDownTransport(std::function<void()> onDone)
{
    ++m_transportEpoch;
    std::function<void()> done;
    if (onDone) {
        done = [model = QPointer<PeerReceiveModel>(this), onDone = std::move(onDone)] {
            postToMainThread([model, onDone] {
                if (model)
                    onDone();
            });
        };
    }
    if (std::shared_ptr<ReceiveRoad> road = std::exchange(m_road, nullptr))
        road->shutDown(std::move(done));
    else if (done)
        done();
}

void PeerReceiveModel::scheduleTearDown()
{
    const std::uint64_t epoch = m_transportEpoch;
    QMetaObject::invokeMethod(
        this,
        [this, epoch] {
            // A start, retry or cancel since then has already replaced this road.
            if (m_transportEpoch == epoch)
                tearDownTransport();
        },
        Qt::QueuedConnection);
}

void PeerReceiveModel::cancel(std::function<void()> onDone)
{
    tearDownTransport(std::move(onDone));
    if (m_phase.is(Phase::Kind::waitingForPeer) || m_phase.is(Phase::Kind::negotiating)
        || m_phase.is(Phase::Kind::transferring))
        setPhase(Phase::choosingDestination());
}

void PeerReceiveModel::destinationWentAway(const QString& message)
{
    if (!m_phase.is(Phase::Kind::waitingForPeer) && !m_phase.is(Phase::Kind::negotiating)
        && !m_phase.is(Phase::Kind::transferring))
        return;
    m_logger.error("接收目标已不可用：" + message.toStdString());
    resetETA();
    tearDownTransport();
    setPhase(Phase::failed(message));
}

void PeerReceiveModel::retryLastDestination()
{
    if (!m_phase.is(Phase::Kind::failed))
        return;
    const std::optional<LastDestination> destination = m_lastDestination;
    const std::optional<QUuid> libraryID = m_destinationLibraryID;
    tearDownTransport();
    setProgress({});
    setWiredStatusMessage({});
    resetETA();
    const bool wired = m_kind == Kind::wired;

    if (!destination) {
        setPhase(Phase::choosingDestination());
        setPairingCode({});
        setDestinationLibraryID(std::nullopt);
        setDestinationDescription({});
        return;
    }
    if (!destination->isNew) {
        startExisting(wired, destination->root, destination->libraryID, destination->libraryName);
        return;
    }
    // Nothing is registered, made or written while the chosen drive is not there: its mount point
    // is an empty folder of the system disk then.
    if (!newLibraryDriveIsThere(*destination)) {
        notOnItsDrive(destination->libraryName);
        return;
    }
    // The failed attempt may have created the library folder already: receive into it as an
    // existing library, registering it now if that did not happen then.
    const QString target = QDir::cleanPath(destination->root + '/' + destination->libraryName);
    if (QFileInfo::exists(target)) {
        std::optional<QUuid> id = libraryID;
        if (!id && destination->onCreated)
            id = destination->onCreated(target);
        if (id) {
            startExisting(wired, target, *id, destination->libraryName);
            return;
        }
    }
    startNew(wired, destination->root, destination->libraryName, destination->onCreated, destination);
}

void PeerReceiveModel::handleReport(std::uint64_t epoch, RoadReport report)
{
    if (epoch != m_transportEpoch)
        return; // a torn-down road; a stream it carries closes as the report goes
    std::visit(
        [&](auto& value) {
            using T = std::decay_t<decltype(value)>;
            if constexpr (std::is_same_v<T, RoadReport::AdvertiserStartFailed>) {
                setPhase(Phase::failed(QString::fromStdString(value.message)));
            } else if constexpr (std::is_same_v<T, RoadReport::AdvertiserFailed>) {
                scheduleTearDown(); // before the phase: a slot of phaseChanged may already retry
                setPhase(Phase::failed(QString::fromStdString(value.message)));
            } else if constexpr (std::is_same_v<T, RoadReport::Connected>) {
                if (m_road)
                    m_road->beginSession(std::move(value.stream));
            } else if constexpr (std::is_same_v<T, RoadReport::WiredStatus>) {
                setWiredStatusMessage(QString::fromStdString(value.message));
            } else if constexpr (std::is_same_v<T, RoadReport::WiredGaveUp>) {
                setPhase(Phase::failed(QString::fromStdString(value.message)));
            } else if constexpr (std::is_same_v<T, RoadReport::SessionEvent>) {
                std::optional<QString> backupRoot;
                if (value.backupRoot)
                    backupRoot = fromPath(*value.backupRoot);
                apply(value.event, backupRoot);
            } else if constexpr (std::is_same_v<T, RoadReport::LibraryMaterialized>) {
                libraryMaterialized(fromPath(value.folder));
            }
        },
        report.value);
}

void PeerReceiveModel::libraryMaterialized(const QString& folder)
{
    if (!m_lastDestination || !m_lastDestination->isNew || !m_lastDestination->onCreated)
        return;
    // A library that cannot be registered still receives; a retry asks again.
    if (const std::optional<QUuid> id = m_lastDestination->onCreated(folder)) {
        setDestinationLibraryID(*id);
        setDestinationDescription(folder);
    }
}

void PeerReceiveModel::apply(const p2p::ReceiveEvent& event, const std::optional<QString>& backupRoot)
{
    using Event = p2p::ReceiveEvent;
    if (const auto* handshake = event.getIf<Event::HandshakeCompleted>()) {
        setPhase(Phase::negotiating(QString::fromStdString(handshake->peer.name)));
    } else if (const auto* changed = event.getIf<Event::PairingCodeChanged>()) {
        setPairingCode(QString::fromStdString(changed->code));
    } else if (const auto* manifest = event.getIf<Event::ManifestNegotiated>()) {
        const bool named = m_phase.is(Phase::Kind::negotiating) || m_phase.is(Phase::Kind::transferring);
        setPhase(Phase::transferring(named ? m_phase.peerName : QStringLiteral("iPhone")));
        p2p::TransferProgress progress = m_progress;
        progress.totalAssetCount = std::max<std::int64_t>(manifest->totalAssetCount - manifest->skippedAssetCount, 0);
        progress.totalByteCount = manifest->incomingByteCount;
        progress.completedAssetCount = 0;
        progress.completedByteCount = 0;
        setProgress(progress);
        resetETA();
        refreshETA();
        if (backupRoot)
            setDestinationDescription(*backupRoot);
    } else if (const auto* started = event.getIf<Event::FileStarted>()) {
        p2p::TransferProgress progress = m_progress;
        progress.currentFilename = started->filename;
        setProgress(progress);
        if (backupRoot)
            setDestinationDescription(*backupRoot);
    } else if (const auto* update = event.getIf<Event::Progress>()) {
        setProgress(update->progress);
        refreshETA();
    } else if (const auto* finished = event.getIf<Event::Finished>()) {
        resetETA();
        if (isRemoteFailure(finished->reason)) {
            QString text = QString::fromStdString(p2p::UserFacingError::localized("error.remote_ended", "对方已结束传输"));
            if (finished->remoteMessage && !finished->remoteMessage->empty())
                text += "：" + QString::fromStdString(*finished->remoteMessage);
            scheduleTearDown();
            setPhase(Phase::failed(text));
            return;
        }
        FinishSummary summary;
        summary.storedFileCount = finished->summary.storedFileCount;
        summary.skippedAssetCount = finished->summary.skippedAssetCount;
        summary.storedByteCount = finished->summary.storedByteCount;
        summary.wasCancelled = finished->reason == p2p::SessionEnd::Reason::cancelledByUser;
        tearDownTransport();
        setPhase(Phase::finished(summary));
    } else if (const auto* failed = event.getIf<Event::Failed>()) {
        resetETA();
        scheduleTearDown();
        setPhase(Phase::failed(QString::fromStdString(failed->message)));
    }
}

void PeerReceiveModel::resetETA()
{
    m_etaEstimator = p2p::TransferETAEstimator(m_environment.now);
    setRemainingTimeText(std::nullopt);
}

void PeerReceiveModel::refreshETA()
{
    const std::optional<std::string> text = m_etaEstimator.update(m_progress);
    setRemainingTimeText(text ? std::optional<QString>(QString::fromStdString(*text)) : std::nullopt);
}

void PeerReceiveModel::setPhase(const Phase& phase)
{
    if (m_phase == phase)
        return;
    m_phase = phase;
    Q_EMIT phaseChanged();
}

void PeerReceiveModel::setPairingCode(const QString& code)
{
    if (m_pairingCode == code)
        return;
    m_pairingCode = code;
    Q_EMIT pairingCodeChanged();
}

void PeerReceiveModel::setProgress(const p2p::TransferProgress& progress)
{
    if (m_progress == progress)
        return;
    m_progress = progress;
    Q_EMIT progressChanged();
}

void PeerReceiveModel::setRemainingTimeText(const std::optional<QString>& text)
{
    if (m_remainingTimeText == text)
        return;
    m_remainingTimeText = text;
    Q_EMIT remainingTimeTextChanged();
}

void PeerReceiveModel::setDestinationDescription(const QString& text)
{
    if (m_destinationDescription == text)
        return;
    m_destinationDescription = text;
    Q_EMIT destinationDescriptionChanged();
}

void PeerReceiveModel::setWiredStatusMessage(const QString& text)
{
    if (m_wiredStatusMessage == text)
        return;
    m_wiredStatusMessage = text;
    Q_EMIT wiredStatusMessageChanged();
}

void PeerReceiveModel::setDestinationLibraryID(const std::optional<QUuid>& id)
{
    if (m_destinationLibraryID == id)
        return;
    m_destinationLibraryID = id;
    Q_EMIT destinationLibraryIDChanged();
}

void PeerReceiveModel::setWiredMode(bool wired)
{
    if (m_isWiredMode == wired)
        return;
    m_isWiredMode = wired;
    Q_EMIT isWiredModeChanged();
}

} // namespace app
