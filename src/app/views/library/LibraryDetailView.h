#pragma once

#include "app/models/MediaItem.h"
#include "app/models/PhotoLibrary.h"
#include "app/models/SidebarDestination.h"
#include "app/views/grid/GridZoomLevel.h"
#include "app/views/library/LibraryContentModel.h"
#include "app/views/library/LibraryPage.h"

#include <QAbstractButton>
#include <QList>
#include <QPointer>

#include <memory>
#include <optional>

class QHBoxLayout;
class QLabel;
class QProgressBar;
class QStackedWidget;
class QToolButton;
class QTimer;

namespace app {

struct AppContext;
class PhotoGridView;
class ThumbnailProvider;
class ViewerToolbarHost;

// A centred symbol, a title and a description for pages with nothing to show.
class ContentUnavailableView : public QWidget {
    Q_OBJECT
public:
    explicit ContentUnavailableView(QWidget* parent = nullptr);
    void setContent(const QString& symbol, const QString& title, const QString& description);
    QString title() const;
    QString description() const;
    QString symbol() const { return symbol_; }

private:
    QLabel* icon_;
    QLabel* title_;
    QLabel* description_;
    QString symbol_;
};

// A small on/off switch: a capsule track with a round knob, accent-filled when on.
class SwitchToggle : public QAbstractButton {
    Q_OBJECT
public:
    explicit SwitchToggle(QWidget* parent = nullptr);
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
};

// Progress of a scan that has nothing to show yet.
class ScanProgressView : public QWidget {
    Q_OBJECT
public:
    explicit ScanProgressView(QWidget* parent = nullptr);
    void setProgress(int scanned, int total);
    QString text() const;
    QProgressBar* bar() const { return bar_; }

private:
    QProgressBar* bar_;
    QLabel* label_;
};

// The page of one library and media filter: scans the folder with progress, shows one of seven
// states and hosts the photo grid. Rescans when the store bumps the library's content revision.
class LibraryDetailView : public LibraryPage {
    Q_OBJECT
public:
    using State = LibraryPageRules::ContentState;

    LibraryDetailView(AppContext& context, const PhotoLibrary& library, LibraryMediaFilter filter,
                      std::shared_ptr<FolderScanner> scanner = nullptr, QWidget* parent = nullptr);
    ~LibraryDetailView() override;

    void setLibrary(const PhotoLibrary& library) override;
    const PhotoLibrary& library() const { return library_; }
    LibraryMediaFilter filter() const { return filter_; }

    // The open viewer's toolbar place in the header, shown only while a viewer is open; emptied
    // (its widgets deleted) when the viewer goes.
    ViewerToolbarHost* viewerToolbar() const { return viewerToolbar_; }
    // Lays the viewer over the grid and owns it; it is deleted when the viewer closes for any
    // reason (the user, a rescan, its item leaving the list).
    void presentViewer(QWidget* viewer);
    QWidget* presentedViewer() const { return viewer_; }

    // Items after the filter and the non-captured flags.
    MediaItems displayedItems() const;
    State state() const { return state_; }
    QString itemCountText() const;
    QString navigationTitle() const;

    // The item open in the viewer, tracked by its path so a changed list re-finds it.
    const std::optional<QString>& openItemPath() const { return openItemPath_; }
    std::optional<int> zoomedIndex() const;
    // Opening shows the viewer when one is available; until then the double-click only selects.
    void openItem(const MediaItem& item);
    void closeDetailPreview();
    // The viewer's current-index binding: connect its currentIndexChanged(int) here. Writes after
    // the viewer closed, or outside the list, change nothing.
    void setOpenIndex(int index);

    LibraryContentModel* model() const { return model_; }
    PhotoGridView* grid() const { return grid_; }
    QStackedWidget* stack() const { return stack_; }
    QWidget* currentStateWidget() const;
    SwitchToggle* timelineToggle() const { return timelineToggle_; }
    QLabel* itemCountLabel() const { return countLabel_; }
    QToolButton* backButton() const { return backButton_; }
    QLabel* organizingBanner() const { return banner_; }
    // How many times the page re-filtered and re-laid out its items (for tests and diagnostics).
    int refreshCount() const { return refreshCount_; }

Q_SIGNALS:
    // The page wants the viewer for this item of displayedItems().
    void viewerRequested(const MediaItem& item, int index);
    // The viewer must go: closed by the user, by a rescan, or because its item left the list.
    void viewerClosed();

protected:
    // A page shown again over a folder it could not reach looks again.
    void showEvent(QShowEvent* event) override;

private:
    void rescan();
    void hideViewer();
    void refresh();
    void refreshProgress();
    void maybeClassify();
    QString classificationKey() const;
    LibraryPageRules::Inputs inputs(qsizetype displayedCount) const;
    void updateHeader();

    AppContext& context_;
    PhotoLibrary library_;
    LibraryMediaFilter filter_;
    LibraryContentModel* model_ = nullptr;
    State state_ = State::emptyFolder;
    int lastRevision_ = -1;
    // The key of the items last handed to the index; cleared when a scan starts, so that every scan's
    // end classifies, also one that ends with the kept items it started from.
    QString classificationKey_;
    // Handed to the index and not yet settled by it.
    bool awaitingClassification_ = false;
    std::optional<QString> openItemPath_;
    MediaItems shownItems_;
    int refreshCount_ = 0;
    // Flags change every few photos while a library is classified; the page catches up at most a few
    // times per second.
    QTimer* flagsRefresh_ = nullptr;

    QWidget* header_ = nullptr;
    QLabel* titleLabel_ = nullptr;
    QToolButton* backButton_ = nullptr;
    ViewerToolbarHost* viewerToolbar_ = nullptr;
    QPointer<QWidget> viewer_;
    QWidget* timelineRow_ = nullptr;
    SwitchToggle* timelineToggle_ = nullptr;
    QLabel* countLabel_ = nullptr;
    QStackedWidget* stack_ = nullptr;
    ContentUnavailableView* unavailable_ = nullptr;
    ScanProgressView* scanProgress_ = nullptr;
    QWidget* organizingPage_ = nullptr;
    QLabel* organizingLabel_ = nullptr;
    QWidget* gridPage_ = nullptr;
    PhotoGridView* grid_ = nullptr;
    QLabel* banner_ = nullptr;
};

} // namespace app
