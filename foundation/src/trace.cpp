// The trace dispatcher.
#include "foundation/trace.h"

#include <cstring>
#include <string>
#include <utility>
#include <vector>

bool TraceDisabled = false;

namespace {

struct RegisteredSink {
  TraceSinkId id;
  TraceSink sink;
};

// The set of registered sinks, in ascending id order (registration order).
// Created on first use and deliberately never destroyed, so that a record
// traced by another static object's initializer or destructor always finds
// a live (possibly empty) set.
std::vector<RegisteredSink>& Sinks() {
  static std::vector<RegisteredSink>* sinks = new std::vector<RegisteredSink>();
  return *sinks;
}

TraceSinkId g_nextId = 1;
TraceTesting::DefaultSinkObserver g_observer = nullptr;

void DefaultText(int level, int, int, const char16_t*) {
  if (g_observer) g_observer(0, level);
}

void DefaultExtended(int level, int, int, const char16_t*, int, int) {
  if (g_observer) g_observer(1, level);
}

const char16_t* OrEmpty(const char16_t* text) { return text ? text : u""; }

std::u16string Widen(const char* text) {
  std::u16string wide;
  if (text == nullptr) return wide;
  std::size_t n = std::strlen(text);
  wide.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    wide[i] = static_cast<char16_t>(static_cast<unsigned char>(text[i]));
  }
  return wide;
}

}  // namespace

void DefaultErrorTraceSink(int level, const Common::Error& error) {
  // Rendering the head record's text here would be wasted: this sink
  // writes nothing, so it only splits the code (the performance
  // constraint: an error's text is rendered only for a registered sink
  // without an error callback).
  std::uint32_t code = Common::GetErrorCode(error);
  int facility = static_cast<int>(code >> 16);
  int low = static_cast<int>(code & 0xFFFF);
  (void)facility;
  (void)low;
  if (g_observer) g_observer(2, level);
}

void Trace(int level, int category, int code, const char16_t* text) {
  if (level < TraceThreshold) return;
  text = OrEmpty(text);
  if (!TraceDisabled) DefaultText(level, category, code, text);
  std::vector<RegisteredSink>& sinks = Sinks();
  for (std::size_t i = 0; i < sinks.size(); ++i) {
    if (sinks[i].sink.text) sinks[i].sink.text(level, category, code, text);
  }
}

void TraceEx(int level, int category, int code, const char16_t* text, int value1,
             int value2) {
  if (level < TraceThreshold) return;
  text = OrEmpty(text);
  if (!TraceDisabled) DefaultExtended(level, category, code, text, value1, value2);
  std::vector<RegisteredSink>& sinks = Sinks();
  for (std::size_t i = 0; i < sinks.size(); ++i) {
    const TraceSink& sink = sinks[i].sink;
    if (sink.extended) {
      sink.extended(level, category, code, text, value1, value2);
    } else if (sink.text) {
      sink.text(level, category, code, text);
    }
  }
}

void TraceError(int level, const Common::Error& error) {
  if (level < TraceThreshold) return;
  if (!TraceDisabled) DefaultErrorTraceSink(level, error);
  std::vector<RegisteredSink>& sinks = Sinks();
  bool rendered = false;
  std::u16string text;
  for (std::size_t i = 0; i < sinks.size(); ++i) {
    const TraceSink& sink = sinks[i].sink;
    if (sink.error) {
      sink.error(level, error);
    } else if (sink.text) {
      if (!rendered) {
        Common::Describe(text, error);
        rendered = true;
      }
      std::uint32_t code = Common::GetErrorCode(error);
      sink.text(level, static_cast<int>(code >> 16), static_cast<int>(code & 0xFFFF),
                text.c_str());
    }
  }
}

void TraceNarrow(int level, int category, int code, const char* text) {
  if (level < TraceThreshold) return;
  std::u16string wide = Widen(text);
  Trace(level, category, code, wide.c_str());
}

void TraceExNarrow(int level, int category, int code, const char* text, int value1,
                   int value2) {
  if (level < TraceThreshold) return;
  std::u16string wide = Widen(text);
  TraceEx(level, category, code, wide.c_str(), value1, value2);
}

TraceSinkId RegisterTraceSink(TraceSink sink) {
  TraceSinkId id = g_nextId++;
  if (g_nextId == 0) g_nextId = 1;
  Sinks().push_back(RegisteredSink{id, std::move(sink)});
  return id;
}

bool UnregisterTraceSink(TraceSinkId id) {
  std::vector<RegisteredSink>& sinks = Sinks();
  for (auto it = sinks.begin(); it != sinks.end(); ++it) {
    if (it->id == id) {
      sinks.erase(it);
      return true;
    }
  }
  return false;
}

namespace TraceTesting {
void SetDefaultSinkObserver(DefaultSinkObserver observer) { g_observer = observer; }
}  // namespace TraceTesting
