#include "model/debug_text.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "model/two_param_psychometric.hpp"

namespace varnel {
namespace {

struct DebugCase {
  double value;
  const char* text;
};

TEST(DebugF64, ShortestRoundTripWithTheFormRules) {
  const double inf = std::numeric_limits<double>::infinity();
  const DebugCase cases[] = {
      {0.0, "0.0"},
      {-0.0, "-0.0"},
      {2.0, "2.0"},
      {0.25, "0.25"},
      {0.5, "0.5"},
      {100.0, "100.0"},
      {-3.0, "-3.0"},
      {0.1 + 0.2, "0.30000000000000004"},
      {123.456, "123.456"},
      {0.0001, "0.0001"},             // the smallest positional magnitude
      {0.00012, "0.00012"},
      {9.999e-5, "9.999e-5"},         // just below it
      {1e-5, "1e-5"},
      {-2.5e-7, "-2.5e-7"},
      {5e-324, "5e-324"},             // smallest subnormal
      {1e15, "1000000000000000.0"},
      {9999999999999998.0, "9999999999999998.0"},  // largest below 1e16
      {1e16, "1e16"},
      {1.5e16, "1.5e16"},
      {-1.5e16, "-1.5e16"},
      {1.7976931348623157e308, "1.7976931348623157e308"},
      {std::nan(""), "NaN"},
      {-std::nan(""), "NaN"},
      {inf, "inf"},
      {-inf, "-inf"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(debug_f64(c.value), c.text);
  }
}

TEST(DebugF64, ReadsBackToTheSameValue) {
  const double values[] = {1.0 / 3.0, 2.0 / 3.0 * 1e-3, 6.02214076e23, 1e-300, 4.35e-5, 12345.678};
  for (double v : values) {
    SCOPED_TRACE(v);
    const std::string text = debug_f64(v);
    EXPECT_EQ(std::stod(text), v);
  }
}

TEST(ModelDebugText, NamesEveryField) {
  const auto model = TwoParameterPsychometricModel::try_new(0.0, 1.0, 0.5, 2.0);
  ASSERT_TRUE(model.has_value());
  EXPECT_EQ(model->debug_text(),
            "TwoParameterPsychometricModel { k_prior: Normal { mean: 0.0, std_dev: 1.0 }, "
            "m_prior: Normal { mean: 0.5, std_dev: 2.0 } }");
}

}  // namespace
}  // namespace varnel
