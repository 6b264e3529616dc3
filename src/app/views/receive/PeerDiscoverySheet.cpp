#include "app/views/receive/PeerDiscoverySheet.h"

#include "app/services/AppContext.h"
#include "app/services/library/LibraryNameValidator.h"
#include "app/services/library/LibraryStore.h"
#include "app/views/common/DialogFolderChooser.h"
#include "app/views/receive/RadarRippleBackground.h"
#include "app/views/receive/ReceiveSheetRules.h"
#include "app/views/common/SymbolIcon.h"
#include "app/views/common/ViewStyle.h"

#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QResizeEvent>
#include <QStackedWidget>
#include <QToolButton>
#include <QVBoxLayout>

#include <cmath>

namespace app {

namespace Rules = ReceiveSheetRules;
using Phase = PeerReceiveModel::Phase;

namespace {

const QColor orange(0xF0, 0x8A, 0x24);
const QColor green(0x34, 0xA8, 0x53);

enum PageIndex { pickerPage, waitingPage, negotiatingPage, transferringPage, finishedPage, failurePage };

int pageFor(const Phase& phase)
{
    switch (phase.kind) {
    case Phase::Kind::choosingDestination: return pickerPage;
    case Phase::Kind::waitingForPeer: return waitingPage;
    case Phase::Kind::negotiating: return negotiatingPage;
    case Phase::Kind::transferring: return transferringPage;
    case Phase::Kind::finished: return finishedPage;
    case Phase::Kind::failed: return failurePage;
    }
    return pickerPage;
}

QLabel* makeLabel(const QString& text, QWidget* parent, qreal scale = 1.0, QFont::Weight weight = QFont::Normal)
{
    auto* label = new QLabel(text, parent);
    label->setFont(ViewStyle::scaledFont(label->font(), scale, weight));
    return label;
}

void setTextColor(QLabel* label, const QColor& color)
{
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, color);
    label->setPalette(palette);
}

QLabel* makeSymbol(const QString& name, int size, const QColor& color, QWidget* parent)
{
    auto* label = new QLabel(parent);
    label->setPixmap(SymbolIcon::pixmap(name, QSize(size, size), color, parent->devicePixelRatioF()));
    label->setAlignment(Qt::AlignCenter);
    return label;
}

// A page whose content sits in the middle of the sheet's height; its labels span the width and
// centre their own text where the page is centred.
QVBoxLayout* centredColumn(QWidget* page, int spacing)
{
    auto* layout = new QVBoxLayout(page);
    layout->setContentsMargins(24, 0, 24, 0);
    layout->setSpacing(spacing);
    layout->addStretch();
    return layout;
}

// The name appended to the folder as it stands (no "." or ".." resolved).
QString childPath(const QString& parent, const QString& name)
{
    return parent.endsWith('/') ? parent + name : parent + '/' + name;
}

} // namespace

