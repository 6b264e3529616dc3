#pragma once

#include "app/models/PhotoLibrary.h"
#include "app/models/SidebarDestination.h"

class QWidget;

namespace app {

struct AppContext;
class LibraryPage;

// The one place where the root view's library pages are built.
LibraryPage* makeLibraryPage(AppContext& context, const PhotoLibrary& library, LibraryMediaFilter filter,
                             QWidget* parent = nullptr);
LibraryPage* makeMapPage(AppContext& context, const PhotoLibrary& library, QWidget* parent = nullptr);

} // namespace app
