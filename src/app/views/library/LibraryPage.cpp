#include "app/views/library/LibraryPage.h"

#include "app/services/library/LibraryStore.h"
#include "app/views/library/LibraryContentModel.h"

#include <QPointer>

namespace app {

void LibraryPage::followLibraryContent(LibraryStore* store, LibraryContentModel* model,
                                       std::function<QUuid()> libraryID, std::function<void(int)> reload)
{
    if (!store)
        return;
    connect(store, &LibraryStore::contentRevisionChanged, this, [libraryID, reload](const QUuid& id, int revision) {
        if (id == libraryID())
            reload(revision);
    });
    QPointer<LibraryStore> guarded(store);
    connect(model, &LibraryContentModel::folderUnavailable, this, [guarded, libraryID] {
        if (guarded)
            guarded->reportUnavailable(libraryID());
    });
}

} // namespace app
