#include "display_size.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QRect>
#include <QScreen>
#include <QThread>

namespace kovel::stubcast {

DisplaySize QueryDisplaySize() {
    DisplaySize size{kDefaultDisplayWidth, kDefaultDisplayHeight};
    auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance());
    if (!app || QThread::currentThread() != app->thread())
        return size;
    const QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen)
        return size;
    const QRect geometry = screen->geometry();
    if (geometry.width() <= 0 || geometry.height() <= 0 || geometry.width() > kMaxDisplaySide ||
        geometry.height() > kMaxDisplaySide)
        return size;
    size.width = geometry.width();
    size.height = geometry.height();
    return size;
}

}  // namespace kovel::stubcast
