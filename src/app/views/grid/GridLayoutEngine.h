#pragma once

#include <QList>
#include <QRectF>
#include <QPointF>

#include <optional>

namespace app {

// Where every cell and day header of the photo grid lies, computed without widgets so that
// 100,000 items cost a few arrays and every look-up is a binary search.
class GridLayoutEngine {
public:
    struct Parameters {
        double width = 0;           // of the scrolled area
        int columns = 11;
        double spacing = 2;         // between cells and around the content
        double headerHeight = 28;   // a day title's line
        double sectionSpacing = 12; // between day blocks
        double headerGap = 8;       // between a title and its cells
        double minimumCell = 1;
    };

    struct Section {
        int firstItem = 0;
        int itemCount = 0;
        double top = 0;     // of the header, or of the first row without headers
        double gridTop = 0; // of the first row
        int rows = 0;
        double bottom = 0;  // of the last row
    };

    // `sectionSizes`: item counts of the day sections, in order; `withHeaders` false lays the
    // items out as one flat grid (the sizes are then summed).
    void setLayout(const Parameters& parameters, const QList<int>& sectionSizes, bool withHeaders);

    double cellSide() const { return cell_; }
    double contentHeight() const { return height_; }
    int itemCount() const { return count_; }
    const QList<Section>& sections() const { return sections_; }
    bool hasHeaders() const { return headers_; }

    QRectF cellRect(int item) const;
    QRectF headerRect(int section) const;
    // The item whose cell contains the point; gaps, headers and padding hit nothing.
    std::optional<int> itemAt(QPointF point) const;
    int sectionOfItem(int item) const;
    double sectionTop(int section) const;

    struct Range {
        int first = 0;
        int last = -1; // inclusive; empty when last < first
        bool isEmpty() const { return last < first; }
        bool contains(int i) const { return i >= first && i <= last; }
    };
    // Items on the rows that meet [top, bottom], widened by `extraRows` rows on either side.
    Range visibleItems(double top, double bottom, int extraRows = 0) const;
    // Sections whose block meets [top, bottom].
    Range visibleSections(double top, double bottom) const;

private:
    int sectionAtY(double y) const;
    double rowTop(const Section& s, int row) const { return s.gridTop + row * (cell_ + p_.spacing); }

    Parameters p_;
    bool headers_ = false;
    QList<Section> sections_;
    double cell_ = 0;
    double height_ = 0;
    int count_ = 0;
};

} // namespace app
