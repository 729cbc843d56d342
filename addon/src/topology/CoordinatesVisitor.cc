#include "topology/CoordinatesVisitor.h"

#include <algorithm>

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
  computePositions(module);
  computeBorders(module);
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
  computePositions(child);
  computeBorders(child);
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

void CoordinatesVisitor::computePositions(const Module& module) {
  if (detail_ == CentresOnly) return;
  if (detail_ == Everything) computeLeds(module);
  computeSensors(module);
}

void CoordinatesVisitor::computeLeds(const Module& module) {
  const TileTables* tables = tileTables(module.type());
  if (tables == nullptr) return;
  CoordinatesData& data = (*coordinates_)[module.id()];
  const OrientedData& turned = (*oriented_)[module.id()];
  const float s = static_cast<float>(orientationSign(module.type(), turned.orientation));
  const unsigned n = tables->ledCount;
  for (std::vector<float>* list : {&data.ledX, &data.ledY, &data.screenX, &data.screenY}) {
    list->clear();
    list->reserve(n);
  }
  for (std::uint32_t i = 0; i < n; ++i) {
    std::uint32_t j = i;
    rotateIndex(tables->rotateLed, n, i, turned.rotation, j);
    const float x = (static_cast<float>(tables->ledsX(j)) * tables->scaleX) * s + data.x;
    const float y = (static_cast<float>(tables->ledsY(j)) * tables->scaleY) * s + data.y;
    data.screenX.push_back(x);
    data.ledX.push_back(x);
    data.screenY.push_back(y);
    data.ledY.push_back(y);
  }
}

void CoordinatesVisitor::computeSensors(const Module& module) {
  const TileTables* tables = tileTables(module.type());
  if (tables == nullptr) return;
  CoordinatesData& data = (*coordinates_)[module.id()];
  const OrientedData& turned = (*oriented_)[module.id()];
  const float s = static_cast<float>(orientationSign(module.type(), turned.orientation));
  const unsigned n = sensorCount(module.type());
  const unsigned defined = tables->sensorTableCount;
  for (std::vector<float>* list :
       {&data.sensorX, &data.sensorY, &data.sensorCopyX, &data.sensorCopyY}) {
    list->clear();
    list->reserve(n);
  }
  for (std::uint32_t i = 0; i < n; ++i) {
    float x = data.x;
    float y = data.y;
    // Sensors past the tables (the sixth "varna" one) sit at the centre and
    // do not move with the tile.
    std::uint32_t j = i;
    if (i < defined && rotateIndex(tables->rotateSensor, defined, i, turned.rotation, j)) {
      x = (static_cast<float>(tables->sensorsX(j)) * tables->scaleX) * s + data.x;
      y = (static_cast<float>(tables->sensorsY(j)) * tables->scaleY) * s + data.y;
    }
    data.sensorCopyX.push_back(x);
    data.sensorX.push_back(x);
    data.sensorCopyY.push_back(y);
    data.sensorY.push_back(y);
  }
}

void CoordinatesVisitor::computeBorders(const Module& module) {
  const TileTables* tables = tileTables(module.type());
  if (tables == nullptr) return;
  const CoordinatesData& data = (*coordinates_)[module.id()];
  minX_ = std::min(minX_, static_cast<float>(tables->boundsXFrom) * tables->scaleX + data.x);
  maxX_ = std::max(maxX_, static_cast<float>(tables->boundsXTo) * tables->scaleX + data.x);
  minY_ = std::min(minY_, static_cast<float>(tables->boundsYFrom) * tables->scaleY + data.y);
  maxY_ = std::max(maxY_, static_cast<float>(tables->boundsYTo) * tables->scaleY + data.y);
}

}  // namespace lc
