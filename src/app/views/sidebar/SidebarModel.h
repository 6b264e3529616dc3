#pragma once

#include "app/models/PhotoLibrary.h"
#include "app/models/SidebarDestination.h"

#include <QAbstractItemModel>
#include <QList>

#include <optional>

namespace app {

class LibraryStore;

// The sidebar's tree: one top-level row per library in the store's order, each with the fixed
// child rows of its kinds of media and its map.
class SidebarModel final : public QAbstractItemModel {
    Q_OBJECT
public:
    enum Role {
        DestinationRole = Qt::UserRole + 1, // SidebarDestination
        CaptionRole,                        // library rows: the path, or "未连接"
        AvailableRole,                      // library rows: bool
        OpacityRole,                        // library rows: 1.0 or 0.55
        SymbolRole,                         // symbol name
        IsLibraryRole,
    };

    static constexpr const char* mimeType = "application/x-tessivarnholm-library-rows";

    explicit SidebarModel(LibraryStore& store, QObject* parent = nullptr);

    // The child destinations, in display order (videos come before photos).
    static QList<SidebarDestination::Kind> childKinds();
    static QString childTitle(SidebarDestination::Kind kind);
    static QString childSymbol(SidebarDestination::Kind kind);

    std::optional<SidebarDestination> destination(const QModelIndex& index) const;
    QModelIndex indexFor(const SidebarDestination& destination) const;
    std::optional<PhotoLibrary> library(const QModelIndex& index) const;

    QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
    QModelIndex parent(const QModelIndex& child) const override;
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

    Qt::DropActions supportedDragActions() const override { return Qt::MoveAction; }
    Qt::DropActions supportedDropActions() const override { return Qt::MoveAction; }
    QStringList mimeTypes() const override;
    QMimeData* mimeData(const QModelIndexList& indexes) const override;
    bool canDropMimeData(const QMimeData* data, Qt::DropAction action, int row, int column,
                         const QModelIndex& parent) const override;
    // Performs the move through the store and returns false, so the view never removes rows itself.
    bool dropMimeData(const QMimeData* data, Qt::DropAction action, int row, int column,
                      const QModelIndex& parent) override;
    // Top-level rows only; `destinationChild` is "insert before this row" in pre-move rows.
    bool moveRows(const QModelIndex& sourceParent, int sourceRow, int count, const QModelIndex& destinationParent,
                  int destinationChild) override;

private:
    void libraryListChanged();
    void availabilityChanged();

    LibraryStore& m_store;
    QList<PhotoLibrary> m_libraries;
};

} // namespace app
