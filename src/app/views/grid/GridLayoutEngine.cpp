#include "app/views/grid/GridLayoutEngine.h"

#include <algorithm>
#include <cmath>

namespace app {

void GridLayoutEngine::setLayout(const Parameters& parameters, const QList<int>& sectionSizes, bool withHeaders)
{
    p_ = parameters;
    p_.columns = std::max(p_.columns, 1);
    p_.spacing = std::max(p_.spacing, 0.0);
    headers_ = withHeaders;
    sections_.clear();
    count_ = 0;

    const double inner = p_.width - 2 * p_.spacing - (p_.columns - 1) * p_.spacing;
    // In a narrow window the cells keep shrinking rather than spilling out of it.
    cell_ = std::max(inner / p_.columns, p_.minimumCell);

    QList<int> sizes;
    if (withHeaders) {
        for (int n : sectionSizes)
            if (n > 0)
                sizes.append(n);
    } else {
        int total = 0;
        for (int n : sectionSizes)
            total += std::max(n, 0);
        if (total > 0)
            sizes.append(total);
    }

    double y = p_.spacing;
    sections_.reserve(sizes.size());
    for (int n : sizes) {
        Section s;
        s.firstItem = count_;
        s.itemCount = n;
        s.rows = (n + p_.columns - 1) / p_.columns;
        s.top = y;
        s.gridTop = withHeaders ? y + p_.headerHeight + p_.headerGap : y;
        s.bottom = s.gridTop + s.rows * cell_ + (s.rows - 1) * p_.spacing;
        sections_.append(s);
        count_ += n;
        y = s.bottom + p_.sectionSpacing;
    }
    height_ = sections_.isEmpty() ? 2 * p_.spacing : sections_.back().bottom + p_.spacing;
}

int GridLayoutEngine::sectionOfItem(int item) const
{
    if (item < 0 || item >= count_)
        return -1;
    const auto it = std::upper_bound(sections_.cbegin(), sections_.cend(), item,
                                     [](int i, const Section& s) { return i < s.firstItem; });
    return int(it - sections_.cbegin()) - 1;
}

QRectF GridLayoutEngine::cellRect(int item) const
{
    const int si = sectionOfItem(item);
    if (si < 0)
        return {};
    const Section& s = sections_[si];
    const int local = item - s.firstItem;
    const int row = local / p_.columns;
    const int column = local % p_.columns;
    return {p_.spacing + column * (cell_ + p_.spacing), rowTop(s, row), cell_, cell_};
}

QRectF GridLayoutEngine::headerRect(int section) const
{
    if (!headers_ || section < 0 || section >= sections_.size())
        return {};
    const Section& s = sections_[section];
    return {p_.spacing, s.top, std::max(p_.width - 2 * p_.spacing, 0.0), p_.headerHeight};
}

double GridLayoutEngine::sectionTop(int section) const
{
    if (section < 0 || section >= sections_.size())
        return 0;
    return sections_[section].top;
}

int GridLayoutEngine::sectionAtY(double y) const
{
    // The last section whose top is at or above y.
    const auto it = std::upper_bound(sections_.cbegin(), sections_.cend(), y,
                                     [](double v, const Section& s) { return v < s.top; });
    return std::max(int(it - sections_.cbegin()) - 1, 0);
}

std::optional<int> GridLayoutEngine::itemAt(QPointF point) const
{
    if (sections_.isEmpty() || cell_ <= 0)
        return std::nullopt;
    const Section& s = sections_[sectionAtY(point.y())];
    const double x = point.x() - p_.spacing;
    const double y = point.y() - s.gridTop;
    if (x < 0 || y < 0)
        return std::nullopt;
    const double pitch = cell_ + p_.spacing;
    const int column = int(std::floor(x / pitch));
    const int row = int(std::floor(y / pitch));
    if (column >= p_.columns || row >= s.rows)
        return std::nullopt;
    // Inside the gap after a cell.
    if (x - column * pitch >= cell_ || y - row * pitch >= cell_)
        return std::nullopt;
    const int local = row * p_.columns + column;
    if (local >= s.itemCount)
        return std::nullopt;
    return s.firstItem + local;
}

GridLayoutEngine::Range GridLayoutEngine::visibleSections(double top, double bottom) const
{
    if (sections_.isEmpty() || bottom < top)
        return {};
    int first = sectionAtY(top);
    if (sections_[first].bottom < top)
        ++first;
    const int last = sectionAtY(bottom);
    if (first > last || sections_[last].top > bottom)
        return {};
    return {first, last};
}

GridLayoutEngine::Range GridLayoutEngine::visibleItems(double top, double bottom, int extraRows) const
{
    const Range secs = visibleSections(top, bottom);
    if (secs.isEmpty() || cell_ <= 0)
        return {};
    const double pitch = cell_ + p_.spacing;
    const auto rowRange = [&](const Section& s) {
        int firstRow = int(std::floor((top - s.gridTop) / pitch));
        int lastRow = int(std::floor((bottom - s.gridTop) / pitch));
        firstRow = std::clamp(firstRow, 0, s.rows - 1);
        lastRow = std::clamp(lastRow, 0, s.rows - 1);
        return std::pair(firstRow, lastRow);
    };
    const Section& a = sections_[secs.first];
    const Section& b = sections_[secs.last];
    int first = a.firstItem + rowRange(a).first * p_.columns;
    int last = b.firstItem + std::min((rowRange(b).second + 1) * p_.columns, b.itemCount) - 1;
    // Widen by whole rows, crossing into neighbouring sections by item count.
    first = std::max(first - extraRows * p_.columns, 0);
    last = std::min(last + extraRows * p_.columns, count_ - 1);
    return {first, last};
}

} // namespace app
