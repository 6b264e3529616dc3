#pragma once

#include "support/app/LoopbackHttpServer.h"

#include <QBuffer>
#include <QImage>
#include <QPainter>
#include <QSet>
#include <QStringList>

namespace app::testing {

// Map tiles from 127.0.0.1 whose one colour says which tile each is; paths in `missing` are 404.
struct LoopbackTileServer {
    static QColor colour(int z, int x, int y) { return QColor(128 + (8 * z) % 128, 128 + x % 128, 128 + y % 128); }

    static QByteArray png(int z, int x, int y)
    {
        QImage image(256, 256, QImage::Format_RGB32);
        image.fill(colour(z, x, y));
        // A frame and the tile's name in its top-left corner, so screenshots show the grid.
        QPainter painter(&image);
        painter.setPen(colour(z, x, y).darker(115));
        painter.drawRect(0, 0, 255, 255);
        QFont font = painter.font();
        font.setPixelSize(10);
        painter.setFont(font);
        painter.drawText(QRect(4, 2, 120, 14), Qt::AlignLeft | Qt::AlignVCenter,
                         QString("%1/%2/%3").arg(z).arg(x).arg(y));
        painter.end();
        QByteArray bytes;
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::WriteOnly);
        image.save(&buffer, "PNG");
        return bytes;
    }

    explicit LoopbackTileServer(int delayMs = 0, QSet<QString> missing = {})
        : server([delayMs, missing](const LoopbackHttpServer::Request& request) {
              LoopbackHttpServer::Response response;
              response.delayMs = delayMs;
              const QStringList parts = request.path.split('/', Qt::SkipEmptyParts);
              if (missing.contains(request.path) || parts.size() != 3) {
                  response.status = 404;
                  return response;
              }
              response.contentType = "image/png";
              // Shorter than the week the loader keeps tiles for.
              response.headers = {{"Cache-Control", "max-age=60"}};
              response.body = png(parts[0].toInt(), parts[1].toInt(), QString(parts[2]).remove(".png").toInt());
              return response;
          })
    {
    }

    QString urlTemplate() const { return server.baseUrl() + "/{z}/{x}/{y}.png"; }

    LoopbackHttpServer server;
};

} // namespace app::testing
