#include "TrayIcons.h"

#include <QPainter>
#include <QPixmap>

namespace voxmit {

QIcon MakeTrayIcon(TTrayIcon which) {
  const bool running = which == tiRunning || which == tiRunningFlash;
  const bool flash = which == tiRunningFlash || which == tiStoppedFlash;
  QIcon icon;
  for (int size : {16, 22, 32, 48}) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    QColor fill = running ? QColor(0x2e, 0xa0, 0x43) : QColor(0xc6, 0x28, 0x28);
    if (flash) fill = fill.lighter(170);
    p.setPen(QPen(QColor(0x20, 0x20, 0x20), size / 16.0));
    p.setBrush(fill);
    const qreal m = size / 16.0;
    p.drawEllipse(QRectF(m, m, size - 2 * m, size - 2 * m));
    // A "V" for the server's name, white on the disc.
    p.setPen(QPen(Qt::white, size / 8.0, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    const QPointF v[3] = {{size * 0.30, size * 0.30}, {size * 0.50, size * 0.72},
                          {size * 0.70, size * 0.30}};
    p.drawPolyline(v, 3);
    p.end();
    icon.addPixmap(pixmap);
  }
  return icon;
}

} // namespace voxmit
