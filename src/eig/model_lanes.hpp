#pragma once
// The vector lanes of the models that have them: each reproduces its model's
// scalar response_probs bit for bit on the lanes' common path and flags the
// lanes that leave it, which the scalar formula redoes.

#include "eig/scorer.hpp"
#include "model/conditions.hpp"
#include "model/contrast_sensitivity.hpp"
#include "model/psychometric.hpp"
#include "model/two_param_psychometric.hpp"

namespace varnel {

template <>
struct EigLanes<TwoParameterPsychometricModel> {
  static const exact_exp_log::LibmTables* tables(const TwoParameterPsychometricModel&, bool eight) noexcept;
  static void score_range(const ScoreJob<TwoParameterPsychometricModel>& job, std::size_t first,
                          std::size_t last, double* result) noexcept;
};

template <>
struct EigLanes<PsychometricModel> {
  static constexpr bool kSampleLanes = true;
  // The link's lanes (erfc for the normal link, expm1 for the Gumbel link)
  // are checked against the library once per process like exp and log.
  static const exact_exp_log::LibmTables* tables(const PsychometricModel& model, bool eight) noexcept;
  static void score_range(const ScoreJob<PsychometricModel>& job, std::size_t first, std::size_t last,
                          double* result) noexcept;
};

template <>
struct EigLanes<ContrastSensitivityModel> {
  static constexpr bool kSampleLanes = true;
  static const exact_exp_log::LibmTables* tables(const ContrastSensitivityModel& model, bool eight) noexcept;
  static void score_range(const ScoreJob<ContrastSensitivityModel>& job, std::size_t first, std::size_t last,
                          double* result) noexcept;
};

template <>
struct EigLanes<ConditionsPsychometricModel> {
  static const exact_exp_log::LibmTables* tables(const ConditionsPsychometricModel& model, bool eight) noexcept;
  static void score_range(const ScoreJob<ConditionsPsychometricModel>& job, std::size_t first, std::size_t last,
                          double* result) noexcept;
};

}  // namespace varnel
