// "Audio Renderer": 16-bit PCM in, the sound device out (SDL2), and the
// graph's reference clock, which counts what the device consumed.
//
// Output: the SDL2 device of $SDL_AUDIODRIVER (or SDL's choice); when no
// device opens, or when KOVEL_AUDIO_OUTPUT=null is set (or the renderer was
// made with AudioOutput::Null), a null output that consumes audio at the pace
// of the system clock. The output opens when the filter pauses from stopped
// and closes on Stop.
//
// Clock: while running, time = run start + stream time of the frames the
// output consumed (interpolated inside the block being played, never past
// its end); it stands still while paused or stopped, so it is continuous
// across a pause and never goes back.
//
// Rate: a segment played at a rate other than 1 is stretched to 1/rate of
// its length with the pitch kept (TimeStretcher) before it is queued, so
// queued frames always count stream time. At rate 1, and without a clock,
// the samples are queued untouched.
#pragma once

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "kovel/control.h"
#include "kovel/formats.h"
#include "renderer_base.h"
#include "time_stretcher.h"

namespace kovel::render {

// Automatic: a sound device, else the null output. Null: the null output.
// External: no output of its own; whoever made the renderer pulls the audio
// by calling Mix, and the clock follows those calls.
enum class AudioOutput { Automatic, Null, External };

// State of the clock, shared by the renderer (which advances it from the
// output's thread) and the clock object handed to the graph, which may
// outlive the renderer.
struct AudioClockCore {
    std::mutex mu;
    REFERENCE_TIME base = SteadyNow();  // clock value at `frames` == 0
    int64_t frames = 0;                 // frames consumed since `base`
    int rate = 48000;
    int64_t blockFrames = 0;       // frames of the block now playing
    REFERENCE_TIME blockTime = 0;  // system time that block was handed over
    REFERENCE_TIME last = 0;       // last value given out

    REFERENCE_TIME FramesToTime(int64_t f) const { return f * UNITS / rate; }
    REFERENCE_TIME NowLocked(REFERENCE_TIME sysNow);
    // A fresh epoch starting at the current value (rate may change).
    REFERENCE_TIME RebaseLocked(REFERENCE_TIME sysNow, int newRate);
};

class AudioRenderer final : public RendererBase, public IBasicAudio {
  public:
    explicit AudioRenderer(AudioOutput output = AudioOutput::Automatic);
    ~AudioRenderer() override;

    HRESULT QueryInterface(REFIID riid, void** ppv) override { return FilterBase::QueryInterface(riid, ppv); }
    ULONG AddRef() override { return FilterBase::AddRef(); }
    ULONG Release() override { return FilterBase::Release(); }

    // Without a sync source the renderer keeps no time: running, it takes
    // audio as fast as it arrives (counted as played, not heard).
    HRESULT SetSyncSource(IReferenceClock* clock) override;

    // IKovelRenderer
    HRESULT GetReferenceClock(IReferenceClock** clock) override;

    // IDispatch: not offered.
    HRESULT GetTypeInfoCount(UINT* n) override;
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
        return E_NOTIMPL;
    }
    // IBasicAudio: hundredths of a decibel, -10000 (silence) to 0; balance
    // -10000 (left only) to 10000 (right only).
    HRESULT put_Volume(LONG v) override;
    HRESULT get_Volume(LONG* v) override;
    HRESULT put_Balance(LONG b) override;
    HRESULT get_Balance(LONG* b) override;

    // RendererBase
    HRESULT OnPause(FILTER_STATE from) override;
    HRESULT OnRun(REFERENCE_TIME start) override;
    void OnStop() override;
    HRESULT OnReceive(rt::InputPin* pin, IMediaSample* sample) override;
    HRESULT OnEndOfStream(rt::InputPin* pin) override;
    HRESULT OnBeginFlush(rt::InputPin* pin) override;
    HRESULT OnEndFlush(rt::InputPin* pin) override;
    HRESULT OnNewSegment(rt::InputPin* pin, REFERENCE_TIME start, REFERENCE_TIME stop, double rate) override;
    HRESULT QueryExtra(REFIID riid, void** ppv) override;
    HRESULT CheckInputType(const rt::MediaType& mt) override;
    void SetConnected(const rt::MediaType& mt) override;
    // True while the output in use is a sound device (not the null output).
    bool UsingDevice();
    // Called by the output to fill `bytes` bytes (whole frames) of
    // interleaved 16-bit samples.
    void Mix(int16_t* out, int bytes);

