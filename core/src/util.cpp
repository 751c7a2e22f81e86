// Evenly spaced values between two ends.
#include "vornak/util.hpp"

namespace vornak {

Buffer<double> linspace(double start, double end, std::size_t count) {
  if (count == 0) return {};
  if (count == 1) return filled<double>(1, start);
  Buffer<double> values = zeros<double>(count);
  const double step = (end - start) / static_cast<double>(count - 1);
  for (std::size_t i = 0; i + 1 < count; ++i) {
    values[i] = static_cast<double>(i) * step + start;
  }
  // The last value is the end itself, not start + (count - 1) * step.
  values[count - 1] = end;
  return values;
}

}  // namespace vornak
