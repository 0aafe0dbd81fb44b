// The trace dispatcher.
//
// Every diagnostic record goes through here: records whose level is below
// TraceThreshold (2) are dropped at the cost of one comparison; the rest go
// to the default sink (which writes nothing; skipped when TraceDisabled) and
// then to every registered sink in registration order. Nothing in the
// product registers a sink, so a run leaves no log.
//
// The dispatcher takes no lock: register and unregister sinks only while no
// record is being dispatched.
#pragma once

#include <cstdint>
#include <functional>

#include "common/error.h"

// A receiver of trace records; any callback may be empty.
struct TraceSink {
  std::function<void(int level, int category, int code, const char16_t* text)> text;
  std::function<void(int level, int category, int code, const char16_t* text, int value1,
                     int value2)>
      extended;
  std::function<void(int level, const Common::Error& error)> error;
};

constexpr int TraceThreshold = 2;
// When true the default sink is skipped (registered sinks still run).
extern bool TraceDisabled;

// Null texts reach the sinks as empty texts.
void Trace(int level, int category, int code, const char16_t* text);
void TraceEx(int level, int category, int code, const char16_t* text, int value1, int value2);
void TraceError(int level, const Common::Error& error);
// Each byte widened to one UTF-16 unit (no code page).
void TraceNarrow(int level, int category, int code, const char* text);
void TraceExNarrow(int level, int category, int code, const char* text, int value1,
                   int value2);

// The default sink's error callback: splits the code into facility and code
// and writes nothing.
void DefaultErrorTraceSink(int level, const Common::Error& error);

// Registered sinks (their management is our own):
// a sink is appended at the end of the set; the returned id (never 0) removes
// it again. Unregistering an unknown id returns false.
using TraceSinkId = std::uint32_t;
TraceSinkId RegisterTraceSink(TraceSink sink);
bool UnregisterTraceSink(TraceSinkId id);

namespace TraceTesting {
// Observes the default sink (tests only): called with 0 (text), 1 (extended)
// or 2 (error) and the level whenever the default sink runs. Null removes it.
using DefaultSinkObserver = void (*)(int which, int level);
void SetDefaultSinkObserver(DefaultSinkObserver observer);
}  // namespace TraceTesting