PeerDiscoverySheet::PeerDiscoverySheet(AppContext& context, Transport transport,
                                       std::function<void(QUuid)> onFinished, QWidget* parent)
    : QDialog(parent), m_context(context), m_transport(transport), m_onFinished(std::move(onFinished))
{
    setWindowModality(Qt::WindowModal);
    setObjectName(transport == Transport::wireless ? "wireless-receive" : "wired-receive");
    setWindowTitle(transport == Transport::wireless ? "隔空备份" : "一线备份");
    setAutoFillBackground(true);

    PeerReceiveModel::Environment environment;
    if (m_context.receiveTransports)
        environment.transports = *m_context.receiveTransports;
    environment.device.settings = m_context.settings;
    m_model = std::make_unique<PeerReceiveModel>(
        transport == Transport::wired ? PeerReceiveModel::Kind::wired : PeerReceiveModel::Kind::wireless, environment);
    m_folderPicker = [this] {
        DialogFolderChooser chooser("选择新图库所在的文件夹（只能选择已有文件夹，不能在此新建）");
        if (m_context.store)
            chooser.setLastLibraryLookup(DialogFolderChooser::lastLibraryIn(*m_context.store));
        return chooser.chooseFolder();
    };

    m_radar = new RadarRippleBackground(this);
    m_radar->hide();

    auto* column = new QVBoxLayout(this);
    // The sheet takes the height its phase wants, not the tallest page's.
    column->setSizeConstraint(QLayout::SetNoConstraint);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    m_header = new QWidget(this);
    auto* headerRow = new QHBoxLayout(m_header);
    headerRow->setContentsMargins(20, 14, 20, 14);
    m_title = makeLabel({}, m_header, 1.1, QFont::DemiBold);
    m_headerButton = new QPushButton(m_header);
    m_headerButton->setAutoDefault(false);
    headerRow->addWidget(m_title);
    headerRow->addStretch();
    headerRow->addWidget(m_headerButton);
    column->addWidget(m_header);
    auto* divider = new QFrame(this);
    divider->setFrameShape(QFrame::HLine);
    divider->setFrameShadow(QFrame::Plain);
    m_divider = divider;
    column->addWidget(m_divider);

    m_pages = new QStackedWidget(this);
    m_pages->addWidget(buildPicker());
    m_pages->addWidget(buildWaiting());
    m_pages->addWidget(buildNegotiating());
    m_pages->addWidget(buildTransferring());
    m_pages->addWidget(buildFinished());
    m_pages->addWidget(buildFailure());
    column->addWidget(m_pages, 1);

    connect(m_headerButton, &QPushButton::clicked, this, &PeerDiscoverySheet::runHeaderAction);
    for (auto signal : {&PeerReceiveModel::phaseChanged, &PeerReceiveModel::pairingCodeChanged,
             &PeerReceiveModel::progressChanged, &PeerReceiveModel::remainingTimeTextChanged,
             &PeerReceiveModel::destinationDescriptionChanged, &PeerReceiveModel::wiredStatusMessageChanged})
        connect(m_model.get(), signal, this, &PeerDiscoverySheet::refreshFromModel);
    if (m_context.store) {
        connect(m_context.store, &LibraryStore::librariesChanged, this, &PeerDiscoverySheet::refreshLibraries);
        connect(m_context.store, &LibraryStore::unavailableIDsChanged, this, &PeerDiscoverySheet::refreshLibraries);
    }
    refreshLibraries();
    refreshPicker();
    refreshFromModel();
}

PeerDiscoverySheet::~PeerDiscoverySheet() = default;

QWidget* PeerDiscoverySheet::radar() const
{
    return m_radar;
}

QLabel* PeerDiscoverySheet::addFootnote(QWidget* page)
{
    auto* footnote = makeLabel({}, page, 0.85);
    setTextColor(footnote, ViewStyle::secondaryColor(palette()));
    footnote->setWordWrap(true);
    footnote->setAlignment(Qt::AlignCenter);
    footnote->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_footnotes << footnote;
    return footnote;
}

