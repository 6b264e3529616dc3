#include "app/views/viewer/MediaInfoCard.h"

#include <QFontMetrics>
#include <QFrame>
#include <QGridLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QVBoxLayout>

namespace app {

namespace {

QLabel* whiteLabel(QWidget* parent, int pixels, QFont::Weight weight, double alpha)
{
    auto* label = new QLabel(parent);
    QFont font = label->font();
    font.setPixelSize(pixels);
    font.setWeight(weight);
    label->setFont(font);
    label->setTextFormat(Qt::PlainText);
    QPalette pal = label->palette();
    pal.setColor(QPalette::WindowText, QColor(255, 255, 255, int(alpha * 255)));
    label->setPalette(pal);
    return label;
}

} // namespace

MediaInfoCard::MediaInfoCard(QWidget* parent) : QWidget(parent)
{
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setMaximumWidth(maximumCardWidth);
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(18, 18, 18, 18);
    outer->setSpacing(0);

    rowsPage_ = new QWidget(this);
    auto* stack = new QVBoxLayout(rowsPage_);
    stack->setContentsMargins(0, 0, 0, 0);
    stack->setSpacing(8);
    auto* title = whiteLabel(rowsPage_, 13, QFont::DemiBold, 1.0);
    title->setText("信息");
    stack->addWidget(title);
    auto* divider = new QFrame(rowsPage_);
    divider->setFixedHeight(1);
    divider->setAutoFillBackground(true);
    QPalette pal = divider->palette();
    pal.setColor(QPalette::Window, QColor(255, 255, 255, int(0.25 * 255)));
    divider->setPalette(pal);
    stack->addWidget(divider);
    grid_ = new QGridLayout;
    grid_->setHorizontalSpacing(16);
    grid_->setVerticalSpacing(6);
    grid_->setColumnStretch(1, 1);
    stack->addLayout(grid_);
    outer->addWidget(rowsPage_);

    status_ = whiteLabel(this, 14, QFont::Normal, 1.0);
    status_->setText("正在读取信息…");
    outer->addWidget(status_);
    setMetadata(std::nullopt);
}

void MediaInfoCard::setMetadata(const std::optional<MediaMetadata>& metadata)
{
    for (auto [label, value] : rows_) {
        delete label;
        delete value;
    }
    rows_.clear();
    const QList<MediaMetadata::Row> rows = metadata ? metadata->rows() : QList<MediaMetadata::Row>{};
    hasRows_ = !rows.isEmpty();
    QFont labelFont = font();
    labelFont.setPixelSize(12);
    const QFontMetrics labelMetrics(labelFont);
    int labelWidth = 0;
    for (const MediaMetadata::Row& row : rows)
        labelWidth = std::max(labelWidth, labelMetrics.horizontalAdvance(row.label));
    // What is left of the card's 420 points for a value; only longer values wrap.
    const int valueRoom = std::max(80, maximumCardWidth - 2 * 18 - 16 - labelWidth);
    int line = 0;
    for (const MediaMetadata::Row& row : rows) {
        auto* label = whiteLabel(rowsPage_, 12, QFont::Normal, 0.65);
        label->setText(row.label);
        auto* value = whiteLabel(rowsPage_, 12, QFont::Medium, 1.0);
        value->setText(row.value);
        if (value->fontMetrics().horizontalAdvance(row.value) > valueRoom) {
            value->setWordWrap(true);
            value->setFixedWidth(valueRoom);
        }
        grid_->addWidget(label, line, 0, Qt::AlignRight | Qt::AlignTop);
        grid_->addWidget(value, line, 1, Qt::AlignLeft | Qt::AlignTop);
        rows_.append(std::pair(label, value));
        ++line;
    }
    rowsPage_->setVisible(hasRows_);
    status_->setVisible(!hasRows_);
    adjustSize();
    update();
}

QList<std::pair<QString, QString>> MediaInfoCard::shownRows() const
{
    QList<std::pair<QString, QString>> out;
    if (hasRows_)
        for (auto [label, value] : rows_)
            out.append(std::pair(label->text(), value->text()));
    return out;
}

QString MediaInfoCard::statusText() const
{
    return hasRows_ ? QString() : status_->text();
}

void MediaInfoCard::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF frame = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    painter.setPen(hasRows_ ? QPen(QColor(255, 255, 255, int(0.12 * 255)), 1) : Qt::NoPen);
    painter.setBrush(QColor(0, 0, 0, int(0.62 * 255)));
    painter.drawRoundedRect(frame, 12, 12);
}

} // namespace app
