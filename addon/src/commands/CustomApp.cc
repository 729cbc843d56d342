#include "commands/CustomApp.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace lc {

namespace {

template <unsigned int N>
bool append(std::deque<CustomApp::Buffer<N>>& queue, std::mutex& mutex, const unsigned char* bytes,
            unsigned int length) {
  if (bytes == nullptr) length = 0;
  // Built outside the lock: the worker's sends never wait on a copy.
  CustomApp::Buffer<N> message;
  message.length = std::min(length, N);
  if (message.length > 0) std::memcpy(message.data, bytes, message.length);
  std::lock_guard<std::mutex> lock(mutex);
  // A script that queues faster than the relay's status frames carry
  // messages out is told so, rather than holding ever more memory.
  if (queue.size() >= CustomApp::kQueueLimit) return false;
  queue.push_back(message);
  return true;
}

}  // namespace

CustomApp::CustomApp(Communication& communication) : CustomApp(communication, Timing()) {}

CustomApp::CustomApp(Communication& communication, Timing timing)
    : communication_(communication), timing_(timing) {}

CustomApp::~CustomApp() {
  // Only reachable while active when the runtime tears down under a worker.
  if (active_.load()) listener_.closeEvent();
  communication_.removeEventListener(router_);
}

void CustomApp::Router::addEvent(const Event& event) {
  addBatchedEvent(event);
  flushEvents();
}

void CustomApp::Router::addBatchedEvent(const Event& event) {
  if (event.kind == Event::Data) {
    app_.concasts_.add(event.data, event.length);
  } else {
    app_.listener_.addBatchedEvent(event);
  }
}

void CustomApp::Router::flushEvents() {
  app_.concasts_.flush();
  app_.listener_.flushEvents();
}

bool CustomApp::start() {
  if (active_.load()) return false;
  {
    std::lock_guard<std::mutex> lock(broadcastMutex_);
    broadcastQueue_.clear();
  }
  {
    std::lock_guard<std::mutex> lock(dataMutex_);
    dataQueue_.clear();
  }
  // A stop that came after the previous run ended left a Closed behind.
  listener_.clearEvents();
  concasts_.clear();
  communication_.addEventListener(router_);
  startSent_ = false;
  sendStop_.clear();
  active_.store(true);
  return true;
}

void CustomApp::stop() {
  if (!active_.load()) return;
  sendStop_.raise();
  listener_.closeEvent();
}

bool CustomApp::sendBroadcast(const unsigned char* bytes, unsigned int length) {
  // Nothing drains the queues between runs and the next start empties them.
  if (!active_.load()) return false;
  return append(broadcastQueue_, broadcastMutex_, bytes, length);
}

bool CustomApp::sendData(const unsigned char* bytes, unsigned int length) {
  if (!active_.load()) return false;
  return append(dataQueue_, dataMutex_, bytes, length);
}

size_t CustomApp::queuedBroadcasts() const {
  std::lock_guard<std::mutex> lock(broadcastMutex_);
  return broadcastQueue_.size();
}

bool CustomApp::run() {
  if (!active_.load()) return false;
  if (processEvent()) return true;
  end();
  return false;
}

void CustomApp::end() {
  communication_.removeEventListener(router_);
  active_.store(false);
}

bool CustomApp::processEvent() {
  unsigned int waitMs = timing_.waitMs;
  for (;;) {
    const EventListener::WaitResult result = listener_.waitEvent(event_, waitMs);
    if (result == EventListener::Taken) break;
    if (result != EventListener::TimedOut || !dataKeptUp(waitMs)) return false;
  }
  switch (event_.kind) {
    case Event::Data:  // the router keeps them in concasts_
      return true;
    case Event::Closed:
      return false;
    case Event::Status:
      return onStatus();
  }
  return true;
}

bool CustomApp::dataKeptUp(unsigned int& waitMs) const {
  const auto quiet = std::chrono::steady_clock::now() - concasts_.lastArrival();
  const auto left = std::chrono::milliseconds(timing_.waitMs) -
                    std::chrono::duration_cast<std::chrono::milliseconds>(quiet);
  if (left.count() <= 0) return false;
  waitMs = unsigned(left.count());
  return true;
}

bool CustomApp::onStatus() {
  if (!startSent_) {
    startSent_ = true;
    if (!communication_.sendFrame(kStartFrame, nullptr, 0, &sendStop_)) return false;
  }
  if (!sendOldest(broadcastQueue_, broadcastMutex_, kBroadcastFrame)) return false;
  return sendOldest(dataQueue_, dataMutex_, kDataFrame);
}

template <unsigned int N>
bool CustomApp::sendOldest(std::deque<Buffer<N>>& queue, std::mutex& mutex, uint16_t type) {
  static_assert(N <= kBroadcastSize, "the outgoing copy holds the largest message");
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (queue.empty()) return true;
    const Buffer<N>& oldest = queue.front();
    outgoing_.length = oldest.length;
    std::memcpy(outgoing_.data, oldest.data, oldest.length);
  }
  // A failed send leaves the message queued for the next run.
  if (!communication_.sendFrame(type, outgoing_.data, outgoing_.length, &sendStop_)) return false;
  std::lock_guard<std::mutex> lock(mutex);
  queue.pop_front();
  return true;
}

}  // namespace lc
