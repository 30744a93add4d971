// The preview while seeking: hovering over the position slider, or dragging
// its thumb, shows above it a small picture of the screen recording at that
// time, with the time. Pictures come from a decoder of their own (its own
// reader of the lesson, its own thread) and are kept, so that coming back to
// a time shows it at once; the user interface never waits for them.
#pragma once

#include <QImage>
#include <QObject>
#include <QWidget>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>

class QSlider;

namespace kovel::player {

class CGraphPlayer;
class CPreviewDecoder;

// The small window above the slider: a picture and the time it shows.
class CPreviewPopup final : public QWidget {
  public:
    explicit CPreviewPopup(QWidget* parent);
    // Slider position (units) the popup stands for, and the one its picture
    // is of (-1: none yet); they differ while a picture is on its way.
    int Value() const { return m_nValue; }
    int PictureValue() const { return m_nPictureValue; }
    const QImage& Picture() const { return m_picture; }

    void ShowFor(int value, const QString& time, QPoint anchorInParent);
    void SetPicture(int value, const QImage& picture);

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    int m_nValue = -1, m_nPictureValue = -1;
    QString m_strTime;
    QImage m_picture;
};

class CSeekPreview final : public QObject {
  public:
    // Watches `slider` (the position slider of the player's window).
    CSeekPreview(QSlider* slider, CGraphPlayer& player);
    ~CSeekPreview() override;

    // Hides the preview and lets the lesson's file go: no reader of the
    // preview holds it when this returns.
    void Release();
    CPreviewPopup* Popup() const { return m_pPopup; }

    // The size pictures are made to fit.
    static constexpr int kPictureWidth = 192, kPictureHeight = 108;

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    // Follows the player to its open lesson; false when there is none to
    // preview.
    bool TakeLesson();
    void ShowAt(int value, int x);
    void Hide();
    // No lesson any more; its reader is let go on the decoder's thread.
    void Forget();
    void PictureArrived(uint64_t lesson, int value, const QImage& picture);
    // The open lesson when it has a screen recording to preview; else empty.
    std::string PreviewableLesson() const;
    int ValueAtX(int x) const;
    int ThumbCentreX() const;

    QSlider* m_pSlider;
    CGraphPlayer& m_player;
    CPreviewPopup* m_pPopup;
    // Goes with the members, before the QObject base: its thread ends
    // before this object, which its pictures are posted to, does.
    std::unique_ptr<CPreviewDecoder> m_pDecoder;
    std::string m_strLesson;
    uint64_t m_nLesson = 0;
    double m_dDuration = 0;
    int m_nAsked = -1;  // value on its way from the decoder
    // Pictures by slider value, oldest first in m_order.
    std::map<int, QImage> m_cache;
    std::deque<int> m_order;
};

}  // namespace kovel::player
