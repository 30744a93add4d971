#include "audio_renderer.h"

#include <SDL2/SDL.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>

#include "kovel/runtime_classes.h"
#include "reference_clock.h"
#include "sound_messages.h"

namespace kovel::render {

namespace {

// SDL's subsystem counting is not meant for concurrent callers.
std::mutex g_sdlMu;

REFERENCE_TIME Abs(REFERENCE_TIME v) {
    return v < 0 ? -v : v;
}

double DbToGain(LONG hundredths) {
    if (hundredths <= -10000)
        return 0.0;
    return std::pow(10.0, double(hundredths) / 2000.0);
}

// The wave format of a PCM 16-bit connection, or false.
bool ParseWave(const rt::MediaType& mt, WAVEFORMATEX* out) {
    if (mt.major != MEDIATYPE_Audio || mt.subtype != MEDIASUBTYPE_PCM || mt.formattype != FORMAT_WaveFormatEx)
        return false;
    // The 16-byte form without cbSize is still a complete description.
    if (mt.format.size() < 16)
        return false;
    WAVEFORMATEX wf{};
    std::memcpy(&wf, mt.format.data(), std::min(mt.format.size(), sizeof(wf)));
    if (wf.wFormatTag == WAVE_FORMAT_EXTENSIBLE) {
        // WAVEFORMATEXTENSIBLE: 22 bytes after the header; its sub-format GUID
        // sits at byte 24 and must be PCM.
        constexpr size_t kSubFormat = 24;
        if (wf.cbSize < 22 || mt.format.size() < kSubFormat + sizeof(GUID))
            return false;
        GUID sub;
        std::memcpy(&sub, mt.format.data() + kSubFormat, sizeof(sub));
        if (sub != MEDIASUBTYPE_PCM)
            return false;
    } else if (wf.wFormatTag != WAVE_FORMAT_PCM) {
        return false;
    }
    if (wf.wBitsPerSample != 16 || wf.nChannels < 1 || wf.nChannels > 8)
        return false;
    if (wf.nSamplesPerSec < 1000 || wf.nSamplesPerSec > 384000)
        return false;
    if (wf.nBlockAlign != wf.nChannels * 2)
        return false;
    *out = wf;
    return true;
}

class AudioClock final : public media::ReferenceClockBase {
  public:
    explicit AudioClock(std::shared_ptr<AudioClockCore> core) : core_(std::move(core)) {}

  protected:
    REFERENCE_TIME Now() override {
        std::lock_guard<std::mutex> l(core_->mu);
        return core_->NowLocked(SteadyNow());
    }

