#pragma once

// The three trigonometric functions; kept by the trigonometric chart data.

namespace app {

enum class TrigonometricType { sin, cos, tan };

}  // namespace app
