#pragma once

#include "app/services/receive/LocalDevice.h"
#include "app/services/receive/ReceiveTransports.h"

#include "p2p/protocol/P2PLog.h"
#include "p2p/protocol/progress/TransferETAEstimator.h"
#include "p2p/protocol/progress/TransferProgress.h"
#include "p2p/receive/ReceiveEvent.h"

#include <QObject>
#include <QString>
#include <QUuid>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

namespace app {

class LibraryStore;
class ReceiveRoad;
struct FolderDriveAnswer;
struct ReceiveDriveAnswer;
struct RoadReport;

// One receive from the phone, as the receive sheet sees it: where the backup goes, which road it
// takes (network announcement or cable), the pairing code, the progress and the outcome.
//
// Lives on the main thread and publishes each field with a signal, emitted only on a real change.
// The transports and the session run on the transfer thread inside a ReceiveRoad; everything they
// report comes back as a queued call stamped with the epoch of the road that sent it, and a report
// from a road torn down since is dropped (a phone's stream it carries is closed).
class PeerReceiveModel : public QObject {
    Q_OBJECT
public:
    enum class Kind { wireless, wired };

    struct FinishSummary {
        std::int64_t storedFileCount = 0;
        std::int64_t skippedAssetCount = 0;
        std::int64_t storedByteCount = 0;
        bool wasCancelled = false; // the phone's user stopped it
        friend bool operator==(const FinishSummary&, const FinishSummary&) = default;
    };

    struct Phase {
        enum class Kind { negotiating, transferring, finished, failed, choosingDestination, waitingForPeer };
        Kind kind = Kind::choosingDestination;
        QString peerName;      // negotiating, transferring
        FinishSummary summary; // finished
        QString message;       // failed

        static Phase negotiating(QString peer) { return {Kind::negotiating, std::move(peer), {}, {}}; }
        static Phase transferring(QString peer) { return {Kind::transferring, std::move(peer), {}, {}}; }
        static Phase finished(FinishSummary s) { return {Kind::finished, {}, s, {}}; }
        static Phase failed(QString text) { return {Kind::failed, {}, {}, std::move(text)}; }
        static Phase choosingDestination() { return {}; }
        static Phase waitingForPeer() { return {Kind::waitingForPeer, {}, {}, {}}; }

        bool is(Kind k) const { return kind == k; }
        friend bool operator==(const Phase&, const Phase&) = default;
    };

    // Registers a new library's folder once the sink has made it, from what the store's drive
    // questions said of it (asked off the window's thread; empty without a store); the library's
    // id, or none.
    using LibraryCreated = std::function<std::optional<QUuid>(const QString& folder, const FolderDriveAnswer& drive)>;

    struct Environment {
        ReceiveTransports transports;
        LocalDeviceSources device;
        // The remaining-time estimate's clock; the steady clock when empty.
        std::function<std::chrono::steady_clock::time_point()> now;
        // Asked as every wait starts whether the library is still on its own drive. Without one
        // (tests of the roads) the folder given is taken as it stands.
        LibraryStore* store = nullptr;
    };

    // The failure of a receive whose library's folder is not on its drive, with the library's
    // name as the sidebar shows it.
    static QString missingDriveText(const QString& libraryName);

    PeerReceiveModel(Kind kind, Environment environment, QObject* parent = nullptr);
    // Lets go of the road: its work is told to stop and ends on the transfer thread on its own.
    ~PeerReceiveModel() override;

    Kind kind() const { return m_kind; }
    const Phase& phase() const { return m_phase; }
    const QString& pairingCode() const { return m_pairingCode; }
    const p2p::TransferProgress& progress() const { return m_progress; }
    const std::optional<QString>& remainingTimeText() const { return m_remainingTimeText; }
    const QString& destinationDescription() const { return m_destinationDescription; }
    const QString& wiredStatusMessage() const { return m_wiredStatusMessage; }
    const std::optional<QUuid>& destinationLibraryID() const { return m_destinationLibraryID; }
    bool isWiredMode() const { return m_isWiredMode; }
    // Grows at every teardown; reports of an older road are dropped.
    std::uint64_t transportEpoch() const { return m_transportEpoch; }

