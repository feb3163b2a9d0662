#pragma once
// The sampler's likelihood terms in the exact lanes: PsychometricModel's
// response_at four rows at a time, the same bits as the scalar function, so
// that a density evaluated through them is the model's own. The moves of the
// incremental update spend most of their time there.

#include "model/contrast_sensitivity.hpp"
#include "model/psychometric.hpp"

namespace varnel {

// The lane evaluator of the link's response terms when this process has
// admitted lanes for it, else null (the scalar loop).
ResponseRowsFn exact_response_rows(Link link) noexcept;

// The model with the lane evaluator installed where there is one.
inline PsychometricModel with_exact_responses(PsychometricModel model) noexcept {
  model.response_rows = exact_response_rows(model.link);
  return model;
}
inline ContrastSensitivityModel with_exact_responses(ContrastSensitivityModel model) noexcept {
  model.base.response_rows = exact_response_rows(model.base.link);
  return model;
}
// Models without a lane evaluator are used as they are.
template <class M>
M with_exact_responses(M model) noexcept {
  return model;
}

}  // namespace varnel
