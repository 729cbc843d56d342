// Feeds the SD-card transfer's waits arbitrary relay responses: data events
// of any length and content (codes known and unknown, remaining counts cut
// short), then the end of the link. Every wait must end with one of its
// three results, and the end of the link must end the waiting as an error.

#include <cstdint>
#include <cstdlib>

#include "FuzzSupport.h"
#include "commands/SdSender.h"
#include "link/Communication.h"
#include "link/Event.h"
#include "link/EventListener.h"

// Input: a byte choosing the waits, then events, each a length byte (its
// top bit picks the data frame's kind) and that many payload bytes.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  lcfuzz::quietLog();
  if (size < 1) return 0;
  const uint8_t plan = data[0];
  data += 1;
  size -= 1;

  lc::EventListener listener;  // unregistered: the events come from here
  lc::Event event;
  size_t events = 0;
  while (size > 0) {
    const size_t length = std::min<size_t>(data[0] & 0x7F, size - 1);
    event.setData((data[0] & 0x80) != 0, data + 1, unsigned(length));
    listener.addEvent(event);
    ++events;
    data += 1 + length;
    size -= 1 + length;
  }
  event.setClosed();
  listener.addEvent(event);

  static lc::Communication link;  // never started: the waits only listen
  lc::SdSender::Timing timing;
  timing.waitMs = 50;
  timing.bound = std::chrono::milliseconds(200);
  lc::SdSender sender(link, timing);
  // Each wait takes at least one event, so the queue runs out.
  for (size_t i = 0; i <= events; ++i) {
    lc::SdSender::WaitResult r;
    if ((plan >> (i % 8)) & 1) {
      r = sender.waitNextCycle(listener, uint32_t(i * 4096 + plan));
    } else {
      r = sender.waitResponse(listener,
                              static_cast<lc::SdSender::ResponseType>(1 + (i + plan) % 4));
    }
    if (r > lc::SdSender::TimedOut) std::abort();
    if (r != lc::SdSender::Arrived) return 0;
  }
  // The end of the link never counts as an arrival.
  std::abort();
}