QWidget* PeerDiscoverySheet::buildPicker()
{
    m_picker = new QWidget(this);
    auto* layout = new QVBoxLayout(m_picker);
    layout->setContentsMargins(20, 12, 20, 20);
    layout->setSpacing(16);

    auto* card = new QFrame(m_picker);
    card->setObjectName("newLibraryCard");
    card->setStyleSheet("#newLibraryCard { background: palette(base); border-radius: 12px; }");
    auto* cardLayout = new QVBoxLayout(card);
    cardLayout->setContentsMargins(16, 16, 16, 16);
    cardLayout->setSpacing(14);
    cardLayout->addWidget(makeLabel("新建图库接收", card, 1.25, QFont::DemiBold));

    auto* step1 = new QHBoxLayout;
    step1->setSpacing(8);
    step1->addWidget(new QLabel("1、选择一个图库的位置：", card));
    m_chooseParent = new QPushButton("选择图库位置", card);
    m_chooseParent->setAutoDefault(false);
    step1->addWidget(m_chooseParent);
    m_previewPath = makeLabel({}, card, 0.85);
    setTextColor(m_previewPath, ViewStyle::secondaryColor(palette()));
    m_previewPath->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_previewPath->setMinimumWidth(40);
    step1->addWidget(m_previewPath, 1);
    cardLayout->addLayout(step1);

    auto* step2 = new QVBoxLayout;
    step2->setSpacing(4);
    auto* nameRow = new QHBoxLayout;
    nameRow->setSpacing(8);
    nameRow->addWidget(new QLabel("2、给新图库起一个名字：", card));
    m_nameField = new QLineEdit(card);
    m_nameField->setPlaceholderText("图库名称");
    nameRow->addWidget(m_nameField, 1);
    step2->addLayout(nameRow);
    m_nameMessage = makeLabel({}, card, 0.85);
    setTextColor(m_nameMessage, orange);
    m_nameMessage->setContentsMargins(4, 0, 0, 0);
    step2->addWidget(m_nameMessage);
    cardLayout->addLayout(step2);

    auto* step3 = new QHBoxLayout;
    step3->setSpacing(8);
    step3->addWidget(new QLabel("3、点击等待连接即可：", card));
    m_startNew = new QPushButton("开始等待连接", card);
    m_startNew->setDefault(true);
    step3->addWidget(m_startNew);
    step3->addStretch();
    cardLayout->addLayout(step3);
    layout->addWidget(card);

    auto* drawer = new QFrame(m_picker);
    drawer->setObjectName("existingDrawer");
    drawer->setStyleSheet("#existingDrawer { border: 1px solid rgba(128,128,128,40); border-radius: 12px; }");
    auto* drawerLayout = new QVBoxLayout(drawer);
    drawerLayout->setContentsMargins(0, 0, 0, 0);
    drawerLayout->setSpacing(0);
    auto* drawerHeader = new QWidget(drawer);
    auto* headerRow = new QHBoxLayout(drawerHeader);
    headerRow->setContentsMargins(16, 12, 16, 12);
    headerRow->setSpacing(8);
    m_drawerButton = new QToolButton(drawerHeader);
    m_drawerButton->setAutoRaise(true);
    m_drawerButton->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    m_drawerButton->setText("使用已有图库");
    m_drawerButton->setFont(ViewStyle::scaledFont(m_drawerButton->font(), 1.0, QFont::DemiBold));
    headerRow->addWidget(m_drawerButton);
    headerRow->addStretch();
    m_drawerCount = makeLabel({}, drawerHeader, 0.85);
    setTextColor(m_drawerCount, ViewStyle::secondaryColor(palette()));
    headerRow->addWidget(m_drawerCount);
    drawerLayout->addWidget(drawerHeader);

    m_drawerContent = new QWidget(drawer);
    auto* contentLayout = new QVBoxLayout(m_drawerContent);
    contentLayout->setContentsMargins(0, 0, 0, 0);
    contentLayout->setSpacing(10);
    auto* footnote = makeLabel("续传到同一图库时，已备份过的项目会自动跳过。", m_drawerContent, 0.85);
    setTextColor(footnote, ViewStyle::secondaryColor(palette()));
    footnote->setContentsMargins(16, 0, 16, 0);
    contentLayout->addWidget(footnote);
    m_drawerEmpty = new QLabel("还没有可用的图库。请先在上方新建。", m_drawerContent);
    setTextColor(m_drawerEmpty, ViewStyle::secondaryColor(palette()));
    m_drawerEmpty->setContentsMargins(16, 0, 16, 12);
    contentLayout->addWidget(m_drawerEmpty);
    m_libraryList = new QListWidget(m_drawerContent);
    m_libraryList->setMinimumHeight(120);
    m_libraryList->setMaximumHeight(180);
    m_libraryList->setIconSize(QSize(20, 20));
    contentLayout->addWidget(m_libraryList);
    auto* startRow = new QHBoxLayout;
    startRow->setContentsMargins(16, 0, 16, 14);
    startRow->addStretch();
    m_startExisting = new QPushButton("开始等待连接", m_drawerContent);
    m_startExisting->setAutoDefault(false);
    startRow->addWidget(m_startExisting);
    contentLayout->addLayout(startRow);
    drawerLayout->addWidget(m_drawerContent);
    layout->addWidget(drawer);

    m_errorRow = new QWidget(m_picker);
    auto* errorLayout = new QHBoxLayout(m_errorRow);
    errorLayout->setContentsMargins(0, 0, 0, 0);
    errorLayout->addWidget(makeSymbol("exclamationmark.triangle", 16, orange, m_errorRow));
    m_error = new QLabel(m_errorRow);
    setTextColor(m_error, orange);
    m_error->setWordWrap(true);
    errorLayout->addWidget(m_error, 1);
    layout->addWidget(m_errorRow);
    layout->addStretch();

    connect(m_chooseParent, &QPushButton::clicked, this, &PeerDiscoverySheet::chooseParentFolder);
    connect(m_nameField, &QLineEdit::textEdited, this, [this](const QString& text) {
        const QString sanitized = LibraryNameValidator::sanitizedInput(text);
        if (sanitized != text) {
            const int cursor = m_nameField->cursorPosition() - int(text.size() - sanitized.size());
            m_nameField->setText(sanitized);
            m_nameField->setCursorPosition(std::clamp(cursor, 0, int(sanitized.size())));
        }
        m_libraryList->clearSelection();
        refreshPicker();
    });
    connect(m_startNew, &QPushButton::clicked, this, &PeerDiscoverySheet::startNewLibrary);
    connect(m_drawerButton, &QToolButton::clicked, this, [this] { setDrawerExpanded(!m_drawerExpanded); });
    connect(m_libraryList, &QListWidget::itemSelectionChanged, this, &PeerDiscoverySheet::refreshPicker);
    connect(m_startExisting, &QPushButton::clicked, this, &PeerDiscoverySheet::requestStartExistingLibrary);
    return m_picker;
}

