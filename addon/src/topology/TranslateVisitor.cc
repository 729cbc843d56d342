#include "topology/TranslateVisitor.h"

#include <algorithm>

#include "topology/Module.h"

namespace lc {

void TranslateVisitor::visit(const Module& module) {
  if (!isTile(module.type())) return;
  CoordinatesData* data = coordinates_->find(module.id());
  if (data == nullptr) return;
  data->x += offsetX_;
  data->y += offsetY_;
  // From the layout positions, so that the screen positions never drift.
  const std::size_t nx = std::min(data->screenX.size(), data->ledX.size());
  for (std::size_t k = 0; k < nx; ++k) data->screenX[k] = data->ledX[k] + offsetX_;
  const std::size_t ny = std::min(data->screenY.size(), data->ledY.size());
  for (std::size_t k = 0; k < ny; ++k) data->screenY[k] = data->ledY[k] + offsetY_;
}

}  // namespace lc
