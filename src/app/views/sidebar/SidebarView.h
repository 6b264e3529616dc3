#pragma once

#include "app/models/PhotoLibrary.h"
#include "app/models/SidebarDestination.h"
#include "app/views/receive/PeerDiscoverySheet.h"
#include "app/views/sidebar/RenameLibraryDialog.h"

#include <QPointer>
#include <QSet>
#include <QUuid>
#include <QWidget>

#include <optional>

class QMenu;
class QToolButton;
class QTreeView;

namespace app {

struct AppContext;
class LibraryStore;
class SidebarModel;

// The left column: the libraries with their kinds, and the bar that adds a library or receives a backup.
// The selection is the root view's: the sidebar mirrors it and reports the user's choices.
class SidebarView final : public QWidget {
    Q_OBJECT
public:
    explicit SidebarView(AppContext& context, QWidget* parent = nullptr);

    const std::optional<SidebarDestination>& selection() const { return m_selection; }
    // Mirrors the root view's selection; emits nothing.
    void setSelection(const std::optional<SidebarDestination>& destination);
    // The receive entries stay disabled until receiving is available.
    void setReceiveEnabled(bool enabled);

    // Built for the context menu of a library row; the caller owns it.
    QMenu* createContextMenu(const PhotoLibrary& library, QWidget* parent);
    void beginRename(const PhotoLibrary& library);
    void remove(const PhotoLibrary& library);

    SidebarModel* model() const { return m_model; }
    QTreeView* tree() const { return m_tree; }
    QToolButton* addButton() const { return m_addButton; }
    QToolButton* wirelessButton() const { return m_wirelessButton; }
    QToolButton* wiredButton() const { return m_wiredButton; }
    RenameLibraryDialog* renameDialog() const { return m_renameDialog; }
    PeerDiscoverySheet* receiveSheet() const { return m_receiveSheet; }
    const std::optional<QUuid>& renamingID() const { return m_renamingID; }
    const QSet<QUuid>& expandedLibraryIDs() const { return m_expandedLibraryIDs; }

Q_SIGNALS:
    // The user (or a rule of the sidebar) chose a new selection.
    void selectionChanged(const std::optional<SidebarDestination>& destination);

protected:
    void showEvent(QShowEvent* event) override;

private:
    void changeSelection(const std::optional<SidebarDestination>& destination);
    void applySelectionToTree();
    void expandAll();
    void applyExpansion();
    void showReceiveSheet(bool wired);
    void finishRename(const QString& text);

    AppContext& m_context;
    LibraryStore& m_store;
    SidebarModel* m_model;
    QTreeView* m_tree;
    QToolButton* m_addButton;
    QToolButton* m_wirelessButton;
    QToolButton* m_wiredButton;
    std::optional<SidebarDestination> m_selection;
    std::optional<QUuid> m_renamingID;
    QSet<QUuid> m_expandedLibraryIDs;
    QPointer<RenameLibraryDialog> m_renameDialog;
    QPointer<PeerDiscoverySheet> m_receiveSheet;
    bool m_applying = false;
};

} // namespace app
