"""The module tree, the classes' docstrings and text signatures, PanicException."""

import ctypes
import importlib
import inspect
import pickle
import subprocess
import sys

import numpy as np
import pytest

import varnel

Model = varnel.models.TwoParameterPsychometricModel
NUTSEstimator = varnel.posterior.NUTSEstimator
EIGEstimator = varnel.eig.EnumeratedMonteCarloEstimator

MODEL_DOC = (
    "A two-parameter psychometric model. The model is defined as:\n\n"
    "     k ~ Normal(k_mu, k_sigma)\n"
    "     m ~ Normal(m_mu, m_sigma)\n"
    "     y ~ BernoulliLogit(k * (x - m))\n\n"
    " where:\n"
    " - `k` is the slope of the psychometric function,\n"
    " - `m` is the location of the psychometric function,\n"
    " - `y` is the binary response,\n*"
)


def test_module_tree_and_all():
    assert varnel.__all__ == ["models", "posterior", "eig"]
    assert varnel.__doc__ == ""
    assert varnel.models.__all__ == ["TwoParameterPsychometricModel"]
    assert varnel.posterior.__all__ == ["NUTSEstimator"]
    assert varnel.eig.__all__ == ["EnumeratedMonteCarloEstimator"]
    assert [varnel.models.__name__, varnel.posterior.__name__, varnel.eig.__name__] == [
        "models",
        "posterior",
        "eig",
    ]
    # Attributes in the order they were added, PanicException as an extra.
    names = [n for n in vars(varnel) if not n.startswith("__")]
    assert names[:3] == ["models", "posterior", "eig"]


def test_submodules_are_not_importable_packages():
    with pytest.raises(ModuleNotFoundError):
        importlib.import_module("varnel.models")
    from varnel import models  # attribute access works

    assert models.TwoParameterPsychometricModel is Model


@pytest.mark.parametrize(
    "cls, signature, doc",
    [
        (Model, "(mu_k, sigma_k, mu_m, sigma_m)", MODEL_DOC),
        (
            NUTSEstimator,
            "(num_tune=None, num_draws=None, num_chains=None, maxdepth=None, timeout=None, "
            "max_energy_error=None, seed=None)",
            "",
        ),
        (EIGEstimator, "(outcomes, n_samples)", None),
    ],
    ids=["model", "nuts", "eig"],
)
def test_class_text_signature_and_doc(cls, signature, doc):
    assert cls.__text_signature__ == signature
    assert cls.__module__ == "builtins"
    if doc is not None:
        assert cls.__doc__ == doc
    assert str(inspect.signature(cls)) == signature


def test_eig_class_doc_is_the_full_utf8_text():
    doc = EIGEstimator.__doc__
    assert len(doc.encode("utf-8")) == 504
    assert doc.startswith("Rao- Blackwellized Monte Carlo estimator.\nUsed to estimate")
    assert "μ̂_N := Σ_{y ∈ 𝒴} (1/N)" in doc
    assert doc.endswith("with p̂(y | ξ) = (1/N) Σ_{n=1}^N p(y | θ_n, ξ)")


@pytest.mark.parametrize(
    "method, signature",
    [
        (Model.sample_prior, "($self)"),
        (Model.sample_prior_predictive, "($self, design)"),
        (Model.log_likelihood, "($self, params, design, observations)"),
        (Model.log_posterior, "($self, params, design, observations)"),
        (NUTSEstimator.estimate, "($self, model, design, observations)"),
        (EIGEstimator.estimate, "($self, model, params, candidate_designs)"),
    ],
    ids=lambda v: getattr(v, "__qualname__", v),
)
def test_method_text_signatures(method, signature):
    assert method.__text_signature__ == signature
    assert method.__doc__ is None


def test_panic_exception_is_a_base_exception_outside_exception():
    assert varnel.PanicException.__bases__ == (BaseException,)
    assert not issubclass(varnel.PanicException, Exception)
    assert "PanicException" not in varnel.__all__
    caught_by_exception = False
    with pytest.raises(varnel.PanicException) as info:
        try:
            NUTSEstimator(seed=1).estimate(EIGEstimator([True], 1), np.zeros((1, 1)), np.ones(1, bool))
        except Exception:  # noqa: BLE001 - the point of the test
            caught_by_exception = True
    assert not caught_by_exception
    assert info.value.args == ("Invalid model",)


def test_panic_writes_a_diagnostic_to_stderr(capfd):
    with pytest.raises(varnel.PanicException):
        Model(0.0, float("nan"), 0.0, 1.0)
    err = capfd.readouterr().err
    assert "called `Result::unwrap()` on an `Err` value: BadVariance" in err


def test_second_initialisation_is_an_import_error():
    lib = ctypes.PyDLL(varnel.__file__)
    init = lib.PyInit_varnel
    init.restype = ctypes.py_object
    with pytest.raises(ImportError, match="only be initialized once"):
        init()
    # The module in use is unaffected.
    assert Model(0, 1, 0, 1).log_likelihood([], np.zeros((0, 1)), np.zeros(0, bool)) == 0.0


def test_subclasses_are_models():
    class Shifted(Model):
        def describe(self):
            return "shifted " + str(self)

    s = Shifted(0.0, 1.0, 0.5, 2.0)
    assert isinstance(s, Model)
    assert s.describe().startswith("shifted TwoParameterPsychometricModel {")
    design = np.array([[0.3], [1.0]])
    obs = np.array([True, False])
    assert s.log_posterior([1.0, 0.2], design, obs) == Model(0.0, 1.0, 0.5, 2.0).log_posterior(
        [1.0, 0.2], design, obs
    )
    # The estimators take a subclass instance as the model.
    try:
        EIGEstimator([True], 1).estimate(s, [[1.0, 0.0]], np.zeros((1, 1)))
    except varnel.PanicException as e:
        assert e.args != ("Invalid model",)


def test_method_on_a_foreign_self_is_refused():
    with pytest.raises(TypeError):
        Model.log_likelihood(NUTSEstimator(seed=1), [1, 0], np.zeros((1, 1)), np.ones(1, bool))


def test_panic_exception_survives_pickling_into_a_fresh_process():
    err = None
    try:
        Model(0, float("nan"), 0, 1)
    except varnel.PanicException as e:
        err = e
    data = pickle.dumps(err)
    again = pickle.loads(data)
    assert type(again) is varnel.PanicException and again.args == err.args
    code = (
        "import pickle, sys; e = pickle.loads(sys.stdin.buffer.read()); "
        "print(type(e).__module__, type(e).__name__, e.args[0])"
    )
    out = subprocess.run([sys.executable, "-c", code], input=data, capture_output=True, check=True)
    assert out.stdout.decode().strip() == (
        "varnel.runtime PanicException called `Result::unwrap()` on an `Err` value: BadVariance"
    )
