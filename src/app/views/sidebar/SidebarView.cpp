#include "app/views/sidebar/SidebarView.h"

#include "app/services/AppContext.h"
#include "app/services/library/LibraryStore.h"
#include "app/views/receive/PeerDiscoverySheet.h"
#include "app/views/sidebar/RenameLibraryDialog.h"
#include "app/views/sidebar/SidebarDelegate.h"
#include "app/views/sidebar/SidebarModel.h"
#include "app/views/common/SymbolIcon.h"
#include "app/views/common/ViewStyle.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QMenu>
#include <QShowEvent>
#include <QToolButton>
#include <QTreeView>
#include <QVBoxLayout>

namespace app {

namespace {
constexpr int bottomBarHeight = 72;

QToolButton* makeBarButton(const QString& symbol, const QString& help, QWidget* parent)
{
    auto* button = new QToolButton(parent);
    button->setIcon(SymbolIcon::icon(symbol));
    button->setIconSize(QSize(23, 23));
    button->setFixedSize(36, 36);
    button->setAutoRaise(true);
    button->setToolTip(help);
    button->setAccessibleName(help);
    return button;
}
} // namespace

SidebarView::SidebarView(AppContext& context, QWidget* parent)
    : QWidget(parent), m_context(context), m_store(*context.store)
{
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    // A label rather than a header row: a header row would get in the way of dragging.
    auto* header = new QLabel("图库", this);
    QFont headerFont = ViewStyle::scaledFont(font(), 0.85, QFont::DemiBold);
    header->setFont(headerFont);
    QPalette headerPalette = header->palette();
    headerPalette.setColor(QPalette::WindowText, ViewStyle::secondaryColor(palette()));
    header->setPalette(headerPalette);
    header->setContentsMargins(14, 10, 10, 4);
    layout->addWidget(header);

    m_model = new SidebarModel(m_store, this);
    m_tree = new QTreeView(this);
    m_tree->setModel(m_model);
    m_tree->setItemDelegate(new SidebarDelegate(m_tree));
    m_tree->setHeaderHidden(true);
    m_tree->setFrameShape(QFrame::NoFrame);
    m_tree->setSelectionMode(QAbstractItemView::SingleSelection);
    m_tree->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_tree->setIconSize(QSize(18, 18));
    m_tree->setDragEnabled(true);
    m_tree->setAcceptDrops(true);
    m_tree->setDropIndicatorShown(true);
    m_tree->setDragDropMode(QAbstractItemView::InternalMove);
    m_tree->setDefaultDropAction(Qt::MoveAction);
    m_tree->setContextMenuPolicy(Qt::CustomContextMenu);
    m_tree->setAutoFillBackground(false);
    layout->addWidget(m_tree, 1);

    auto* bar = new QWidget(this);
    bar->setObjectName("sidebarBottomBar");
    bar->setFixedHeight(bottomBarHeight);
    bar->setAutoFillBackground(true);
    bar->setBackgroundRole(QPalette::Window);
    auto* barLayout = new QVBoxLayout(bar);
    barLayout->setContentsMargins(0, 0, 0, 0);
    barLayout->setSpacing(0);
    auto* divider = new QFrame(bar);
    divider->setFrameShape(QFrame::HLine);
    divider->setFrameShadow(QFrame::Plain);
    divider->setForegroundRole(QPalette::Mid);
    barLayout->addWidget(divider);
    auto* buttons = new QHBoxLayout;
    buttons->setContentsMargins(0, 12, 0, 18);
    buttons->setSpacing(28);
    buttons->addStretch();
    m_addButton = makeBarButton("folder.badge.plus", "从文件夹新建图库", bar);
    m_wirelessButton = makeBarButton("antenna.radiowaves.left.and.right", "隔空备份：通过网络连接 iPhone", bar);
    m_wiredButton = makeBarButton("cable.connector", "一线备份：通过 USB 数据线连接 iPhone", bar);
    buttons->addWidget(m_addButton);
    buttons->addWidget(m_wirelessButton);
    buttons->addWidget(m_wiredButton);
    buttons->addStretch();
    barLayout->addLayout(buttons);
    layout->addWidget(bar);
    setReceiveEnabled(m_context.receiveTransports != nullptr);

    connect(m_addButton, &QToolButton::clicked, &m_store, &LibraryStore::beginAddLibrary);
    connect(m_wirelessButton, &QToolButton::clicked, this, [this] { showReceiveSheet(false); });
    connect(m_wiredButton, &QToolButton::clicked, this, [this] { showReceiveSheet(true); });

    connect(m_tree->selectionModel(), &QItemSelectionModel::currentChanged, this, [this](const QModelIndex& current) {
        if (m_applying || !current.isValid())
            return;
        changeSelection(m_model->destination(current));
        // A click selects its row only after reporting it as current, and the root view may have
        // refused the choice meanwhile (the non-captured confirmation): put the tree back afterwards.
        QMetaObject::invokeMethod(this, [this] { applySelectionToTree(); }, Qt::QueuedConnection);
    });
    // Ctrl+click deselects the row without changing the current one; the selection stays what it was.
    connect(m_tree->selectionModel(), &QItemSelectionModel::selectionChanged, this, [this] {
        if (!m_applying && m_selection && !m_tree->selectionModel()->hasSelection())
            QMetaObject::invokeMethod(this, [this] { applySelectionToTree(); }, Qt::QueuedConnection);
    });
    connect(m_tree, &QTreeView::expanded, this, [this](const QModelIndex& index) {
        if (!m_applying)
            if (const auto library = m_model->library(index))
                m_expandedLibraryIDs.insert(library->id);
    });
    connect(m_tree, &QTreeView::collapsed, this, [this](const QModelIndex& index) {
        if (!m_applying)
            if (const auto library = m_model->library(index))
                m_expandedLibraryIDs.remove(library->id);
    });
    // A reset means the list of ids changed: every library opens again, and the selection is put back.
    connect(m_model, &QAbstractItemModel::modelReset, this, [this] {
        expandAll();
        applySelectionToTree();
    });
    connect(m_tree, &QWidget::customContextMenuRequested, this, [this](const QPoint& position) {
        const QModelIndex index = m_tree->indexAt(position);
        if (!index.isValid() || !index.data(SidebarModel::IsLibraryRole).toBool())
            return;
        const auto library = m_model->library(index);
        if (!library)
            return;
        QMenu* menu = createContextMenu(*library, this);
        menu->setAttribute(Qt::WA_DeleteOnClose);
        menu->popup(m_tree->viewport()->mapToGlobal(position));
    });
}

void SidebarView::setReceiveEnabled(bool enabled)
{
    m_wirelessButton->setEnabled(enabled);
    m_wiredButton->setEnabled(enabled);
}

void SidebarView::showEvent(QShowEvent* event)
{
    // Every library starts expanded each time the sidebar comes on screen.
    if (!event->spontaneous()) {
        expandAll();
        applySelectionToTree();
    }
    QWidget::showEvent(event);
}

void SidebarView::setSelection(const std::optional<SidebarDestination>& destination)
{
    m_selection = destination;
    applySelectionToTree();
}

void SidebarView::changeSelection(const std::optional<SidebarDestination>& destination)
{
    const bool changed = m_selection != destination;
    m_selection = destination;
    applySelectionToTree();
    if (changed)
        Q_EMIT selectionChanged(destination);
}

void SidebarView::applySelectionToTree()
{
    m_applying = true;
    const QModelIndex index = m_selection ? m_model->indexFor(*m_selection) : QModelIndex();
    QItemSelectionModel* selection = m_tree->selectionModel();
    if (index.isValid()) {
        if (index.parent().isValid())
            m_tree->expand(index.parent());
        selection->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect);
    } else {
        selection->clearSelection();
        selection->setCurrentIndex(QModelIndex(), QItemSelectionModel::NoUpdate);
    }
    m_applying = false;
}

