#include "app/views/viewer/ViewerToolbarItems.h"

#include "app/platform/desktop/FileRevealer.h"
#include "app/services/AppContext.h"
#include "app/services/rotation/PhotoOrientationRotator.h"
#include "app/views/library/LibraryDetailView.h"
#include "app/views/map/MediaLocationMapView.h"
#include "app/views/viewer/PhotoDetailView.h"
#include "app/views/common/SymbolIcon.h"
#include "app/views/common/ViewerToolbarHost.h"

#include <QMessageBox>
#include <QToolButton>

namespace app {

namespace {

QToolButton* toolButton(const QString& symbol, const QString& help)
{
    auto* button = new QToolButton;
    button->setIcon(SymbolIcon::icon(symbol));
    button->setToolTip(help);
    button->setAutoRaise(true);
    button->setFocusPolicy(Qt::NoFocus);
    return button;
}

} // namespace

ViewerToolbarItems::ViewerToolbarItems(PhotoDetailView* viewer, Services services)
    : QObject(viewer),
      viewer_(viewer),
      services_(std::move(services))
{
    if (!services_.turnPreview)
        services_.turnPreview = &PhotoOrientationRotator::rotateDisplayImageClockwise90;
    if (services_.rotations)
        connect(services_.rotations, &RotationWriter::finished, this, &ViewerToolbarItems::writeFinished);
    // The file shown changed under another name (a hard link): show it as it is now.
    if (services_.thumbnails && services_.rotations)
        connect(services_.thumbnails, &ThumbnailProvider::orientationDidChange, this, [this](const QString& path) {
            if (path == viewer_->currentItem().url && !preview_.hasBaseline() &&
                services_.rotations->queue().isSettled(path)) {
                viewer_->reloadMetadata();
                reloadFullImage();
            }
        });

    reveal_ = toolButton("folder", "在文件管理器中显示");
    map_ = toolButton("map", "在地图上显示位置");
    rotate_ = toolButton("rotate.right", "顺时针旋转");
    connect(reveal_, &QToolButton::clicked, this, [this] {
        if (services_.revealer)
            services_.revealer->reveal(viewer_->currentItem().url);
    });
    connect(map_, &QToolButton::clicked, this, &ViewerToolbarItems::openLocationMap);
    connect(rotate_, &QToolButton::clicked, this, &ViewerToolbarItems::rotateClockwise);
    if (ViewerToolbarHost* host = viewer_->toolbar()) {
        const int info = host->trailingIndexOf(viewer_->infoIcon());
        const int at = info < 0 ? host->trailingCount() : info;
        host->insertTrailingWidget(at, reveal_);
        host->insertTrailingWidget(at + 1, map_);
        host->insertTrailingWidget(at + 2, rotate_);
    }

    preview_.setCurrentPath(viewer_->currentItem().url);
    connect(viewer_, &PhotoDetailView::itemLoading, this, [this](const MediaItem& item) {
        preview_.setCurrentPath(item.url);
        reload_.cancel();
        if (alert_)
            alert_->close();
        refreshButtons();
    });
    connect(viewer_, &PhotoDetailView::fullImageChanged, this, &ViewerToolbarItems::refreshButtons);
    connect(viewer_, &PhotoDetailView::dismissingChanged, this, &ViewerToolbarItems::refreshButtons);
    refreshButtons();
}

ViewerToolbarItems::~ViewerToolbarItems()
{
    for (QDialog* open : {static_cast<QDialog*>(locationMap_.data()), static_cast<QDialog*>(alert_.data())}) {
        if (open) {
            open->disconnect(this);
            open->close();
        }
    }
}

void ViewerToolbarItems::refreshButtons()
{
    if (!reveal_ || !map_ || !rotate_)
        return;
    const bool dismissing = viewer_->state().isDismissing();
    const bool mapShown = !locationMap_.isNull();
    const MediaItem& item = viewer_->currentItem();
    reveal_->setEnabled(!dismissing && !mapShown);
    map_->setVisible(item.hasLocation());
    map_->setEnabled(!dismissing && !mapShown);
    rotate_->setVisible(item.kind != MediaKind::video && services_.rotations);
    rotate_->setEnabled(!dismissing && !mapShown && !viewer_->fullImage().isNull());
}

void ViewerToolbarItems::rotateClockwise()
{
    const MediaItem item = viewer_->currentItem();
    if (item.kind == MediaKind::video || viewer_->fullImage().isNull() || !services_.rotations)
        return;
    if (const auto refusal = RotationQueue::refusal(item)) {
        showAlert(*refusal);
        return;
    }
    const QImage image = viewer_->fullImage();
    const QImage placeholder = viewer_->placeholder();
    const QImage turned = services_.turnPreview(image);
    const QImage turnedPlaceholder = placeholder.isNull() ? placeholder : services_.turnPreview(placeholder);
    // An image that cannot be turned stays as it is; the write still happens.
    viewer_->setPreviewImages(turned.isNull() ? image : turned,
                              turnedPlaceholder.isNull() ? placeholder : turnedPlaceholder);
    // The old pan would point at another part of the turned picture.
    viewer_->resetPan();
    reload_.cancel();
    preview_.turnRequested(image, placeholder);
    services_.rotations->turn(item.url);
}

void ViewerToolbarItems::openLocationMap()
{
    const MediaItem item = viewer_->currentItem();
    if (locationMap_ || !item.hasLocation())
        return;
    QDialog* sheet = services_.makeLocationMap ? services_.makeLocationMap(item, viewer_->window())
                                               : new MediaLocationMapView(item, viewer_->window());
    sheet->setAttribute(Qt::WA_DeleteOnClose);
    sheet->setWindowModality(Qt::WindowModal);
    locationMap_ = sheet;
    viewer_->setCoveredBySheet(true);
    connect(sheet, &QDialog::finished, this, [this] {
        locationMap_ = nullptr;
        viewer_->setCoveredBySheet(false);
        refreshButtons();
    });
    refreshButtons();
    sheet->open();
}

void ViewerToolbarItems::writeFinished(const QString& path, const std::optional<QString>& error, bool settled)
{
    const RotationPreview::Outcome outcome = preview_.writeFinished(path, error, settled);
    if (outcome.refreshMetadata)
        viewer_->reloadMetadata();
    if (outcome.reloadImage)
        reloadFullImage();
    if (outcome.restoredImage)
        viewer_->setPreviewImages(*outcome.restoredImage, outcome.restoredPlaceholder.value_or(QImage()));
    if (outcome.errorMessage)
        showAlert(*outcome.errorMessage);
}

// The turned preview only approximates the file's own picture at this size: show the real one.
void ViewerToolbarItems::reloadFullImage()
{
    if (!services_.thumbnails)
        return;
    const MediaItem item = viewer_->currentItem();
    reload_ = services_.thumbnails->thumbnail(
        item, PhotoDetailView::fullImagePointSize, viewer_->devicePixelRatioF(), this,
        [this, path = item.url](const QImage& image) {
            if (image.isNull() || viewer_->currentItem().url != path || !services_.rotations->queue().isSettled(path))
                return;
            viewer_->setPreviewImages(image, viewer_->placeholder());
        });
}

void ViewerToolbarItems::showAlert(const QString& message)
{
    if (alert_)
        alert_->close();
    alert_ = showRotationAlert(viewer_->window(), message);
}

QMessageBox* showRotationAlert(QWidget* window, const QString& message)
{
    auto* box = new QMessageBox(QMessageBox::Warning, "无法旋转", message, QMessageBox::NoButton, window);
    box->addButton("好", QMessageBox::RejectRole);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::WindowModal);
    box->open();
    return box;
}

