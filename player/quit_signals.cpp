#include "quit_signals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <cerrno>
#include <iterator>

namespace kovel::player {
namespace {

constexpr int kQuitSignals[] = {SIGTERM, SIGINT, SIGHUP};
// The self-pipe: written by the handler, read by the event loop.
int g_pipe[2] = {-1, -1};
struct sigaction g_previous[std::size(kQuitSignals)];

extern "C" void OnQuitSignal(int signalNumber) {
    // Async-signal-safe only: one write, errno kept for the interrupted code.
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(signalNumber);
    [[maybe_unused]] const ssize_t written = ::write(g_pipe[1], &byte, 1);
    errno = saved;
}

}  // namespace

CQuitSignals::CQuitSignals(QObject* parent) : QObject(parent) {
    if (g_pipe[0] >= 0 || ::pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    m_pNotifier = new QSocketNotifier(g_pipe[0], QSocketNotifier::Read, this);
    connect(m_pNotifier, &QSocketNotifier::activated, this, &CQuitSignals::OnReadable);
    struct sigaction action = {};
    action.sa_handler = &OnQuitSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (size_t i = 0; i < std::size(kQuitSignals); ++i)
        ::sigaction(kQuitSignals[i], &action, &g_previous[i]);
    m_bInstalled = true;
}

CQuitSignals::~CQuitSignals() {
    if (!m_bInstalled)
        return;
    for (size_t i = 0; i < std::size(kQuitSignals); ++i)
        ::sigaction(kQuitSignals[i], &g_previous[i], nullptr);
    delete m_pNotifier;
    ::close(g_pipe[0]);
    ::close(g_pipe[1]);
    g_pipe[0] = g_pipe[1] = -1;
}

void CQuitSignals::OnReadable() {
    unsigned char bytes[16];
    int received = 0;
    for (ssize_t n; (n = ::read(g_pipe[0], bytes, sizeof bytes)) > 0;) received = bytes[n - 1];
    if (!received)
        return;
    m_nReceived = received;
    emit QuitRequested(received);
}

}  // namespace kovel::player
