#include "topology/TranslateVisitor.h"

#include <algorithm>

#include "topology/Module.h"

namespace lc {

CoordinatesData* TranslateVisitor::recordOf(std::uint32_t id) {
  while (next_ != coordinates_->end() && next_->first < id) ++next_;
  if (next_ != coordinates_->end() && next_->first == id) return &next_->second;
  // Out of order, or no record: a search says which.
  return coordinates_->find(id);
}

void TranslateVisitor::visit(const Module& module) {
  if (!isTile(module.type())) return;
  CoordinatesData* data = recordOf(module.id());
  if (data == nullptr) return;
  data->x += offsetX_;
  data->y += offsetY_;
  if (inPlace_) {
    for (float& x : data->screenX) x += offsetX_;
    for (float& y : data->screenY) y += offsetY_;
    return;
  }
  // From the layout positions, so that the screen positions never drift.
  const std::size_t nx = std::min(data->screenX.size(), data->ledX.size());
  for (std::size_t k = 0; k < nx; ++k) data->screenX[k] = data->ledX[k] + offsetX_;
  const std::size_t ny = std::min(data->screenY.size(), data->ledY.size());
  for (std::size_t k = 0; k < ny; ++k) data->screenY[k] = data->ledY[k] + offsetY_;
}

}  // namespace lc
