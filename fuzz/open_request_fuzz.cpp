// Arbitrary bytes sent by another program on the player's request socket.
// The request server reads the head and the text and hands them to its
// handler, or refuses a text above the limit; a request cut short gets no
// answer. What the handler receives is exactly what was sent.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLocalSocket>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "courseware_format.h"
#include "fuzz_input.h"
#include "open_request.h"

using kovel::player::COpenRequestServer;

namespace {

struct Received {
    uint32_t dwData = 0;
    QByteArray text;
};

struct Server {
    int argc = 1;
    char name[18] = "open_request_fuzz";
    char* argv[2] = {name, nullptr};
    QCoreApplication app{argc, argv};
    std::optional<Received> received;
    COpenRequestServer server{
        [this](uint32_t dwData, const QByteArray& text, COpenRequestServer::Answer answer) {
            received = Received{dwData, text};
            answer(true);
        }};
    QString socketName;

    Server() {
        socketName = QString::fromStdString(kovel::fuzz::InputPath("open_request_fuzz", ".socket"));
        QString error;
        if (!server.Listen(socketName, &error))
            std::abort();
    }
    void Spin() {
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Server* s = new Server;
    s->received.reset();

    // What the server must do with these bytes.
    const bool headComplete = size >= kovel::player::kRequestHeadSize;
    const uint32_t cbData = headComplete ? zmr::ReadU32(data + 4) : 0;
    const bool refused = headComplete && cbData > kovel::player::kMaxRequestBytes;
    const bool complete = headComplete && !refused && size - kovel::player::kRequestHeadSize >= cbData;

    QLocalSocket client;
    client.connectToServer(s->socketName);
    if (!client.waitForConnected(5000))
        std::abort();
    client.write(reinterpret_cast<const char*>(data), qint64(size));
    client.flush();
    QElapsedTimer timer;
    timer.start();
    // A whole request is answered within seconds; a short one gets no
    // answer, and a few rounds of the event loop show that none comes.
    const bool answerDue = refused || complete;
    for (int round = 0; client.bytesAvailable() < 4 && (answerDue ? timer.elapsed() < 5000 : round < 4);
         ++round) {
        s->Spin();
        client.waitForReadyRead(0);
    }
    const QByteArray answer = client.read(4);
    if (answerDue) {
        if (answer.size() != 4)
            std::abort();  // no answer to a whole request
        const uint32_t handled = zmr::ReadU32(reinterpret_cast<const uint8_t*>(answer.constData()));
        if (refused && (handled != 0 || s->received))
            std::abort();
        if (complete) {
            if (handled != 1 || !s->received || s->received->dwData != zmr::ReadU32(data) ||
                s->received->text != QByteArray(reinterpret_cast<const char*>(data) + 8, qsizetype(cbData)))
                std::abort();
        }
    } else if (!answer.isEmpty() || s->received) {
        std::abort();  // a request cut short was handled
    }
    client.abort();
    for (int i = 0; i < 3; ++i) s->Spin();
    return 0;
}
