// The receive sheet's pages: the library picker, waiting, negotiating, transferring, finished
// and failure, each built once; PeerDiscoverySheet switches between them.
#include "app/views/receive/PeerDiscoverySheet.h"

#include "app/services/library/LibraryNameValidator.h"
#include "app/views/receive/ExistingLibraryDrawer.h"
#include "app/views/receive/PeerDiscoverySheetWidgets.h"
#include "app/views/receive/ReceiveSheetRules.h"
#include "app/views/common/SymbolIcon.h"
#include "app/views/common/TextElision.h"
#include "app/views/common/ViewStyle.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>

namespace app {

namespace sheetwidgets {

QLabel* makeLabel(const QString& text, QWidget* parent, qreal scale, QFont::Weight weight)
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

QVBoxLayout* centredColumn(QWidget* page, int spacing)
{
    auto* layout = new QVBoxLayout(page);
    layout->setContentsMargins(24, 0, 24, 0);
    layout->setSpacing(spacing);
    layout->addStretch();
    return layout;
}

} // namespace sheetwidgets

namespace Rules = ReceiveSheetRules;
using namespace sheetwidgets;

MiddleElidedLabel* PeerDiscoverySheet::addFootnote(QWidget* page)
{
    // At most two lines, a long path cut in its middle.
    auto* footnote = new MiddleElidedLabel(2, page);
    footnote->setFont(ViewStyle::scaledFont(footnote->font(), 0.85));
    setTextColor(footnote, ViewStyle::secondaryColor(palette()));
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
    m_drawerButton = new DrawerHeaderButton("使用已有图库", drawer);
    m_drawerCount = m_drawerButton->countLabel();
    drawerLayout->addWidget(m_drawerButton);

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
    m_libraryList->setItemDelegate(new LibraryRowDelegate(m_libraryList));
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

} // namespace app
