#include "app/views/shell/WelcomeView.h"

#include "app/services/library/LibraryStore.h"
#include "app/views/common/SymbolIcon.h"
#include "app/views/common/ViewStyle.h"

#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace app {

WelcomeView::WelcomeView(LibraryStore& store, QWidget* parent) : QWidget(parent)
{
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(40, 40, 40, 40);
    layout->setSpacing(16);
    layout->addStretch();

    auto* symbol = new QLabel(this);
    symbol->setPixmap(SymbolIcon::pixmap("externaldrive.badge.plus", QSize(52, 52),
                                         ViewStyle::secondaryColor(palette()), devicePixelRatioF()));
    symbol->setAlignment(Qt::AlignCenter);
    layout->addWidget(symbol);

    auto* title = new QLabel("还没有图库", this);
    title->setFont(ViewStyle::scaledFont(font(), 1.55, QFont::DemiBold));
    title->setAlignment(Qt::AlignCenter);
    layout->addWidget(title);

    auto* message = new QLabel("把备份照片的移动硬盘插上，然后选择存放照片的文件夹。", this);
    message->setWordWrap(true);
    message->setAlignment(Qt::AlignCenter);
    QPalette secondary = message->palette();
    secondary.setColor(QPalette::WindowText, ViewStyle::secondaryColor(palette()));
    message->setPalette(secondary);
    layout->addWidget(message);

    m_addButton = new QPushButton("新建图库…", this);
    m_addButton->setMinimumHeight(32);
    m_addButton->setStyleSheet("QPushButton { padding: 4px 18px; }");
    layout->addSpacing(4);
    layout->addWidget(m_addButton, 0, Qt::AlignHCenter);
    layout->addStretch();

    connect(m_addButton, &QPushButton::clicked, &store, &LibraryStore::beginAddLibrary);
}

} // namespace app
