// SIGTERM, SIGINT and SIGHUP end the player the way closing its window does
// (a desktop session ends its programs with SIGTERM). The handler only writes
// the signal's number to a pipe; the event loop reads it and reports it, so
// the clean-up runs on the user-interface thread, never inside the handler.
#pragma once

#include <QObject>

class QSocketNotifier;

namespace kovel::player {

class CQuitSignals : public QObject {
    Q_OBJECT
  public:
    // Installs the handlers (one instance at a time); the destructor puts
    // back the ones it replaced.
    explicit CQuitSignals(QObject* parent = nullptr);
    ~CQuitSignals() override;
    CQuitSignals(const CQuitSignals&) = delete;
    CQuitSignals& operator=(const CQuitSignals&) = delete;

    // The last signal received, 0 before any.
    int Received() const { return m_nReceived; }

  signals:
    void QuitRequested(int signalNumber);

  private:
    void OnReadable();

    QSocketNotifier* m_pNotifier = nullptr;
    bool m_bInstalled = false;
    int m_nReceived = 0;
};

}  // namespace kovel::player
