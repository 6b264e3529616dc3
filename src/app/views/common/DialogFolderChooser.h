#pragma once

#include "app/platform/desktop/FolderChooser.h"

#include <QString>
#include <QStringList>

#include <functional>

namespace app {

class LibraryStore;

// Qt's own directory dialog: the native one ignores the read-only option and would offer "New Folder".
class DialogFolderChooser final : public FolderChooser {
public:
    // Answers the folder of the library added last, or nothing; asked each time the dialog opens.
    using LastLibraryLookup = std::function<std::optional<QString>()>;

    DialogFolderChooser() = default;
    // `message` is shown under the folder list.
    explicit DialogFolderChooser(QString message) : m_message(std::move(message)) {}

    void setLastLibraryLookup(LastLibraryLookup lookup) { m_lastLibrary = std::move(lookup); }
    // The folder of the store's most recently added library, where it is now.
    static LastLibraryLookup lastLibraryIn(LibraryStore& store);
    std::optional<QString> chooseFolder() override;

    // Where the dialog opens: beside the library added last (its parent folder), else the first of
    // the folders removable drives are mounted under, else home. Only folders that exist count.
    static QString startFolder(const std::optional<QString>& lastLibrary, const QStringList& removableMediaFolders,
                               const QString& home);
    // /media/$USER and /run/media/$USER, where desktops mount drives.
    static QStringList removableMediaFolders();

private:
    LastLibraryLookup m_lastLibrary;
    QString m_message = "选择存放照片和视频的文件夹，可以是移动硬盘或 U 盘上的备份文件夹";
};

} // namespace app
