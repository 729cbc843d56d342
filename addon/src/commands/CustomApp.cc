#include "commands/CustomApp.h"

#include <algorithm>
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
  // Only reachable while active when the runtime tears down under a worker;
  // the listener's own destructor then unregisters it.
  if (active_.load()) listener_.closeEvent();
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
  listener_.setCommunication(communication_);
  startSent_ = false;
  concastReady_ = false;
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
  concastReady_ = false;
  if (!active_.load()) return false;
  if (processEvent()) return true;
  end();
  return false;
}

void CustomApp::end() {
  communication_.removeEventListener(listener_);
  active_.store(false);
}

bool CustomApp::processEvent() {
  if (listener_.waitEvent(event_, timing_.waitMs) != EventListener::Taken) return false;
  switch (event_.kind) {
    case Event::Data:
      concast_.length = std::min<uint32_t>(event_.length, kConcastSize);
      std::memcpy(concast_.data, event_.data, concast_.length);
      concastReady_ = true;
      return true;
    case Event::Closed:
      return false;
    case Event::Status:
      return onStatus();
  }
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
