#include "app/views/common/SymbolIcon.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QIconEngine>
#include <QLoggingCategory>
#include <QPainter>
#include <QPalette>
#include <QSet>
#include <QSvgRenderer>

#include <cmath>
#include <optional>

// Resources of a static library are only linked in when something refers to them.
static void ensureSymbolResources()
{
    static const bool loaded = [] {
        Q_INIT_RESOURCE(symbols);
        return true;
    }();
    Q_UNUSED(loaded);
}

Q_LOGGING_CATEGORY(lcSymbols, "tessivarnholm.symbols")

namespace app::SymbolIcon {

namespace {
QString resourcePath(const QString& name)
{
    return ":/symbols/" + name + ".svg";
}

class SymbolEngine final : public QIconEngine {
public:
    SymbolEngine(QString name, std::optional<QColor> color) : m_name(std::move(name)), m_color(color) {}

    QIconEngine* clone() const override { return new SymbolEngine(m_name, m_color); }
    QString key() const override { return "tessivarnholm.symbol"; }

    void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode, QIcon::State) override
    {
        const qreal dpr = painter->device() ? painter->device()->devicePixelRatioF() : 1.0;
        painter->drawPixmap(rect, SymbolIcon::pixmap(m_name, rect.size(), colorFor(mode), dpr));
    }

    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State) override
    {
        return SymbolIcon::pixmap(m_name, size, colorFor(mode));
    }

    QPixmap scaledPixmap(const QSize& size, QIcon::Mode mode, QIcon::State, qreal scale) override
    {
        return SymbolIcon::pixmap(m_name, size, colorFor(mode), scale);
    }

    QSize actualSize(const QSize& size, QIcon::Mode, QIcon::State) override
    {
        const int side = std::min(size.width(), size.height());
        return {side, side};
    }

    bool isNull() override { return !exists(m_name); }

private:
    QColor colorFor(QIcon::Mode mode) const
    {
        const QPalette palette = QApplication::palette();
        if (mode == QIcon::Disabled)
            return palette.color(QPalette::Disabled, QPalette::WindowText);
        // On a selected row the tint would vanish into a highlight of its own hue.
        if (mode == QIcon::Selected)
            return palette.color(QPalette::HighlightedText);
        return m_color ? *m_color : palette.color(QPalette::WindowText);
    }

    QString m_name;
    std::optional<QColor> m_color;
};

QIcon makeIcon(const QString& name, std::optional<QColor> color)
{
    if (!exists(name)) {
        qCWarning(lcSymbols) << "no symbol named" << name;
        return {};
    }
    return QIcon(new SymbolEngine(name, color));
}
} // namespace

bool exists(const QString& name)
{
    ensureSymbolResources();
    return !name.isEmpty() && QFile::exists(resourcePath(name));
}

QStringList names()
{
    ensureSymbolResources();
    QStringList result;
    for (const QString& file : QDir(":/symbols").entryList({"*.svg"}, QDir::Files, QDir::Name))
        result.append(file.chopped(4));
    return result;
}

QIcon icon(const QString& name)
{
    return makeIcon(name, std::nullopt);
}

QIcon icon(const QString& name, const QColor& color)
{
    return makeIcon(name, color);
}

QPixmap pixmap(const QString& name, const QSize& size, const QColor& color, qreal devicePixelRatio)
{
    ensureSymbolResources();
    const qreal dpr = devicePixelRatio > 0 ? devicePixelRatio : 1.0;
    const QSize pixels(static_cast<int>(std::ceil(size.width() * dpr)), static_cast<int>(std::ceil(size.height() * dpr)));
    if (pixels.isEmpty())
        return {};
    QImage image(pixels, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QSvgRenderer renderer(resourcePath(name));
    if (!renderer.isValid())
        return {};
    {
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        // Keep the square symbol square inside any rectangle.
        const int side = std::min(pixels.width(), pixels.height());
        const QRect target((pixels.width() - side) / 2, (pixels.height() - side) / 2, side, side);
        renderer.render(&painter, target);
        painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
        painter.fillRect(image.rect(), color);
    }
    QPixmap result = QPixmap::fromImage(image);
    result.setDevicePixelRatio(dpr);
    return result;
}

} // namespace app::SymbolIcon
