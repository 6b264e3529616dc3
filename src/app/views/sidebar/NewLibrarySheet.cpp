#include "app/views/sidebar/NewLibrarySheet.h"

#include "app/views/common/SymbolIcon.h"
#include "app/views/common/TextElision.h"
#include "app/views/common/ViewStyle.h"

#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace app {

namespace {
constexpr int sheetWidth = 440;
constexpr int padding = 20;
constexpr int pathIconSize = 14;
} // namespace

NewLibrarySheet::NewLibrarySheet(const QString& folderPath, std::function<void(const QString&)> onConfirm,
                                 QWidget* parent)
    : QDialog(parent), m_folderPath(folderPath), m_onConfirm(std::move(onConfirm))
{
    setWindowTitle("新建图库");
    setFixedWidth(sheetWidth);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(padding, padding, padding, padding);
    layout->setSpacing(14);

    auto* headline = new QLabel("给这个图库起个名字", this);
    headline->setFont(ViewStyle::scaledFont(font(), 1.1, QFont::DemiBold));
    layout->addWidget(headline);

    const QColor secondary = ViewStyle::secondaryColor(palette());
    QPalette secondaryPalette = palette();
    secondaryPalette.setColor(QPalette::WindowText, secondary);

    auto* callout = new QLabel("例如「我的 iPhone 15 照片」。名字只用于边栏显示，不会改动硬盘上的文件。", this);
    callout->setWordWrap(true);
    callout->setPalette(secondaryPalette);
    layout->addWidget(callout);

    m_name = new QLineEdit(this);
    m_name->setPlaceholderText("图库名称");
    m_name->setMinimumHeight(30);
    layout->addWidget(m_name);

    auto* pathRow = new QHBoxLayout;
    pathRow->setSpacing(6);
    auto* folderIcon = new QLabel(this);
    folderIcon->setPixmap(SymbolIcon::pixmap("folder", QSize(pathIconSize, pathIconSize), secondary, devicePixelRatioF()));
    folderIcon->setAlignment(Qt::AlignTop);
    m_path = new QLabel(this);
    m_path->setFont(ViewStyle::scaledFont(font(), 0.85));
    m_path->setPalette(secondaryPalette);
    m_path->setToolTip(folderPath);
    m_path->setObjectName("folderPath");
    pathRow->addWidget(folderIcon, 0, Qt::AlignTop);
    pathRow->addWidget(m_path, 1);
    layout->addLayout(pathRow);

    auto* buttons = new QHBoxLayout;
    buttons->setContentsMargins(0, 4, 0, 0);
    buttons->addStretch();
    m_cancel = new QPushButton("取消", this);
    m_cancel->setAutoDefault(false);
    m_create = new QPushButton("创建", this);
    m_create->setDefault(true);
    buttons->addWidget(m_cancel);
    buttons->addWidget(m_create);
    layout->addLayout(buttons);

    // Only the default button confirms: Return in the field already reaches it, and also wiring
    // returnPressed would confirm twice.
    connect(m_create, &QPushButton::clicked, this, &NewLibrarySheet::confirm);
    connect(m_cancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(m_name, &QLineEdit::textChanged, this,
            [this](const QString& text) { m_create->setEnabled(!text.trimmed().isEmpty()); });
    m_create->setEnabled(false);
    updatePathLabel();
}

QString NewLibrarySheet::defaultName(const QString& folderPath)
{
    const QString clean = QDir::cleanPath(folderPath);
    const QString name = QFileInfo(clean).fileName();
    return name.isEmpty() ? QStringLiteral("/") : name;
}

void NewLibrarySheet::showEvent(QShowEvent* event)
{
    if (!m_prefilled) {
        m_prefilled = true;
        if (m_name->text().isEmpty())
            m_name->setText(defaultName(m_folderPath));
        m_name->selectAll();
        m_name->setFocus();
    }
    QDialog::showEvent(event);
}

void NewLibrarySheet::resizeEvent(QResizeEvent* event)
{
    QDialog::resizeEvent(event);
    updatePathLabel();
}

void NewLibrarySheet::updatePathLabel()
{
    const int width = sheetWidth - 2 * padding - pathIconSize - 6;
    m_path->setText(elidedMiddleLines(m_folderPath, m_path->font(), width, 2));
}

void NewLibrarySheet::confirm()
{
    const QString name = m_name->text().trimmed();
    if (name.isEmpty())
        return;
    if (m_onConfirm)
        m_onConfirm(name);
    accept();
}

} // namespace app