    // Most audio queued before Receive blocks, and the ramp used on pause,
    // resume and after an underrun.
    static constexpr REFERENCE_TIME kQueueLimit = UNITS / 2;
    static constexpr REFERENCE_TIME kRampTime = 50000;  // 5 ms
    // Timestamps within this of the output position count as continuous;
    // beyond it, silence fills a gap and late audio is cut.
    static constexpr REFERENCE_TIME kSyncTolerance = 200000;  // 20 ms

  private:
    struct Chunk {
        std::vector<int16_t> data;
        REFERENCE_TIME start = 0;  // stream time of the first frame
        int64_t frames = 0;
        int64_t offset = 0;  // frames already played
        bool started = false;
    };
    void OpenOutput();
    void CloseOutput();
    void NullOutputLoop(int rate, int channels);
    bool PrerolledLocked() override;
    void MoreRenderStateLocked(KovelRenderState* state) override;
    REFERENCE_TIME StreamPosLocked(int64_t extraFrames);
    // Counts everything queued as played (running without a clock); true
    // when that completes the stream.
    bool DrainSynclessLocked();
    // Queues interleaved frames that start at stream time `start`, once there
    // is room (mu_ held through `l`). S_FALSE while flushing; the frames are
    // dropped when a flush or Stop came after `flushes` was read.
    HRESULT QueueLocked(std::unique_lock<std::mutex>& l, std::vector<int16_t> data, REFERENCE_TIME start,
                        uint64_t flushes);
    // Stretches frames received at sample time `start` (stretchMu_ held):
    // appends the output to `out` and answers the stream time it starts at.
    REFERENCE_TIME StretchLocked(const int16_t* in, int64_t frames, REFERENCE_TIME start, double rate,
                                 int sampleRate, int channels, std::vector<int16_t>* out);
    // The stream time where the stretcher's next output frame goes
    // (stretchMu_ held, a stretcher made).
    REFERENCE_TIME StretchOutputTimeLocked() const;
    // Ends the stretch in progress (stretchMu_ held): its last output into
    // `out`, and the stream time that starts at.
    REFERENCE_TIME FinishStretchLocked(std::vector<int16_t>* out);
    void DropStretch();

    AudioOutput output_;
    std::shared_ptr<AudioClockCore> clock_core_;
    IReferenceClock* clockObj_;

    // The stretch of the sound being received at a rate other than 1. Its
    // lock is taken before mu_, never while mu_ is held: the stretching runs
    // outside mu_, so the output's Mix never waits for it.
    std::mutex stretchMu_;
    std::unique_ptr<TimeStretcher> stretcher_;
    REFERENCE_TIME stretchStart_ = 0;  // sample time of its first frame in
    int64_t stretchIn_ = 0, stretchOut_ = 0;
    int stretchRate_ = 0;  // its frames a second

    // Everything below is guarded by mu_.
    bool resync_ = true;
    bool syncless_ = true;
    REFERENCE_TIME runStart_ = 0;
    std::deque<Chunk> queue_;
    int64_t queuedFrames_ = 0;
    REFERENCE_TIME nextStart_ = 0;  // where an untimed sample goes
    int channels_ = 2, rate_ = 48000, blockAlign_ = 4;
    double ramp_ = 0;                              // 0 silent .. 1 full
    double gainL_ = 1, gainR_ = 1, gainRest_ = 1;  // volume and balance in use
    LONGLONG framesPlayed_ = 0;
    uint64_t flushes_ = 0;  // flushes and Stops so far

    std::atomic<LONG> volume_{0}, balance_{0};

    // Output: SDL device or the null output's thread.
    uint32_t device_ = 0;
    bool sdlInit_ = false;
    std::thread nullThread_;
    std::mutex nullMu_;
    std::condition_variable nullCv_;
    bool nullStop_ = false;
    std::atomic<bool> usingDevice_{false};
};

// Creates the renderer with a chosen output (tests force the null output).
HRESULT CreateAudioRenderer(AudioOutput output, REFIID riid, void** ppv);

}  // namespace kovel::render
