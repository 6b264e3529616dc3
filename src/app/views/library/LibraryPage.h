#pragma once

#include "app/models/PhotoLibrary.h"

#include <QWidget>

namespace app {

// A page of the detail column that shows one library. The root view keeps the page while the
// destination stays the same and hands it the updated record (a rename must not rescan).
class LibraryPage : public QWidget {
    Q_OBJECT
public:
    using QWidget::QWidget;
    ~LibraryPage() override = default;

    virtual void setLibrary(const PhotoLibrary& library) = 0;
};

} // namespace app
