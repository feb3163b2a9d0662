#pragma once
// The interface of a psychometric model as the sampler's density and the
// information-gain estimator use it: plain, copyable records evaluated on
// read-only views of the design (stimulus in column 0) and the observations.

#include <concepts>
#include <cstddef>
#include <span>

#include "model/array_view.hpp"

namespace varnel {

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

}  // namespace varnel