QWidget* PeerDiscoverySheet::buildWaiting()
{
    auto* page = new QWidget(this);
    auto* layout = centredColumn(page, 18);
    m_waitingIcon = new QLabel(page);
    m_waitingIcon->setAlignment(Qt::AlignCenter);
    const bool wired = m_transport == Transport::wired;
    m_waitingIcon->setPixmap(SymbolIcon::pixmap(wired ? "cable.connector" : "iphone.gen3", QSize(34, 34),
        ViewStyle::secondaryColor(palette()), devicePixelRatioF()));
    layout->addWidget(m_waitingIcon);
    m_instruction = makeLabel(Rules::waitingInstruction(m_model->kind()), page, 1.25, QFont::Medium);
    m_instruction->setAlignment(Qt::AlignCenter);
    m_instruction->setWordWrap(true);
    layout->addWidget(m_instruction);
    m_code = new QLabel(page);
    QFont codeFont = m_code->font();
    codeFont.setPixelSize(44);
    codeFont.setWeight(QFont::DemiBold);
    codeFont.setLetterSpacing(QFont::AbsoluteSpacing, 6);
    codeFont.setStyleHint(QFont::Monospace);
    m_code->setFont(codeFont);
    m_code->setAlignment(Qt::AlignCenter);
    m_code->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(m_code);
    m_wiredStatus = new QLabel(page);
    m_wiredStatus->setAlignment(Qt::AlignCenter);
    m_wiredStatus->setWordWrap(true);
    m_wiredStatus->setContentsMargins(0, 4, 0, 0);
    setTextColor(m_wiredStatus, ViewStyle::secondaryColor(palette()));
    layout->addWidget(m_wiredStatus);
    layout->addWidget(addFootnote(page));
    layout->addStretch();
    return page;
}

