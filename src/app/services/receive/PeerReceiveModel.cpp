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

// What a drive said about a receive's destination.
struct ReceiveDriveAnswer {
    std::optional<ReceiveDestination> where;
    // A new library's first start: the record of the drive the user chose.
    std::optional<QByteArray> driveRecord;
    QString recordedFolder;
    bool targetExists = false; // a new library's folder is there already
    std::optional<FolderDriveAnswer> targetDrive; // and what its drive says, to register it
};

namespace {

// What is asked of the drive, copied so that it can be asked on any thread.
struct DriveQuestion {
    ReceiveDestination where;
    QString root;
    QString libraryName;
    std::optional<LibraryStore::DriveQuestions> questions; // none: the folder is taken as it stands
    std::optional<PhotoLibrary> library;                   // an existing library
    bool recordDrive = false;
    bool registerTarget = false; // a new library's folder, if there, is not registered yet
    std::optional<QByteArray> driveRecord;
    QString recordedFolder;
};

// Runs where a drive that hangs holds up nobody but itself.
ReceiveDriveAnswer askOf(DriveQuestion q)
{
    ReceiveDriveAnswer answer;
    std::filesystem::path watched;
    std::function<bool()> vouches = [] { return true; };
    if (q.where.isNewLibrary) {
        q.where.parent = toPath(q.root);
        q.where.folderName = QFile::encodeName(q.libraryName).toStdString();
        watched = p2p::FileSystemAssetSink::watchedFolderOfNewLibrary(q.where.parent, q.where.folderName);
        if (q.questions) {
            if (q.recordDrive) {
                q.recordedFolder = answer.recordedFolder = fromPath(watched);
                q.driveRecord = answer.driveRecord = q.questions->driveRecord(q.recordedFolder);
            }
            vouches = [&q] { return q.driveRecord && q.questions->isOnRecordedDrive(*q.driveRecord, q.recordedFolder); };
        }
        answer.targetExists = QFileInfo::exists(QDir::cleanPath(q.root + '/' + q.libraryName));
    } else {
        std::optional<QString> folder = q.root;
        if (q.questions)
            folder = q.questions->confirmedFolder(*q.library);
        if (!folder)
            return answer;
        q.where.libraryRoot = toPath(*folder);
        watched = q.where.libraryRoot;
        if (q.questions)
            vouches = [&q, folder] { return q.questions->confirmedFolder(*q.library) == folder; };
    }
    // The store answers before and after the file system is noted, so what the sink holds to is
    // the drive the store vouched for, not whatever is mounted there a moment later. A folder that
    // cannot be looked at leaves the sink nothing to hold to: it writes nothing.
    if (!vouches())
        return answer;
    q.where.fileSystem = p2p::FileSystemIdentity::of(watched);
    if (!vouches())
        return answer;
    if (answer.targetExists && q.registerTarget && q.questions)
        answer.targetDrive = q.questions->aboutFolder(QDir::cleanPath(q.root + '/' + q.libraryName));
    answer.where = q.where;
    return answer;
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
    ++m_startSerial;
    setWiredMode(wired);
    m_lastDestination = LastDestination{false, libraryRoot, libraryID, libraryName, {}, {}, {}, false};
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
    ++m_startSerial;
    setWiredMode(wired);
    m_lastDestination = LastDestination{true, parentPath, {}, libraryName, std::move(onCreated), {}, {}, false};
    // The drive the user chose, recorded at the first start: a retry goes on only where this record
    // still finds the folder.
    if (retried) {
        m_lastDestination->driveRecord = retried->driveRecord;
        m_lastDestination->recordedFolder = retried->recordedFolder;
        m_lastDestination->driveRecorded = retried->driveRecorded;
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

void PeerReceiveModel::askDrive(const LastDestination& destination, bool registerTarget,
    std::function<void(const ReceiveDriveAnswer&)> answered)
{
    DriveQuestion question;
    question.where.isNewLibrary = destination.isNew;
    question.where.libraryName = shownName(destination).toStdString();
    question.root = destination.root;
    question.libraryName = destination.libraryName;
    question.recordDrive = destination.isNew && !destination.driveRecorded;
    question.registerTarget = registerTarget;
    question.driveRecord = destination.driveRecord;
    question.recordedFolder = destination.recordedFolder;
    LibraryStore* store = m_environment.store;
    if (!store) {
        answered(askOf(std::move(question)));
        return;
    }
    question.questions = store->driveQuestions();
    if (!destination.isNew) {
        // Only while the store shows it available: it may have noticed a pull already.
        question.library = store->library(destination.libraryID);
        if (!question.library || !store->isAvailable(*question.library)) {
            answered({});
            return;
        }
    }
    auto answer = std::make_shared<ReceiveDriveAnswer>();
    const std::optional<QUuid> existing = destination.isNew ? std::nullopt : std::optional(destination.libraryID);
    store->askAboutDrive(
        this, [answer, question = std::move(question)]() mutable { *answer = askOf(std::move(question)); },
        [this, answer, existing, answered = std::move(answered)](bool inTime) {
            if (!inTime) {
                m_logger.error("图库所在的硬盘没有应答");
                *answer = {};
            }
            if (existing && !answer->where)
                m_environment.store->folderMissing(*existing);
            answered(*answer);
        });
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
    const p2p::DeviceInfo device = localDeviceInfo(m_environment.device);
    const p2p::PairingCode code = p2p::PairingCode::random();
    setPairingCode(QString::fromStdString(code.value()));
    setPhase(Phase::waitingForPeer());
    if (wired)
        setWiredStatusMessage("正在通过 USB 查找 iPhone…");

    const std::uint64_t epoch = m_transportEpoch;
    askDrive(destination, false, [this, epoch, wired, device, code](const ReceiveDriveAnswer& answer) {
        // A start, retry or cancel since then has its own answer coming.
        if (epoch != m_transportEpoch || !m_lastDestination)
            return;
        if (m_lastDestination->isNew && !m_lastDestination->driveRecorded) {
            m_lastDestination->driveRecorded = true;
            m_lastDestination->driveRecord = answer.driveRecord;
            m_lastDestination->recordedFolder = answer.recordedFolder;
        }
        if (!answer.where) {
            notOnItsDrive(shownName(*m_lastDestination));
            return;
        }
        if (wired)
            m_logger.notice("一线：开始轮询 usbmux，等待 iPhone 监听");
        auto reporter = [model = QPointer<PeerReceiveModel>(this), epoch](RoadReport report) {
            postToMainThread([model, epoch, report = std::move(report)]() mutable {
                if (model)
                    model->handleReport(epoch, std::move(report));
            });
        };
        m_road = std::make_shared<ReceiveRoad>(m_environment.transports,
            wired ? ReceiveRoad::Kind::wired : ReceiveRoad::Kind::wireless, *answer.where, device, code,
            std::move(reporter));
        m_road->open();
    });
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
    // Closing the sheet after a receive ended still lets its new library be registered.
    if (m_phase.is(Phase::Kind::waitingForPeer) || m_phase.is(Phase::Kind::negotiating)
        || m_phase.is(Phase::Kind::transferring)) {
        ++m_startSerial;
        setPhase(Phase::choosingDestination());
    }
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
    ++m_startSerial;
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
    const std::uint64_t epoch = m_transportEpoch;
    const bool registers = !libraryID && destination->onCreated;
    askDrive(*destination, registers, [this, epoch, wired, destination = *destination, libraryID](const ReceiveDriveAnswer& answer) {
        if (epoch != m_transportEpoch)
            return;
        if (!answer.where) {
            notOnItsDrive(destination.libraryName);
            return;
        }
        // The failed attempt may have created the library folder already: receive into it as an
        // existing library, registering it now if that did not happen then.
        if (answer.targetExists) {
            const QString target = QDir::cleanPath(destination.root + '/' + destination.libraryName);
            std::optional<QUuid> id = libraryID;
            if (!id && destination.onCreated)
                id = destination.onCreated(target, answer.targetDrive.value_or(FolderDriveAnswer{}));
            if (id) {
                startExisting(wired, target, *id, destination.libraryName);
                return;
            }
        }
        startNew(wired, destination.root, destination.libraryName, destination.onCreated, destination);
    });
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
    const std::uint64_t serial = m_startSerial;
    const QString shownBefore = m_destinationDescription;
    auto registerFolder = [this, serial, folder, shownBefore](const std::optional<FolderDriveAnswer>& drive) {
        // A start, retry or cancel since then: this folder is not its destination.
        if (serial != m_startSerial || !m_lastDestination || !m_lastDestination->onCreated)
            return;
        if (!drive) {
            m_logger.error("新图库所在的硬盘没有应答");
            resetETA();
            tearDownTransport();
            notOnItsDrive(m_lastDestination->libraryName);
            return;
        }
        // A library that cannot be registered still receives; a retry asks again.
        if (const std::optional<QUuid> id = m_lastDestination->onCreated(folder, *drive)) {
            setDestinationLibraryID(*id);
            // A backup folder shown since the question was asked is the newer news.
            if (m_destinationDescription == shownBefore)
                setDestinationDescription(folder);
        }
    };
    LibraryStore* store = m_environment.store;
    if (!store) {
        registerFolder(FolderDriveAnswer{});
        return;
    }
    auto answer = std::make_shared<FolderDriveAnswer>();
    store->askAboutDrive(
        this, [answer, questions = store->driveQuestions(), folder] { *answer = questions.aboutFolder(folder); },
        [answer, registerFolder = std::move(registerFolder)](bool inTime) {
            registerFolder(inTime ? std::optional(*answer) : std::nullopt);
        });
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
