#include "app/views/receive/PeerDiscoverySheet.h"

#include "app/services/AppContext.h"
#include "app/services/library/LibraryNameValidator.h"
#include "app/services/library/LibraryStore.h"
#include "app/views/common/DialogFolderChooser.h"
#include "app/views/common/TextElision.h"
#include "app/views/receive/ExistingLibraryDrawer.h"
#include "app/views/receive/PeerDiscoverySheetWidgets.h"
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
using namespace sheetwidgets;

namespace {

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
    environment.store = m_context.store;
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
        // A library the store shows as not connected is never written to.
        connect(m_context.store, &LibraryStore::unavailableIDsChanged, this, [this] {
            const std::optional<PhotoLibrary> library = m_context.store->library(m_model->destinationLibraryID());
            if (library && !m_context.store->isAvailable(*library))
                m_model->destinationWentAway(PeerReceiveModel::missingDriveText(library->name));
        });
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
            library.name, m_libraryList);
        item->setData(Qt::UserRole, library.id);
        item->setData(LibraryRowDelegate::displayPathRole, library.displayPath);
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

    m_drawerButton->setExpanded(m_drawerExpanded);
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
    for (MiddleElidedLabel* footnote : std::as_const(m_footnotes)) {
        footnote->setFullText(model.destinationDescription());
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
    auto onCreated = [store, name](const QString& folder, const FolderDriveAnswer& drive) -> std::optional<QUuid> {
        if (!store)
            return std::nullopt;
        const std::optional<PhotoLibrary> library = store->addLibrary(folder, name, drive);
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
        setErrorMessage(PeerReceiveModel::missingDriveText(library.name));
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
