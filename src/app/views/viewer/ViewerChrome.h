#pragma once

#include <QAbstractButton>
#include <QImage>
#include <QPainter>
#include <QRectF>
#include <QWidget>

namespace app {

// A round arrow button over the picture.
class ViewerArrowButton : public QAbstractButton {
    Q_OBJECT
public:
    static constexpr int side = 44;
    ViewerArrowButton(const QString& symbol, QWidget* parent = nullptr);
    QSize sizeHint() const override { return {side, side}; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString symbol_;
};

// The info symbol of the toolbar: not a button; hovering it shows the metadata card.
class ViewerInfoIcon : public QWidget {
    Q_OBJECT
public:
    explicit ViewerInfoIcon(QWidget* parent = nullptr);
    QSize sizeHint() const override { return {24, 24}; }
    bool isHovered() const { return hovered_; }

Q_SIGNALS:
    void hoverChanged(bool hovered);

protected:
    void paintEvent(QPaintEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    bool hovered_ = false;
};

// Three box passes approximate a Gaussian blur of the given radius in pixels.
QImage boxBlurred(const QImage& source, int radius);
// A size fitted into a rectangle with its aspect kept, centred; empty when either is.
QRectF fitted(const QSizeF& size, const QRectF& into);
// The large activity indicator: twelve spokes, the brightest one at `step`.
void paintSpinner(QPainter& painter, QPointF centre, int step);
// What stands in for a picture that could not be made: a warning sign and this text.
inline const QString loadFailureText = QStringLiteral("无法显示这张照片：文件无法读取。");
void paintLoadFailure(QPainter& painter, const QRectF& area);

} // namespace app
