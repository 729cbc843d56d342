#include "topology/CoordinatesVisitor.h"

#include <algorithm>
#include <utility>

#include "topology/Module.h"
#include "topology/TileTables.h"

namespace lc {

void CoordinatesVisitor::enter(const Module& module) {
  minX_ = minY_ = maxX_ = maxY_ = 0;
  orientedVisitor_.enter(module);
  CoordinatesData& data = (*coordinates_)[module.id()];
  data.type = module.type();
  if (!isTile(module.type())) return;
  data.valid = true;
  data.x = 0;
  data.y = 0;
  place(module, data);
}

void CoordinatesVisitor::enter(const Module& parent, const Module& child) {
  orientedVisitor_.enter(parent, child);
  CoordinatesData& data = (*coordinates_)[child.id()];
  data.type = child.type();
  if (!isTile(child.type())) return;
  data.valid = true;

  TileCentre from{0, 0};
  if (isTile(parent.type())) {
    const CoordinatesData& parentData = (*coordinates_)[parent.id()];
    from = {parentData.x, parentData.y};
  }
  const TileCentre centre = centreFrom(parent, from, child, (*oriented_)[child.id()]);
  data.x = centre.x;
  data.y = centre.y;
  place(child, data);
}

TileCentre CoordinatesVisitor::centreFrom(const Module& parent, TileCentre from,
                                          const Module& child, const OrientedData& turned) {
  // Every tile hanging directly from a relay starts at the origin.
  if (!isTile(parent.type())) return {0, 0};
  const TileTables& tables = *tileTables(child.type());
  std::uint32_t k = 0;
  if (!absoluteChannel(child.type(), child.facingChannel(parent), turned.rotation, k)) {
    // The child does not list its parent among its links: there is no
    // channel to place it by, so it stays on its parent.
    return from;
  }
  // The channel table gives the offset from a tile's centre to the
  // neighbour joined there, so the child lies opposite its own channel.
  const float s = static_cast<float>(orientationSign(child.type(), turned.orientation));
  return {from.x - (s * tables.scaleX) * static_cast<float>(tables.channelsX(k)),
          from.y - (s * tables.scaleY) * static_cast<float>(tables.channelsY(k))};
}

void CoordinatesVisitor::place(const Module& module, CoordinatesData& data) {
  // One look-up of the records per tile: on a large installation the walk
  // was mostly map searches.
  const TileTables* tables = tileTables(module.type());
  if (tables != nullptr && detail_ != CentresOnly) {
    const OrientedData& turned = (*oriented_)[module.id()];
    if (detail_ == Everything || detail_ == Screen) computeLeds(*tables, turned, data);
    computeSensors(*tables, turned, data);
  }
  if (tables != nullptr) computeBorders(*tables, data);
}

const CoordinatesVisitor::LedShape& CoordinatesVisitor::ledShape(const TileTables& tables,
                                                                 std::uint32_t rotation) {
  for (const LedShape& shape : shapes_) {
    if (shape.type == tables.type && shape.rotation == rotation) return shape;
  }
  const unsigned n = tables.ledCount;
  LedShape shape{tables.type, rotation, std::vector<float>(n), std::vector<float>(n)};
  for (std::uint32_t i = 0; i < n; ++i) {
    std::uint32_t j = i;
    rotateIndex(tables.rotateLed, n, i, rotation, j);
    shape.x[i] = static_cast<float>(tables.ledsX(j)) * tables.scaleX;
    shape.y[i] = static_cast<float>(tables.ledsY(j)) * tables.scaleY;
  }
  shapes_.push_back(std::move(shape));
  return shapes_.back();
}

void CoordinatesVisitor::computeLeds(const Module& module) {
  const TileTables* tables = tileTables(module.type());
  if (tables == nullptr) return;
  computeLeds(*tables, (*oriented_)[module.id()], (*coordinates_)[module.id()]);
}

void CoordinatesVisitor::computeLeds(const TileTables& tables, const OrientedData& turned,
                                     CoordinatesData& data) {
  const float s = static_cast<float>(orientationSign(tables.type, turned.orientation));
  const LedShape& shape = ledShape(tables, turned.rotation);
  const std::size_t n = shape.x.size();
  const bool screenOnly = detail_ == Screen;
  std::vector<float>& xs = screenOnly ? data.screenX : data.ledX;
  std::vector<float>& ys = screenOnly ? data.screenY : data.ledY;
  xs.resize(n);
  ys.resize(n);
  const float* sx = shape.x.data();
  const float* sy = shape.y.data();
  float* lx = xs.data();
  float* ly = ys.data();
  const float cx = data.x;
  const float cy = data.y;
  for (std::size_t i = 0; i < n; ++i) {
    lx[i] = sx[i] * s + cx;
    ly[i] = sy[i] * s + cy;
  }
  if (screenOnly) return;
  data.screenX = data.ledX;
  data.screenY = data.ledY;
}

void CoordinatesVisitor::computeSensors(const Module& module) {
  const TileTables* tables = tileTables(module.type());
  if (tables == nullptr) return;
  computeSensors(*tables, (*oriented_)[module.id()], (*coordinates_)[module.id()]);
}

void CoordinatesVisitor::computeSensors(const TileTables& tables, const OrientedData& turned,
                                        CoordinatesData& data) {
  const float s = static_cast<float>(orientationSign(tables.type, turned.orientation));
  const unsigned n = sensorCount(tables.type);
  const unsigned defined = tables.sensorTableCount;
  const bool both = detail_ != Screen;
  for (std::vector<float>* list :
       {&data.sensorX, &data.sensorY, &data.sensorCopyX, &data.sensorCopyY}) {
    list->clear();
    if (both || list == &data.sensorCopyX || list == &data.sensorCopyY) list->reserve(n);
  }
  for (std::uint32_t i = 0; i < n; ++i) {
    float x = data.x;
    float y = data.y;
    // Sensors past the tables (the sixth "varna" one) sit at the centre and
    // do not move with the tile.
    std::uint32_t j = i;
    if (i < defined && rotateIndex(tables.rotateSensor, defined, i, turned.rotation, j)) {
      x = (static_cast<float>(tables.sensorsX(j)) * tables.scaleX) * s + data.x;
      y = (static_cast<float>(tables.sensorsY(j)) * tables.scaleY) * s + data.y;
    }
    data.sensorCopyX.push_back(x);
    data.sensorCopyY.push_back(y);
    if (!both) continue;
    data.sensorX.push_back(x);
    data.sensorY.push_back(y);
  }
}

void CoordinatesVisitor::computeBorders(const Module& module) {
  const TileTables* tables = tileTables(module.type());
  if (tables == nullptr) return;
  computeBorders(*tables, (*coordinates_)[module.id()]);
}

void CoordinatesVisitor::computeBorders(const TileTables& tables, const CoordinatesData& data) {
  minX_ = std::min(minX_, static_cast<float>(tables.boundsXFrom) * tables.scaleX + data.x);
  maxX_ = std::max(maxX_, static_cast<float>(tables.boundsXTo) * tables.scaleX + data.x);
  minY_ = std::min(minY_, static_cast<float>(tables.boundsYFrom) * tables.scaleY + data.y);
  maxY_ = std::max(maxY_, static_cast<float>(tables.boundsYTo) * tables.scaleY + data.y);
}

}  // namespace lc
