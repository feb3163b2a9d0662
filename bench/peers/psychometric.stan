// Two-parameter logistic psychometric model: p(yes | x) = inv_logit(k (x - m)).
data {
  int<lower=0> N;
  vector[N] x;
  int<lower=0, upper=1> y[N];
  real mu_k;
  real<lower=0> sigma_k;
  real mu_m;
  real<lower=0> sigma_m;
}
parameters {
  real k;
  real m;
}
model {
  k ~ normal(mu_k, sigma_k);
  m ~ normal(mu_m, sigma_m);
  y ~ bernoulli_logit(k * (x - m));
}