  private:
    std::shared_ptr<AudioClockCore> core_;
};

void SdlCallback(void* user, Uint8* stream, int len) {
    auto* r = static_cast<AudioRenderer*>(user);
    // The device was opened with our exact format: len is whole frames of
    // channels * 2 bytes; Mix clears and fills them.
    r->Mix(reinterpret_cast<int16_t*>(stream), len);
}

}  // namespace

REFERENCE_TIME AudioClockCore::NowLocked(REFERENCE_TIME sysNow) {
    REFERENCE_TIME v = base + FramesToTime(frames - blockFrames);
    if (blockFrames > 0)
        v += std::clamp<REFERENCE_TIME>(sysNow - blockTime, 0, FramesToTime(blockFrames));
    last = std::max(last, v);
    return last;
}

REFERENCE_TIME AudioClockCore::RebaseLocked(REFERENCE_TIME sysNow, int newRate) {
    REFERENCE_TIME v = NowLocked(sysNow);
    base = v;
    frames = 0;
    blockFrames = 0;
    rate = newRate > 0 ? newRate : 48000;
    return v;
}

AudioRenderer::AudioRenderer(AudioOutput output)
    : RendererBase(CLSID_KovelAudioRenderer, KovelRenderer_Audio, u"Audio Input"),
      output_(output),
      clock_core_(std::make_shared<AudioClockCore>()),
      clockObj_(new AudioClock(clock_core_)) {}

AudioRenderer::~AudioRenderer() {
    CloseOutput();
    clockObj_->Release();
}

HRESULT AudioRenderer::QueryExtra(REFIID riid, void** ppv) {
    if (!ppv)
        return E_POINTER;
    if (riid == IID_IKovelRenderer) {
        *ppv = static_cast<IKovelRenderer*>(this);
    } else if (riid == IID_IBasicAudio || riid == IID_IDispatch) {
        *ppv = static_cast<IBasicAudio*>(this);
    } else if (riid == IID_IReferenceClock) {
        clockObj_->AddRef();
        *ppv = clockObj_;
        return S_OK;
    } else {
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

HRESULT AudioRenderer::CheckInputType(const rt::MediaType& mt) {
    WAVEFORMATEX wf;
    return ParseWave(mt, &wf) ? S_OK : S_FALSE;
}

void AudioRenderer::SetConnected(const rt::MediaType& mt) {
    WAVEFORMATEX wf{};
    bool ok = ParseWave(mt, &wf);
    std::lock_guard<std::mutex> l(mu_);
    connected_ = ok;
    if (ok) {
        channels_ = wf.nChannels;
        rate_ = int(wf.nSamplesPerSec);
        blockAlign_ = wf.nBlockAlign;
    }
    cv_.notify_all();
}

bool AudioRenderer::UsingDevice() {
    return usingDevice_.load();
}

HRESULT AudioRenderer::SetSyncSource(IReferenceClock* clock) {
    std::lock_guard<std::recursive_mutex> lk(StateLock());
    HRESULT hr = FilterBase::SetSyncSource(clock);
    std::lock_guard<std::mutex> l(mu_);
    syncless_ = clock == nullptr;
    cv_.notify_all();
    return hr;
}

bool AudioRenderer::DrainSynclessLocked() {
    for (Chunk& c : queue_) {
        if (!c.started) {
            ++presented_;
            NoteFirstPresentedLocked(c.start);
        }
        framesPlayed_ += c.frames - c.offset;
    }
    queue_.clear();
    queuedFrames_ = 0;
    cv_.notify_all();
    if (eos_ && !completeSent_) {
        completeSent_ = true;
        return true;
    }
    return false;
}

// ---------------------------------------------------------------- states

HRESULT AudioRenderer::OnPause(FILTER_STATE from) {
    if (from != State_Stopped) {
        std::lock_guard<std::mutex> l(mu_);
        streamState_ = State_Paused;
        cv_.notify_all();
        return S_OK;
    }
    int rate;
    {
        std::lock_guard<std::mutex> l(mu_);
        streamState_ = State_Paused;
        flushing_ = false;
        eos_ = completeSent_ = false;
        resync_ = true;
        queue_.clear();
        queuedFrames_ = 0;
        nextStart_ = 0;
        ramp_ = 0;
        presented_ = dropped_ = framesPlayed_ = 0;
        maxOffset_ = 0;
        ForgetFirstPresentedLocked();
        rate = rate_;
        std::lock_guard<std::mutex> c(clock_core_->mu);
        clock_core_->RebaseLocked(SteadyNow(), rate);
    }
    DropStretch();
    OpenOutput();
    return S_OK;
}

HRESULT AudioRenderer::OnRun(REFERENCE_TIME start) {
    std::lock_guard<std::mutex> l(mu_);
    streamState_ = State_Running;
    runStart_ = start;
    resync_ = true;
    {
        // The clock carries on from where it stood; stream time then runs
        // from (now - start), and Mix lines the audio up with it.
        std::lock_guard<std::mutex> c(clock_core_->mu);
        clock_core_->RebaseLocked(SteadyNow(), rate_);
    }
    cv_.notify_all();
    return S_OK;
}

void AudioRenderer::OnStop() {
    {
        std::lock_guard<std::mutex> l(mu_);
        streamState_ = State_Stopped;
        queue_.clear();
        queuedFrames_ = 0;
        eos_ = completeSent_ = false;
        ramp_ = 0;
        ForgetFirstPresentedLocked();
        ++flushes_;
        cv_.notify_all();
    }
    DropStretch();
    CloseOutput();
}

bool AudioRenderer::PrerolledLocked() {
    return !queue_.empty() || eos_ || !connected_;
}

void AudioRenderer::MoreRenderStateLocked(KovelRenderState* s) {
    s->audioFramesPlayed = framesPlayed_;
}

HRESULT AudioRenderer::GetReferenceClock(IReferenceClock** clock) {
    if (!clock)
        return E_POINTER;
    clockObj_->AddRef();
    *clock = clockObj_;
    return S_OK;
}

// ---------------------------------------------------------------- streaming

HRESULT AudioRenderer::OnReceive(rt::InputPin*, IMediaSample* sample) {
    BYTE* p = nullptr;
    if (FAILED(sample->GetPointer(&p)) || !p)
        return E_POINTER;
    LONG len = std::min(sample->GetActualDataLength(), sample->GetSize());
    if (len <= 0)
        return S_OK;

    std::unique_lock<std::mutex> l(mu_);
    if (flushing_)
        return S_FALSE;
    if (streamState_ == State_Stopped)
        return VFW_E_WRONG_STATE;
    if (eos_)
        return S_FALSE;
    const int64_t frames = len / blockAlign_;
    if (frames == 0)
        return S_OK;
    auto toTime = [&](int64_t f) { return f * UNITS / rate_; };
    REFERENCE_TIME start = 0, end = 0;
    if (!SampleTimes(sample, toTime(frames), &start, &end))
        start = nextStart_;
    // Before the segment start: decoded for the decoder's sake, never played.
    if (start + toTime(frames) <= 0) {
        ++dropped_;
        nextStart_ = start + toTime(frames);
        return S_OK;
    }
    int64_t skip = 0;
    if (start < 0) {
        skip = (-start * rate_ + UNITS - 1) / UNITS;
        if (skip >= frames) {
            ++dropped_;
            return S_OK;
        }
        start += toTime(skip);
    }
    const int64_t keep = frames - skip;
    if (syncless_ && streamState_ == State_Running) {
        DrainSynclessLocked();
        ++presented_;
        NoteFirstPresentedLocked(start);
        framesPlayed_ += keep;
        nextStart_ = start + toTime(keep);
        return S_OK;
    }
    nextStart_ = start + toTime(keep);
    const auto* first = reinterpret_cast<const int16_t*>(p + skip * blockAlign_);
    if (playRate_ == 1.0 || syncless_)
        return QueueLocked(l, std::vector<int16_t>(first, first + keep * channels_), start, flushes_);

    // Stretched outside mu_: the output keeps playing meanwhile.
    const double rate = playRate_;
    const int sampleRate = rate_, channels = channels_;
    const uint64_t flushes = flushes_;
    l.unlock();
    std::vector<int16_t> out;
    REFERENCE_TIME at;
    {
        std::lock_guard<std::mutex> s(stretchMu_);
        at = StretchLocked(first, keep, start, rate, sampleRate, channels, &out);
    }
    l.lock();
    return QueueLocked(l, std::move(out), at, flushes);
}

HRESULT AudioRenderer::QueueLocked(std::unique_lock<std::mutex>& l, std::vector<int16_t> data,
                                   REFERENCE_TIME start, uint64_t flushes) {
    const int64_t frames = int64_t(data.size()) / channels_;
    const int64_t limit = std::max<int64_t>(1, kQueueLimit * rate_ / UNITS);
    cv_.wait(l, [&] {
        return flushing_ || flushes_ != flushes || streamState_ == State_Stopped || queuedFrames_ == 0 ||
               queuedFrames_ + frames <= limit;
    });
    if (flushing_)
        return S_FALSE;
    if (streamState_ == State_Stopped)
        return VFW_E_WRONG_STATE;
    if (flushes_ != flushes || frames == 0)
        return S_OK;
    Chunk c;
    c.data = std::move(data);
    c.start = start;
    c.frames = frames;
    queuedFrames_ += frames;
    queue_.push_back(std::move(c));
    cv_.notify_all();
    return S_OK;
}

REFERENCE_TIME AudioRenderer::StretchLocked(const int16_t* in, int64_t frames, REFERENCE_TIME start,
                                            double rate, int sampleRate, int channels,
                                            std::vector<int16_t>* out) {
    auto toTime = [&](int64_t f) { return f * UNITS / sampleRate; };
    // A jump in the time stamps starts the stretch afresh from them.
    if (!stretcher_ || stretcher_->Rate() != rate || stretchRate_ != sampleRate ||
        Abs(start - (stretchStart_ + toTime(stretchIn_))) > kSyncTolerance) {
        stretcher_ = std::make_unique<TimeStretcher>(sampleRate, channels, rate);
        stretchRate_ = sampleRate;
        stretchStart_ = start;
        stretchIn_ = stretchOut_ = 0;
    }
    const REFERENCE_TIME at = StretchOutputTimeLocked();
    const size_t before = out->size();
    stretcher_->Push(in, frames, out);
    stretchIn_ += frames;
    stretchOut_ += int64_t(out->size() - before) / channels;
    return at;
}

REFERENCE_TIME AudioRenderer::StretchOutputTimeLocked() const {
    return StreamTimeOf(stretchStart_, stretcher_->Rate()) + stretchOut_ * UNITS / stretchRate_;
}

REFERENCE_TIME AudioRenderer::FinishStretchLocked(std::vector<int16_t>* out) {
    if (!stretcher_)
        return 0;
    const REFERENCE_TIME at = StretchOutputTimeLocked();
    stretcher_->Finish(out);
    stretcher_.reset();
    return at;
}

void AudioRenderer::DropStretch() {
    std::lock_guard<std::mutex> s(stretchMu_);
    stretcher_.reset();
}

HRESULT AudioRenderer::OnEndOfStream(rt::InputPin*) {
    uint64_t flushes;
    {
        std::lock_guard<std::mutex> l(mu_);
        flushes = flushes_;
    }
    // The stretcher still holds the last moments of the sound.
    std::vector<int16_t> tail;
    REFERENCE_TIME tailStart;
    {
        std::lock_guard<std::mutex> s(stretchMu_);
        tailStart = FinishStretchLocked(&tail);
    }
    bool notify = false;
    {
        std::unique_lock<std::mutex> l(mu_);
        if (!tail.empty())
            QueueLocked(l, std::move(tail), tailStart, flushes);
        if (flushing_ || streamState_ == State_Stopped || flushes_ != flushes)
            return S_FALSE;
        // EC_COMPLETE follows from the output once the queue has played out.
        eos_ = true;
        if (syncless_ && streamState_ == State_Running)
            notify = DrainSynclessLocked();
        cv_.notify_all();
    }
    if (notify)
        NotifyComplete();
    return S_OK;
}

HRESULT AudioRenderer::OnBeginFlush(rt::InputPin*) {
    std::lock_guard<std::mutex> l(mu_);
    flushing_ = true;
    ++flushes_;
    queue_.clear();
    queuedFrames_ = 0;
    eos_ = completeSent_ = false;
    ForgetFirstPresentedLocked();
    cv_.notify_all();
    return S_OK;
}

HRESULT AudioRenderer::OnEndFlush(rt::InputPin*) {
    DropStretch();
    std::lock_guard<std::mutex> l(mu_);
    flushing_ = false;
    nextStart_ = 0;
    resync_ = true;
    ramp_ = 0;
    return S_OK;
}

HRESULT AudioRenderer::OnNewSegment(rt::InputPin* pin, REFERENCE_TIME start, REFERENCE_TIME stop,
                                    double rate) {
    DropStretch();
    return RendererBase::OnNewSegment(pin, start, stop, rate);
}

REFERENCE_TIME AudioRenderer::StreamPosLocked(int64_t extraFrames) {
    std::lock_guard<std::mutex> c(clock_core_->mu);
    return clock_core_->base - runStart_ + clock_core_->FramesToTime(clock_core_->frames + extraFrames);
}

void AudioRenderer::Mix(int16_t* out, int bytes) {
    bool notify = false;
    {
        std::lock_guard<std::mutex> l(mu_);
        const int ch = channels_;
        const int frames = bytes / (ch * 2);
        std::memset(out, 0, size_t(bytes));
        const bool running = streamState_ == State_Running && !flushing_;
        const double step = 1.0 / double(std::max<int64_t>(1, kRampTime * rate_ / UNITS));
        const double vol = DbToGain(volume_.load());
        const LONG bal = balance_.load();
        // Targets; the gains in use glide to them so a volume step does not click.
        const double wantL = ch == 1 ? vol : vol * (bal > 0 ? DbToGain(-bal) : 1.0);
        const double wantR = ch == 1 ? vol : vol * (bal < 0 ? DbToGain(bal) : 1.0);
        auto glide = [&](double& g, double want) {
            g = g < want ? std::min(want, g + step) : std::max(want, g - step);
        };
        auto frameTime = [&](int64_t f) { return f * UNITS / rate_; };

        // Copies `n` frames of the front chunk with volume and ramp.
        auto play = [&](int at, int64_t n, bool rampDown) {
            Chunk& c = queue_.front();
            const int16_t* src = c.data.data() + c.offset * ch;
            int16_t* dst = out + int64_t(at) * ch;
            for (int64_t f = 0; f < n; ++f) {
                if (rampDown)
                    ramp_ = std::max(0.0, ramp_ - step);
                else
                    ramp_ = std::min(1.0, ramp_ + step);
                glide(gainL_, wantL);
                glide(gainR_, wantR);
                glide(gainRest_, vol);
                for (int k = 0; k < ch; ++k) {
                    double g = (k == 0 ? gainL_ : k == 1 ? gainR_ : gainRest_) * ramp_;
                    double v = std::lround(double(src[f * ch + k]) * g);
                    dst[f * ch + k] = int16_t(std::clamp(v, -32768.0, 32767.0));
                }
            }
            c.offset += n;
            queuedFrames_ -= n;
            framesPlayed_ += n;
            if (c.offset >= c.frames)
                queue_.pop_front();
        };

        int64_t advanced = 0;
        if (running && syncless_) {
            // What was held for the pause is let go at once.
            notify = DrainSynclessLocked();
            advanced = frames;
        } else if (!running) {
            // Fade what was playing, then stand still (the clock with it).
            int i = 0;
            while (i < frames && ramp_ > 0 && !queue_.empty() && !flushing_) {
                int64_t n = std::min<int64_t>(frames - i, queue_.front().frames - queue_.front().offset);
                n = std::min<int64_t>(n, int64_t(std::ceil(ramp_ / step)));
                play(i, n, true);
                i += int(n);
            }
            if (queue_.empty() || flushing_ || ramp_ <= 0)
                ramp_ = 0;
            advanced = i;
        } else {
            int i = 0;
            while (i < frames) {
                if (queue_.empty()) {
                    if (eos_ && !completeSent_) {
                        completeSent_ = true;
                        notify = true;
                    }
                    ramp_ = 0;  // fade back in after an underrun
                    break;
                }
                Chunk& c = queue_.front();
                if (!c.started || resync_) {
                    REFERENCE_TIME pos = StreamPosLocked(i);
                    REFERENCE_TIME diff = c.start + frameTime(c.offset) - pos;
                    // After a resume the audio starts exactly on time; between
                    // chunks small jitter is ignored.
                    REFERENCE_TIME early = resync_ ? frameTime(1) : kSyncTolerance;
                    if (diff > early) {
                        int64_t gap = (diff * rate_ + UNITS - 1) / UNITS;
                        i += int(std::min<int64_t>(gap, frames - i));
                        ramp_ = 0;
                        continue;
                    }
                    if (diff < -kSyncTolerance) {
                        // Late (after an underrun): cut what is already past.
                        int64_t skip = (-diff * rate_) / UNITS;
                        int64_t left = c.frames - c.offset;
                        if (skip >= left) {
                            if (!c.started)
                                ++dropped_;
                            queuedFrames_ -= left;
                            queue_.pop_front();
                            continue;
                        }
                        c.offset += skip;
                        queuedFrames_ -= skip;
                        diff += frameTime(skip);
                    }
                    if (!c.started) {
                        c.started = true;
                        ++presented_;
                        NoteFirstPresentedLocked(SampleTimeOf(c.start + frameTime(c.offset), playRate_));
                    }
                    maxOffset_ = std::max(maxOffset_, Abs(diff));
                    resync_ = false;
                }
                int64_t n = std::min<int64_t>(frames - i, c.frames - c.offset);
                play(i, n, false);
                i += int(n);
            }
            advanced = frames;
        }
        {
            std::lock_guard<std::mutex> c(clock_core_->mu);
            REFERENCE_TIME now = SteadyNow();
            if (advanced > 0) {
                clock_core_->NowLocked(now);
                clock_core_->frames += advanced;
                clock_core_->blockFrames = advanced;
                clock_core_->blockTime = now;
            } else {
                clock_core_->NowLocked(now);
                clock_core_->blockFrames = 0;
            }
        }
        cv_.notify_all();
    }
    if (notify)
        NotifyComplete();
}

// ---------------------------------------------------------------- output

void AudioRenderer::OpenOutput() {
    CloseOutput();
    if (output_ == AudioOutput::External)
        return;
    int rate, ch;
    bool connected;
    {
        std::lock_guard<std::mutex> l(mu_);
        rate = rate_;
        ch = channels_;
        connected = connected_;
    }
    const char* env = std::getenv("KOVEL_AUDIO_OUTPUT");
    bool wantNull = output_ == AudioOutput::Null || !connected || (env && std::strcmp(env, "null") == 0);
    if (!wantNull) {
        std::lock_guard<std::mutex> g(g_sdlMu);
        QuietenSoundLibraries();
        // The program owns its signals: SDL would take SIGINT and SIGTERM
        // for an event queue nobody reads, and the program would not end.
        SDL_SetHintWithPriority(SDL_HINT_NO_SIGNAL_HANDLERS, "1", SDL_HINT_OVERRIDE);
        if (SDL_InitSubSystem(SDL_INIT_AUDIO) == 0) {
            SDL_AudioSpec want{}, have{};
            want.freq = rate;
            want.format = AUDIO_S16SYS;
            want.channels = Uint8(ch);
            // About 20 ms per block: the clock's steps and the latency.
            Uint16 samples = 256;
            while (samples < 4096 && samples < rate / 50) samples = Uint16(samples * 2);
            want.samples = samples;
            want.callback = &SdlCallback;
            want.userdata = this;
            device_ = SDL_OpenAudioDevice(nullptr, 0, &want, &have, 0);
            if (device_) {
                sdlInit_ = true;
                usingDevice_ = true;
                SDL_PauseAudioDevice(device_, 0);
                return;
            }
            ReportNullOutput(SDL_GetError());
            SDL_QuitSubSystem(SDL_INIT_AUDIO);
        } else {
            ReportNullOutput(SDL_GetError());
        }
    }
    {
        std::lock_guard<std::mutex> l(nullMu_);
        nullStop_ = false;
    }
    nullThread_ = std::thread([this, rate, ch] { NullOutputLoop(rate, ch); });
}

void AudioRenderer::NullOutputLoop(int rate, int ch) {
    std::vector<int16_t> buf;
    const REFERENCE_TIME t0 = SteadyNow();
    int64_t done = 0;
    std::unique_lock<std::mutex> l(nullMu_);
    while (!nullStop_) {
        nullCv_.wait_for(l, std::chrono::milliseconds(10));
        if (nullStop_)
            break;
        l.unlock();
        int64_t target = (SteadyNow() - t0) * rate / UNITS;
        // After a long stall (the process was stopped), carry on from now
        // rather than rushing through the backlog.
        if (target - done > rate / 5)
            done = target - rate / 5;
        int64_t n = target - done;
        if (n > 0) {
            buf.assign(size_t(n) * size_t(ch), 0);
            Mix(buf.data(), int(n * ch * 2));
            done += n;
        }
        l.lock();
    }
}

void AudioRenderer::CloseOutput() {
    if (device_) {
        SDL_CloseAudioDevice(device_);
        device_ = 0;
        std::lock_guard<std::mutex> g(g_sdlMu);
        if (sdlInit_)
            SDL_QuitSubSystem(SDL_INIT_AUDIO);
        sdlInit_ = false;
    }
    if (nullThread_.joinable()) {
        {
            std::lock_guard<std::mutex> l(nullMu_);
            nullStop_ = true;
        }
        nullCv_.notify_all();
        nullThread_.join();
    }
    usingDevice_ = false;
}

// ---------------------------------------------------------------- IBasicAudio

HRESULT AudioRenderer::GetTypeInfoCount(UINT* n) {
    if (n)
        *n = 0;
    return E_NOTIMPL;
}

HRESULT AudioRenderer::put_Volume(LONG v) {
    if (v > 0 || v < -10000)
        return E_INVALIDARG;
    volume_ = v;
    return S_OK;
}
HRESULT AudioRenderer::get_Volume(LONG* v) {
    if (!v)
        return E_POINTER;
    *v = volume_;
    return S_OK;
}
HRESULT AudioRenderer::put_Balance(LONG b) {
    if (b > 10000 || b < -10000)
        return E_INVALIDARG;
    balance_ = b;
    return S_OK;
}
HRESULT AudioRenderer::get_Balance(LONG* b) {
    if (!b)
        return E_POINTER;
    *b = balance_;
    return S_OK;
}

HRESULT CreateAudioRenderer(AudioOutput output, REFIID riid, void** ppv) {
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    auto* r = new (std::nothrow) AudioRenderer(output);
    if (!r)
        return E_OUTOFMEMORY;
    HRESULT hr = r->QueryInterface(riid, ppv);
    r->Release();
    return hr;
}

}  // namespace kovel::render
