#pragma once

// Per-module results of a computation over a topology (orientations,
// coordinates), keyed by module id in ascending order. Looking up an id with
// operator[] creates a zeroed record, as a visitor filling the map expects;
// find() looks without creating.

#include <cstdint>
#include <map>

namespace lc {

template <typename T>
class TopologyData {
 public:
  using Map = std::map<std::uint32_t, T>;

  T& operator[](std::uint32_t id) { return records_[id]; }

  const T* find(std::uint32_t id) const {
    auto it = records_.find(id);
    return it == records_.end() ? nullptr : &it->second;
  }
  T* find(std::uint32_t id) {
    auto it = records_.find(id);
    return it == records_.end() ? nullptr : &it->second;
  }

  bool contains(std::uint32_t id) const { return records_.count(id) != 0; }
  std::size_t size() const { return records_.size(); }
  bool empty() const { return records_.empty(); }
  void clear() { records_.clear(); }

  typename Map::iterator begin() { return records_.begin(); }
  typename Map::iterator end() { return records_.end(); }
  typename Map::const_iterator begin() const { return records_.begin(); }
  typename Map::const_iterator end() const { return records_.end(); }

 private:
  Map records_;
};

}  // namespace lc
