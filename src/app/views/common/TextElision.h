#pragma once

#include <QFont>
#include <QLabel>
#include <QString>

namespace app {

// Wraps `text` (anywhere, as paths have no spaces) into at most `maxLines` lines of `width` pixels,
// cutting the middle with "…" when it does not fit. Lines are joined with '\n'.
QString elidedMiddleLines(const QString& text, const QFont& font, int width, int maxLines);

// A label that shows its text in at most `maxLines` lines of the width it is given, cut in the
// middle when longer (a long path keeps its start and its end). It takes the width its layout
// offers rather than asking for the text's.
class MiddleElidedLabel : public QLabel {
    Q_OBJECT
public:
    explicit MiddleElidedLabel(int maxLines, QWidget* parent = nullptr);
    void setFullText(const QString& text);
    const QString& fullText() const { return fullText_; }
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void refresh();

    int maxLines_;
    QString fullText_;
};

} // namespace app
