#include "app/views/PeerDiscoverySheet.h"

#include "app/services/AppContext.h"
#include "app/services/LibraryStore.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace app {

PeerDiscoverySheet::PeerDiscoverySheet(AppContext& context, Transport transport,
                                       std::function<void(QUuid)> onFinished, QWidget* parent)
    : QDialog(parent), m_context(context), m_transport(transport), m_onFinished(std::move(onFinished))
{
    setWindowModality(Qt::WindowModal);
    setObjectName(transport == Transport::wireless ? "wireless-receive" : "wired-receive");
    setWindowTitle(transport == Transport::wireless ? "隔空备份" : "一线备份");
    setMinimumWidth(420);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(20, 20, 20, 20);
    layout->setSpacing(14);
    auto* message = new QLabel("接收备份的功能尚未就绪。", this);
    message->setWordWrap(true);
    layout->addWidget(message);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    auto* close = new QPushButton("关闭", this);
    close->setDefault(true);
    buttons->addWidget(close);
    layout->addLayout(buttons);
    connect(close, &QPushButton::clicked, this, &QDialog::reject);
}

void PeerDiscoverySheet::finishReceive(const std::optional<QUuid>& libraryID)
{
    if (libraryID) {
        if (m_context.store)
            m_context.store->invalidateContent(*libraryID);
        if (m_onFinished)
            m_onFinished(*libraryID);
    }
    accept();
}

} // namespace app
