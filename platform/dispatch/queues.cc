#include "platform/dispatch/queues.h"

#include <pthread.h>

#include <algorithm>
#include <utility>

namespace helper {
namespace {

using Clock = std::chrono::steady_clock;

Clock::duration seconds(double s) {
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(std::max(s, 0.0)));
}

}  // namespace

SerialQueue::SerialQueue(std::string label)
    : label_(std::move(label)), state_(std::make_shared<State>()) {
  worker_ = std::thread([this] { run(); });
  // The kernel keeps 15 characters of a thread name; the end of the label
  // is the part that tells queues apart.
  const std::string name = label_.size() > 15 ? label_.substr(label_.size() - 15) : label_;
  pthread_setname_np(worker_.native_handle(), name.c_str());
}

SerialQueue::~SerialQueue() {
  {
    std::lock_guard<std::mutex> guard(state_->mutex);
    state_->stopping = true;
  }
  state_->wake.notify_all();
  worker_.join();
}

void SerialQueue::async(std::function<void()> task) {
  {
    std::lock_guard<std::mutex> guard(state_->mutex);
    state_->tasks.push_back(std::move(task));
  }
  state_->wake.notify_all();
}

std::shared_ptr<TimerSource> SerialQueue::makeTimer() {
  auto timer = std::make_shared<TimerSource>(state_);
  std::lock_guard<std::mutex> guard(state_->mutex);
  state_->timers.push_back(timer);
  return timer;
}

bool SerialQueue::isCurrent() const { return std::this_thread::get_id() == worker_.get_id(); }

void SerialQueue::run() {
  State& s = *state_;
  std::unique_lock<std::mutex> lock(s.mutex);
  while (!s.stopping) {
    if (!s.tasks.empty()) {
      std::function<void()> task = std::move(s.tasks.front());
      s.tasks.pop_front();
      lock.unlock();
      task();
      lock.lock();
      continue;
    }
    // The earliest armed timer; timers that are gone or cancelled are dropped.
    std::shared_ptr<TimerSource> next;
    std::erase_if(s.timers, [](const std::weak_ptr<TimerSource>& weak) {
      const auto timer = weak.lock();
      return !timer || timer->cancelled_;
    });
    for (const auto& weak : s.timers) {
      auto timer = weak.lock();
      if (!timer || !timer->resumed_ || !timer->scheduled_ || !timer->handler_) continue;
      if (!next || timer->deadline_ < next->deadline_) next = std::move(timer);
    }
    if (!next) {
      s.wake.wait(lock);
      continue;
    }
    const auto now = Clock::now();
    if (next->deadline_ > now) {
      s.wake.wait_until(lock, next->deadline_);
      continue;
    }
    // Due: move the deadline past now, merging missed events into this one.
    if (next->interval_ > Clock::duration::zero()) {
      const auto missed = (now - next->deadline_) / next->interval_;
      next->deadline_ += next->interval_ * (missed + 1);
    } else {
      next->scheduled_ = false;
    }
    std::function<void()> handler = next->handler_;
    lock.unlock();
    handler();
    handler = nullptr;  // released outside the lock
    next.reset();
    lock.lock();
  }
}

TimerSource::TimerSource(std::shared_ptr<SerialQueue::State> state) : state_(std::move(state)) {}

void TimerSource::schedule(double firstDelay, double interval) {
  {
    std::lock_guard<std::mutex> guard(state_->mutex);
    deadline_ = Clock::now() + seconds(firstDelay);
    interval_ = seconds(interval);
    scheduled_ = true;
  }
  state_->wake.notify_all();
}

void TimerSource::setEventHandler(std::function<void()> handler) {
  std::function<void()> old;
  {
    std::lock_guard<std::mutex> guard(state_->mutex);
    old = std::exchange(handler_, std::move(handler));
  }
}

void TimerSource::resume() {
  {
    std::lock_guard<std::mutex> guard(state_->mutex);
    resumed_ = true;
  }
  state_->wake.notify_all();
}

void TimerSource::cancel() {
  std::function<void()> old;
  {
    std::lock_guard<std::mutex> guard(state_->mutex);
    cancelled_ = true;
    // The handler may hold references; drop them now, outside the lock.
    old = std::move(handler_);
    handler_ = nullptr;
  }
  state_->wake.notify_all();
}

bool TimerSource::isCancelled() const {
  std::lock_guard<std::mutex> guard(state_->mutex);
  return cancelled_;
}

ConcurrentQueue::~ConcurrentQueue() { waitUntilIdle(); }

ConcurrentQueue& ConcurrentQueue::global() {
  static ConcurrentQueue* queue = new ConcurrentQueue();  // never destroyed
  return *queue;
}

void ConcurrentQueue::async(std::function<void()> task) { asyncAfter(0, std::move(task)); }

void ConcurrentQueue::asyncAfter(double delay, std::function<void()> task) {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    ++outstanding_;
  }
  const auto due = Clock::now() + seconds(delay);
  std::thread([this, due, task = std::move(task)]() mutable {
    std::this_thread::sleep_until(due);
    task();
    task = nullptr;
    std::lock_guard<std::mutex> guard(mutex_);
    if (--outstanding_ == 0) idle_.notify_all();
  }).detach();
}

void ConcurrentQueue::waitUntilIdle() {
  std::unique_lock<std::mutex> lock(mutex_);
  idle_.wait(lock, [this] { return outstanding_ == 0; });
}

}  // namespace helper
