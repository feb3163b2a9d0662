#pragma once
// The model interface: everything the sampler binding, the particle steps,
// the information-gain scorer and the Python registration need from a model
// of a binary response. Each is written once against `ResponseModel`; a model is a
// plain, copyable record in one file of this folder plus one line in the
// registry of the Python boundary (python/models.hpp). docs/adding-a-model.md
// walks through a new one.
//
// Two scales. The sampler moves a vector on the *sampling* scale, where every
// point is inside the support (log of a positive slope, logit of a rate);
// Python, the information gain and the particle steps see *natural-scale*
// rows (the slope itself, the rate itself), one value per parameter name.
//
// Designs are read through MatrixView strides; row i holds one trial's
// stimulus (and, for models with more design columns, its further columns).
// Observations pair up with design rows up to the shorter of the two.

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "model/argument_error.hpp"
#include "model/array_view.hpp"
#include "sampler/thread_rng.hpp"

namespace varnel {

// The sampler's view of a model (the density of a model with data builds on
// it):
// log_likelihood_vec(params, design, observations): the log-likelihood summed
//   over the (row, observation) pairs, up to the shorter of the two.
// log_posterior_with_grad_vec(params, grad, design, observations): the log
//   posterior; adds its gradient with respect to the parameters into grad.
// dim(): the length of the parameter vector the sampler moves.
// Both fail (Panic) with an index failure when params or grad are too short.
template <class M>
concept BinaryResponseModel =
    std::copyable<M> && requires(const M& model, std::span<const double> params,
                                 std::span<double> grad, const MatrixView& design,
                                 const BoolVectorView& observations) {
      { model.dim() } -> std::convertible_to<std::size_t>;
      { model.log_likelihood_vec(params, design, observations) } -> std::same_as<double>;
      {
        model.log_posterior_with_grad_vec(params, grad, design, observations)
      } -> std::same_as<double>;
    };

// One constructor argument of a model as Python takes it back: a flag, a
// count, a number, a name, or a tuple of numbers (a Beta prior's (a, b)).
using SettingValue = std::variant<bool, std::int64_t, double, std::string, std::vector<double>>;

struct Setting {
  std::string name;
  SettingValue value;
};

// Every constructor argument, in the constructor's order: calling the class
// with these keywords rebuilds an equal model (pickling relies on it).
using ModelSettings = std::vector<Setting>;

// p(no), p(yes) and their logs for one design row under one parameter
// sample. A probability that underflows is 0 with its log finite (or −∞).
struct ResponseProbs {
  double p[2];
  double lp[2];
};

// The whole interface. Beyond BinaryResponseModel:
//   M::kClassName                the Python class name
//   M::kDesignColumns            design columns a trial reads (column 0 on)
//   M::kEigRowsChecked           whether rows handed to the information gain
//                                must hold exactly dim() values inside the
//                                support (ValueError otherwise); when false
//                                they need at least dim() values, the rest is
//                                ignored and any value is scored as it is
//   M::kSupportText              the support in words, for those errors
//   M::EigSample                 what one parameter row contributes to the
//                                scoring of every design, computed once
//   param_names()                one name per natural-scale value
//   to_natural(u, natural)       sampling scale to natural scale (dim() each)
//   to_sampling(natural, u)      its inverse, for rows inside the support
//   in_support(natural)          whether the log density is finite there
//   draw_prior(rng, natural)     a natural-scale prior draw
//   log_likelihood_natural(natural, design, observations)
//   eig_sample(natural)          the EigSample of a row inside the support
//   response_probs(sample, row)  p(y | θ, design row), row of kDesignColumns
//   settings()                   the constructor arguments
// and optionally M::kDesignWidthChecked: designs must have exactly
// kDesignColumns columns (see check_design_width); without it, columns beyond
// those the model reads are ignored.
template <class M>
concept ResponseModel =
    BinaryResponseModel<M> &&
    requires(const M& model, std::span<const double> in, std::span<double> out, ThreadRng& rng,
             const typename M::EigSample& sample, const MatrixView& design, const BoolVectorView& observations) {
      { M::kClassName } -> std::convertible_to<std::string_view>;
      { M::kDesignColumns } -> std::convertible_to<std::size_t>;
      { M::kEigRowsChecked } -> std::convertible_to<bool>;
      { M::kSupportText } -> std::convertible_to<std::string_view>;
      { model.param_names() } -> std::same_as<std::vector<std::string>>;
      model.to_natural(in, out);
      model.to_sampling(in, out);
      { model.in_support(in) } -> std::same_as<bool>;
      model.draw_prior(rng, out);
      { model.log_likelihood_natural(in, design, observations) } -> std::same_as<double>;
      { model.eig_sample(in) } -> std::same_as<typename M::EigSample>;
      { model.response_probs(sample, in) } -> std::same_as<ResponseProbs>;
      { model.settings() } -> std::same_as<ModelSettings>;
    };

// For models that check their designs' width: ArgumentError naming
// `argument` and both counts when a design has `cols` columns, not
// kDesignColumns. A design read only from column 0 with more columns would
// silently drop what the caller meant by them.
template <ResponseModel M>
void check_design_width(std::size_t cols, std::string_view argument) {
  if constexpr (requires { M::kDesignWidthChecked; }) {
    if (M::kDesignWidthChecked && cols != M::kDesignColumns) {
      throw ArgumentError("argument '" + std::string(argument) + "': has " + std::to_string(cols) + " column" +
                          (cols == 1 ? "" : "s") + ", " + std::string(M::kClassName) + " reads " +
                          std::to_string(M::kDesignColumns));
    }
  }
}

// check_design_width, and for models with a check of their design values
// (condition indices, say) that check on the first `rows` rows.
template <ResponseModel M>
void check_design(const M& model, const MatrixView& design, std::size_t rows, std::string_view argument) {
  check_design_width<M>(design.cols, argument);
  if constexpr (requires { model.check_design_values(design, rows, argument); }) {
    model.check_design_values(design, rows, argument);
  }
}

}  // namespace varnel
