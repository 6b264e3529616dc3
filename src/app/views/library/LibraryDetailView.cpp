#include "app/views/library/LibraryDetailView.h"

#include "app/services/AppContext.h"
#include "app/services/library/LibraryStore.h"
#include "app/services/noncaptured/NonCapturedIndex.h"
#include "app/services/thumbnails/ThumbnailProvider.h"
#include "app/views/grid/PhotoGridView.h"
#include "app/views/common/SymbolIcon.h"
#include "app/views/common/ViewStyle.h"
#include "app/views/common/ViewerToolbarHost.h"

#include <QApplication>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QMetaMethod>
#include <QPainter>
#include <QPointer>
#include <QProgressBar>
#include <QStackedWidget>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

namespace app {

namespace {

constexpr int flagsRefreshIntervalMs = 250;

QLabel* secondaryLabel(const QString& text, QWidget* parent)
{
    auto* label = new QLabel(text, parent);
    QPalette pal = label->palette();
    pal.setColor(QPalette::WindowText, ViewStyle::secondaryColor(pal));
    label->setPalette(pal);
    return label;
}

QFont pixelFont(QFont font, int pixels, QFont::Weight weight = QFont::Normal)
{
    font.setPixelSize(pixels);
    font.setWeight(weight);
    return font;
}

} // namespace

ContentUnavailableView::ContentUnavailableView(QWidget* parent)
    : QWidget(parent), icon_(new QLabel(this)), title_(new QLabel(this)), description_(secondaryLabel({}, this))
{
    auto* layout = new QVBoxLayout(this);
    layout->addStretch();
    layout->setSpacing(8);
    icon_->setAlignment(Qt::AlignCenter);
    title_->setAlignment(Qt::AlignCenter);
    title_->setFont(pixelFont(font(), 20, QFont::DemiBold));
    description_->setAlignment(Qt::AlignCenter);
    description_->setWordWrap(true);
    description_->setTextFormat(Qt::PlainText);
    title_->setTextFormat(Qt::PlainText);
    layout->addWidget(icon_);
    layout->addWidget(title_);
    layout->addWidget(description_);
    layout->addStretch();
}

void ContentUnavailableView::setContent(const QString& symbol, const QString& title, const QString& description)
{
    symbol_ = symbol;
    icon_->setPixmap(SymbolIcon::pixmap(symbol, QSize(44, 44), ViewStyle::secondaryColor(palette()),
                                        devicePixelRatioF()));
    title_->setText(title);
    description_->setText(description);
}

QString ContentUnavailableView::title() const
{
    return title_->text();
}

QString ContentUnavailableView::description() const
{
    return description_->text();
}

SwitchToggle::SwitchToggle(QWidget* parent) : QAbstractButton(parent)
{
    setCheckable(true);
    setCursor(Qt::PointingHandCursor);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

QSize SwitchToggle::sizeHint() const
{
    return {26, 15};
}

void SwitchToggle::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF track = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    const double radius = track.height() / 2;
    QColor off = palette().color(QPalette::WindowText);
    off.setAlphaF(0.18f);
    painter.setPen(Qt::NoPen);
    painter.setBrush(isChecked() ? ViewStyle::accentColor(palette()) : off);
    if (!isEnabled())
        painter.setOpacity(0.5);
    painter.drawRoundedRect(track, radius, radius);
    const double knob = track.height() - 2;
    const double x = isChecked() ? track.right() - 1 - knob : track.left() + 1;
    painter.setBrush(QColor(0, 0, 0, 40));
    painter.drawEllipse(QRectF(x, track.top() + 1.5, knob, knob));
    painter.setBrush(Qt::white);
    painter.drawEllipse(QRectF(x, track.top() + 1, knob, knob));
}

ScanProgressView::ScanProgressView(QWidget* parent)
    : QWidget(parent), bar_(new QProgressBar(this)), label_(secondaryLabel({}, this))
{
    auto* layout = new QVBoxLayout(this);
    layout->setSpacing(12);
    layout->addStretch();
    bar_->setFixedWidth(240);
    bar_->setTextVisible(false);
    layout->addWidget(bar_, 0, Qt::AlignHCenter);
    label_->setAlignment(Qt::AlignCenter);
    layout->addWidget(label_, 0, Qt::AlignHCenter);
    layout->addStretch();
    setProgress(0, 0);
}

void ScanProgressView::setProgress(int scanned, int total)
{
    if (total < 1) {
        bar_->setRange(0, 0);
        label_->setText("正在扫描文件夹…");
        return;
    }
    bar_->setRange(0, total);
    bar_->setValue(std::clamp(scanned, 0, total));
    label_->setText(QString("正在读取 %1 / %2").arg(scanned).arg(total));
}

QString ScanProgressView::text() const
{
    return label_->text();
}

LibraryDetailView::LibraryDetailView(AppContext& context, const PhotoLibrary& library, LibraryMediaFilter filter,
                                     std::shared_ptr<FolderScanner> scanner, QWidget* parent)
    : LibraryPage(parent), context_(context), library_(library), filter_(filter)
{
    if (!scanner)
        scanner = std::make_shared<MediaFolderScanner>();
    model_ = new LibraryContentModel(std::move(scanner), LibraryContentModel::storeResolver(context_.store), this);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    // Header bar: back button and viewer actions while the viewer is open, otherwise the title,
    // the timeline switch and the item count.
    header_ = new QWidget(this);
    auto* bar = new QHBoxLayout(header_);
    bar->setContentsMargins(10, 6, 10, 6);
    bar->setSpacing(8);
    backButton_ = new QToolButton(header_);
    backButton_->setText("图库");
    backButton_->setIcon(SymbolIcon::icon("chevron.left"));
    backButton_->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    backButton_->setToolTip("返回图库");
    backButton_->setAutoRaise(true);
    backButton_->hide();
    connect(backButton_, &QToolButton::clicked, this, &LibraryDetailView::closeDetailPreview);
    bar->addWidget(backButton_);
    titleLabel_ = new QLabel(header_);
    titleLabel_->setObjectName("libraryName");
    titleLabel_->setFont(pixelFont(font(), 12, QFont::DemiBold));
    titleLabel_->setTextFormat(Qt::PlainText);
    bar->addWidget(titleLabel_);
    viewerToolbar_ = new ViewerToolbarHost(header_);
    viewerToolbar_->hide();
    bar->addWidget(viewerToolbar_, 1);
    bar->addStretch();
    timelineRow_ = new QWidget(header_);
    auto* row = new QHBoxLayout(timelineRow_);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(8);
    auto* timelineLabel = secondaryLabel("时间轴", timelineRow_);
    timelineLabel->setFont(pixelFont(font(), 12));
    row->addWidget(timelineLabel);
    timelineToggle_ = new SwitchToggle(timelineRow_);
    timelineToggle_->setFocusPolicy(Qt::TabFocus);
    row->addWidget(timelineToggle_, 0, Qt::AlignVCenter);
    timelineRow_->setToolTip("按年月日分隔照片，并显示右侧时间轴");
    bar->addWidget(timelineRow_);
    countLabel_ = secondaryLabel({}, header_);
    countLabel_->setFont(pixelFont(font(), 12));
    countLabel_->setContentsMargins(0, 0, 4, 0);
    bar->addWidget(countLabel_);
    layout->addWidget(header_);

    stack_ = new QStackedWidget(this);
    unavailable_ = new ContentUnavailableView(stack_);
    scanProgress_ = new ScanProgressView(stack_);
    organizingPage_ = new QWidget(stack_);
    {
        auto* v = new QVBoxLayout(organizingPage_);
        v->setSpacing(12);
        v->addStretch();
        auto* spinner = new QProgressBar(organizingPage_);
        spinner->setRange(0, 0);
        spinner->setFixedWidth(240);
        spinner->setTextVisible(false);
        v->addWidget(spinner, 0, Qt::AlignHCenter);
        organizingLabel_ = secondaryLabel({}, organizingPage_);
        v->addWidget(organizingLabel_, 0, Qt::AlignHCenter);
        v->addStretch();
    }
    gridPage_ = new QWidget(stack_);
    {
        auto* g = new QGridLayout(gridPage_);
        g->setContentsMargins(0, 0, 0, 0);
        ThumbnailProvider* thumbnails = context_.thumbnails ? context_.thumbnails : &ThumbnailProvider::shared();
        grid_ = new PhotoGridView(thumbnails, gridPage_);
        grid_->setSpacing(2);
        g->addWidget(grid_, 0, 0);
        // The banner keeps the usual 16-point distance from the top-trailing corner and never
        // takes a click.
        auto* bannerLayer = new QWidget(gridPage_);
        bannerLayer->setAttribute(Qt::WA_TransparentForMouseEvents);
        auto* corner = new QVBoxLayout(bannerLayer);
        corner->setContentsMargins(16, 16, 16, 16);
        banner_ = new QLabel(bannerLayer);
        banner_->setAttribute(Qt::WA_TransparentForMouseEvents);
        banner_->setFont(pixelFont(font(), 11));
        // A thin veil of the window's own colour: the text keeps its contrast over any thumbnail.
        const QColor veil = palette().color(QPalette::Window);
        banner_->setStyleSheet(QString("QLabel { background: rgba(%1,%2,%3,235); color: palette(window-text); "
                                       "border-radius: 11px; padding: 6px 10px; }")
                                   .arg(veil.red())
                                   .arg(veil.green())
                                   .arg(veil.blue()));
        banner_->hide();
        corner->addWidget(banner_, 0, Qt::AlignTop | Qt::AlignRight);
        corner->addStretch();
        g->addWidget(bannerLayer, 0, 0);
    }
    stack_->addWidget(unavailable_);
    stack_->addWidget(scanProgress_);
    stack_->addWidget(organizingPage_);
    stack_->addWidget(gridPage_);
    layout->addWidget(stack_, 1);

    connect(timelineToggle_, &QAbstractButton::toggled, grid_, &PhotoGridView::setTimelineEnabled);
    connect(grid_, &PhotoGridView::timelineEnabledChanged, timelineToggle_, &QAbstractButton::setChecked);
    connect(grid_, &PhotoGridView::openItem, this, &LibraryDetailView::openItem);

    connect(model_, &LibraryContentModel::itemsChanged, this, &LibraryDetailView::refresh);
    connect(model_, &LibraryContentModel::isScanningChanged, this, [this](bool scanning) {
        if (scanning)
            classificationKey_.clear();
        refresh();
    });
    // Progress arrives for every run of files: touch only the texts, not the item list.
    connect(model_, &LibraryContentModel::progressChanged, this, &LibraryDetailView::refreshProgress);
    connect(model_, &LibraryContentModel::errorMessageChanged, this, &LibraryDetailView::refresh);

    followLibraryContent(context_.store, model_, [this] { return library_.id; }, [this](int) { rescan(); });
    flagsRefresh_ = new QTimer(this);
    flagsRefresh_->setSingleShot(true);
    flagsRefresh_->setInterval(flagsRefreshIntervalMs);
    connect(flagsRefresh_, &QTimer::timeout, this, &LibraryDetailView::refresh);
    if (NonCapturedIndex* index = context_.nonCaptured) {
        connect(index, &NonCapturedIndex::flagsChanged, this, [this](const QUuid& id) {
            if (id == library_.id && !flagsRefresh_->isActive())
                flagsRefresh_->start();
        });
        connect(index, &NonCapturedIndex::classifyingChanged, this, [this](const QUuid& id) {
            if (id == library_.id)
                refresh();
        });
        connect(index, &NonCapturedIndex::progressChanged, this, [this](const QUuid& id) {
            if (id == library_.id)
                refreshProgress();
        });
        connect(index, &NonCapturedIndex::confirmedChanged, this, &LibraryDetailView::refresh);
        connect(index, &NonCapturedIndex::classificationSettled, this, [this](const QUuid& id) {
            if (id != library_.id || !awaitingClassification_)
                return;
            awaitingClassification_ = false;
            refresh();
        });
    }

    refresh();
    rescan();
}

LibraryDetailView::~LibraryDetailView()
{
    model_->cancel();
}

void LibraryDetailView::showEvent(QShowEvent* event)
{
    LibraryPage::showEvent(event);
    if (state_ == State::unavailable && !model_->isScanning())
        model_->load(library_);
}

void LibraryDetailView::setLibrary(const PhotoLibrary& library)
{
    // A rename keeps the items; only the texts change.
    library_ = library;
    updateHeader();
}

void LibraryDetailView::rescan()
{
    const int revision = context_.store ? context_.store->contentRevision(library_.id) : 0;
    if (revision == lastRevision_)
        return;
    lastRevision_ = revision;
    // Each scan closes an open viewer first and forgets the item last handed back.
    hideViewer();
    grid_->setFocusedItemID(std::nullopt);
    model_->load(library_);
    refresh();
}

void LibraryDetailView::presentViewer(QWidget* viewer)
{
    if (!openItemPath_ || !viewer) {
        delete viewer;
        return;
    }
    if (viewer_ && viewer_ != viewer) {
        viewer_->hide();
        viewer_->deleteLater();
    }
    viewer_ = viewer;
    viewer->setParent(gridPage_);
    static_cast<QGridLayout*>(gridPage_->layout())->addWidget(viewer, 0, 0);
    viewer->show();
    viewer->raise();
    viewer->setFocus(Qt::OtherFocusReason);
}

MediaItems LibraryDetailView::displayedItems() const
{
    const NonCapturedIndex* index = context_.nonCaptured;
    const QUuid id = library_.id;
    return MediaFilter::apply(filter_, model_->items(), [index, id](const MediaItem& item) -> std::optional<bool> {
        if (!index)
            return std::nullopt;
        const auto library = index->flagsByLibrary().constFind(id);
        if (library == index->flagsByLibrary().cend())
            return std::nullopt;
        const auto flag = library->constFind(item.url);
        if (flag == library->cend())
            return std::nullopt;
        return *flag;
    });
}

LibraryPageRules::Inputs LibraryDetailView::inputs(qsizetype displayedCount) const
{
    LibraryPageRules::Inputs in;
    in.filter = filter_;
    in.hasError = model_->errorMessage().has_value();
    in.isScanning = model_->isScanning();
    in.scanned = model_->scanned();
    in.total = model_->total();
    in.itemCount = model_->items().size();
    in.displayedCount = displayedCount;
    if (const NonCapturedIndex* index = context_.nonCaptured) {
        in.hasConfirmedOrganize = index->hasConfirmedOrganize();
        in.isClassifying = index->classifyingLibraryIDs().contains(library_.id);
        // The progress left by an earlier run is not the count of the run that is due.
        const auto progress = index->progressByLibrary().constFind(library_.id);
        if (in.isClassifying && progress != index->progressByLibrary().cend())
            in.progress = *progress;
    }
    in.classificationDue = awaitingClassification_
        || (LibraryPageRules::classifies(in) && (in.isScanning || classificationKey() != classificationKey_));
    return in;
}

QString LibraryDetailView::itemCountText() const
{
    return LibraryPageRules::itemCountLabel(inputs(shownItems_.size()));
}

QString LibraryDetailView::navigationTitle() const
{
    return LibraryPageRules::navigationTitle(library_.name, filter_);
}

std::optional<int> LibraryDetailView::zoomedIndex() const
{
    if (!openItemPath_)
        return std::nullopt;
    for (int i = 0; i < shownItems_.size(); ++i)
        if (shownItems_[i].url == *openItemPath_)
            return i;
    return std::nullopt;
}

void LibraryDetailView::openItem(const MediaItem& item)
{
    const int index = int(shownItems_.indexOf(item));
    // No viewer listens yet: the double-click has already selected the item, and that is all.
    if (index < 0 || !isSignalConnected(QMetaMethod::fromSignal(&LibraryDetailView::viewerRequested)))
        return;
    openItemPath_ = item.url;
    grid_->setActive(false);
    grid_->hide();
    updateHeader();
    Q_EMIT viewerRequested(item, index);
}

void LibraryDetailView::setOpenIndex(int index)
{
    if (!openItemPath_ || index < 0 || index >= shownItems_.size())
        return;
    openItemPath_ = shownItems_[index].url;
}

void LibraryDetailView::closeDetailPreview()
{
    // The grid acts only on a changed item, and the one handed back last time may be handed back
    // again after the user selected or scrolled elsewhere: clear it first so it always lands.
    if (zoomedIndex()) {
        grid_->setFocusedItemID(std::nullopt);
        grid_->setFocusedItemID(openItemPath_);
    }
    hideViewer();
}

void LibraryDetailView::hideViewer()
{
    const bool wasOpen = openItemPath_.has_value();
    const QWidget* focus = QApplication::focusWidget();
    const bool viewerHadFocus = viewer_ && focus && (focus == viewer_ || viewer_->isAncestorOf(focus));
    openItemPath_.reset();
    // The viewer may be closing from inside one of its own handlers: hide it now, delete it later.
    if (viewer_) {
        viewer_->hide();
        viewer_->deleteLater();
        viewer_ = nullptr;
    }
    viewerToolbar_->clear();
    grid_->show();
    grid_->setActive(true);
    // The keys go back to the grid, not to whatever follows the viewer in the focus chain.
    if (viewerHadFocus)
        grid_->setFocus(Qt::OtherFocusReason);
    updateHeader();
    if (wasOpen)
        Q_EMIT viewerClosed();
}

QWidget* LibraryDetailView::currentStateWidget() const
{
    return stack_->currentWidget();
}

void LibraryDetailView::updateHeader()
{
    const bool viewerOpen = openItemPath_.has_value();
    backButton_->setVisible(viewerOpen);
    viewerToolbar_->setVisible(viewerOpen);
    titleLabel_->setVisible(!viewerOpen);
    timelineRow_->setVisible(!viewerOpen);
    countLabel_->setVisible(!viewerOpen && !countLabel_->text().isEmpty());
    titleLabel_->setText(library_.name);
    titleLabel_->setToolTip(navigationTitle());
}

void LibraryDetailView::refresh()
{
    ++refreshCount_;
    flagsRefresh_->stop(); // this refresh already shows the latest flags
    shownItems_ = displayedItems();
    const LibraryPageRules::Inputs in = inputs(shownItems_.size());
    state_ = LibraryPageRules::contentState(in);

    switch (state_) {
    case State::unavailable:
        unavailable_->setContent("externaldrive.badge.questionmark", "图库不可用", model_->errorMessage().value_or(QString()));
        stack_->setCurrentWidget(unavailable_);
        break;
    case State::scanning:
        scanProgress_->setProgress(model_->scanned(), model_->total());
        stack_->setCurrentWidget(scanProgress_);
        break;
    case State::emptyFolder:
        unavailable_->setContent("photo.on.rectangle.angled", "没有照片", "这个文件夹里没有找到照片或视频。");
        stack_->setCurrentWidget(unavailable_);
        break;
    case State::needsConfirmation:
        unavailable_->setContent("square.and.arrow.down", "非拍摄", "确认整理后，将自动识别截图、网图等非实拍照片。");
        stack_->setCurrentWidget(unavailable_);
        break;
    case State::organizing:
        organizingLabel_->setText(LibraryPageRules::organizingProgressText(in.progress));
        stack_->setCurrentWidget(organizingPage_);
        break;
    case State::emptyFilter: {
        const QString title = MediaFilter::title(filter_);
        unavailable_->setContent(MediaFilter::systemImage(filter_), "没有" + title,
                                 "这个图库里没有符合「" + title + "」的项目。");
        stack_->setCurrentWidget(unavailable_);
        break;
    }
    case State::grid:
        stack_->setCurrentWidget(gridPage_);
        break;
    }
    // The grid keeps the last list while other states show, so its scroll position survives.
    if (state_ == State::grid)
        grid_->setItems(shownItems_);
    // The open item left the list (classification hid it): close the viewer rather than leave an
    // empty page behind it.
    if (openItemPath_ && !zoomedIndex())
        hideViewer();

    const bool organizing = LibraryPageRules::isOrganizingNonCaptured(in);
    banner_->setVisible(organizing && state_ == State::grid);
    if (organizing)
        banner_->setText(LibraryPageRules::organizingProgressText(in.progress));

    countLabel_->setText(LibraryPageRules::itemCountLabel(in));
    updateHeader();

    // After both halves of a finished scan (items, then the scanning flag) have landed.
    QTimer::singleShot(0, this, &LibraryDetailView::maybeClassify);
}

void LibraryDetailView::refreshProgress()
{
    const LibraryPageRules::Inputs in = inputs(shownItems_.size());
    if (state_ == State::scanning)
        scanProgress_->setProgress(model_->scanned(), model_->total());
    const QString organizing = LibraryPageRules::organizingProgressText(in.progress);
    if (state_ == State::organizing)
        organizingLabel_->setText(organizing);
    if (banner_->isVisible())
        banner_->setText(organizing);
    countLabel_->setText(LibraryPageRules::itemCountLabel(in));
    updateHeader();
}

QString LibraryDetailView::classificationKey() const
{
    const bool confirmed = context_.nonCaptured && context_.nonCaptured->hasConfirmedOrganize();
    return QStringList{uuidString(library_.id), MediaFilter::rawValue(filter_),
                       QString::number(model_->items().size()), confirmed ? "true" : "false"}
        .join('-');
}

void LibraryDetailView::maybeClassify()
{
    NonCapturedIndex* index = context_.nonCaptured;
    // The items of a running scan are not classified; its end is.
    if (!index || model_->isScanning())
        return;
    const QString key = classificationKey();
    if (key == classificationKey_)
        return;
    classificationKey_ = key;
    if (!LibraryPageRules::shouldClassify(inputs(shownItems_.size())))
        return;
    awaitingClassification_ = true;
    index->ensureClassified(library_.id, model_->items());
}

} // namespace app
