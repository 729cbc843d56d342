#include "topology/ConfigGeometry.h"

namespace lc {

namespace {

constexpr std::int8_t kDeltaChannelsX[6] = {-10, -5, 0, 5, 10, 0};
constexpr std::int8_t kDeltaChannelsY[6] = {-10, 5, 20, 5, -10, -10};
constexpr std::int8_t kDeltaLedsX[31] = {-4, -3, -1, 0, 2, 3,  5,  6,  8,  -4, -3, -1, 0,  2, 3, 5,
                                         -4, -3, -1, 0, 2, -4, -3, -1, -4, -2, 1,  4,  -2, 1, -2};
constexpr std::int8_t kDeltaLedsY[31] = {-4, -3, -3, -2, -2, -1, -1, 0, 0, -2, -1, -1, 0, 0, 1, 1,
                                         0,  1,  1,  2,  2,  2,  3,  3, 4, -2, -1, 0,  0, 1, 2};
constexpr std::int8_t kDeltaSensorsX[4] = {-3, 0, 3, 0};
constexpr std::int8_t kDeltaSensorsY[4] = {-3, 6, -3, 0};

constexpr std::int8_t kSquareChannelsX[4] = {0, 20, 0, -20};
constexpr std::int8_t kSquareChannelsY[4] = {-20, 0, 20, 0};
constexpr std::int8_t kQuadraV2SensorsX[4] = {-5, 5, -5, 5};
constexpr std::int8_t kQuadraV2SensorsY[4] = {-5, -5, 5, 5};

constexpr std::int8_t kVarnaChannelsX[4] = {0, 2, 0, -2};
constexpr std::int8_t kVarnaChannelsY[4] = {-2, 0, 2, 0};
constexpr std::int8_t kVarnaLedsX[4] = {-1, 1, -1, 1};
constexpr std::int8_t kVarnaLedsY[4] = {-1, -1, 1, 1};
constexpr std::int8_t kVarnaSensorsX[5] = {-1, 1, -1, 1, 0};
constexpr std::int8_t kVarnaSensorsY[5] = {-1, -1, 1, 1, 0};

// The 100-LED grid: LED 10 * row + col at (2 * col - 9, 2 * row - 9).
int gridX(std::uint32_t i) { return 2 * static_cast<int>(i % 10) - 9; }
int gridY(std::uint32_t i) { return 2 * static_cast<int>(i / 10) - 9; }

}  // namespace

int ConfigGeometryDelta::channelsX(std::uint32_t i) { return kDeltaChannelsX[i]; }
int ConfigGeometryDelta::channelsY(std::uint32_t i) { return kDeltaChannelsY[i]; }
int ConfigGeometryDelta::ledsX(std::uint32_t i) { return kDeltaLedsX[i]; }
int ConfigGeometryDelta::ledsY(std::uint32_t i) { return kDeltaLedsY[i]; }
int ConfigGeometryDelta::sensorsX(std::uint32_t i) { return kDeltaSensorsX[i]; }
int ConfigGeometryDelta::sensorsY(std::uint32_t i) { return kDeltaSensorsY[i]; }

int ConfigGeometryQuadra::channelsX(std::uint32_t i) { return kSquareChannelsX[i]; }
int ConfigGeometryQuadra::channelsY(std::uint32_t i) { return kSquareChannelsY[i]; }
int ConfigGeometryQuadra::ledsX(std::uint32_t i) { return gridX(i); }
int ConfigGeometryQuadra::ledsY(std::uint32_t i) { return gridY(i); }

int ConfigGeometryQuadraV2::channelsX(std::uint32_t i) { return kSquareChannelsX[i]; }
int ConfigGeometryQuadraV2::channelsY(std::uint32_t i) { return kSquareChannelsY[i]; }
int ConfigGeometryQuadraV2::ledsX(std::uint32_t i) { return gridX(i); }
int ConfigGeometryQuadraV2::ledsY(std::uint32_t i) { return gridY(i); }
int ConfigGeometryQuadraV2::sensorsX(std::uint32_t i) { return kQuadraV2SensorsX[i]; }
int ConfigGeometryQuadraV2::sensorsY(std::uint32_t i) { return kQuadraV2SensorsY[i]; }

int ConfigGeometryVarna::channelsX(std::uint32_t i) { return kVarnaChannelsX[i]; }
int ConfigGeometryVarna::channelsY(std::uint32_t i) { return kVarnaChannelsY[i]; }
int ConfigGeometryVarna::ledsX(std::uint32_t i) { return kVarnaLedsX[i]; }
int ConfigGeometryVarna::ledsY(std::uint32_t i) { return kVarnaLedsY[i]; }
int ConfigGeometryVarna::sensorsX(std::uint32_t i) { return kVarnaSensorsX[i]; }
int ConfigGeometryVarna::sensorsY(std::uint32_t i) { return kVarnaSensorsY[i]; }

}  // namespace lc
