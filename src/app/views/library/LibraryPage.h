#pragma once

#include "app/models/PhotoLibrary.h"

#include <QUuid>
#include <QWidget>

#include <functional>

namespace app {

class LibraryContentModel;
class LibraryStore;

// A page of the detail column that shows one library. The root view keeps the page while the
// destination stays the same and hands it the updated record (a rename must not rescan).
class LibraryPage : public QWidget {
    Q_OBJECT
public:
    using QWidget::QWidget;
    ~LibraryPage() override = default;

    virtual void setLibrary(const PhotoLibrary& library) = 0;

protected:
    // Follows the library's content revision, which availability changes bump too, so the page
    // follows its drive away and back; a folder the model finds gone is reported to the store.
    void followLibraryContent(LibraryStore* store, LibraryContentModel* model, std::function<QUuid()> libraryID,
                              std::function<void(int revision)> reload);
};

} // namespace app
