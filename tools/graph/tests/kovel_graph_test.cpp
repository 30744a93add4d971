// The whole runtime from the outside: lessons made by `zmr create` (and
// their Matroska export) played by kovel-graph through the reader plug-in,
// the decoders and the renderers, headless with the dummy sound driver.
#include <gtest/gtest.h>

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <cmath>
#include <map>
#include <vector>

namespace {

struct Output {
    int status = -1;
    QByteArray out, err;
};

Output RunProgram(const QString& program, const QStringList& args, const QStringList& env = {},
                  int timeoutMs = 120000) {
    QProcess p;
    QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
    for (const QString& setting : env) e.insert(setting.section('=', 0, 0), setting.section('=', 1));
    p.setProcessEnvironment(e);
    p.start(program, args);
    Output o;
    if (!p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished();
        return o;
    }
    o.status = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    o.out = p.readAllStandardOutput();
    o.err = p.readAllStandardError();
    return o;
}

class KovelGraphTest : public ::testing::Test {
  protected:
    // A lesson of `seconds` with the given streams (small pictures, so the
    // test is quick); made once per name.
    QString Lesson(const QString& name, int seconds, const QStringList& extra = {}) {
        const QString path = dir.path() + "/" + name;
        QStringList args{
            "create",        path,      "--pattern",     "--tone", "--duration", QString::number(seconds),
            "--screen-size", "320x240", "--camera-size", "160x120"};
        args += extra;
        Output made = RunProgram(ZMR_PATH, args);
        EXPECT_EQ(made.status, 0) << made.err.constData();
        return path;
    }

    // Samples the reader delivers per pin, counted by `zmr samples`.
    std::map<QString, int> SamplesPerPin(const QString& lesson) {
        Output o = RunProgram(ZMR_PATH, {"samples", lesson});
        EXPECT_EQ(o.status, 0) << o.err.constData();
        std::map<QString, int> count;
        for (const QByteArray& line : o.out.split('\n')) {
            const QJsonObject ev = QJsonDocument::fromJson(line).object();
            if (ev.value("event").toString() == "sample")
                ++count[ev.value("pin").toString()];
        }
        return count;
    }

    QJsonObject Play(const QString& file, const QStringList& extra = {}, const QStringList& env = {}) {
        Output o = RunProgram(KOVEL_GRAPH_PATH, QStringList{file, "--json"} + extra, env);
        EXPECT_EQ(o.status, 0) << o.err.constData();
        QJsonParseError error{};
        QJsonDocument doc = QJsonDocument::fromJson(o.out.trimmed(), &error);
        EXPECT_EQ(error.error, QJsonParseError::NoError) << o.out.constData();
        return doc.object();
    }

    static int Count(const QJsonObject& report, int code) {
        int n = 0;
        for (const QJsonValue& e : report.value("events").toArray())
            if (e.toObject().value("code").toInt() == code)
                ++n;
        return n;
    }

    static QJsonObject VideoFrom(const QJsonObject& report, const QString& pin) {
        for (const QJsonValue& v : report.value("video").toArray())
            if (v.toObject().value("source_pin").toString() == pin)
                return v.toObject();
        return {};
    }

