// Pictures of a lesson's screen recording for the seek preview, decoded on a
// thread of its own through a graph of its own: a reader filter created
// through the component runtime as the player's is, its screen recording
// rendered into a video renderer without a window, the graph paused. A wish
// for a time seeks that graph; the decoder starts at the key frame the index
// gives for that second and the renderer holds the picture at the time, which
// is taken from it and made small. Playback and the user interface never wait
// for it: wishes replace each other, and pictures are handed back.
#pragma once

#include <QImage>
#include <QSize>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace kovel::player {

class CPreviewDecoder {
  public:
    // Called on the decoder's thread with a picture no larger than `box`
    // (null when the time had none) for the wish `key` of lesson `lesson`.
    using Deliver = std::function<void(uint64_t lesson, int key, QImage picture)>;

    CPreviewDecoder(QSize box, Deliver deliver);
    ~CPreviewDecoder();
    CPreviewDecoder(const CPreviewDecoder&) = delete;
    CPreviewDecoder& operator=(const CPreviewDecoder&) = delete;

    // The lesson pictures come from (empty: none), and a number naming it in
    // deliveries. Its reader is made at once, the old one let go, both on the
    // decoder's thread.
    void SetLesson(const std::string& path, uint64_t lesson);
    // No lesson, and its file no longer held when this returns.
    void LetGo(uint64_t lesson);
    // The picture at `seconds`, handed back under `key`; replaces a wish not
    // yet taken up.
    void Want(int key, double seconds);

  private:
    struct Graph;
    void Loop();
    QImage Decode(Graph& g, double seconds);

    const QSize box_;
    const Deliver deliver_;

    std::mutex mu_;
    std::condition_variable cv_;
    // Guarded by mu_.
    std::string wantedPath_, openPath_;
    uint64_t wantedLesson_ = 0;
    bool haveWish_ = false, quit_ = false;
    int wishKey_ = 0;
    double wishSeconds_ = 0;

    std::thread thread_;
};

}  // namespace kovel::player
