// The video renderer's window: a plain widget painting the latest frame,
// scaled to its rectangle. Frames reach it through a slot that the streaming
// thread fills under the slot's own lock and never waits on the GUI thread
// for: it stores the picture and posts one queued repaint.
#pragma once

#include <QImage>
#include <QRect>
#include <QWidget>
#include <memory>
#include <mutex>

namespace kovel::render {

class VideoWidget;

struct FrameSlot {
    std::mutex mu;
    QImage image;
    VideoWidget* widget = nullptr;  // set and cleared by the widget itself
    bool updatePending = false;
    QRect source;         // part of the picture shown; null: all of it
    QRect dest;           // where in the widget; null: the whole widget
    uint64_t frames = 0;  // pictures published

    // Any thread.
    void Publish(QImage img);
    void RequestShow();
    void RequestRepaint();
};

class VideoWidget final : public QWidget {
  public:
    explicit VideoWidget(std::shared_ptr<FrameSlot> slot, QWidget* parent = nullptr);
    ~VideoWidget() override;
    // A new picture or rectangle: repaint (GUI thread, from a queued call).
    void FrameArrived();

  protected:
    void paintEvent(QPaintEvent* e) override;

  private:
    std::shared_ptr<FrameSlot> slot_;
};

}  // namespace kovel::render
