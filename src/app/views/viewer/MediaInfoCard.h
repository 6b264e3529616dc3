#pragma once

#include "app/services/library/MediaMetadataExtractor.h"

#include <QWidget>

#include <optional>

class QGridLayout;
class QLabel;

namespace app {

// The dark card of label and value rows the viewer shows while the pointer rests on its info
// icon. Pointer events pass through it.
class MediaInfoCard : public QWidget {
    Q_OBJECT
public:
    explicit MediaInfoCard(QWidget* parent = nullptr);

    void setMetadata(const std::optional<MediaMetadata>& metadata);
    // Rows shown as (label, value); empty while the card reads "正在读取信息…".
    QList<std::pair<QString, QString>> shownRows() const;
    QString statusText() const;

    static constexpr int maximumCardWidth = 420;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QWidget* rowsPage_;
    QGridLayout* grid_;
    QLabel* status_;
    QList<std::pair<QLabel*, QLabel*>> rows_;
    bool hasRows_ = false;
};

} // namespace app