QWidget* PeerDiscoverySheet::buildNegotiating()
{
    auto* page = new QWidget(this);
    auto* layout = centredColumn(page, 14);
    auto* busy = new QProgressBar(page);
    busy->setRange(0, 0);
    busy->setTextVisible(false);
    busy->setFixedWidth(200);
    layout->addWidget(busy, 0, Qt::AlignHCenter);
    m_negotiatingPeer = makeLabel({}, page, 1.25, QFont::Medium);
    m_negotiatingPeer->setAlignment(Qt::AlignCenter);
    layout->addWidget(m_negotiatingPeer);
    auto* note = new QLabel("正在核对哪些照片已经备份过，大图库可能要等一会儿。", page);
    note->setAlignment(Qt::AlignCenter);
    note->setWordWrap(true);
    setTextColor(note, ViewStyle::secondaryColor(palette()));
    layout->addWidget(note);
    layout->addStretch();
    return page;
}

QWidget* PeerDiscoverySheet::buildTransferring()
{
    auto* page = new QWidget(this);
    auto* layout = centredColumn(page, 14);
    m_transferTitle = makeLabel({}, page, 1.25, QFont::Medium);
    layout->addWidget(m_transferTitle);
    m_progressBar = new QProgressBar(page);
    m_progressBar->setRange(0, 1000);
    m_progressBar->setTextVisible(false);
    layout->addWidget(m_progressBar);
    m_counts = new QLabel(page);
    setTextColor(m_counts, ViewStyle::secondaryColor(palette()));
    layout->addWidget(m_counts);
    m_bytes = new QLabel(page);
    setTextColor(m_bytes, ViewStyle::secondaryColor(palette()));
    layout->addWidget(m_bytes);
    m_currentFile = makeLabel({}, page, 0.85);
    setTextColor(m_currentFile, ViewStyle::secondaryColor(palette()));
    layout->addWidget(m_currentFile);
    QLabel* footnote = addFootnote(page);
    footnote->setAlignment(Qt::AlignLeft);
    layout->addWidget(footnote);
    layout->addStretch();
    return page;
}

QWidget* PeerDiscoverySheet::buildFinished()
{
    auto* page = new QWidget(this);
    auto* layout = centredColumn(page, 14);
    m_finishedIcon = new QLabel(page);
    m_finishedIcon->setAlignment(Qt::AlignCenter);
    layout->addWidget(m_finishedIcon);
    m_finishedTitle = makeLabel({}, page, 1.25, QFont::DemiBold);
    m_finishedTitle->setAlignment(Qt::AlignCenter);
    layout->addWidget(m_finishedTitle);
    m_finishedStats = new QLabel(page);
    m_finishedStats->setAlignment(Qt::AlignCenter);
    setTextColor(m_finishedStats, ViewStyle::secondaryColor(palette()));
    layout->addWidget(m_finishedStats);
    layout->addWidget(addFootnote(page));
    m_finishButton = new QPushButton("完成", page);
    m_finishButton->setDefault(true);
    layout->addSpacing(6);
    layout->addWidget(m_finishButton, 0, Qt::AlignHCenter);
    layout->addStretch();
    connect(m_finishButton, &QPushButton::clicked, this, [this] { finishReceive(m_model->destinationLibraryID()); });
    return page;
}

QWidget* PeerDiscoverySheet::buildFailure()
{
    auto* page = new QWidget(this);
    auto* layout = centredColumn(page, 14);
    layout->addWidget(makeSymbol("exclamationmark.triangle.fill", 40, orange, page));
    auto* title = makeLabel("接收中断", page, 1.25, QFont::DemiBold);
    title->setAlignment(Qt::AlignCenter);
    layout->addWidget(title);
    m_failureMessage = new QLabel(page);
    m_failureMessage->setAlignment(Qt::AlignCenter);
    m_failureMessage->setWordWrap(true);
    setTextColor(m_failureMessage, ViewStyle::secondaryColor(palette()));
    layout->addWidget(m_failureMessage);
    auto* buttons = new QHBoxLayout;
    buttons->setSpacing(12);
    buttons->addStretch();
    m_closeButton = new QPushButton("关闭", page);
    m_closeButton->setAutoDefault(false);
    m_retryButton = new QPushButton("重试", page);
    m_retryButton->setDefault(true);
    buttons->addWidget(m_closeButton);
    buttons->addWidget(m_retryButton);
    buttons->addStretch();
    layout->addSpacing(6);
    layout->addLayout(buttons);
    layout->addStretch();
    connect(m_closeButton, &QPushButton::clicked, this, [this] { cancelThenClose(false); });
    connect(m_retryButton, &QPushButton::clicked, this, [this] { m_model->retryLastDestination(); });
    return page;
}

