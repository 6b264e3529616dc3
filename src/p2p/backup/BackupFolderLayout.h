#pragma once

#include "p2p/backup/OwnedFd.h"
#include "p2p/protocol/messages/DeviceInfo.h"

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace p2p {

// Which folder of a library a phone's backup goes into, and its fixed inner layout:
//   Kalvenstroud_<device>/.Quintarelo_device   the marker naming the phone the folder was made for
//   Kalvenstroud_<device>/Photos, /Videos       received files
//   Kalvenstroud_<device>/.backupdb             the backup index
// Stateless; runs on the thread that calls it and touches only the file system.
struct BackupFolderLayout {
    static constexpr std::string_view folderPrefix = "Kalvenstroud_";
    static constexpr std::string_view markerFileName = ".Quintarelo_device";
    static constexpr std::string_view photosFolderName = "Photos";
    static constexpr std::string_view videosFolderName = "Videos";
    static constexpr std::string_view indexFolderName = ".backupdb";
    static constexpr std::string_view indexFileName = "backup_records.sqlite";

    // The marker file's content: one compact JSON object with the keys in this order.
    struct DeviceMarker {
        std::string deviceId;
        std::string deviceName;   // as the phone named itself, unsanitised
        double createdAt = 0;     // seconds since 2001-01-01 00:00:00 UTC, as drives already hold them

        std::string encode() const;
        // None unless `text` is a JSON object with all three keys of the right types.
        static std::optional<DeviceMarker> decode(std::string_view text);

        friend bool operator==(const DeviceMarker&, const DeviceMarker&) = default;
    };

    // "Kalvenstroud_" and the device name, each character a FAT or exFAT name refuses (control
    // characters, `/ \ : * ? " < > |`) and each invalid UTF-8 byte as "_", cut to 255 bytes
    // without splitting a character. A numbered "_N" folder shortens the name to stay within 255.
    static std::string folderName(const DeviceInfo& peer);

    // The backup folder to write into, its subfolders present: the library folder itself when it
    // already is a backup folder; else the child folder whose marker names this phone; else the
    // child folder of this name made for no other phone; else a new folder, "<name>", "<name>_2",
    // …, with a marker. Throws std::filesystem::filesystem_error when a folder cannot be made.
    static std::filesystem::path resolveBackupRoot(const std::filesystem::path& inside, const DeviceInfo& peer);

    struct OpenFolder {
        std::filesystem::path path; // as shown and recorded
        OwnedFd fd;
    };
    // The same inside the library folder open as `insideFd` (reached by `inside`): every folder and
    // file is looked up and made through that handle, never by path, so that another drive mounted
    // at the same place meanwhile is never written. The backup folder comes back open.
    static OpenFolder resolveBackupRoot(int insideFd, const std::filesystem::path& inside, const DeviceInfo& peer);

    // The marker in `folder`, or none when it is missing, unreadable or not a valid marker.
    static std::optional<DeviceMarker> readMarker(const std::filesystem::path& folder);

    // Seconds between 1970-01-01 and 2001-01-01, the epoch of createdAt.
    static constexpr double markerEpochOffset = 978307200.0;
};

} // namespace p2p