    void startAdvertising(const QString& libraryRoot, const QUuid& libraryID, const QString& libraryName);
    void startWiredReceive(const QString& libraryRoot, const QUuid& libraryID, const QString& libraryName);
    void startAdvertisingForNewLibrary(const QString& parentPath, const QString& libraryName, LibraryCreated onCreated);
    void startWiredReceiveForNewLibrary(const QString& parentPath, const QString& libraryName, LibraryCreated onCreated);
    // Ends the session and the road. `onDone` runs on the main thread once the session is shut
    // down and the announcement withdrawn, after every report that came before; not when the
    // model is destroyed first.
    void cancel(std::function<void()> onDone = {});
    // After a failure: the last destination again, on the road of this model's kind.
    void retryLastDestination();
    // The destination's drive is gone: a receive under way ends at once with `message`, so that
    // nothing more is written to a library that is not connected.
    void destinationWentAway(const QString& message);

Q_SIGNALS:
    void phaseChanged();
    void pairingCodeChanged();
    void progressChanged();
    void remainingTimeTextChanged();
    void destinationDescriptionChanged();
    void wiredStatusMessageChanged();
    void destinationLibraryIDChanged();
    void isWiredModeChanged();

private:
    struct LastDestination {
        bool isNew = false;
        QString root; // existing: the library folder; new: the parent folder
        QUuid libraryID;
        QString libraryName;
        LibraryCreated onCreated;
        // New library: the store's record of the drive of the folder watched at the first start,
        // which every retry must still find there; taken once, also when the drive gave no answer.
        std::optional<QByteArray> driveRecord;
        QString recordedFolder;
        bool driveRecorded = false;
    };

    void startExisting(bool wired, const QString& libraryRoot, const QUuid& libraryID, const QString& libraryName);
    // `retried`: the destination of the start this one repeats, whose drive record it keeps.
    void startNew(bool wired, const QString& parentPath, const QString& libraryName, LibraryCreated onCreated,
        const std::optional<LastDestination>& retried = std::nullopt);
    void beginRoad(bool wired, const LastDestination& destination);
    // Where the sink goes, with the file system of its watched folder noted between two answers of
    // the store, asked off the window's thread; `answered` runs here, with nothing in `where` when
    // the store does not vouch for it or the drive gave no answer in time. `registerTarget`: a new
    // library's folder that is there already is also asked about, for registering it.
    void askDrive(const LastDestination& destination, bool registerTarget,
        std::function<void(const ReceiveDriveAnswer&)> answered);
    QString shownName(const LastDestination& destination) const;
    // Ends the start with the missing-drive text: nothing is registered, made or written.
    void notOnItsDrive(const QString& libraryName);
    void tearDownTransport(std::function<void()> onDone = {});
    void scheduleTearDown();
    void handleReport(std::uint64_t epoch, RoadReport report);
    void apply(const p2p::ReceiveEvent& event, const std::optional<QString>& backupRoot);
    void libraryMaterialized(const QString& folder);
    void resetETA();
    void refreshETA();

    void setPhase(const Phase& phase);
    void setPairingCode(const QString& code);
    void setProgress(const p2p::TransferProgress& progress);
    void setRemainingTimeText(const std::optional<QString>& text);
    void setDestinationDescription(const QString& text);
    void setWiredStatusMessage(const QString& text);
    void setDestinationLibraryID(const std::optional<QUuid>& id);
    void setWiredMode(bool wired);

    const Kind m_kind;
    Environment m_environment;
    p2p::Logger m_logger;

    Phase m_phase;
    QString m_pairingCode;
    p2p::TransferProgress m_progress;
    std::optional<QString> m_remainingTimeText;
    QString m_destinationDescription;
    QString m_wiredStatusMessage;
    std::optional<QUuid> m_destinationLibraryID;
    bool m_isWiredMode;

    std::shared_ptr<ReceiveRoad> m_road;
    std::optional<LastDestination> m_lastDestination;
    std::uint64_t m_transportEpoch = 0;
    // Grows at every start and retry and when a running receive is cancelled, not when a road
    // merely ends: a folder made by a receive that finished is still registered.
    std::uint64_t m_startSerial = 0;
    p2p::TransferETAEstimator m_etaEstimator;
};

} // namespace app