void connectRotationAlerts(QWidget* window, RotationWriter* writer)
{
    // An open viewer says it itself; turns of a closed viewer that fail are said here.
    QObject::connect(writer, &RotationWriter::finished, window, [window](const QString&, const std::optional<QString>& error) {
        if (error && !window->findChild<ViewerToolbarItems*>())
            showRotationAlert(window, *error);
    });
}

ViewerToolbarItems* attachViewerToolbarItems(PhotoDetailView* viewer, const AppContext& context)
{
    if (!viewer || !viewer->toolbar() || viewer->findChild<ViewerToolbarItems*>())
        return nullptr;
    ViewerToolbarItems::Services services;
    services.revealer = context.revealer;
    services.thumbnails = context.thumbnails ? context.thumbnails : &ThumbnailProvider::shared();
    services.rotations = context.rotations;
    return new ViewerToolbarItems(viewer, services);
}

void connectViewerToolbarItems(LibraryDetailView& page, AppContext& context)
{
    // Runs after the viewer's own connection has created and presented the viewer.
    QObject::connect(&page, &LibraryDetailView::viewerRequested, &page, [page = &page, context = &context] {
        attachViewerToolbarItems(qobject_cast<PhotoDetailView*>(page->presentedViewer()), *context);
    });
}

} // namespace app
