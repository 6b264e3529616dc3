#include "app/views/shell/ContentView.h"

#include "app/services/AppContext.h"
#include "app/services/library/LibraryStore.h"
#include "app/services/noncaptured/NonCapturedIndex.h"
#include "app/views/library/LibraryPage.h"
#include "app/views/sidebar/NewLibrarySheet.h"
#include "app/views/shell/PageFactory.h"
#include "app/views/sidebar/SidebarView.h"
#include "app/views/shell/WelcomeView.h"

#include <QMessageBox>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSplitter>
#include <QVBoxLayout>

namespace app {

namespace {
constexpr int sidebarMinimumWidth = 200;
constexpr int sidebarIdealWidth = 240;
constexpr int sidebarMaximumWidth = 340;

LibraryMediaFilter filterFor(SidebarDestination::Kind kind)
{
    using K = SidebarDestination::Kind;
    switch (kind) {
    case K::photos: return LibraryMediaFilter::photos;
    case K::videos: return LibraryMediaFilter::videos;
    case K::livePhotos: return LibraryMediaFilter::livePhotos;
    case K::nonCaptured: return LibraryMediaFilter::nonCaptured;
    case K::library:
    case K::map: break;
    }
    return LibraryMediaFilter::all;
}
} // namespace

Route Route::forSelection(const std::optional<SidebarDestination>& selection, const LibraryStore& store)
{
    Route route;
    if (!selection)
        return route;
    // A destination whose library is gone shows the welcome page.
    const auto library = store.library(selection->libraryID);
    if (!library)
        return route;
    route.library = library;
    if (selection->kind == SidebarDestination::Kind::map) {
        route.page = Page::map;
        route.identity = "map-" + uuidString(library->id);
    } else {
        route.page = Page::library;
        route.filter = filterFor(selection->kind);
        route.identity = uuidString(library->id) + "-" + MediaFilter::rawValue(route.filter);
    }
    return route;
}

ContentView::ContentView(AppContext& context, QWidget* parent)
    : QWidget(parent), m_context(context), m_store(*context.store), m_nonCaptured(*context.nonCaptured)
{
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    m_splitter = new QSplitter(Qt::Horizontal, this);
    m_splitter->setChildrenCollapsible(false);
    layout->addWidget(m_splitter);

    m_sidebar = new SidebarView(context, m_splitter);
    m_sidebar->setMinimumWidth(sidebarMinimumWidth);
    m_sidebar->setMaximumWidth(sidebarMaximumWidth);
    m_detail = new QWidget(m_splitter);
    m_detailLayout = new QVBoxLayout(m_detail);
    m_detailLayout->setContentsMargins(0, 0, 0, 0);
    m_splitter->addWidget(m_sidebar);
    m_splitter->addWidget(m_detail);
    m_splitter->setStretchFactor(0, 0);
    m_splitter->setStretchFactor(1, 1);
    m_splitter->setSizes({sidebarIdealWidth, 1000});

    connect(m_sidebar, &SidebarView::selectionChanged, this, &ContentView::setSelection);
    connect(&m_store, &LibraryStore::librariesChanged, this, &ContentView::route);
    connect(&m_store, &LibraryStore::pendingFolderChanged, this, &ContentView::presentPendingFolder);
    route();
}

void ContentView::showEvent(QShowEvent* event)
{
    if (!m_appeared) {
        m_appeared = true;
        if (!m_selection && !m_store.libraries().isEmpty())
            applySelection(SidebarDestination::library(m_store.libraries().first().id));
        m_previousSelection = m_selection;
    }
    QWidget::showEvent(event);
}

void ContentView::setSelection(const std::optional<SidebarDestination>& selection)
{
    if (selection == m_selection) {
        m_sidebar->setSelection(m_selection);
        return;
    }
    if (selection && selection->kind == SidebarDestination::Kind::nonCaptured && !m_nonCaptured.hasConfirmedOrganize()) {
        m_pendingNonCapturedSelection = selection;
        // Going back is itself a change of the selection, so it also becomes the previous one.
        const auto restored = m_selection ? m_selection : m_previousSelection;
        applySelection(restored);
        m_previousSelection = restored;
        showNonCapturedConfirmation();
        return;
    }
    applySelection(selection);
    m_previousSelection = selection;
}

void ContentView::applySelection(const std::optional<SidebarDestination>& selection)
{
    m_selection = selection;
    {
        const QSignalBlocker blocker(m_sidebar);
        m_sidebar->setSelection(selection);
    }
    route();
}

void ContentView::route()
{
    const Route target = Route::forSelection(m_selection, m_store);
    if (m_page && target.identity == m_identity) {
        if (auto* page = qobject_cast<LibraryPage*>(m_page); page && target.library)
            page->setLibrary(*target.library);
        return;
    }
    QWidget* page = nullptr;
    switch (target.page) {
    case Route::Page::welcome: page = new WelcomeView(m_store, m_detail); break;
    case Route::Page::library: page = makeLibraryPage(m_context, *target.library, target.filter, m_detail); break;
    case Route::Page::map: page = makeMapPage(m_context, *target.library, m_detail); break;
    }
    if (m_page) {
        m_detailLayout->removeWidget(m_page);
        m_page->hide();
        m_page->deleteLater();
    }
    m_page = page;
    m_identity = target.identity;
    m_detailLayout->addWidget(page);
    page->show();
}

void ContentView::showNonCapturedConfirmation()
{
    if (m_confirmation)
        return;
    auto* box = new QMessageBox(window());
    box->setWindowTitle("整理非拍摄照片");
    box->setText("整理非拍摄照片");
    box->setInformativeText("整理非拍摄照片，包括：屏幕截图、网图等非手机实际拍摄的照片，有助于更好的浏览照片，是否继续？");
    QPushButton* proceed = box->addButton("继续", QMessageBox::AcceptRole);
    box->addButton("取消", QMessageBox::RejectRole);
    box->setDefaultButton(proceed);
    box->setStyleSheet("QLabel { min-width: 320px; }");
    box->setWindowModality(Qt::WindowModal);
    box->setAttribute(Qt::WA_DeleteOnClose);
    m_confirmation = box;
    connect(box, &QMessageBox::buttonClicked, this, [this, proceed](QAbstractButton* button) {
        if (button == proceed) {
            m_nonCaptured.setHasConfirmedOrganize(true);
            if (const auto pending = m_pendingNonCapturedSelection) {
                applySelection(pending);
                m_previousSelection = pending;
            }
        }
        m_pendingNonCapturedSelection.reset();
    });
    // Escape or closing the window counts as "取消".
    connect(box, &QDialog::finished, this, [this] { m_pendingNonCapturedSelection.reset(); });
    box->open();
}

void ContentView::presentPendingFolder()
{
    const auto pending = m_store.pendingFolder();
    if (!pending) {
        if (m_sheet)
            m_sheet->close();
        return;
    }
    if (m_sheet && m_sheetFolderID == pending->id)
        return;
    if (m_sheet) {
        m_sheet->disconnect(this);
        m_sheet->close();
    }
    m_sheetFolderID = pending->id;
    const QString path = pending->url;
    auto* sheet = new NewLibrarySheet(path, [this, path](const QString& name) { confirmName(path, name); }, window());
    sheet->setAttribute(Qt::WA_DeleteOnClose);
    sheet->setWindowModality(Qt::WindowModal);
    m_sheet = sheet;
    const QUuid id = pending->id;
    connect(sheet, &QDialog::finished, this, [this, id] {
        if (m_store.pendingFolder() && m_store.pendingFolder()->id == id)
            m_store.setPendingFolder(std::nullopt);
    });
    sheet->open();
}

void ContentView::confirmName(const QString& folderPath, const QString& name)
{
    if (const auto library = m_store.addLibrary(folderPath, name)) {
        setSelection(SidebarDestination::library(library->id));
        return;
    }
    // The store fails silently; tell the user why nothing happened.
    auto* box = new QMessageBox(QMessageBox::Warning, "无法添加图库", "无法添加图库",
                                QMessageBox::Ok, window());
    box->setInformativeText("无法读取这个文件夹，请确认它仍然存在并且可以访问。");
    box->setWindowModality(Qt::WindowModal);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
}

} // namespace app
