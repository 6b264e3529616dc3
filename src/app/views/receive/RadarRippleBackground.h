#pragma once

#include <QPointer>
#include <QTimer>
#include <QWidget>

namespace app {

// The animated rings behind the receive sheet's waiting and negotiating pages; drawn from the clock
// alone. Its centre dot keeps clear of the page shown over it.
class RadarRippleBackground final : public QWidget {
public:
    explicit RadarRippleBackground(QWidget* parent);

    // The page drawn over the radar, a descendant of the radar's parent.
    void setContent(QWidget* page) { m_content = page; }

protected:
    void showEvent(QShowEvent*) override { m_timer.start(); }
    void hideEvent(QHideEvent*) override { m_timer.stop(); }
    void paintEvent(QPaintEvent*) override;

private:
    // The visible widgets of the page that draw something, in this widget's coordinates.
    QList<QRectF> contentRects() const;

    QTimer m_timer;
    QPointer<QWidget> m_content;
};

} // namespace app
