#include "app/views/sidebar/RenameLibraryDialog.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace app {

RenameLibraryDialog::RenameLibraryDialog(const QString& draftName, QWidget* parent) : QDialog(parent)
{
    setWindowTitle("重命名图库");
    setMinimumWidth(320);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(20, 20, 20, 20);
    layout->setSpacing(12);
    auto* title = new QLabel("重命名图库", this);
    QFont bold = title->font();
    bold.setWeight(QFont::DemiBold);
    title->setFont(bold);
    layout->addWidget(title);
    m_name = new QLineEdit(draftName, this);
    m_name->setPlaceholderText("图库名称");
    m_name->selectAll();
    layout->addWidget(m_name);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    m_cancel = new QPushButton("取消", this);
    m_cancel->setAutoDefault(false);
    m_ok = new QPushButton("好", this);
    m_ok->setDefault(true);
    buttons->addWidget(m_cancel);
    buttons->addWidget(m_ok);
    layout->addLayout(buttons);

    connect(m_cancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(m_ok, &QPushButton::clicked, this, [this] {
        Q_EMIT confirmed(m_name->text());
        accept();
    });
}

} // namespace app
