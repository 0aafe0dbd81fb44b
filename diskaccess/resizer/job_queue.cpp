#include <algorithm>
#include <system_error>
#include <thread>

#include "diskaccess/resizer.h"

namespace resizer {

namespace {
// Read once per process; every writer stores the same value.
std::uint32_t g_processors = 0;
}  // namespace

std::uint32_t ProcessorCount() {
  if (g_processors == 0) {
    const unsigned n = std::thread::hardware_concurrency();
    g_processors = std::min(64u, std::max(1u, n));
  }
  return g_processors;
}

JobQueue::Thread::~Thread() = default;
void JobQueue::Thread::Discard(void* job) { ::operator delete(job); }
JobQueue::Thread* JobQueue::Thread::Clone() { return nullptr; }

JobQueue::JobQueue(Thread* prototype, std::uint32_t capacity)
    : prototype_(prototype), ringSize_(capacity + 1), ring_(capacity + 1, nullptr) {
  std::vector<Thread*> objects;
  if (ProcessorCount() >= 2) {
    if (Thread* first = prototype->Clone()) {
      objects.push_back(first);
      for (std::uint32_t i = 1; i + 1 < ProcessorCount(); ++i) {
        Thread* more = prototype->Clone();
        if (!more) break;
        objects.push_back(more);
      }
    }
  }
  objects.push_back(prototype);
  for (Thread* object : objects) {
    object->queue = this;
    try {
      threads_.emplace_back([this, object] {
        WorkerLoop(object);
        if (object != prototype_.get()) delete object;
      });
    } catch (const std::system_error&) {
      if (object != prototype) delete object;
    }
  }
  // Without a worker every Push would wait for ever: fail them instead.
  if (threads_.empty())
    stored_ = Common::Error(0, 0, kInternal, u"Internal error: unable to start a worker thread");
}

JobQueue::~JobQueue() {
  try {
    Shutdown(false);
  } catch (const Common::Error&) {
  }
}

void JobQueue::Push(void* job) {
  for (;;) {
    Common::CriticalSectionLock lock(&section_);
    if (!stored_.IsNull()) {
      prototype_->Discard(job);
      throw Common::Error(stored_);
    }
    if (shutdown_) {
      prototype_->Discard(job);
      lock.Leave();
      ThrowInternal(u"Internal error: shutdown in progress");
    }
    if (!Full()) {
      ring_[write_] = job;
      write_ = (write_ + 1) % ringSize_;
      const bool wake = waitingWorkers_ > 0;
      if (wake) --waitingWorkers_;
      lock.Leave();
      if (wake) jobs_.Release();
      return;
    }
    ++waitingPosters_;
    lock.Leave();
    room_.Wait();
  }
}

void JobQueue::WorkerLoop(Thread* thread) {
  ResizerNewHandlerGuard guard;
  Common::Error failure;
  try {
    for (;;) {
      Common::CriticalSectionLock lock(&section_);
      if (!stored_.IsNull()) return;
      if (Empty()) {
        if (shutdown_) return;
        ++waitingWorkers_;
        lock.Leave();
        jobs_.Wait();
        continue;
      }
      void* job = ring_[read_];
      read_ = (read_ + 1) % ringSize_;
      const bool wake = waitingPosters_ > 0;
      if (wake) --waitingPosters_;
      lock.Leave();
      if (wake) room_.Release();
      thread->Run(job);
    }
  } catch (const Common::Error& e) {
    failure = e;
  }
  // Store the first error and wake every poster, so that each sees it.
  std::uint32_t posters = 0;
  {
    Common::CriticalSectionLock lock(&section_);
    if (stored_.IsNull()) stored_ = failure;
    posters = waitingPosters_;
    waitingPosters_ = 0;
  }
  if (posters) room_.Release(std::int32_t(posters));
}

void JobQueue::Shutdown(bool wait) {
  std::uint32_t workers = 0;
  {
    Common::CriticalSectionLock lock(&section_);
    if (shutdown_) return;
    if (!wait) {
      while (!Empty()) {
        prototype_->Discard(ring_[read_]);
        read_ = (read_ + 1) % ringSize_;
      }
    }
    shutdown_ = true;
    workers = waitingWorkers_;
    waitingWorkers_ = 0;
  }
  if (workers) jobs_.Release(std::int32_t(workers));
  for (std::thread& t : threads_)
    if (t.joinable()) t.join();
  Common::Error stored;
  {
    Common::CriticalSectionLock lock(&section_);
    // Workers stop early when one failed: what is left never runs.
    while (!Empty()) {
      prototype_->Discard(ring_[read_]);
      read_ = (read_ + 1) % ringSize_;
    }
    stored = stored_;
  }
  if (wait && !stored.IsNull()) throw stored;
}

// ---------------------------------------------------------------------------
// Progress

namespace {

// Delivers reports to the caller's callback, in posting order.
class CallbackThread : public JobQueue::Thread {
 public:
  explicit CallbackThread(ResizerCallback* callback) : callback_(callback) {}
  void Run(void* job) override {
    std::unique_ptr<ProgressJob> report(static_cast<ProgressJob*>(job));
    callback_->Progress(report->perMille, 1000, std::uint32_t(report->bytesDone),
                        std::uint32_t(report->bytesDone >> 32), std::uint32_t(report->extra),
                        std::uint32_t(report->extra >> 32));
  }
  void Discard(void* job) override { delete static_cast<ProgressJob*>(job); }

 private:
  ResizerCallback* callback_;
};

int LeadingZeros(std::uint64_t v) {
  int n = 0;
  for (std::uint64_t bit = 1ull << 63; bit && !(v & bit); bit >>= 1) ++n;
  return n;
}

}  // namespace

Progress::~Progress() {
  if (runningTotal_ && position != 0) *runningTotal_ += std::uint64_t(unit_) * position;
  queue_.reset();
}

void Progress::Place(ResizerCallback* callback, std::uint64_t* runningTotal) {
  callback_ = callback;
  runningTotal_ = runningTotal;
  next = ~0ull;
  position = 0;
}

void Progress::Post(std::uint32_t perMille) {
  queue_->Push(new ProgressJob{perMille, base_ + std::uint64_t(unit_) * position, ExtraValue()});
}

void Progress::Start(std::uint64_t total, std::uint32_t unit) {
  if (!callback_) return;
  if (total == 0) {
    next = ~0ull;
    return;
  }
  last_ = total - 1;
  base_ = runningTotal_ ? *runningTotal_ : 0;
  unit_ = unit;
  const int zeros = LeadingZeros(total);
  shift_ = std::uint32_t(zeros);
  step_ = ((total << shift_) - 1) / 1000 + 1;
  next = (step_ - 1) >> shift_;
  if (!queue_) queue_.reset(new JobQueue(new CallbackThread(callback_), 8));
  Post(0);
}

void Progress::Update(std::uint64_t newPosition) {
  position = newPosition;
  if (position > next) Report();
}

void Progress::Report() {
  if (!queue_) return;
  if (position <= last_) {
    const std::uint64_t h = (position << shift_) / step_;
    next = h > 998 ? last_ : ((h + 1) * step_ - 1) >> shift_;
    Post(std::uint32_t(h));
    return;
  }
  next = ~0ull;
  Post(1000);
  queue_->Shutdown(true);
}

}  // namespace resizer
