#pragma once
// Interleaved conditions: one psychometric function per condition, over a
// design of (stimulus, condition index). Every condition has its own
// location m_c; the slope and the guess and lapse rates are each shared by
// all conditions or one per condition. Link, priors and rate settings are
// those of a PsychometricModel, the `base`, which evaluates each condition.
//
// Parameter vectors hold, in this order: the slopes (one, or one per
// condition), the locations (one per condition), the estimated guess rates
// and then the estimated lapse rates (one, or one per condition each).
// Condition c's own vector in the base model's layout is gathered from
// these by index (condition_vector).

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "model/array_view.hpp"
#include "model/model.hpp"
#include "model/psychometric.hpp"

namespace varnel {

class ConditionsPsychometricModel {
 public:
  PsychometricModel base;
  std::size_t num_conditions = 1;
  bool per_condition_slope = false;
  bool per_condition_guess = false;
  bool per_condition_lapse = false;

  static constexpr std::size_t kMaxConditions = 1000;

  // Checks the settings beyond the base model's: 1 to kMaxConditions
  // conditions, a per-condition rate only for an estimated rate, and two
  // estimated rates shared alike (the lapse rate's transform is relative to
  // the guess rate of the same condition). The error names the argument.
  static std::expected<ConditionsPsychometricModel, std::string> try_new(PsychometricModel base,
                                                                         std::int64_t num_conditions,
                                                                         bool per_condition_slope,
                                                                         bool per_condition_guess,
                                                                         bool per_condition_lapse);

  static constexpr std::string_view kClassName = "ConditionsPsychometricModel";
  static constexpr std::size_t kDesignColumns = 2;
  static constexpr bool kEigRowsChecked = true;
  static constexpr bool kDesignWidthChecked = true;
  static constexpr std::string_view kSupportText =
      "slopes > 0 and finite, locations finite, rates in [0, 1) summing to at most 1";

  struct EigSample {
    std::vector<PsychometricModel::EigSample> conditions;
  };

  std::size_t slopes() const noexcept { return per_condition_slope ? num_conditions : 1; }
  std::size_t guesses() const noexcept { return base.guess.estimated ? (per_condition_guess ? num_conditions : 1) : 0; }
  std::size_t lapses() const noexcept { return base.lapse.estimated ? (per_condition_lapse ? num_conditions : 1) : 0; }
  // Whether condition c has rates of its own (else every condition has those of condition 0).
  bool per_condition_rates() const noexcept {
    return (base.guess.estimated && per_condition_guess) || (base.lapse.estimated && per_condition_lapse);
  }
  std::size_t dim() const noexcept { return slopes() + num_conditions + guesses() + lapses(); }

  // "s" (or "s_0", "s_1", ...), "m_0", "m_1", ..., then "guess_rate" and
  // "lapse_rate" (or with the condition index) when estimated.
  std::vector<std::string> param_names() const;

  // Condition c's vector in the base model's layout (base.dim() values).
  void condition_vector(std::span<const double> full, std::size_t c, std::span<double> out) const noexcept;
  // Writes condition c's base-layout vector into its places of `full`.
  void scatter_condition(std::span<const double> part, std::size_t c, std::span<double> full) const noexcept;

  // The condition of a design value: an integer in [0, num_conditions).
  std::optional<std::size_t> condition_of(double value) const noexcept;
  // ArgumentError naming `argument` when a row of the first `rows` has a
  // condition column that is not a condition index.
  void check_design_values(const MatrixView& design, std::size_t rows, std::string_view argument) const;

  bool in_support(std::span<const double> natural) const noexcept;
  void to_natural(std::span<const double> u, std::span<double> natural) const noexcept;
  void to_sampling(std::span<const double> natural, std::span<double> u) const noexcept;
  template <RandomGenerator G>
  void draw_prior(G& rng, std::span<double> natural) const {
    for (std::size_t c = 0; c < num_conditions; ++c) {
      const std::vector<double> draw = base.sample_prior(rng);
      scatter_draw(draw, c, natural);
    }
  }
  EigSample eig_sample(std::span<const double> natural) const;
  ResponseProbs response_probs(const EigSample& sample, std::span<const double> row) const noexcept;
  ModelSettings settings() const;

  double log_likelihood_natural(std::span<const double> natural, const MatrixView& design,
                                const BoolVectorView& observations) const;
  double log_posterior_natural(std::span<const double> natural, const MatrixView& design,
                               const BoolVectorView& observations) const;
  double log_likelihood_vec(std::span<const double> u, const MatrixView& design,
                            const BoolVectorView& observations) const;
  double log_posterior_with_grad_vec(std::span<const double> u, std::span<double> grad, const MatrixView& design,
                                     const BoolVectorView& observations) const;
  void prior_center(std::span<double> u) const noexcept;
  std::string debug_text() const;

 private:
  std::size_t slope_index(std::size_t c) const noexcept { return per_condition_slope ? c : 0; }
  std::size_t location_index(std::size_t c) const noexcept { return slopes() + c; }
  std::size_t rate_group(std::size_t c) const noexcept { return per_condition_rates() ? c : 0; }
  // One condition's prior draw into `natural`: its location, and the slope
  // and rates where they are its own (or condition 0's draw for shared ones).
  void scatter_draw(std::span<const double> draw, std::size_t c, std::span<double> natural) const noexcept;
};

static_assert(ResponseModel<ConditionsPsychometricModel>);

}  // namespace varnel