QList<PhotoLibrary> PeerDiscoverySheet::availableLibraries() const
{
    QList<PhotoLibrary> libraries;
    if (!m_context.store)
        return libraries;
    for (const PhotoLibrary& library : m_context.store->libraries()) {
        if (m_context.store->isAvailable(library))
            libraries << library;
    }
    return libraries;
}

void PeerDiscoverySheet::refreshLibraries()
{
    const std::optional<QUuid> selected = m_libraryList->currentItem() && m_libraryList->currentItem()->isSelected()
        ? std::optional(m_libraryList->currentItem()->data(Qt::UserRole).toUuid())
        : std::nullopt;
    m_libraryList->clear();
    const QList<PhotoLibrary> libraries = availableLibraries();
    for (const PhotoLibrary& library : libraries) {
        auto* item = new QListWidgetItem(
            SymbolIcon::icon(library.isExternalVolume ? "externaldrive.fill" : "folder.fill",
                ViewStyle::accentColor(palette())),
            library.name + "\n" + library.displayPath, m_libraryList);
        item->setData(Qt::UserRole, library.id);
        item->setToolTip(library.displayPath);
        if (selected == library.id)
            item->setSelected(true);
    }
    m_drawerCount->setText(libraries.isEmpty() ? "暂无" : QString("%1 个").arg(libraries.size()));
    m_drawerEmpty->setVisible(libraries.isEmpty());
    m_libraryList->setVisible(!libraries.isEmpty());
    m_startExisting->setVisible(!libraries.isEmpty());
    refreshPicker();
}

void PeerDiscoverySheet::refreshPicker()
{
    const bool canReceive = m_context.receiveTransports != nullptr;
    const QString name = m_nameField->text();
    const QString trimmed = name.trimmed();
    std::optional<QString> message;
    if (!name.isEmpty()) {
        if (const auto error = LibraryNameValidator::validate(name))
            message = LibraryNameValidator::message(*error);
    }
    m_nameMessage->setText(message.value_or(QString()));
    m_nameMessage->setVisible(message.has_value());

    if (m_selectedParent) {
        const QString preview = trimmed.isEmpty() ? *m_selectedParent : childPath(*m_selectedParent, trimmed);
        m_previewPath->setText(fontMetrics().elidedText(preview, Qt::ElideMiddle, 200));
        m_previewPath->setToolTip(preview);
    } else {
        m_previewPath->clear();
        m_previewPath->setToolTip({});
    }
    m_startNew->setEnabled(canReceive && m_selectedParent && !LibraryNameValidator::validate(trimmed));
    m_startExisting->setEnabled(canReceive && !m_libraryList->selectedItems().isEmpty());

    QPixmap chevron = SymbolIcon::pixmap("chevron.right", QSize(12, 12), ViewStyle::secondaryColor(palette()),
        devicePixelRatioF());
    if (m_drawerExpanded)
        chevron = chevron.transformed(QTransform().rotate(90));
    m_drawerButton->setIcon(QIcon(chevron));
    m_drawerContent->setVisible(m_drawerExpanded);
    m_errorRow->setVisible(!m_error->text().isEmpty());
    fitWindow();
}

void PeerDiscoverySheet::setDrawerExpanded(bool expanded)
{
    m_drawerExpanded = expanded;
    refreshPicker();
}

