// The stand-in's wake-up events without Windows: a table of flags under one
// lock, each a manual-reset event.
#include <condition_variable>
#include <map>
#include <mutex>

#include "sblib/native_event.h"
#include "standin_event.h"

namespace {

struct Events {
  std::mutex lock;
  std::condition_variable changed;
  std::map<uint32_t, bool> signalled;
  uint32_t next = 1;
};

Events& E() {
  static Events* events = new Events;  // never destroyed: waiters may outlive statics
  return *events;
}

}  // namespace

namespace sblib_standin {

uint32_t EventCreate() {
  Events& e = E();
  std::lock_guard<std::mutex> guard(e.lock);
  const uint32_t id = e.next++;
  e.signalled[id] = false;
  return id;
}

void EventSet(uint32_t event) { SbNativeEventSet(event); }

void EventClose(uint32_t event) {
  Events& e = E();
  std::lock_guard<std::mutex> guard(e.lock);
  e.signalled.erase(event);
  e.changed.notify_all();
}

}  // namespace sblib_standin

extern "C" int SbNativeEventWait(uint32_t event) {
  Events& e = E();
  std::unique_lock<std::mutex> guard(e.lock);
  for (;;) {
    auto it = e.signalled.find(event);
    if (it == e.signalled.end()) return 0;
    if (it->second) return 1;
    e.changed.wait(guard);
  }
}

extern "C" int SbNativeEventSet(uint32_t event) {
  Events& e = E();
  std::lock_guard<std::mutex> guard(e.lock);
  auto it = e.signalled.find(event);
  if (it == e.signalled.end()) return 0;
  it->second = true;
  e.changed.notify_all();
  return 1;
}

extern "C" int SbNativeEventReset(uint32_t event) {
  Events& e = E();
  std::lock_guard<std::mutex> guard(e.lock);
  auto it = e.signalled.find(event);
  if (it == e.signalled.end()) return 0;
  it->second = false;
  return 1;
}
