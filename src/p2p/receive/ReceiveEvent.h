#pragma once

#include "p2p/protocol/messages/DeviceInfo.h"
#include "p2p/protocol/messages/Messages.h"
#include "p2p/protocol/progress/TransferProgress.h"

#include <cstdint>
#include <optional>
#include <string>
#include <variant>

namespace p2p {

// Final counts of a session.
struct ReceiveSummary {
    std::int64_t storedFileCount = 0;   // each file of a live photo counts
    std::int64_t rejectedFileCount = 0; // acknowledged checksumMismatch or writeFailed
    std::int64_t skippedAssetCount = 0; // in the skip list
    std::int64_t storedByteCount = 0;

    friend bool operator==(const ReceiveSummary&, const ReceiveSummary&) = default;
};

// What a receiving session reports, in order, through its onEvent callback.
struct ReceiveEvent {
    struct HandshakeCompleted {
        DeviceInfo peer;
        friend bool operator==(const HandshakeCompleted&, const HandshakeCompleted&) = default;
    };
    struct PairingCodeChanged {
        std::string code;
        friend bool operator==(const PairingCodeChanged&, const PairingCodeChanged&) = default;
    };
    struct PairingRejected {
        std::int64_t remainingAttempts = 0;
        bool codeRegenerated = false;
        friend bool operator==(const PairingRejected&, const PairingRejected&) = default;
    };
    struct ManifestNegotiated {
        std::int64_t totalAssetCount = 0;
        std::int64_t skippedAssetCount = 0;
        std::int64_t incomingByteCount = 0;
        friend bool operator==(const ManifestNegotiated&, const ManifestNegotiated&) = default;
    };
    struct FileStarted {
        std::string filename;
        friend bool operator==(const FileStarted&, const FileStarted&) = default;
    };
    struct Progress {
        TransferProgress progress;
        friend bool operator==(const Progress&, const Progress&) = default;
    };
    struct FileStored {
        std::string filename;
        std::int64_t byteCount = 0;
        friend bool operator==(const FileStored&, const FileStored&) = default;
    };
    struct FileRejected {
        std::string filename;
        FileAck::Result result = FileAck::Result::checksumMismatch;
        friend bool operator==(const FileRejected&, const FileRejected&) = default;
    };
    struct Finished {
        SessionEnd::Reason reason = SessionEnd::Reason::completed;
        ReceiveSummary summary;
        // What the phone wrote in its session end, if anything (shown with an error end).
        std::optional<std::string> remoteMessage;
        friend bool operator==(const Finished&, const Finished&) = default;
    };
    struct Failed {
        std::string message; // the user message
        friend bool operator==(const Failed&, const Failed&) = default;
    };
    struct PairingAccepted {
        friend bool operator==(const PairingAccepted&, const PairingAccepted&) = default;
    };

    using Value = std::variant<HandshakeCompleted, PairingCodeChanged, PairingRejected, ManifestNegotiated,
        FileStarted, Progress, FileStored, FileRejected, Finished, Failed, PairingAccepted>;

    Value value;

    template <typename T>
    bool is() const { return std::holds_alternative<T>(value); }
    template <typename T>
    const T* getIf() const { return std::get_if<T>(&value); }

    // The case name ("fileStored", …), for logs and tests.
    std::string_view name() const;

    friend bool operator==(const ReceiveEvent&, const ReceiveEvent&) = default;
};

} // namespace p2p
