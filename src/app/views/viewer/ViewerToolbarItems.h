#pragma once

#include "app/services/rotation/RotationPreview.h"
#include "app/services/rotation/RotationWriter.h"
#include "app/services/thumbnails/ThumbnailProvider.h"

#include <QDialog>
#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QToolButton>



namespace app {

class FileRevealer;
class LibraryDetailView;
class PhotoDetailView;
struct AppContext;

// The viewer's toolbar buttons before its info icon: reveal in the file manager, the item's place
// on a map (for items with a location) and clockwise rotation. A turn shows at once; the program's
// rotation writer writes the file in the background, and a failed write puts the picture back and
// says why.
class ViewerToolbarItems : public QObject {
    Q_OBJECT
public:
    struct Services {
        FileRevealer* revealer = nullptr;
        ThumbnailProvider* thumbnails = nullptr;
        // The program's writer; without one there is no rotate button.
        RotationWriter* rotations = nullptr;
        // Turns the preview; the rotator's unless a test passes its own.
        std::function<QImage(const QImage&)> turnPreview;
        // Makes the map sheet of an item; the real one unless a test passes its own.
        std::function<QDialog*(const MediaItem& item, QWidget* parent)> makeLocationMap;
    };

    // Lives as long as the viewer; the viewer must have its toolbar attached.
    ViewerToolbarItems(PhotoDetailView* viewer, Services services);
    // A map sheet or alert still open goes with the viewer.
    ~ViewerToolbarItems() override;

    QToolButton* revealButton() const { return reveal_; }
    QToolButton* mapButton() const { return map_; }
    QToolButton* rotateButton() const { return rotate_; }
    // The open map sheet, if any.
    QDialog* locationMap() const { return locationMap_; }
    const RotationPreview& preview() const { return preview_; }
    // The open "无法旋转" alert, if any.
    QMessageBox* alert() const { return alert_; }

    void rotateClockwise();
    void openLocationMap();

private:
    void refreshButtons();
    void writeFinished(const QString& path, const std::optional<QString>& error, bool settled);
    void reloadFullImage();
    void showAlert(const QString& message);

    PhotoDetailView* viewer_;
    Services services_;
    // The host deletes them when the page empties its toolbar, which may come before the viewer goes.
    QPointer<QToolButton> reveal_;
    QPointer<QToolButton> map_;
    QPointer<QToolButton> rotate_;
    QPointer<QDialog> locationMap_;
    RotationPreview preview_;
    ThumbnailTicket reload_;
    QPointer<QMessageBox> alert_;
};

// Gives a viewer whose toolbar is attached its buttons, with the program's services.
ViewerToolbarItems* attachViewerToolbarItems(PhotoDetailView* viewer, const AppContext& context);

// The "无法旋转" alert over `window`; it deletes itself when closed.
QMessageBox* showRotationAlert(QWidget* window, const QString& message);

// Shows the alert over `window` for a failed write when no viewer in it is open to show it: the
// turns of a viewer closed meanwhile.
void connectRotationAlerts(QWidget* window, RotationWriter* writer);

// Gives every viewer the page opens its toolbar buttons.
void connectViewerToolbarItems(LibraryDetailView& page, AppContext& context);

} // namespace app
