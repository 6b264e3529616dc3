#pragma once

#include "app/models/PhotoTimeline.h"

#include <QElapsedTimer>
#include <QPixmap>
#include <QPointer>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <optional>

class QPainter;

namespace app {

// The rail's numbers and rules, free of widgets.
namespace TimelineRailMath {

struct Parameters {
    double railWidth = 108;
    double trailingInset = 18;
    double magnifyRadius = 56;
    double maxMagnification = 1.9;
};

double tickWidth(TimelineMarkKind kind);
double tickThickness(TimelineMarkKind kind);
double tickOpacity(TimelineMarkKind kind);
QSizeF rowFrame(TimelineMarkKind kind);

// Smoothstep growth around the pointer; 1 without a pointer or beyond the radius.
double magnification(double position, double height, std::optional<double> hoverY, const Parameters& p);
// Opacity of a row whose magnification is m; 1 while nothing hovers.
double rowOpacity(double m, bool hovering, const Parameters& p);
// Nearest mark to y on a rail of the given height (at least 1); on a tie the earlier mark wins.
std::optional<int> nearestMark(const QList<TimelineMark>& marks, double y, double height);
double clampedY(double y, double height);
double rowCentreX(TimelineMarkKind kind, const Parameters& p);
double tooltipCentreX(TimelineMarkKind kind, const Parameters& p);
// Which marks draw their year label on a rail of the given height: a label that would overlap the
// last one drawn above it is left out (its tick stays), so years a few pixels apart stay legible.
QList<bool> shownYearLabels(const QList<TimelineMark>& marks, double height, double labelHeight);

} // namespace TimelineRailMath

// A unit-mass spring stepped by the caller: response 0.22 s, damping fraction 0.78.
struct RailSpring {
    static constexpr double stiffness = 815.6;
    static constexpr double damping = 44.6;
    double value = 0;
    double velocity = 0;
    double target = 0;
    void step(double dt);
    bool settled() const;
    void snap()
    {
        value = target;
        velocity = 0;
    }
};

// The rail at the grid's right edge. It only tracks the mouse; what it shows is painted by a
// TimelineRailOverlay over the grid, since magnified year rows and tooltips reach far to the
// left of the rail and Qt clips a widget to its own rectangle.
class TimelineRail : public QWidget {
    Q_OBJECT
public:
    explicit TimelineRail(QWidget* parent = nullptr);

    void setMarks(const QList<TimelineMark>& marks);
    const QList<TimelineMark>& marks() const { return marks_; }
    const TimelineRailMath::Parameters& parameters() const { return params_; }
    void setTimeZone(const QTimeZone& zone) { zone_ = zone; }

    std::optional<double> hoverY() const { return hoverY_; }
    std::optional<int> hoveredMark() const { return hovered_; }

    // For tests: a clock in milliseconds, and a jump to the end of every animation.
    void setClock(std::function<qint64()> clock) { clock_ = std::move(clock); }
    void settleAnimations();

    // Paints line, glow, ticks and tooltip with the rail's top-left corner at the painter's origin.
    // At rest (no pointer, no animation) the picture is drawn once and reused: the overlay repaints
    // with every scrolled frame of the grid, and a long library has thousands of ticks.
    void paintRail(QPainter& painter) const;

Q_SIGNALS:
    void markSelected(const TimelineMark& mark);
    // The painted picture changed: the overlay repaints.
    void appearanceChanged();

protected:
    void mouseMoveEvent(QMouseEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    double railHeight() const;
    void paintMarks(QPainter& painter) const;
    void forgetRestingPicture();
    void publishHover(std::optional<int> mark, std::optional<double> y);
    void tick();

    QList<TimelineMark> marks_;
    TimelineRailMath::Parameters params_;
    QTimeZone zone_ = QTimeZone::systemTimeZone();
    std::optional<double> hoverY_;
    std::optional<int> hovered_;
    // Animated presentation of the hover: where the pointer is drawn and how present it is.
    RailSpring shownY_;
    RailSpring presence_;
    QTimer frameTimer_;
    std::function<qint64()> clock_;
    qint64 lastTick_ = -1;
    mutable QPixmap resting_;
    mutable qreal restingScale_ = 0;
    mutable double restingHeight_ = 0;
};

// Paint-only layer over the grid area that draws the rail; never takes a click.
class TimelineRailOverlay : public QWidget {
    Q_OBJECT
public:
    TimelineRailOverlay(TimelineRail* rail, QWidget* parent);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void updateRailArea();

    QPointer<TimelineRail> rail_;
};

} // namespace app