void PeerDiscoverySheet::refreshFromModel()
{
    const PeerReceiveModel& model = *m_model;
    const Phase& phase = model.phase();
    m_title->setText(Rules::headerTitle(phase, model.kind()));
    m_headerButton->setText(Rules::headerButtonText(phase));
    m_header->layout()->activate(); // the title's new width now, not at the next layout pass
    m_pages->setCurrentIndex(pageFor(phase));

    const bool showsRadar = phase.is(Phase::Kind::waitingForPeer) || phase.is(Phase::Kind::negotiating);
    m_radar->setContent(m_pages->currentWidget());
    m_radar->setVisible(showsRadar);
    m_radar->lower();
    m_divider->setVisible(!showsRadar);

    m_code->setText(model.pairingCode());
    const bool showsStatus = model.kind() == PeerReceiveModel::Kind::wired && !model.wiredStatusMessage().isEmpty();
    m_wiredStatus->setText(model.wiredStatusMessage());
    m_wiredStatus->setVisible(showsStatus);
    for (QLabel* footnote : std::as_const(m_footnotes)) {
        footnote->setText(model.destinationDescription());
        footnote->setVisible(!model.destinationDescription().isEmpty());
    }

    m_negotiatingPeer->setText("已连接「" + phase.peerName + "」");
    m_transferTitle->setText("正在从「" + phase.peerName + "」接收");
    const p2p::TransferProgress& progress = model.progress();
    m_progressBar->setValue(int(std::lround(Rules::progressFraction(progress) * 1000)));
    m_counts->setText(Rules::countsText(progress));
    m_bytes->setText(Rules::byteAndETASummary(progress, model.remainingTimeText()));
    const QString current = progress.currentFilename ? QString::fromStdString(*progress.currentFilename) : QString();
    m_currentFile->setText(fontMetrics().elidedText(current, Qt::ElideMiddle, 440));
    m_currentFile->setVisible(progress.currentFilename.has_value());

    const bool stopped = phase.summary.wasCancelled;
    m_finishedIcon->setPixmap(SymbolIcon::pixmap(stopped ? "pause.circle" : "checkmark.circle.fill", QSize(46, 46),
        stopped ? orange : green, devicePixelRatioF()));
    m_finishedTitle->setText(stopped ? "已停止" : "接收完成");
    m_finishedStats->setText(Rules::finishedLines(phase.summary).join('\n'));
    m_failureMessage->setText(phase.message);
    fitWindow();
}

void PeerDiscoverySheet::fitWindow()
{
    int measured = 0;
    if (m_pages->currentIndex() == pickerPage && m_picker->layout()) {
        m_picker->layout()->activate();
        measured = m_header->sizeHint().height() + m_divider->sizeHint().height() + m_picker->sizeHint().height();
    }
    const int height = Rules::windowHeight(m_model->phase(), measured, m_drawerExpanded);
    if (Rules::needsResize(width(), this->height(), Rules::sheetWidth, height))
        setFixedSize(Rules::sheetWidth, std::max(height, 1));
}

void PeerDiscoverySheet::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    // Children count in the layout only once they are shown: measure the picker again.
    fitWindow();
}

void PeerDiscoverySheet::resizeEvent(QResizeEvent* event)
{
    QDialog::resizeEvent(event);
    m_radar->setGeometry(rect());
}

void PeerDiscoverySheet::reject()
{
    runHeaderAction();
}

void PeerDiscoverySheet::runHeaderAction()
{
    cancelThenClose(true);
}

void PeerDiscoverySheet::cancelThenClose(bool onlyWhenSettled)
{
    if (m_closing)
        return;
    m_model->cancel([this, onlyWhenSettled] {
        if (onlyWhenSettled && !Rules::closesAfterCancel(m_model->phase()))
            return;
        m_closing = true;
        done(QDialog::Rejected);
    });
}

void PeerDiscoverySheet::finishReceive(const std::optional<QUuid>& libraryID)
{
    if (libraryID) {
        if (m_context.store)
            m_context.store->invalidateContent(*libraryID);
        if (m_onFinished)
            m_onFinished(*libraryID);
    }
    if (m_closing)
        return;
    m_model->cancel([this] {
        m_closing = true;
        done(QDialog::Accepted);
    });
}

