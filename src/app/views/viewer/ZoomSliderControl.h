#pragma once

#include <QWidget>

#include <functional>

class QSlider;
class QToolButton;

namespace app {

// Minus, slider and plus in a capsule. Keeps its value inside the range, snaps values next to the
// minimum onto it, ignores changes too small to see and reports every change it makes.
class ZoomSliderControl : public QWidget {
    Q_OBJECT
public:
    ZoomSliderControl(double minZoom, double maxZoom, double step, QWidget* parent = nullptr);

    // Called with the new value after each change the control makes (not after setZoomScale()).
    std::function<void(double)> onChange;

    double zoomScale() const { return zoom_; }
    // The bound value changed elsewhere: show it, report nothing.
    void setZoomScale(double zoom);
    // The one way the control itself changes the value.
    void setZoom(double value);
    // "125%".
    QString percentLabel() const;

    QToolButton* minusButton() const { return minus_; }
    QToolButton* plusButton() const { return plus_; }
    QSlider* slider() const { return slider_; }

    // The slider holds integers: the factor × this.
    static constexpr int sliderUnits = 100;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void refresh();

    const double min_;
    const double max_;
    const double step_;
    double zoom_;
    QToolButton* minus_;
    QSlider* slider_;
    QToolButton* plus_;
};

} // namespace app
