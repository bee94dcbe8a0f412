#include "ui/qt/logo.h"

#include <QPainter>
#include <QSvgRenderer>

namespace varnel_qt {

namespace {
const QString kLogoResource = QStringLiteral(":/varnel/logo.svg");

QPixmap Render(const QString& element, QSize size, qreal device_pixel_ratio) {
    QSvgRenderer renderer(kLogoResource);
    QPixmap pixmap(size * device_pixel_ratio);
    pixmap.setDevicePixelRatio(device_pixel_ratio);
    pixmap.fill(Qt::transparent);
    if (!renderer.isValid()) return pixmap;
    const QSizeF source =
        element.isEmpty() ? renderer.viewBoxF().size() : renderer.boundsOnElement(element).size();
    QSizeF fitted = source.scaled(QSizeF(size), Qt::KeepAspectRatio);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF target(QPointF(0, (size.height() - fitted.height()) / 2), fitted);
    if (element.isEmpty())
        renderer.render(&painter, target);
    else
        renderer.render(&painter, element, target);
    return pixmap;
}
}  // namespace

QPixmap LogoPixmap(QSize size, qreal device_pixel_ratio) {
    return Render(QString(), size, device_pixel_ratio);
}

QIcon LogoIcon() {
    QIcon icon;
    for (int side : {16, 32, 64}) icon.addPixmap(Render(QStringLiteral("emblem"), QSize(side, side), 1.0));
    return icon;
}

}  // namespace varnel_qt
