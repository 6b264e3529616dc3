#include "app/views/shell/PageFactory.h"

#include "app/services/AppContext.h"
#include "app/views/library/LibraryDetailView.h"
#include "app/views/map/page/LibraryMapView.h"
#include "app/views/library/LibraryPage.h"
#include "app/views/viewer/PhotoDetailView.h"
#include "app/views/viewer/ViewerToolbarItems.h"

namespace app {

LibraryPage* makeLibraryPage(AppContext& context, const PhotoLibrary& library, LibraryMediaFilter filter,
                             QWidget* parent)
{
    auto* page = new LibraryDetailView(context, library, filter, nullptr, parent);
    connectLibraryViewer(*page, context.thumbnails ? *context.thumbnails : ThumbnailProvider::shared());
    connectViewerToolbarItems(*page, context);
    return page;
}

LibraryPage* makeMapPage(AppContext& context, const PhotoLibrary& library, QWidget* parent)
{
    return new LibraryMapView(context, library, nullptr, {}, parent);
}

} // namespace app
