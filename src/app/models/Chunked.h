#pragma once

#include <QList>

#include <algorithm>

namespace app {

// Consecutive runs of `size` elements, the last one shorter.
template <typename T>
QList<QList<T>> chunked(const QList<T>& items, qsizetype size)
{
    size = std::max<qsizetype>(size, 1);
    QList<QList<T>> runs;
    runs.reserve((items.size() + size - 1) / size);
    for (qsizetype i = 0; i < items.size(); i += size)
        runs.append(items.mid(i, size));
    return runs;
}

} // namespace app
