#include "link/Communication.h"

#include <algorithm>
#include <cstring>
#include <system_error>

namespace lc {

namespace {
constexpr size_t kTxBufferSize = Frame::kMaxSize;
constexpr size_t kReservedListeners = 16;

template <typename T>
void addUnique(std::vector<T*>& list, T* item) {
  if (std::find(list.begin(), list.end(), item) == list.end()) list.push_back(item);
}

template <typename T>
void removeFirst(std::vector<T*>& list, T* item) {
  auto it = std::find(list.begin(), list.end(), item);
  if (it != list.end()) list.erase(it);
}
}  // namespace

Communication::Communication()
    : txBuffer_(new unsigned char[kTxBufferSize]), rxBuffer_(new unsigned char[kReadChunk]) {
  eventListeners_.reserve(kReservedListeners);
  rawListeners_.reserve(kReservedListeners);
}

Communication::~Communication() { stopAndWait(); }

bool Communication::setDriver(ComDriver* driver) {
  std::lock_guard<std::mutex> state(stateMutex_);
  std::lock_guard<std::mutex> join(joinMutex_);
  if (starting_ || running_.load() || unjoinedLocked()) return false;
  // A sender that saw the link running finishes its write first.
  std::lock_guard<std::timed_mutex> tx(txMutex_);
  driver_ = driver;
  return true;
}

bool Communication::start(uint64_t ticket) { return begin(ticket, true); }

bool Communication::startHere(uint64_t ticket) { return begin(ticket, false); }

void Communication::receiveHere() {
  {
    std::lock_guard<std::mutex> join(joinMutex_);
    if (!receivingHere_) return;
  }
  receive();
  std::lock_guard<std::mutex> join(joinMutex_);
  receivingHere_ = false;
  hereEnded_.notify_all();
}

bool Communication::begin(uint64_t ticket, bool ownThread) {
  ComDriver* driver;
  uint64_t epoch;
  {
    std::lock_guard<std::mutex> state(stateMutex_);
    if (retired_.load() || stops_.load() != ticket || driver_ == nullptr || starting_ ||
        running_.load())
      return false;
    {
      // An ended run that nobody joined yet still owns the thread handle.
      std::lock_guard<std::mutex> join(joinMutex_);
      if (unjoinedLocked()) return false;
    }
    // Read under the lock stop() takes: a stop either came before the ticket
    // check above or after this, and then its close fails the connect.
    epoch = driver_->cancelEpoch();
    driver = driver_;
    starting_ = true;
  }
  // Outside the lock: a stop must not wait for the connect time-out.
  const bool connected = driver->connectUnlessClosed(epoch);

  std::lock_guard<std::mutex> state(stateMutex_);
  starting_ = false;
  startEnded_.notify_all();
  if (!connected) return false;
  if (retired_.load() || stops_.load() != ticket) {  // stopped while connecting
    driver->close();
    return false;
  }
  std::lock_guard<std::mutex> join(joinMutex_);
  statusCount_.store(0);
  running_.store(true);
  if (!ownThread) {
    receivingHere_ = true;
    return true;
  }
  try {
    receiveThread_ = std::thread(&Communication::receive, this);
  } catch (const std::system_error&) {
    // No thread to read: the connection is of no use.
    running_.store(false);
    driver->close();
    return false;
  }
  return true;
}

void Communication::stop() {
  std::lock_guard<std::mutex> state(stateMutex_);
  stops_.fetch_add(1);
  if (driver_ == nullptr) return;
  // A connecting start gets the close too: that ends its connect at once.
  if (running_.exchange(false) || starting_) driver_->close();
}

void Communication::waitForStart() {
  std::unique_lock<std::mutex> state(stateMutex_);
  startEnded_.wait(state, [&] { return !starting_; });
}

void Communication::join() {
  std::unique_lock<std::mutex> join(joinMutex_);
  if (receiveThread_.joinable()) receiveThread_.join();
  hereEnded_.wait(join, [&] { return !receivingHere_; });
}

void Communication::stopAndWait() {
  stop();
  // The stop cut the connect short, so this is brief; the driver must not go
  // while a connect still uses it.
  waitForStart();
  join();
}

void Communication::releaseDriver() {
  std::lock_guard<std::mutex> state(stateMutex_);
  std::lock_guard<std::mutex> join(joinMutex_);
  if (driver_ == nullptr || starting_ || running_.load() || unjoinedLocked()) return;
  // No sender is inside a write once the lock is taken, and none enters one
  // while the link is not running.
  std::lock_guard<std::timed_mutex> tx(txMutex_);
  driver_->release();
}

void Communication::retire() {
  retired_.store(true);
  stopAndWait();
}

bool Communication::lockTx(std::unique_lock<std::timed_mutex>& tx, const StopFlag* stop) {
  while (!tx.try_lock_for(kTxLockSlice)) {
    if (!running_.load() || (stop != nullptr && stop->raised())) return false;
  }
  return true;
}

bool Communication::transmit(const unsigned char* bytes, unsigned int length,
                             const StopFlag* stop) {
  switch (driver_->writeWatching(bytes, length, stop)) {
    case ComDriver::WriteResult::Sent:
      return true;
    case ComDriver::WriteResult::Stopped:
      return false;
    case ComDriver::WriteResult::Failed:
      break;
  }
  // Part of a frame may have left, or the relay takes nothing: either way
  // the stream is lost. Closing the driver ends the receive thread, which
  // reports the end to every listener; the senders waiting behind this one
  // fail at once.
  running_.store(false);
  driver_->close();
  return false;
}

bool Communication::sendFrame(uint16_t type, const unsigned char* payload, unsigned int length,
                              const StopFlag* stop) {
  if (length > Frame::kMaxPayload || (length > 0 && payload == nullptr)) return false;
  std::unique_lock<std::timed_mutex> tx(txMutex_, std::defer_lock);
  if (!lockTx(tx, stop)) return false;
  if (!running_.load() || driver_ == nullptr) return false;
  unsigned char* out = txBuffer_.get();
  encodeHeader(type, uint16_t(length), out);
  if (length > 0) std::memcpy(out + Frame::kHeaderSize, payload, length);
  return transmit(out, Frame::kHeaderSize + length, stop);
}

bool Communication::sendFramed(const unsigned char* bytes, unsigned int length,
                               const StopFlag* stop) {
  if (length == 0 || bytes == nullptr) return false;
  std::unique_lock<std::timed_mutex> tx(txMutex_, std::defer_lock);
  if (!lockTx(tx, stop)) return false;
  if (!running_.load() || driver_ == nullptr) return false;
  return transmit(bytes, length, stop);
}

void Communication::addEventListener(EventListenerBase& listener) {
  std::lock_guard<std::mutex> lock(listenersMutex_);
  addUnique(eventListeners_, &listener);
}

void Communication::removeEventListener(EventListenerBase& listener) {
  std::lock_guard<std::mutex> lock(listenersMutex_);
  removeFirst(eventListeners_, &listener);
}

void Communication::addRawListener(RawListenerBase& listener) {
  std::lock_guard<std::mutex> lock(listenersMutex_);
  addUnique(rawListeners_, &listener);
}

void Communication::removeRawListener(RawListenerBase& listener) {
  std::lock_guard<std::mutex> lock(listenersMutex_);
  removeFirst(rawListeners_, &listener);
}

void Communication::deliver(const Event& event) {
  std::lock_guard<std::mutex> lock(listenersMutex_);
  for (EventListenerBase* listener : eventListeners_) listener->addEvent(event);
}

void Communication::dispatch(const FrameView& frame, Event& event) {
  bool decoded = true;
  switch (frame.type) {
    case Frame::DataOne:
    case Frame::DataTwo:
      event.setData(frame.type == Frame::DataOne, frame.payload(), frame.length());
      break;
    case Frame::Close:
      event.setClosed();
      break;
    case Frame::Status:
      event.setStatus(frame.payload(), frame.length());
      // Stored before the event goes out, so a listener woken by it reads
      // the values it carries; the count last, so that a reader who sees it
      // move sees them. This thread is their only writer while it runs, and
      // fenced stores cost more than the rest of the frame.
      lastState_.store(event.state, std::memory_order_release);
      lastVersion_.store(event.version, std::memory_order_release);
      lastPacketSize_.store(event.packetSize, std::memory_order_release);
      lastPace_.store(event.pace, std::memory_order_release);
      statusCount_.store(statusCount_.load(std::memory_order_relaxed) + 1,
                         std::memory_order_release);
      break;
    default:
      decoded = false;  // raw listeners only
  }
  // Raw bytes first, then the event; the caller holds the list lock.
  for (RawListenerBase* raw : rawListeners_) raw->addRaw(frame.bytes, frame.size);
  if (decoded) {
    for (EventListenerBase* listener : eventListeners_) listener->addBatchedEvent(event);
  }
}

void Communication::receive() {
  ComDriver& driver = *driver_;
  unsigned char* in = rxBuffer_.get();
  // One record reused for every frame: the loop allocates nothing.
  Event event;
  // A frame left unfinished by an earlier run belongs to a dead connection.
  cutter_.reset();

  // Whatever the socket holds, up to a chunk per read; the cutter hands out
  // the whole frames in it and keeps an unfinished one for the next read. A
  // frame without a payload is complete at its header.
  //
  // A frame must also arrive whole within the bound of silence from its
  // first byte: a relay that trickles a byte now and then would otherwise
  // keep the link up for ever without a frame.
  using Clock = std::chrono::steady_clock;
  const auto frameBound = std::chrono::milliseconds(driver.silenceMs());
  Clock::time_point frameDue{};
  unsigned int got = 0;
  for (;;) {
    unsigned int waitMs = driver.silenceMs();
    if (cutter_.pending() > 0) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(frameDue - Clock::now());
      if (left.count() <= 0) break;
      waitMs = std::min<unsigned int>(waitMs, unsigned(left.count()));
    }
    if (!driver.readSomeWithin(in, kReadChunk, got, waitMs)) break;
    const bool wasPending = cutter_.pending() > 0;
    bool completed = false;
    {
      // One hold of the list lock per read, not per frame: a listener added
      // or removed meanwhile waits for one chunk at most.
      std::lock_guard<std::mutex> lock(listenersMutex_);
      cutter_.feed(in, got, [&](const FrameView& frame) {
        completed = true;
        // After a stop, the rest of the chunk goes unheard, as the next read
        // would have failed.
        if (running_.load(std::memory_order_relaxed)) dispatch(frame, event);
      });
      // One wake-up per read for a waiting reader, not one per frame.
      for (EventListenerBase* listener : eventListeners_) listener->flushEvents();
    }
    // A frame begun by this read is due from now; one still unfinished
    // since an earlier read keeps its time.
    if (cutter_.pending() > 0 && (!wasPending || completed)) frameDue = Clock::now() + frameBound;
  }

  // Cleared before Closed goes out, so a listener that sees the end of the
  // link also sees it not running.
  running_.store(false);
  // Nobody reads this connection any more. Closing it also fails at once a
  // sender stuck in a write to a relay that stopped reading, which would
  // otherwise hold the transmit lock until the driver is destroyed.
  driver.close();
  event.setClosed();
  deliver(event);
}

}  // namespace lc
