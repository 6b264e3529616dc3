#include "app/views/sidebar/SidebarModel.h"

#include "app/services/library/LibraryStore.h"
#include "app/views/common/SymbolIcon.h"

#include <QDataStream>
#include <QIODevice>
#include <QMimeData>

#include <algorithm>

namespace app {

namespace {
// internalId: 0 for a library row, library row + 1 for its children.
constexpr quintptr libraryRowId = 0;

QList<QUuid> idsOf(const QList<PhotoLibrary>& libraries)
{
    QList<QUuid> ids;
    for (const PhotoLibrary& library : libraries)
        ids.append(library.id);
    return ids;
}
} // namespace

SidebarModel::SidebarModel(LibraryStore& store, QObject* parent)
    : QAbstractItemModel(parent), m_store(store), m_libraries(store.libraries())
{
    connect(&store, &LibraryStore::librariesChanged, this, &SidebarModel::libraryListChanged);
    connect(&store, &LibraryStore::unavailableIDsChanged, this, &SidebarModel::availabilityChanged);
}

QList<SidebarDestination::Kind> SidebarModel::childKinds()
{
    using K = SidebarDestination::Kind;
    return {K::videos, K::photos, K::livePhotos, K::nonCaptured, K::map};
}

QString SidebarModel::childTitle(SidebarDestination::Kind kind)
{
    using K = SidebarDestination::Kind;
    switch (kind) {
    case K::videos: return "视频";
    case K::photos: return "照片";
    case K::livePhotos: return "实况照片";
    case K::nonCaptured: return "非拍摄";
    case K::map: return "地图";
    case K::library: break;
    }
    return {};
}

QString SidebarModel::childSymbol(SidebarDestination::Kind kind)
{
    using K = SidebarDestination::Kind;
    switch (kind) {
    case K::videos: return "video";
    case K::photos: return "photo";
    case K::livePhotos: return "livephoto";
    case K::nonCaptured: return "square.and.arrow.down";
    case K::map: return "map";
    case K::library: break;
    }
    return {};
}

void SidebarModel::libraryListChanged()
{
    const QList<PhotoLibrary>& updated = m_store.libraries();
    if (idsOf(updated) == idsOf(m_libraries)) {
        // Same rows, new names or paths: keep the view's expansion and selection.
        m_libraries = updated;
        if (!m_libraries.isEmpty())
            Q_EMIT dataChanged(index(0, 0), index(rowCount() - 1, 0));
        return;
    }
    beginResetModel();
    m_libraries = updated;
    endResetModel();
}

void SidebarModel::availabilityChanged()
{
    if (!m_libraries.isEmpty())
        Q_EMIT dataChanged(index(0, 0), index(rowCount() - 1, 0));
}

std::optional<SidebarDestination> SidebarModel::destination(const QModelIndex& index) const
{
    if (!index.isValid() || index.model() != this)
        return std::nullopt;
    if (index.internalId() == libraryRowId)
        return SidebarDestination::library(m_libraries[index.row()].id);
    const PhotoLibrary& library = m_libraries[static_cast<int>(index.internalId() - 1)];
    return SidebarDestination{childKinds()[index.row()], library.id};
}

std::optional<PhotoLibrary> SidebarModel::library(const QModelIndex& index) const
{
    if (!index.isValid() || index.model() != this)
        return std::nullopt;
    const int row = index.internalId() == libraryRowId ? index.row() : static_cast<int>(index.internalId() - 1);
    return m_libraries[row];
}

QModelIndex SidebarModel::indexFor(const SidebarDestination& destination) const
{
    const auto it = std::find_if(m_libraries.cbegin(), m_libraries.cend(),
                                 [&](const PhotoLibrary& l) { return l.id == destination.libraryID; });
    if (it == m_libraries.cend())
        return {};
    const QModelIndex libraryIndex = index(static_cast<int>(it - m_libraries.cbegin()), 0);
    if (destination.kind == SidebarDestination::Kind::library)
        return libraryIndex;
    return index(static_cast<int>(childKinds().indexOf(destination.kind)), 0, libraryIndex);
}

QModelIndex SidebarModel::index(int row, int column, const QModelIndex& parent) const
{
    if (column != 0 || row < 0)
        return {};
    if (!parent.isValid())
        return row < m_libraries.size() ? createIndex(row, 0, libraryRowId) : QModelIndex();
    if (parent.internalId() != libraryRowId || parent.row() >= m_libraries.size())
        return {};
    return row < childKinds().size() ? createIndex(row, 0, quintptr(parent.row()) + 1) : QModelIndex();
}

QModelIndex SidebarModel::parent(const QModelIndex& child) const
{
    if (!child.isValid() || child.internalId() == libraryRowId)
        return {};
    return createIndex(static_cast<int>(child.internalId() - 1), 0, libraryRowId);
}

int SidebarModel::rowCount(const QModelIndex& parent) const
{
    if (!parent.isValid())
        return static_cast<int>(m_libraries.size());
    if (parent.column() == 0 && parent.internalId() == libraryRowId)
        return static_cast<int>(childKinds().size());
    return 0;
}

int SidebarModel::columnCount(const QModelIndex&) const
{
    return 1;
}

QVariant SidebarModel::data(const QModelIndex& index, int role) const
{
    if (!checkIndex(index, CheckIndexOption::IndexIsValid))
        return {};
    if (index.internalId() == libraryRowId) {
        const PhotoLibrary& library = m_libraries[index.row()];
        const bool available = m_store.isAvailable(library);
        switch (role) {
        case Qt::DisplayRole:
        case Qt::EditRole: return library.name;
        case Qt::ToolTipRole: return library.displayPath;
        case CaptionRole: return available ? library.displayPath : QStringLiteral("未连接");
        case AvailableRole: return available;
        case OpacityRole: return available ? 1.0 : 0.55;
        case SymbolRole: return library.symbolName();
        case IsLibraryRole: return true;
        case DestinationRole: return QVariant::fromValue(SidebarDestination::library(library.id));
        default: return {};
        }
    }
    const auto kind = childKinds()[index.row()];
    switch (role) {
    case Qt::DisplayRole: return childTitle(kind);
    case Qt::DecorationRole: return SymbolIcon::icon(childSymbol(kind));
    case SymbolRole: return childSymbol(kind);
    case IsLibraryRole: return false;
    case DestinationRole: return QVariant::fromValue(*destination(index));
    default: return {};
    }
}

Qt::ItemFlags SidebarModel::flags(const QModelIndex& index) const
{
    if (!index.isValid())
        return Qt::ItemIsDropEnabled;
    if (index.internalId() == libraryRowId)
        return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsDragEnabled;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren;
}

QStringList SidebarModel::mimeTypes() const
{
    return {QString::fromLatin1(mimeType)};
}

QMimeData* SidebarModel::mimeData(const QModelIndexList& indexes) const
{
    QList<int> rows;
    for (const QModelIndex& index : indexes) {
        if (index.isValid() && index.internalId() == libraryRowId && !rows.contains(index.row()))
            rows.append(index.row());
    }
    if (rows.isEmpty())
        return nullptr;
    std::sort(rows.begin(), rows.end());
    QByteArray encoded;
    QDataStream stream(&encoded, QIODevice::WriteOnly);
    stream << rows;
    auto* data = new QMimeData;
    data->setData(QString::fromLatin1(mimeType), encoded);
    return data;
}

bool SidebarModel::canDropMimeData(const QMimeData* data, Qt::DropAction action, int, int,
                                   const QModelIndex& parent) const
{
    // Only between library rows; never onto a row or among a library's kinds.
    return data && action == Qt::MoveAction && !parent.isValid() && data->hasFormat(QString::fromLatin1(mimeType));
}

bool SidebarModel::dropMimeData(const QMimeData* data, Qt::DropAction action, int row, int column,
                                const QModelIndex& parent)
{
    if (!canDropMimeData(data, action, row, column, parent))
        return false;
    QList<int> rows;
    QDataStream stream(data->data(QString::fromLatin1(mimeType)));
    stream >> rows;
    if (stream.status() != QDataStream::Ok || rows.isEmpty())
        return false;
    const int destination = row < 0 ? rowCount() : row;
    m_store.moveLibraries(rows, destination);
    return false;
}

bool SidebarModel::moveRows(const QModelIndex& sourceParent, int sourceRow, int count,
                            const QModelIndex& destinationParent, int destinationChild)
{
    if (sourceParent.isValid() || destinationParent.isValid() || count <= 0 || sourceRow < 0
        || sourceRow + count > rowCount() || destinationChild < 0 || destinationChild > rowCount())
        return false;
    QList<int> rows;
    for (int i = 0; i < count; ++i)
        rows.append(sourceRow + i);
    m_store.moveLibraries(rows, destinationChild);
    return true;
}

} // namespace app
