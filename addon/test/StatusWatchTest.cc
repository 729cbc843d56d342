#include <gtest/gtest.h>

#include <vector>

#include "link/StatusWatch.h"

namespace lc {
namespace {

Event status(uint16_t state) {
  Event e;
  unsigned char payload[2] = {static_cast<unsigned char>(state & 0xff),
                              static_cast<unsigned char>(state >> 8)};
  e.setStatus(payload, 2);
  return e;
}

Event data() {
  Event e;
  const unsigned char byte = 1;
  e.setData(true, &byte, 1);
  return e;
}

TEST(StatusWatchTest, ReportsFirstStatusThenEachChangeThenTheEnd) {
  Event closed;
  closed.setClosed();
  struct Case {
    const char* name;
    std::vector<Event> events;
    std::vector<StatusWatch::Report> reports;
  };
  using R = StatusWatch;
  const std::vector<Case> cases = {
      {"steady state", {status(5), status(5), status(5)}, {R::FirstStatus, R::Nothing, R::Nothing}},
      {"non-zero first state is no change", {status(3)}, {R::FirstStatus}},
      {"changes counted from the previous status",
       {status(5), status(7), status(7), status(5)},
       {R::FirstStatus, R::StateChanged, R::Nothing, R::StateChanged}},
      {"data before the first status",
       {data(), status(0), data(), status(1)},
       {R::Nothing, R::FirstStatus, R::Nothing, R::StateChanged}},
      {"closed ends at any point", {closed}, {R::Ended}},
      {"closed after statuses", {status(1), closed}, {R::FirstStatus, R::Ended}},
  };
  for (const Case& c : cases) {
    StatusWatch watch;
    std::vector<StatusWatch::Report> got;
    for (const Event& e : c.events) got.push_back(watch.onEvent(e));
    EXPECT_EQ(got, c.reports) << c.name;
  }
}

}  // namespace
}  // namespace lc
