#include "video_widget.h"

#include <QMetaObject>
#include <QPainter>

namespace kovel::render {

namespace {
// Under the slot's lock. The widget cannot go away while it is held (its
// destructor takes it first), and Qt drops events posted to an object that
// is deleted before they are delivered.
void PostRepaintLocked(FrameSlot& s) {
    if (s.widget && !s.updatePending) {
        s.updatePending = true;
        VideoWidget* w = s.widget;
        QMetaObject::invokeMethod(
            w, [w] { w->FrameArrived(); }, Qt::QueuedConnection);
    }
}
}  // namespace

void FrameSlot::Publish(QImage img) {
    std::lock_guard<std::mutex> l(mu);
    image = std::move(img);
    ++frames;
    PostRepaintLocked(*this);
}

void FrameSlot::RequestRepaint() {
    std::lock_guard<std::mutex> l(mu);
    PostRepaintLocked(*this);
}

void FrameSlot::RequestShow() {
    std::lock_guard<std::mutex> l(mu);
    if (VideoWidget* w = widget)
        QMetaObject::invokeMethod(
            w, [w] { w->show(); }, Qt::QueuedConnection);
}

VideoWidget::VideoWidget(std::shared_ptr<FrameSlot> slot, QWidget* parent)
    : QWidget(parent), slot_(std::move(slot)) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAutoFillBackground(false);
    std::lock_guard<std::mutex> l(slot_->mu);
    slot_->widget = this;
    slot_->updatePending = false;
}

VideoWidget::~VideoWidget() {
    std::lock_guard<std::mutex> l(slot_->mu);
    if (slot_->widget == this)
        slot_->widget = nullptr;
}

void VideoWidget::FrameArrived() {
    {
        std::lock_guard<std::mutex> l(slot_->mu);
        slot_->updatePending = false;
    }
    update();
}

void VideoWidget::paintEvent(QPaintEvent*) {
    QImage img;
    QRect src, dst;
    {
        std::lock_guard<std::mutex> l(slot_->mu);
        img = slot_->image;  // shared, not copied
        src = slot_->source;
        dst = slot_->dest;
    }
    QPainter p(this);
    p.fillRect(rect(), Qt::black);
    if (img.isNull())
        return;
    if (src.isNull())
        src = img.rect();
    if (dst.isNull())
        dst = rect();
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    p.drawImage(dst, img, src);
}

}  // namespace kovel::render