void SidebarView::expandAll()
{
    for (const PhotoLibrary& library : m_store.libraries())
        m_expandedLibraryIDs.insert(library.id);
    applyExpansion();
}

void SidebarView::applyExpansion()
{
    m_applying = true;
    for (int row = 0; row < m_model->rowCount(); ++row) {
        const QModelIndex index = m_model->index(row, 0);
        const auto library = m_model->library(index);
        m_tree->setExpanded(index, library && m_expandedLibraryIDs.contains(library->id));
    }
    m_applying = false;
}

QMenu* SidebarView::createContextMenu(const PhotoLibrary& library, QWidget* parent)
{
    auto* menu = new QMenu(parent);
    const QUuid id = library.id;
    // The store's record is read when an action runs: the row may have changed since the menu opened.
    menu->addAction("重命名…", this, [this, id] {
        if (const auto current = m_store.library(id))
            beginRename(*current);
    });
    menu->addAction("在文件管理器中显示", this, [this, id] {
        if (const auto current = m_store.library(id))
            m_store.revealInFinder(*current);
    });
    menu->addSeparator();
    menu->addAction("从边栏移除", this, [this, id] {
        if (const auto current = m_store.library(id))
            remove(*current);
    });
    return menu;
}

void SidebarView::beginRename(const PhotoLibrary& library)
{
    if (m_renameDialog)
        m_renameDialog->close();
    m_renamingID = library.id;
    auto* dialog = new RenameLibraryDialog(library.name, this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowModality(Qt::WindowModal);
    m_renameDialog = dialog;
    connect(dialog, &RenameLibraryDialog::confirmed, this, &SidebarView::finishRename);
    connect(dialog, &QDialog::finished, this, [this, dialog] {
        if (m_renameDialog == dialog)
            m_renamingID.reset();
    });
    dialog->open();
}

void SidebarView::finishRename(const QString& text)
{
    const QString trimmed = text.trimmed();
    if (m_renamingID && !trimmed.isEmpty())
        m_store.rename(*m_renamingID, trimmed);
    m_renamingID.reset();
}

void SidebarView::remove(const PhotoLibrary& library)
{
    if (m_selection && m_selection->libraryID == library.id)
        changeSelection(std::nullopt);
    m_store.remove(library.id);
    m_expandedLibraryIDs.remove(library.id);
    if (!m_selection && !m_store.libraries().isEmpty())
        changeSelection(SidebarDestination::library(m_store.libraries().first().id));
}

void SidebarView::showReceiveSheet(bool wired)
{
    if (m_receiveSheet)
        return;
    auto onFinished = [self = QPointer<SidebarView>(this)](QUuid id) {
        if (self)
            self->changeSelection(SidebarDestination::library(id));
    };
    PeerDiscoverySheet* sheet = wired ? new WiredPeerReceiveSheet(m_context, onFinished, window())
                                      : new PeerDiscoverySheet(m_context, PeerDiscoverySheet::Transport::wireless,
                                                               onFinished, window());
    sheet->setAttribute(Qt::WA_DeleteOnClose);
    m_receiveSheet = sheet;
    sheet->open();
}

} // namespace app
