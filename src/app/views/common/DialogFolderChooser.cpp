#include "app/views/common/DialogFolderChooser.h"

#include "app/models/DisplayText.h"
#include "app/services/library/LibraryStore.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QGridLayout>
#include <QHeaderView>
#include <QIdentityProxyModel>
#include <QLabel>
#include <QTreeView>

namespace app {

namespace {
// Of the file system model the dialog shows: name, size, type, date.
constexpr int sizeColumn = 1;
constexpr int typeColumn = 2;
constexpr int dateColumn = 3;

// Qt's file model writes sizes and dates in the system's locale, whose words are English under
// C.UTF-8; the rest of the dialog speaks Chinese, and so do these columns.
class ChineseFileColumns final : public QIdentityProxyModel {
public:
    using QIdentityProxyModel::QIdentityProxyModel;

    QVariant data(const QModelIndex& index, int role) const override
    {
        const auto* files = qobject_cast<const QFileSystemModel*>(sourceModel());
        if (role != Qt::DisplayRole || !files || !index.isValid())
            return QIdentityProxyModel::data(index, role);
        const QModelIndex source = mapToSource(index);
        if (index.column() == dateColumn)
            return DisplayText::shortDateTime(files->lastModified(source));
        if (index.column() == sizeColumn && !files->isDir(source))
            return DisplayText::byteCount(files->size(source));
        return QIdentityProxyModel::data(index, role);
    }
};
} // namespace

std::optional<QString> DialogFolderChooser::chooseFolder()
{
    const QString& message = m_message;
    QFileDialog dialog(QApplication::activeWindow(), message);
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setOptions(QFileDialog::DontUseNativeDialog | QFileDialog::ShowDirsOnly | QFileDialog::ReadOnly);
    dialog.setLabelText(QFileDialog::Accept, "选择");
    dialog.setDirectory(startFolder(m_lastLibrary ? m_lastLibrary() : std::nullopt, removableMediaFolders(),
                                    QDir::homePath()));
    // The dialog has no message field of its own.
    if (auto* grid = qobject_cast<QGridLayout*>(dialog.layout())) {
        auto* label = new QLabel(message, &dialog);
        label->setWordWrap(true);
        grid->addWidget(label, grid->rowCount(), 0, 1, grid->columnCount());
    }
    // Every row is a folder, and Qt's own Chinese texts have no word for its "Folder": no type column.
    dialog.setProxyModel(new ChineseFileColumns(&dialog));
    auto* details = dialog.findChild<QTreeView*>("treeView");
    if (details) {
        details->setColumnHidden(typeColumn, true);
        // Wide enough for the longest date, two-digit month and day and all.
        const QString longest = DisplayText::shortDateTime(QDateTime(QDate(2000, 12, 30), QTime(23, 59)));
        const int wanted = details->fontMetrics().horizontalAdvance(longest) + 24;
        if (details->header()->sectionSize(dateColumn) < wanted)
            details->header()->resizeSection(dateColumn, wanted);
    }
    const bool accepted = dialog.exec() == QDialog::Accepted;
    // The dialog keeps its columns in settings every Qt program shares: theirs keep the column.
    if (details)
        details->setColumnHidden(typeColumn, false);
    if (!accepted)
        return std::nullopt;
    const QStringList chosen = dialog.selectedFiles();
    if (chosen.isEmpty() || chosen.first().isEmpty())
        return std::nullopt;
    return chosen.first();
}

QString DialogFolderChooser::startFolder(const std::optional<QString>& lastLibrary,
                                        const QStringList& removableMediaFolders, const QString& home)
{
    const auto isFolder = [](const QString& path) { return !path.isEmpty() && QFileInfo(path).isDir(); };
    if (lastLibrary && !lastLibrary->isEmpty()) {
        const QString parent = QFileInfo(*lastLibrary).absolutePath();
        if (isFolder(parent))
            return parent;
    }
    for (const QString& folder : removableMediaFolders) {
        if (isFolder(folder))
            return folder;
    }
    return home;
}

DialogFolderChooser::LastLibraryLookup DialogFolderChooser::lastLibraryIn(LibraryStore& store)
{
    return [&store]() -> std::optional<QString> {
        const PhotoLibrary* last = nullptr;
        for (const PhotoLibrary& library : store.libraries()) {
            if (!last || library.dateAdded > last->dateAdded)
                last = &library;
        }
        return last ? store.resolvedURL(*last) : std::nullopt;
    };
}

QStringList DialogFolderChooser::removableMediaFolders()
{
    const QString user = qEnvironmentVariable("USER");
    if (user.isEmpty())
        return {};
    return {QStringLiteral("/media/") + user, QStringLiteral("/run/media/") + user};
}

} // namespace app
