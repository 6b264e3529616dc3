#include "app/views/viewer/ZoomSliderControl.h"

#include <gtest/gtest.h>

#include <QSlider>
#include <QToolButton>

using namespace app;

TEST(ZoomSliderControl, limitsSnapsAndReportsOnlyRealChanges)
{
    enum class Action { minus, plus, set, slider };
    struct Row {
        const char* name;
        double start;
        Action action;
        double value;
        double expected;
        int reports;
        bool minusEnabled;
        bool plusEnabled;
        const char* help;
    };
    const QList<Row> rows = {
        {"minus from 1.25 reaches the minimum", 1.25, Action::minus, 0, 1.0, 1, false, true, "缩放 100%"},
        {"plus from 3.9 stops at the maximum", 3.9, Action::plus, 0, 4.0, 1, true, false, "缩放 400%"},
        {"next to the minimum snaps onto it", 2.0, Action::set, 1.0005, 1.0, 1, false, true, "缩放 100%"},
        {"a change within 0.0001 is no change", 2.0, Action::set, 2.00005, 2.0, 0, true, true, "缩放 200%"},
        {"below the range is limited", 2.0, Action::set, -3, 1.0, 1, false, true, "缩放 100%"},
        {"above the range is limited", 2.0, Action::set, 9, 4.0, 1, true, false, "缩放 400%"},
        {"the slider's integers are hundredths", 1.0, Action::slider, 150, 1.5, 1, true, true, "缩放 150%"},
        {"halves round away from zero", 1.0, Action::set, 1.125, 1.125, 1, true, true, "缩放 113%"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ZoomSliderControl control(1.0, 4.0, 0.25);
        int reports = 0;
        double reported = row.start;
        control.onChange = [&](double v) {
            ++reports;
            reported = v;
        };
        control.setZoomScale(row.start);
        EXPECT_EQ(reports, 0);
        switch (row.action) {
        case Action::minus: control.minusButton()->click(); break;
        case Action::plus: control.plusButton()->click(); break;
        case Action::set: control.setZoom(row.value); break;
        case Action::slider: control.slider()->setValue(int(row.value)); break;
        }
        EXPECT_DOUBLE_EQ(control.zoomScale(), row.expected);
        EXPECT_EQ(reports, row.reports);
        EXPECT_DOUBLE_EQ(reported, row.expected);
        EXPECT_EQ(control.minusButton()->isEnabled(), row.minusEnabled);
        EXPECT_EQ(control.plusButton()->isEnabled(), row.plusEnabled);
        EXPECT_EQ(control.slider()->toolTip(), QString(row.help));
        // Showing the value on the slider never comes back as a change.
        EXPECT_EQ(control.slider()->value(), int(std::lround(row.expected * 100)));
    }
}
