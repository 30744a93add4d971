// Nested event loops (message boxes, the file dialog, menus) serve events in
// the middle of the handler that opened them. Open requests and graph events
// must not run there: a nested open would close or replace the graph the
// suspended handler is still working on. Such work waits until every nested
// loop has ended and control is back in the main loop.
#pragma once

#include <functional>

class QObject;

namespace kovel::player {

// Marks a nested event loop for its lifetime; wrap every exec() the player runs.
class CNestedLoopScope {
  public:
    CNestedLoopScope();
    ~CNestedLoopScope();
    CNestedLoopScope(const CNestedLoopScope&) = delete;
    CNestedLoopScope& operator=(const CNestedLoopScope&) = delete;
};

bool InNestedLoop();

// Runs `work` now when no nested loop is running and nothing waits before it;
// otherwise queues it (in order) until the main loop runs again. Work whose
// context has been destroyed meanwhile is dropped.
void RunOutsideNestedLoops(QObject* context, std::function<void()> work);

}  // namespace kovel::player
