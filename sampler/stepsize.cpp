#include "stepsize.hpp"

#include <algorithm>
#include <cmath>

namespace varnel {

void AcceptanceRateCollector::observe_energy(double end_energy) noexcept {
  const double delta = initial_energy - end_energy;
  const double accept = std::exp(std::min(delta, 0.0));
  add_step(accept, 2.0 * accept / (std::exp(delta) + 1.0));
}

DualAverage DualAverage::create(const DualAverageSettings& settings, double initial_step) noexcept {
  DualAverage da;
  da.log_step = std::log(initial_step);
  da.log_step_adapted = da.log_step;
  da.hbar = 0.0;
  // The product is formed first, then its logarithm (not ln 10 + ln step).
  da.mu = std::log(10.0 * initial_step);
  da.count = 1;
  da.settings = settings;
  return da;
}

// Every step below is evaluated in this order and grouping; the reference
// results of the warm-up depend on the exact bits.
void DualAverage::advance(double accept, double target) noexcept {
  const double c = static_cast<double>(count);
  const double w = 1.0 / (settings.t0 + c);
  hbar = (target - accept) * w + (1.0 - w) * hbar;
  log_step = mu - (std::sqrt(c) * hbar) / settings.gamma;
  const double eta = std::pow(c, -settings.kappa);
  log_step_adapted = (1.0 - eta) * log_step_adapted + eta * log_step;
  count += 1;
}

double DualAverage::current_step_size() const noexcept { return std::exp(log_step); }

double DualAverage::current_step_size_adapted() const noexcept {
  return std::exp(log_step_adapted);
}

}  // namespace varnel
