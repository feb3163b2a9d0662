#include "nuts_stats.hpp"

#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include <arrow/array.h>
#include <arrow/type.h>
#include <gtest/gtest.h>

#include "panic.hpp"
#include "potential_stats.hpp"
#include "stepsize_stats.hpp"

namespace varnel {
namespace {

constexpr std::size_t dim = 2;

enum Flag : unsigned { Always = 0, MassMatrix = 1, Gradient = 2, Unconstrained = 4, Divergences = 8 };

struct ExpectedColumn {
  const char* name;
  std::shared_ptr<arrow::DataType> type;
  bool nullable;
  Flag present_with;
};

// The chain-level table: every column, in order, with the flag that adds it.
std::vector<ExpectedColumn> all_columns() {
  const auto list = arrow::fixed_size_list(arrow::float64(), dim);
  return {
      {"depth", arrow::uint64(), false, Always},
      {"maxdepth_reached", arrow::boolean(), false, Always},
      {"index_in_trajectory", arrow::int64(), false, Always},
      {"logp", arrow::float64(), false, Always},
      {"energy", arrow::float64(), false, Always},
      {"chain", arrow::uint64(), false, Always},
      {"draw", arrow::uint64(), false, Always},
      {"diverging", arrow::boolean(), false, Always},
      {"energy_error", arrow::float64(), false, Always},
      {"step_size", arrow::float64(), false, Always},
      {"mass_matrix_inv", list, true, MassMatrix},
      {"step_size_bar", arrow::float64(), false, Always},
      {"mean_tree_accept", arrow::float64(), false, Always},
      {"mean_tree_accept_sym", arrow::float64(), false, Always},
      {"n_steps", arrow::uint64(), false, Always},
      {"gradient", list, true, Gradient},
      {"unconstrained_draw", list, true, Unconstrained},
      {"divergence_start", list, true, Divergences},
      {"divergence_start_gradient", list, true, Divergences},
      {"divergence_end", list, true, Divergences},
      {"divergence_momentum", list, true, Divergences},
      {"divergence_message", arrow::utf8(), true, Divergences},
  };
}

NutsSettings settings_with(unsigned flags) {
  NutsSettings s;
  s.adapt.mass_matrix.store_mass_matrix = (flags & MassMatrix) != 0;
  s.store_gradient = (flags & Gradient) != 0;
  s.store_unconstrained = (flags & Unconstrained) != 0;
  s.store_divergences = (flags & Divergences) != 0;
  return s;
}

std::string describe(unsigned flags) {
  std::string text = "flags:";
  if (flags & MassMatrix) text += " mass_matrix";
  if (flags & Gradient) text += " gradient";
  if (flags & Unconstrained) text += " unconstrained";
  if (flags & Divergences) text += " divergences";
  return text;
}

// A record whose every value identifies row i.
NutsSampleStats record(std::uint64_t i) {
  const double x = static_cast<double>(i);
  NutsSampleStats s;
  s.depth = i + 1;
  s.maxdepth_reached = i % 2 == 1;
  s.index_in_trajectory = -static_cast<std::int64_t>(i);
  s.logp = -x - 0.5;
  s.energy = x + 0.25;
  s.energy_error = x / 8;
  s.chain = 3;
  s.draw = i;
  s.gradient = std::vector{x, x + 0.5};
  s.unconstrained_draw = std::vector{-x, 2 * x};
  s.potential_stats.step_size = 0.1 * (x + 1);
  s.potential_stats.mass_matrix.mass_matrix_inv = std::vector{1.0 + x, 2.0 + x};
  s.strategy_stats = {0.2 + x, 0.75, 0.5, 7 + i};
  return s;
}

DivergenceInfo divergence(double x) {
  DivergenceInfo d;
  d.energy_error = 1e4;
  d.start_idx_in_trajectory = 0;
  d.end_idx_in_trajectory = 1;
  d.start_position = std::vector{x, x + 1};
  d.start_gradient = std::vector{x + 2, x + 3};
  d.end_position = std::vector{x + 4, x + 5};
  d.end_momentum = std::vector{x + 6, x + 7};
  return d;
}

void expect_valid(const std::shared_ptr<arrow::StructArray>& array) {
  ASSERT_NE(array, nullptr);
  const auto status = array->ValidateFull();
  EXPECT_TRUE(status.ok()) << status.ToString();
  EXPECT_EQ(array->null_count(), 0);
  EXPECT_EQ(array->offset(), 0);
}

template <class A>
std::shared_ptr<A> column(const arrow::StructArray& table, const std::string& name) {
  auto field = table.GetFieldByName(name);
  EXPECT_NE(field, nullptr) << name;
  return std::dynamic_pointer_cast<A>(field);
}

std::vector<double> list_entry(const arrow::StructArray& table, const std::string& name,
                               std::int64_t row) {
  auto list = column<arrow::FixedSizeListArray>(table, name);
  auto values = std::static_pointer_cast<arrow::DoubleArray>(list->value_slice(row));
  std::vector<double> out;
  for (std::int64_t j = 0; j < values->length(); ++j) out.push_back(values->Value(j));
  return out;
}

TEST(NutsStatsBuilder, ColumnsForEveryFlagCombination) {
  for (unsigned flags = 0; flags < 16; ++flags) {
    SCOPED_TRACE(describe(flags));
    std::vector<ExpectedColumn> expected;
    for (auto& c : all_columns()) {
      if (c.present_with == Always || (flags & c.present_with) != 0) expected.push_back(c);
    }
    const auto check_columns = [&](const std::shared_ptr<arrow::StructArray>& table,
                                   std::int64_t rows) {
      expect_valid(table);
      ASSERT_EQ(table->length(), rows);
      const auto& fields = table->struct_type()->fields();
      ASSERT_EQ(fields.size(), expected.size());
      for (std::size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(expected[i].name);
        EXPECT_EQ(fields[i]->name(), expected[i].name);
        EXPECT_TRUE(fields[i]->type()->Equals(expected[i].type)) << fields[i]->type()->ToString();
        EXPECT_EQ(fields[i]->nullable(), expected[i].nullable);
        EXPECT_EQ(fields[i]->metadata(), nullptr);
        EXPECT_EQ(table->field(static_cast<int>(i))->length(), rows);
      }
    };
    // Empty builder: every column, zero rows.
    auto empty = NutsStatsBuilder::create(settings_with(flags), dim);
    check_columns(empty.inspect(), 0);
    check_columns(std::move(empty).finalize(), 0);

    auto builder = NutsStatsBuilder::create(settings_with(flags), dim);
    for (std::uint64_t i = 0; i < 3; ++i) {
      auto stats = record(i);
      if (i == 1) stats.divergence_info = divergence(1.0);
      builder.append_value(std::move(stats));
    }
    check_columns(builder.inspect(), 3);
    check_columns(std::move(builder).finalize(), 3);
  }
}

TEST(NutsStatsBuilder, DefaultFlagsGiveFourteenColumns) {
  auto table = NutsStatsBuilder::create(NutsSettings{}, dim).inspect();
  expect_valid(table);
  std::vector<std::string> names;
  for (const auto& f : table->struct_type()->fields()) names.push_back(f->name());
  EXPECT_EQ(names, (std::vector<std::string>{
                       "depth", "maxdepth_reached", "index_in_trajectory", "logp", "energy",
                       "chain", "draw", "diverging", "energy_error", "step_size", "step_size_bar",
                       "mean_tree_accept", "mean_tree_accept_sym", "n_steps"}));
}

TEST(NutsStatsBuilder, RowValuesLandInTheirColumns) {
  auto builder = NutsStatsBuilder::create(settings_with(15), dim);
  builder.append_value(record(0));
  builder.append_value(record(5));
  auto table = std::move(builder).finalize();
  expect_valid(table);
  const std::int64_t r = 1;  // record(5)
  EXPECT_EQ(column<arrow::UInt64Array>(*table, "depth")->Value(r), 6u);
  EXPECT_TRUE(column<arrow::BooleanArray>(*table, "maxdepth_reached")->Value(r));
  EXPECT_FALSE(column<arrow::BooleanArray>(*table, "maxdepth_reached")->Value(0));
  EXPECT_EQ(column<arrow::Int64Array>(*table, "index_in_trajectory")->Value(r), -5);
  EXPECT_EQ(column<arrow::DoubleArray>(*table, "logp")->Value(r), -5.5);
  EXPECT_EQ(column<arrow::DoubleArray>(*table, "energy")->Value(r), 5.25);
  EXPECT_EQ(column<arrow::UInt64Array>(*table, "chain")->Value(r), 3u);
  EXPECT_EQ(column<arrow::UInt64Array>(*table, "draw")->Value(r), 5u);
  EXPECT_FALSE(column<arrow::BooleanArray>(*table, "diverging")->Value(r));
  EXPECT_EQ(column<arrow::DoubleArray>(*table, "energy_error")->Value(r), 5.0 / 8);
  EXPECT_EQ(column<arrow::DoubleArray>(*table, "step_size")->Value(r), 0.1 * 6);
  EXPECT_EQ(list_entry(*table, "mass_matrix_inv", r), (std::vector{6.0, 7.0}));
  EXPECT_EQ(column<arrow::DoubleArray>(*table, "step_size_bar")->Value(r), 5.2);
  EXPECT_EQ(column<arrow::DoubleArray>(*table, "mean_tree_accept")->Value(r), 0.75);
  EXPECT_EQ(column<arrow::DoubleArray>(*table, "mean_tree_accept_sym")->Value(r), 0.5);
  EXPECT_EQ(column<arrow::UInt64Array>(*table, "n_steps")->Value(r), 12u);
  EXPECT_EQ(list_entry(*table, "gradient", r), (std::vector{5.0, 5.5}));
  EXPECT_EQ(list_entry(*table, "unconstrained_draw", r), (std::vector{-5.0, 10.0}));
}

TEST(NutsStatsBuilder, DivergenceColumns) {
  auto builder = NutsStatsBuilder::create(settings_with(Divergences), dim);
  builder.append_value(record(0));  // no divergence
  auto silent = record(1);
  silent.divergence_info = divergence(10.0);  // no density error
  builder.append_value(std::move(silent));
  auto failed = record(2);
  failed.divergence_info = divergence(20.0);
  failed.divergence_info->start_gradient.reset();
  failed.divergence_info->density_error =
      std::make_shared<const Error>(Error("logp is not finite", Error("inner cause")));
  builder.append_value(std::move(failed));

  for (const bool finish : {false, true}) {
    SCOPED_TRACE(finish ? "finalize" : "inspect");
    auto table = finish ? std::move(builder).finalize() : builder.inspect();
    expect_valid(table);
    auto diverging = column<arrow::BooleanArray>(*table, "diverging");
    EXPECT_FALSE(diverging->Value(0));
    EXPECT_TRUE(diverging->Value(1));
    EXPECT_TRUE(diverging->Value(2));

    struct Expected { const char* name; std::vector<double> row1, row2; };
    for (const auto& e : {Expected{"divergence_start", {10, 11}, {20, 21}},
                          Expected{"divergence_start_gradient", {12, 13}, {}},
                          Expected{"divergence_end", {14, 15}, {24, 25}},
                          Expected{"divergence_momentum", {16, 17}, {26, 27}}}) {
      SCOPED_TRACE(e.name);
      auto list = column<arrow::FixedSizeListArray>(*table, e.name);
      EXPECT_TRUE(list->IsNull(0));
      EXPECT_TRUE(list->IsValid(1));
      EXPECT_EQ(list_entry(*table, e.name, 1), e.row1);
      EXPECT_EQ(list->IsNull(2), e.row2.empty());
      if (!e.row2.empty()) {
        EXPECT_EQ(list_entry(*table, e.name, 2), e.row2);
      }
      // A null entry still owns dim child slots, all null.
      const auto& child = *list->values();
      ASSERT_EQ(child.length(), 3 * static_cast<std::int64_t>(dim));
      EXPECT_TRUE(child.IsNull(0));
      EXPECT_TRUE(child.IsNull(1));
      EXPECT_EQ(child.null_count(), static_cast<std::int64_t>(dim * (e.row2.empty() ? 2 : 1)));
    }
    auto message = column<arrow::StringArray>(*table, "divergence_message");
    EXPECT_TRUE(message->IsNull(0));
    EXPECT_TRUE(message->IsNull(1));
    ASSERT_TRUE(message->IsValid(2));
    // The display text: the error's own message, without its causes.
    EXPECT_EQ(message->GetView(2), "logp is not finite");
  }
}

TEST(NutsStatsBuilder, InspectIsAPrefixOfFinalize) {
  for (const unsigned flags : {0u, 15u}) {
    SCOPED_TRACE(describe(flags));
    auto builder = NutsStatsBuilder::create(settings_with(flags), dim);
    constexpr std::uint64_t k = 4, n = 2000;  // past every column's initial room
    std::shared_ptr<arrow::StructArray> snapshot;
    for (std::uint64_t i = 0; i < n; ++i) {
      auto stats = record(i);
      if (i % 3 == 0) stats.divergence_info = divergence(double(i));
      builder.append_value(std::move(stats));
      if (i + 1 == k) snapshot = builder.inspect();
    }
    expect_valid(snapshot);
    ASSERT_EQ(snapshot->length(), static_cast<std::int64_t>(k));
    auto second = builder.inspect();
    auto table = std::move(builder).finalize();
    expect_valid(table);
    ASSERT_EQ(table->length(), static_cast<std::int64_t>(n));
    EXPECT_TRUE(snapshot->Equals(*table->Slice(0, k)));
    EXPECT_TRUE(second->Equals(*table));
  }
}

TEST(NutsStatsBuilder, RowWithWrongVectorLengthIsRefusedWhole) {
  auto builder = NutsStatsBuilder::create(settings_with(15), dim);
  builder.append_value(record(0));
  auto bad_gradient = record(1);
  bad_gradient.gradient = std::vector{1.0, 2.0, 3.0};
  EXPECT_THROW(builder.append_value(std::move(bad_gradient)), Panic);
  auto bad_divergence = record(1);
  bad_divergence.divergence_info = divergence(1.0);
  bad_divergence.divergence_info->end_momentum = std::vector{1.0};
  EXPECT_THROW(builder.append_value(std::move(bad_divergence)), Panic);
  auto bad_mass_matrix = record(1);
  bad_mass_matrix.potential_stats.mass_matrix.mass_matrix_inv = std::vector<double>{};
  EXPECT_THROW(builder.append_value(std::move(bad_mass_matrix)), Panic);
  // Nothing of the refused rows was appended.
  builder.append_value(record(1));
  auto table = std::move(builder).finalize();
  expect_valid(table);
  EXPECT_EQ(table->length(), 2);
  EXPECT_EQ(column<arrow::UInt64Array>(*table, "draw")->Value(1), 1u);
}

TEST(NutsStatsBuilder, AbsurdRunLengthsDoNotReserveUpFront) {
  NutsSettings s = settings_with(15);
  s.num_tune = std::numeric_limits<std::uint64_t>::max();
  s.num_draws = std::numeric_limits<std::uint64_t>::max();
  auto builder = NutsStatsBuilder::create(s, dim);
  builder.append_value(record(0));
  auto table = std::move(builder).finalize();
  expect_valid(table);
  EXPECT_EQ(table->length(), 1);
}

TEST(NutsStatsBuilder, ParameterCountBeyondArrowListSize) {
  constexpr std::size_t huge = std::size_t{1} << 31;
  // Without list columns the parameter count is never used.
  auto scalars_only = NutsStatsBuilder::create(settings_with(0), huge);
  expect_valid(std::move(scalars_only).finalize());
  for (const unsigned flags : {1u, 2u, 4u, 8u}) {
    SCOPED_TRACE(describe(flags));
    EXPECT_THROW(NutsStatsBuilder::create(settings_with(flags), huge), Panic);
  }
}

TEST(PotentialStatsBuilder, MassMatrixChildOnlyWithItsFlag) {
  auto without = DiagMassMatrixStatsBuilder::create(settings_with(0), dim);
  EXPECT_FALSE(without.has_columns());
  without.append_value({std::vector{1.0, 2.0}});
  EXPECT_EQ(without.inspect(), nullptr);
  EXPECT_EQ(std::move(without).finalize(), nullptr);

  auto potential = PotentialStatsBuilder::create(settings_with(MassMatrix), dim);
  potential.append_value({0.5, {std::vector{1.0, 2.0}}});
  auto table = std::move(potential).finalize();
  expect_valid(table);
  ASSERT_EQ(table->num_fields(), 2);
  EXPECT_EQ(table->struct_type()->field(0)->name(), "step_size");
  EXPECT_EQ(table->struct_type()->field(1)->name(), "mass_matrix_inv");
  EXPECT_EQ(list_entry(*table, "mass_matrix_inv", 0), (std::vector{1.0, 2.0}));
}

}  // namespace
}  // namespace varnel
