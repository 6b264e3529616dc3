#include "app/views/PageFactory.h"

#include "app/services/AppContext.h"
#include "app/views/LibraryDetailView.h"
#include "app/views/LibraryPage.h"
#include "app/views/PhotoDetailView.h"

#include <QLabel>
#include <QVBoxLayout>

namespace app {

namespace {
// Stands in until the real page of this destination exists: the library's name and nothing else.
class PlaceholderPage final : public LibraryPage {
public:
    PlaceholderPage(const PhotoLibrary& library, const QString& subtitle, QWidget* parent)
        : LibraryPage(parent), m_name(new QLabel(this)), m_subtitle(new QLabel(subtitle, this))
    {
        auto* layout = new QVBoxLayout(this);
        layout->addStretch();
        QFont font = m_name->font();
        font.setPointSizeF(font.pointSizeF() * 1.6);
        font.setWeight(QFont::DemiBold);
        m_name->setFont(font);
        m_name->setAlignment(Qt::AlignCenter);
        m_name->setObjectName("libraryName");
        m_subtitle->setAlignment(Qt::AlignCenter);
        m_subtitle->setForegroundRole(QPalette::PlaceholderText);
        layout->addWidget(m_name);
        layout->addWidget(m_subtitle);
        layout->addStretch();
        setLibrary(library);
    }

    void setLibrary(const PhotoLibrary& library) override { m_name->setText(library.name); }

private:
    QLabel* m_name;
    QLabel* m_subtitle;
};
} // namespace

LibraryPage* makeLibraryPage(AppContext& context, const PhotoLibrary& library, LibraryMediaFilter filter,
                             QWidget* parent)
{
    auto* page = new LibraryDetailView(context, library, filter, nullptr, parent);
    connectLibraryViewer(*page, context.thumbnails ? *context.thumbnails : ThumbnailProvider::shared());
    return page;
}

LibraryPage* makeMapPage(AppContext&, const PhotoLibrary& library, QWidget* parent)
{
    return new PlaceholderPage(library, "地图", parent);
}

} // namespace app
