// Graph events reach the application as events posted to its object, handled
// on the thread that runs its event loop.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <QThread>
#include <thread>

#include "com_util.h"
#include "filter_graph.h"
#include "kovel/events.h"

using namespace kovel::graph;

namespace {

constexpr LONG kGraphNotify = 0x401;

class Receiver : public QObject {
  public:
    int count = 0;
    bool onOwnThread = true;
    bool event(QEvent* e) override {
        if (e->type() == QEvent::Type(QEvent::User + kGraphNotify)) {
            ++count;
            onOwnThread = onOwnThread && QThread::currentThread() == thread();
            return true;
        }
        return QObject::event(e);
    }
};

TEST(GraphNotify, EventsQueuedOnAnyThreadArePostedToTheWindow) {
    int argc = 1;
    char name[] = "notify_test";
    char* argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);
    ComPtr<IMediaEventEx> me;
    ASSERT_EQ(CreateFilterGraph(nullptr, IID_IMediaEventEx, me.OutVoid()), S_OK);
    auto sink = QueryAs<IMediaEventSink>(me.get(), IID_IMediaEventSink);
    Receiver r;
    ASSERT_EQ(me->SetNotifyWindow(reinterpret_cast<OAHWND>(static_cast<QObject*>(&r)), kGraphNotify, 0),
              S_OK);
    std::thread streaming([&] {
        sink->Notify(EC_PAUSED, 0, 0);
        sink->Notify(EC_ERRORABORT, E_FAIL, 0);
    });
    streaming.join();
    EXPECT_EQ(r.count, 0);  // posted, never delivered synchronously
    QCoreApplication::processEvents();
    EXPECT_EQ(r.count, 2);
    EXPECT_TRUE(r.onOwnThread);
    LONG c;
    LONG_PTR a, b;
    ASSERT_EQ(me->GetEvent(&c, &a, &b, 0), S_OK);
    EXPECT_EQ(c, EC_PAUSED);
    ASSERT_EQ(me->GetEvent(&c, &a, &b, 0), S_OK);
    EXPECT_EQ(c, EC_ERRORABORT);
    EXPECT_EQ(a, E_FAIL);
    // Cleared: nothing more is posted.
    me->SetNotifyWindow(0, 0, 0);
    sink->Notify(EC_PAUSED, 0, 0);
    QCoreApplication::processEvents();
    EXPECT_EQ(r.count, 2);
}

}  // namespace
