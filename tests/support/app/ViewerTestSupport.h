#pragma once
// What tests of the viewer and its toolbar share: a page scanner with a fixed answer and a
// metadata source that answers at once with nothing.

#include "app/services/library/MediaMetadataExtractor.h"
#include "app/views/library/LibraryContentModel.h"

#include <QFuture>
#include <QPromise>

namespace app::testing {

class FixedScanner final : public FolderScanner {
public:
    explicit FixedScanner(MediaItems items) : items_(std::move(items)) {}
    MediaItems scan(const QString&, const MediaScanner::ProgressCallback&, const CancellationToken&) override
    {
        return items_;
    }

private:
    MediaItems items_;
};

inline QFuture<MediaMetadata> noMetadata(const MediaItem&)
{
    QPromise<MediaMetadata> promise;
    promise.start();
    promise.addResult(MediaMetadata{});
    promise.finish();
    return promise.future();
}

} // namespace app::testing