void PeerDiscoverySheet::chooseParentFolder()
{
    const std::optional<QString> chosen = m_folderPicker ? m_folderPicker() : std::nullopt;
    if (!chosen || chosen->isEmpty())
        return;
    const QFileInfo folder(*chosen);
    // Nothing to start on Linux, but a folder we cannot enter or write is no place for a library.
    if (!folder.isDir() || !folder.isReadable() || !folder.isWritable()) {
        setErrorMessage("无法访问这个文件夹，请换一个位置。");
        return;
    }
    m_selectedParent = folder.absoluteFilePath();
    m_libraryList->clearSelection();
    setErrorMessage(std::nullopt);
    refreshPicker();
}

void PeerDiscoverySheet::startNewLibrary()
{
    if (!m_selectedParent || !m_context.receiveTransports)
        return;
    const QString name = m_nameField->text().trimmed();
    if (LibraryNameValidator::validate(name))
        return;
    const QFileInfo target(childPath(*m_selectedParent, name));
    if (target.exists() && !target.isDir()) {
        setErrorMessage("目标位置已有同名文件，请换一个图库名称。");
        return;
    }
    setErrorMessage(std::nullopt);
    LibraryStore* store = m_context.store;
    auto onCreated = [store, name](const QString& folder) -> std::optional<QUuid> {
        if (!store)
            return std::nullopt;
        const std::optional<PhotoLibrary> library = store->addLibrary(folder, name);
        return library ? std::optional(library->id) : std::nullopt;
    };
    if (m_model->kind() == PeerReceiveModel::Kind::wired)
        m_model->startWiredReceiveForNewLibrary(*m_selectedParent, name, onCreated);
    else
        m_model->startAdvertisingForNewLibrary(*m_selectedParent, name, onCreated);
}

void PeerDiscoverySheet::requestStartExistingLibrary()
{
    const QList<QListWidgetItem*> selected = m_libraryList->selectedItems();
    if (selected.isEmpty() || !m_context.store)
        return;
    const std::optional<PhotoLibrary> library = m_context.store->library(selected.first()->data(Qt::UserRole).toUuid());
    if (!library)
        return;
    const std::optional<QString> folder = m_context.store->resolvedURL(*library);
    if (!folder || !Rules::libraryLooksPopulated(*folder)) {
        startExisting(*library);
        return;
    }
    auto* box = new QMessageBox(QMessageBox::NoIcon, "确认在已有图库中接收备份？", "确认在已有图库中接收备份？",
        QMessageBox::NoButton, this);
    box->setInformativeText(
        "「" + library->name + "」里已有照片或视频。新收到的内容会写入该图库；已备份过的项目会自动跳过。");
    box->setWindowModality(Qt::WindowModal);
    box->setAttribute(Qt::WA_DeleteOnClose);
    QPushButton* proceed = box->addButton("继续接收", QMessageBox::AcceptRole);
    box->addButton("取消", QMessageBox::RejectRole);
    connect(proceed, &QPushButton::clicked, this, [this, id = library->id] {
        if (const std::optional<PhotoLibrary> confirmed = m_context.store->library(id))
            startExisting(*confirmed);
    });
    m_confirmation = box;
    box->open();
}

void PeerDiscoverySheet::startExisting(const PhotoLibrary& library)
{
    if (!m_context.receiveTransports)
        return;
    const std::optional<QString> folder = m_context.store->resolvedURL(library);
    if (!folder) {
        setErrorMessage("找不到「" + library.name + "」的文件夹，移动硬盘可能没有连接。");
        return;
    }
    setErrorMessage(std::nullopt);
    if (m_model->kind() == PeerReceiveModel::Kind::wired)
        m_model->startWiredReceive(*folder, library.id, library.displayPath);
    else
        m_model->startAdvertising(*folder, library.id, library.displayPath);
}

void PeerDiscoverySheet::setErrorMessage(const std::optional<QString>& message)
{
    m_error->setText(message.value_or(QString()));
    m_errorRow->setVisible(message.has_value());
    fitWindow();
}

} // namespace app
