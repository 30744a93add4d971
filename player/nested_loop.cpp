#include "nested_loop.h"

#include <QCoreApplication>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <deque>
#include <utility>

namespace kovel::player {
namespace {

struct Deferred {
    QPointer<QObject> context;
    std::function<void()> work;
};

// Everything here lives on the user-interface thread.
int g_depth = 0;
bool g_drainPosted = false;
std::deque<Deferred>& Queue() {
    static std::deque<Deferred> queue;
    return queue;
}

void Drain() {
    g_drainPosted = false;
    // Work that opens a nested loop stops the drain; the end of that loop
    // posts the next one.
    while (g_depth == 0 && !Queue().empty()) {
        Deferred next = std::move(Queue().front());
        Queue().pop_front();
        if (next.context)
            next.work();
    }
}

void PostDrain() {
    if (g_drainPosted || Queue().empty() || !QCoreApplication::instance())
        return;
    g_drainPosted = true;
    // Posted, not called: the handler that opened the loop is still on the
    // stack when the loop ends.
    QTimer::singleShot(0, QCoreApplication::instance(), &Drain);
}

}  // namespace

CNestedLoopScope::CNestedLoopScope() {
    ++g_depth;
}

CNestedLoopScope::~CNestedLoopScope() {
    if (--g_depth == 0)
        PostDrain();
}

bool InNestedLoop() {
    return g_depth > 0;
}

void RunOutsideNestedLoops(QObject* context, std::function<void()> work) {
    if (g_depth == 0 && Queue().empty()) {
        work();
        return;
    }
    Queue().push_back({context, std::move(work)});
    if (g_depth == 0)
        PostDrain();
}

}  // namespace kovel::player