    QTemporaryDir dir;
};

// The strongest frequency from 300 to 1000 Hz in `x`, to 0.05 Hz: a Hann
// window, then the power at each frequency (Goertzel) in 1 Hz steps and
// around the best of them in fine ones.
double DominantFrequency(const std::vector<double>& x, int rate) {
    std::vector<double> w(x.size());
    for (size_t i = 0; i < x.size(); ++i)
        w[i] = x[i] * (0.5 - 0.5 * std::cos(2 * M_PI * double(i) / double(x.size())));
    auto power = [&](double f) {
        const double k = 2 * std::cos(2 * M_PI * f / rate);
        double q1 = 0, q2 = 0;
        for (double v : w) {
            const double q0 = k * q1 - q2 + v;
            q2 = q1;
            q1 = q0;
        }
        return q1 * q1 + q2 * q2 - k * q1 * q2;
    };
    auto best = [&](double from, double to, double step) {
        double at = from, most = -1;
        for (double f = from; f <= to; f += step)
            if (const double p = power(f); p > most) {
                most = p;
                at = f;
            }
        return at;
    };
    const double coarse = best(300, 1000, 1);
    return best(coarse - 1, coarse + 1, 0.05);
}

TEST_F(KovelGraphTest, ALessonPlaysToItsEndInSync) {
    const QString lesson = Lesson("three.zmr", 4);
    const std::map<QString, int> samples = SamplesPerPin(lesson);
    const QJsonObject report = Play(lesson);

    EXPECT_EQ(Count(report, 1), 1) << "EC_COMPLETE once";
    EXPECT_EQ(Count(report, 3), 0) << "no EC_ERRORABORT";
    EXPECT_NEAR(report.value("duration").toDouble(), 4.0, 0.2);
    EXPECT_EQ(report.value("video").toArray().size(), 2);
    for (const QString& pin : {QString("capture"), QString("videoOut")}) {
        const QJsonObject v = VideoFrom(report, pin);
        ASSERT_FALSE(v.isEmpty()) << pin.toStdString();
        // Every frame is either shown once or dropped as late; never both.
        EXPECT_EQ(v.value("frames_presented").toInt() + v.value("frames_dropped").toInt(), samples.at(pin))
            << pin.toStdString();
        EXPECT_GT(v.value("frames_presented").toInt(), samples.at(pin) / 2) << pin.toStdString();
        EXPECT_NEAR(v.value("first_frame_time").toDouble(), 0.0, 0.001);
    }
    const QJsonArray audio = report.value("audio").toArray();
    ASSERT_EQ(audio.size(), 1);
    EXPECT_GT(audio[0].toObject().value("samples_played").toInt(), 3 * 22050);
    EXPECT_LT(audio[0].toObject().value("max_av_offset_ms").toDouble(), 40.0);
    EXPECT_GE(audio[0].toObject().value("max_av_offset_ms").toDouble(), 0.0);
}

TEST_F(KovelGraphTest, WithoutAClockEveryFrameIsPresented) {
    const QString lesson = Lesson("fast.zmr", 3, {"--no-camera"});
    const std::map<QString, int> samples = SamplesPerPin(lesson);
    const QJsonObject report = Play(lesson, {"--no-clock"});
    EXPECT_EQ(Count(report, 1), 1);
    ASSERT_EQ(report.value("video").toArray().size(), 1);
    const QJsonObject v = VideoFrom(report, "capture");
    EXPECT_EQ(v.value("frames_presented").toInt(), samples.at("capture"));
    EXPECT_EQ(v.value("frames_dropped").toInt(), 0);
}

TEST_F(KovelGraphTest, SeeksOfTheRunningGraphStartAtTheTargetAndAreTimed) {
    const QString lesson = Lesson("seek.zmr", 5, {"--no-camera"});
    const QJsonObject report = Play(lesson, {"--seek", "2.5", "--seek", "0.75", "--seek", "4.2"});
    // Played on from the last seek to the end, once.
    EXPECT_EQ(Count(report, 1), 1);
    const double open = report.value("open_ms").toDouble();
    EXPECT_GT(open, 0.0);
    EXPECT_LT(open, 10000.0);
    const QJsonArray seeks = report.value("seeks").toArray();
    ASSERT_EQ(seeks.size(), 3);
    const double targets[] = {2.5, 0.75, 4.2};
    for (int i = 0; i < 3; ++i) {
        const QJsonObject s = seeks[i].toObject();
        EXPECT_DOUBLE_EQ(s.value("target").toDouble(), targets[i]);
        EXPECT_GT(s.value("latency_ms").toDouble(), 0.0) << i;
        EXPECT_LT(s.value("latency_ms").toDouble(), 5000.0) << i;
        // The picture covering the target (10 frames a second), never one before it.
        EXPECT_GE(s.value("first_frame_time").toDouble(), targets[i] - 1e-6) << i;
        EXPECT_LT(s.value("first_frame_time").toDouble(), targets[i] + 0.1 + 1e-6) << i;
    }
    // The video report counts from the last seek.
    const QJsonObject v = VideoFrom(report, "capture");
    EXPECT_GE(v.value("first_frame_time").toDouble(), 4.2 - 1e-6);
    EXPECT_LT(v.value("first_frame_time").toDouble(), 4.3 + 1e-6);
}

TEST_F(KovelGraphTest, AnExportedLessonPlaysThroughTheFileSource) {
    const QString lesson = Lesson("export.zmr", 3, {"--no-camera"});
    const QString mkv = dir.path() + "/export.mkv";
    Output exported = RunProgram(ZMR_PATH, {"export", lesson, mkv});
    ASSERT_EQ(exported.status, 0) << exported.err.constData();
    const QJsonObject report = Play(mkv, {"--no-clock"});
    EXPECT_EQ(Count(report, 1), 1);
    EXPECT_EQ(report.value("video").toArray().size(), 1);
    EXPECT_EQ(report.value("audio").toArray().size(), 1);
    EXPECT_NEAR(report.value("duration").toDouble(), 3.0, 0.3);
    EXPECT_GT(report.value("video").toArray()[0].toObject().value("frames_presented").toInt(), 25);
}

TEST_F(KovelGraphTest, AnAudioOnlyLessonCompletes) {
    const QString lesson = Lesson("audio.zmr", 2, {"--no-camera", "--no-screen"});
    const QJsonObject report = Play(lesson, {"--seek", "1"});
    EXPECT_EQ(Count(report, 1), 1);
    EXPECT_EQ(report.value("video").toArray().size(), 0);
    EXPECT_EQ(report.value("audio").toArray().size(), 1);
    // No picture to wait for: none is timed.
    EXPECT_EQ(report.value("open_ms").toDouble(), -1.0);
    ASSERT_EQ(report.value("seeks").toArray().size(), 1);
    EXPECT_EQ(report.value("seeks").toArray()[0].toObject().value("latency_ms").toDouble(), -1.0);
}

TEST_F(KovelGraphTest, AtARateTheSoundKeepsItsPitchAndThePicturesKeepUp) {
    // The tone is A4 (440 Hz) for the first second, then one step up the
    // scale each second.
    const QString lesson = Lesson("rate.zmr", 6);
    const QString played = dir.path() + "/played.raw";
    const QJsonObject report = Play(lesson, {"--rate", "1.5", "--seconds", "3"},
                                    {"SDL_AUDIODRIVER=disk", "SDL_DISKAUDIOFILE=" + played});
    EXPECT_EQ(Count(report, 3), 0) << "no EC_ERRORABORT";
    // Three seconds of wall time are four and a half of the lesson.
    EXPECT_NEAR(report.value("position").toDouble(), 4.5, 0.3);
    for (const QString& pin : {QString("capture"), QString("videoOut")})
        EXPECT_GE(VideoFrom(report, pin).value("frames_presented").toInt(), 40) << pin.toStdString();
    const QJsonObject audio = report.value("audio").toArray()[0].toObject();
    EXPECT_LT(audio.value("max_av_offset_ms").toDouble(), 40.0);

    // What the renderer handed the sound device: 16-bit stereo at 44100 Hz,
    // silence until the run starts. Each second of the lesson lasts 2/3 s
    // and keeps its note.
    constexpr int kRate = 44100;
    QFile file(played);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray bytes = file.readAll();
    const auto* pcm = reinterpret_cast<const int16_t*>(bytes.constData());
    std::vector<double> left;
    for (qsizetype i = 0; i + 1 < bytes.size() / 2; i += 2) left.push_back(pcm[i]);
    size_t onset = 0;
    while (onset < left.size() && std::abs(left[onset]) < 1000) ++onset;
    const double notes[] = {440.0, 493.88, 554.37};
    for (int k = 0; k < 3; ++k) {
        const size_t from = onset + size_t((k / 1.5 + 0.1) * kRate),
                     to = onset + size_t(((k + 1) / 1.5 - 0.1) * kRate);
        ASSERT_LE(to, left.size()) << "sound of second " << k << " missing";
        const double f = DominantFrequency({left.begin() + long(from), left.begin() + long(to)}, kRate);
        EXPECT_NEAR(f, notes[k], notes[k] / 100) << "second " << k;
    }

    // Rates the runtime cannot play are refused before anything plays.
    EXPECT_EQ(RunProgram(KOVEL_GRAPH_PATH, {lesson, "--rate", "3.5"}).status, 2);
}

}  // namespace
