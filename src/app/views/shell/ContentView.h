#pragma once

#include "app/models/PhotoLibrary.h"
#include "app/models/SidebarDestination.h"
#include "app/views/sidebar/NewLibrarySheet.h"

#include <QMessageBox>
#include <QPointer>
#include <QWidget>

#include <optional>

class QSplitter;
class QVBoxLayout;

namespace app {

struct AppContext;
class LibraryStore;
class NonCapturedIndex;
class SidebarView;

// What the detail column shows for a selection. Pages are kept while `identity` stays the same.
struct Route {
    enum class Page { welcome, library, map };

    Page page = Page::welcome;
    std::optional<PhotoLibrary> library;
    LibraryMediaFilter filter = LibraryMediaFilter::all;
    QString identity; // empty for the welcome page

    static Route forSelection(const std::optional<SidebarDestination>& selection, const LibraryStore& store);
};

// The root view: the sidebar on the left and, on the right, the page the selection stands for.
// It also names newly chosen folders and asks once before non-camera images are sorted.
class ContentView final : public QWidget {
    Q_OBJECT
public:
    explicit ContentView(AppContext& context, QWidget* parent = nullptr);

    const std::optional<SidebarDestination>& selection() const { return m_selection; }
    const std::optional<SidebarDestination>& previousSelection() const { return m_previousSelection; }
    // The write side of the selection: runs the non-captured confirmation rule, then routes.
    void setSelection(const std::optional<SidebarDestination>& selection);

    SidebarView* sidebar() const { return m_sidebar; }
    QSplitter* splitter() const { return m_splitter; }
    QWidget* currentPage() const { return m_page; }
    const QString& currentIdentity() const { return m_identity; }
    QMessageBox* confirmation() const { return m_confirmation; }
    NewLibrarySheet* newLibrarySheet() const { return m_sheet; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    void applySelection(const std::optional<SidebarDestination>& selection);
    void route();
    void showNonCapturedConfirmation();
    void presentPendingFolder();
    void confirmName(const QString& folderPath, const QString& name);

    AppContext& m_context;
    LibraryStore& m_store;
    NonCapturedIndex& m_nonCaptured;
    QSplitter* m_splitter;
    SidebarView* m_sidebar;
    QWidget* m_detail;
    QVBoxLayout* m_detailLayout;
    QWidget* m_page = nullptr;
    QString m_identity;
    std::optional<SidebarDestination> m_selection;
    std::optional<SidebarDestination> m_previousSelection;
    std::optional<SidebarDestination> m_pendingNonCapturedSelection;
    QPointer<QMessageBox> m_confirmation;
    QPointer<NewLibrarySheet> m_sheet;
    QUuid m_sheetFolderID;
    bool m_appeared = false;
};

} // namespace app
