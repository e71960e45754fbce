#include "ui/qt/app_icon.h"

#include <QByteArray>
#include <QPainter>
#include <QSvgRenderer>
#include <cmath>

#include "res/resources.h"

namespace ui::qt {

QPixmap applicationPixmap(int size, qreal devicePixelRatio) {
    const int device = static_cast<int>(std::lround(size * devicePixelRatio));
    QPixmap pixmap(device, device);
    pixmap.fill(Qt::transparent);
    QSvgRenderer renderer(QByteArray(res::kApplicationIconSvg));
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    renderer.render(&painter, QRectF(0, 0, device, device));
    painter.end();
    pixmap.setDevicePixelRatio(devicePixelRatio);
    return pixmap;
}

QIcon applicationIcon() {
    QIcon icon;
    for (int size : kIconSizes) {
        icon.addPixmap(applicationPixmap(size));
    }
    return icon;
}

}  // namespace ui::qt
