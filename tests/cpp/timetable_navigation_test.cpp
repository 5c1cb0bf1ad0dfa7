#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "support/arrow_builders.hpp"
#include "timetable/timetable.hpp"

namespace ravlin {
namespace {

using testing::Row;
using Dictionary = std::vector<std::optional<std::string>>;
constexpr auto kNone = std::nullopt;

class ConstantPhrase : public EvalPhrase {
 public:
  const std::vector<std::string>& iter_inp() const override { return inp_; }
  std::expected<std::vector<Values>, ExprError> eval(const std::vector<Values>&) const override {
    return std::vector<Values>{Values::scalar(0.5)};
  }

 private:
  std::vector<std::string> inp_;
};

const Dictionary kTracks{"leg0", "leg1", "leg2"};
const Dictionary kOps{"+", ">", "s", kNone};
const Dictionary kUnits{"USD", "leg1", "cpn", "S\"x\\", kNone};

Expressions phrase_cpn() {
  Expressions expressions;
  expressions.phrases.emplace("cpn", std::make_unique<ConstantPhrase>());
  return expressions;
}

TimeTable build(const testing::BatchPtr& batch) {
  auto events = Events::create(*batch);
  if (!events) throw std::runtime_error(events.error().text());
  auto table = TimeTable::create(std::move(*events), phrase_cpn());
  if (!table) throw std::runtime_error(table.error().text());
  return std::move(*table);
}

// The rows behind the description cases, one per special case.
testing::BatchPtr described_batch() {
  return testing::timetable_batch(
      {
          Row{0, 1719532800000, 0, 100.0, 0},
          Row{kNone, 0, 1, 0.5, 1},
          Row{2, -1, kNone, 0.1, kNone},
          Row{1, 1706702400250, 2, 1e-7, 2},
          Row{2, -86400000LL * 366, 3, -2.5, 3},
          Row{0, kNone, 0, 1e21, 4},
      },
      kTracks, kOps, kUnits);
}

struct DescCase {
  std::size_t event;
  std::string text;
  friend void PrintTo(const DescCase& c, std::ostream* os) { *os << "event " << c.event; }
};

class EventDescription : public ::testing::TestWithParam<DescCase> {};

TEST_P(EventDescription, OneLinePerEvent) {
  static const testing::BatchPtr batch = described_batch();
  const TimeTable table = build(batch);
  EXPECT_EQ(table.event_desc(GetParam().event), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Timetable, EventDescription,
    ::testing::Values(
        DescCase{0, R"d(#0: track: "Track(0)", time: Single(2024-06-28T00:00:00Z), op: +, )d"
                    R"d(qty: 100, unit: "Asset(USD)")d"},
        DescCase{1, R"d(#1: track: "<none>", time: Single(1970-01-01T00:00:00Z), op: >, )d"
                    R"d(qty: 0.5, unit: "Track(1)")d"},
        DescCase{2, R"d(#2: track: "Track(2)", time: Single(1969-12-31T23:59:59.999Z), op: , )d"
                    R"d(qty: 0.1, unit: "<none>")d"},
        DescCase{3, R"d(#3: track: "Track(1)", time: Single(2024-01-31T12:00:00.250Z), op: s, )d"
                    R"d(qty: 0.0000001, unit: "Phrase(cpn)")d"},
        DescCase{4, R"d(#4: track: "Track(2)", time: Single(1968-12-31T00:00:00Z), op: , )d"
                    R"d(qty: -2.5, unit: "Asset(S\"x\\)")d"},
        // A null time shows the number stored in its slot (the builder's 0).
        DescCase{5, R"d(#5: track: "Track(0)", time: Single(1970-01-01T00:00:00Z), op: +, )d"
                    R"d(qty: 1000000000000000000000, unit: "<none>")d"}));

TEST(TimetableAccess, ReadsKeysAndNulls) {
  const auto batch = described_batch();
  const TimeTable table = build(batch);
  ASSERT_EQ(table.size(), 6u);

  EXPECT_EQ(table.ts_at(3), 1706702400250);
  EXPECT_EQ(table.ts_opt(2), -1);
  EXPECT_EQ(table.ts_opt(5), std::nullopt);
  std::vector<std::optional<std::int64_t>> times;
  for (auto t : table.ts_iter()) times.push_back(t);
  EXPECT_EQ(times, (std::vector<std::optional<std::int64_t>>{
                       1719532800000, 0, -1, 1706702400250, -86400000LL * 366, kNone}));

  EXPECT_EQ(table.track_key_at(3), 1u);
  EXPECT_EQ(table.track_key_at(1).error(), "No track specified at event#1");
  EXPECT_EQ(table.unit_key_at(3), 2u);
  EXPECT_EQ(table.unit_key_at(2), std::nullopt);
  EXPECT_EQ(table.unit_by_key(1).desc(), "Track(1)");
  EXPECT_EQ(table.quantity_at(4), -2.5);

  // Rows of the same dictionary value share its Op; a null key and a null
  // value both give the Null operation.
  EXPECT_EQ(&table.op_at(0), &table.op_at(5));
  EXPECT_EQ(&table.op_at(0), &table.ops()[0]);
  EXPECT_TRUE(std::holds_alternative<Op::Null>(table.op_at(2).kind));
  EXPECT_TRUE(std::holds_alternative<Op::Null>(table.op_at(4).kind));
  Values pv{1.0};
  EXPECT_EQ(table.op_at(2).apply(pv, Values{2.0}).error().text(), "Unknown Op ''");

  EXPECT_NE(table.get_phrase("cpn"), nullptr);
  EXPECT_EQ(table.get_phrase("USD"), nullptr);
  EXPECT_EQ(table.snapper_by_name("cpn").error(), "Batch not found#cpn");
}

// Track keys by row: 0, -, 1, 2, -, 0, 1, 2, 0, 2.
testing::BatchPtr track_walk_batch() {
  std::vector<Row> rows;
  for (std::optional<std::int64_t> track : {std::optional<std::int64_t>(0), {}, {1}, {2}, {},
                                            {0}, {1}, {2}, {0}, {2}}) {
    rows.push_back(Row{track, 0, 0, 1.0, 0});
  }
  return testing::timetable_batch(rows, kTracks, kOps, kUnits);
}

struct NextCase {
  std::size_t start;
  std::size_t end;
  std::uint64_t track;
  std::optional<std::size_t> offset;
  friend void PrintTo(const NextCase& c, std::ostream* os) {
    *os << "next_idx(" << c.start << ", " << c.end << ", " << c.track << ")";
  }
};

class NextIndex : public ::testing::TestWithParam<NextCase> {};

TEST_P(NextIndex, OffsetOfTheNextEventOfTheTrack) {
  static const testing::BatchPtr batch = track_walk_batch();
  const TimeTable table = build(batch);
  const auto& c = GetParam();
  EXPECT_EQ(table.next_idx(c.start, c.end, c.track), c.offset);
}

INSTANTIATE_TEST_SUITE_P(
    Timetable, NextIndex,
    ::testing::Values(NextCase{3, 10, 2, 0}, NextCase{4, 10, 2, 3}, NextCase{8, 10, 2, 1},
                      NextCase{0, 10, 1, 2}, NextCase{1, 10, 0, 4}, NextCase{7, 10, 1, kNone},
                      NextCase{4, 7, 2, kNone},  // the end is excluded
                      NextCase{10, 10, 0, kNone}, NextCase{6, 2, 1, kNone},
                      NextCase{0, 10, 3, kNone},
                      NextCase{4, 1000, 2, 3}));  // an end past the table stops at its end

// Twenty rows whose nulls, keys and values all differ, so a slice read with
// a wrong offset shows up in some accessor.
testing::BatchPtr long_batch(std::optional<testing::Slice> slice = std::nullopt) {
  std::vector<Row> rows;
  for (std::int64_t i = 0; i < 20; ++i) {
    auto maybe = [&](std::int64_t every, std::int64_t value) {
      return i % every == 0 ? std::nullopt : std::optional<std::int64_t>(value);
    };
    rows.push_back(Row{maybe(3, i % 3), maybe(5, 1000 * i), maybe(4, i % 3),
                       0.25 * static_cast<double>(i), maybe(7, i % 5)});
  }
  return testing::timetable_batch(rows, kTracks, kOps, kUnits, slice);
}

class SlicedBatch : public ::testing::TestWithParam<std::int64_t> {};

TEST_P(SlicedBatch, ReadsTheRowsOfTheSlice) {
  const std::int64_t offset = GetParam();
  const auto full_batch = long_batch();
  const auto sliced_batch = long_batch(testing::Slice{offset, 20 - offset - 2});
  const TimeTable full = build(full_batch);
  const TimeTable sliced = build(sliced_batch);
  ASSERT_EQ(sliced.size(), static_cast<std::size_t>(20 - offset - 2));

  for (std::size_t i = 0; i < sliced.size(); ++i) {
    const std::size_t row = i + static_cast<std::size_t>(offset);
    SCOPED_TRACE("row " + std::to_string(row));
    EXPECT_EQ(sliced.ts_opt(i), full.ts_opt(row));
    EXPECT_EQ(sliced.quantity_at(i), full.quantity_at(row));
    EXPECT_EQ(sliced.track_key_at(i).has_value(), full.track_key_at(row).has_value());
    EXPECT_EQ(sliced.track_key_at(i).value_or(99), full.track_key_at(row).value_or(99));
    EXPECT_EQ(sliced.op_at(i).display(), full.op_at(row).display());
    EXPECT_EQ(sliced.unit_key_at(i), full.unit_key_at(row));
    EXPECT_EQ(sliced.unit_desc_at(i), full.unit_desc_at(row));
  }
  // The quantity of row r is r / 4, so the first read proves the offset.
  EXPECT_EQ(sliced.quantity_at(0), 0.25 * static_cast<double>(offset));
}

INSTANTIATE_TEST_SUITE_P(Timetable, SlicedBatch, ::testing::Values(1, 3, 7, 9, 13));

TEST(SlicedBatch, KeysOutsideTheSliceAreNotChecked) {
  const std::vector<Row> rows = {Row{0, 0, 0, 1.0, 0}, Row{0, 0, 0, 2.0, 0},
                                 Row{0, 0, 0, 3.0, 9}};
  auto batch = testing::timetable_batch(rows, kTracks, kOps, kUnits);
  EXPECT_FALSE(Events::create(*batch));
  auto slice = testing::timetable_batch(rows, kTracks, kOps, kUnits, testing::Slice{0, 2});
  auto events = Events::create(*slice);
  ASSERT_TRUE(events) << events.error().text();
}

TEST(TimetableCreate, UnitsAreResolvedBeforeOps) {
  auto ints = testing::dictionary_of(testing::int64_column({0}), testing::int64_column({1}));
  auto columns = [&](testing::ColumnPtr op, testing::ColumnPtr unit) {
    return testing::batch_of({{"time", testing::time_column({0})},
                              {"track", testing::dict_column({0}, {"leg"})},
                              {"op", op},
                              {"quantity", testing::double_column({1.0})},
                              {"unit", unit}});
  };
  auto create = [](const testing::BatchPtr& batch) {
    auto events = Events::create(*batch);
    EXPECT_TRUE(events);
    auto table = TimeTable::create(std::move(*events), Expressions{});
    return table ? std::string("<built>") : table.error().text();
  };
  EXPECT_EQ(create(columns(ints, ints)), "Error in units column, expected strings");
  EXPECT_EQ(create(columns(ints, testing::dict_column({0}, {"USD"}))),
            "Error in ops column, expected strings");
  EXPECT_EQ(create(columns(testing::dict_column({0}, {"+"}), testing::dict_column({0}, {"USD"}))),
            "<built>");
}

}  // namespace
}  // namespace ravlin
