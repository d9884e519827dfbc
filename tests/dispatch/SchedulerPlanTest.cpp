// The scheduler's pure decisions: statistics, summary line, channel allocation by groups and
// weights, and the choice of devices.

#include <gtest/gtest.h>

#include <map>

#include "common/ServerTypes.h"
#include "dispatch/SchedulerPlan.h"

namespace voxmit::test {
namespace {

constexpr int64_t kNow = 1'700'000'000;

// A pool given as devices per kind; carrier types map to kinds as the device pool does, and
// every carrier type 1 to 10 has a channel class with the default input limits.
struct TFakePool {
  std::map<uint8_t, int32_t> DevicesPerKind;
  std::map<int32_t, int32_t> InputLimits = {{CT_TAP, 27},     {CT_PACNET, 1000}, {CT_DIRECT_TAP, 10000},
                                            {CT_GSM_SMS, 200}, {CT_SMTP, 1000},   {CT_SNPP, 1000},
                                            {CT_WCTP, 1000},  {CT_MSG, 1000},    {CT_ACU, 1000},
                                            {CT_ACUGK, 1000}};

  TCarrierTypeInfo operator()(int32_t type) const {
    TCarrierTypeInfo info;
    if (type == 1 || type == 2) info.DeviceKind = 1;
    else if (type == 3) info.DeviceKind = 2;
    else if (type == 4) info.DeviceKind = 3;
    else if (type >= 5 && type <= 10) info.DeviceKind = 4;
    if (info.DeviceKind != 0) {
      auto d = DevicesPerKind.find(info.DeviceKind);
      info.DeviceCount = d == DevicesPerKind.end() ? 0 : d->second;
    }
    auto l = InputLimits.find(type);
    info.HasChannelClass = l != InputLimits.end();
    if (info.HasChannelClass) info.InputLimit = l->second;
    return info;
  }
};

// A carrier with count messages that have waited ageSeconds on average.
TCarrierStatisticsRow Row(int32_t carrierID, int32_t type, int32_t count, int64_t ageSeconds) {
  return {carrierID, type, count, kNow - ageSeconds};
}

TAllocation Allocate(const std::vector<TCarrierStatisticsRow>& rows, const TFakePool& pool) {
  return AllocateChannels(BuildStatistics(rows, kNow, pool));
}

// carrier ID -> channel count
std::map<int32_t, int32_t> Channels(const TAllocation& a) {
  std::map<int32_t, int32_t> m;
  for (const auto& item : a.Plan) m[item.CarrierID] = item.ChannelCount;
  return m;
}

TEST(SchedulerStatisticsTest, AgesWeightsAndOrder) {
  TFakePool pool{{{1, 2}}};
  const auto stats = BuildStatistics(
      {Row(1, CT_TAP, 10, 5), Row(2, CT_TAP, 3, 100), Row(3, 42, 1, 7), Row(4, CT_TAP, 2, -30)},
      kNow, pool);
  ASSERT_EQ(stats.size(), 4u);
  EXPECT_EQ(stats[0].CarrierID, 2);
  EXPECT_EQ(stats[0].Weight, 300);
  EXPECT_EQ(stats[0].DeviceKind, 1);
  EXPECT_EQ(stats[0].DeviceCount, 2);
  EXPECT_EQ(stats[0].InputLimit, 27);
  EXPECT_EQ(stats[1].CarrierID, 1);
  EXPECT_EQ(stats[1].AverageAge, 5);
  EXPECT_EQ(stats[2].CarrierID, 3);  // unknown carrier type: no kind, no devices, no class
  EXPECT_EQ(stats[2].DeviceKind, 0);
  EXPECT_EQ(stats[2].DeviceCount, 0);
  EXPECT_FALSE(stats[2].HasChannelClass);
  // Received "in the future" (clock set back): age 0, never a negative weight.
  EXPECT_EQ(stats[3].CarrierID, 4);
  EXPECT_EQ(stats[3].AverageAge, 0);
  EXPECT_EQ(stats[3].Weight, 0);
}

TEST(SchedulerStatisticsTest, SummaryLine) {
  TFakePool pool{{{1, 1}}};
  const auto two = BuildStatistics({Row(4, CT_TAP, 2, 10), Row(9, CT_TAP, 1, 10)}, kNow, pool);
  EXPECT_EQ(SchedulerSummaryLine({}, false), "");
  EXPECT_EQ(SchedulerSummaryLine({}, true), "Scheduler: TotalCarriers: 0");
  EXPECT_EQ(SchedulerSummaryLine(two, false),
            " (CarrierID: 4, Messages:2 ) (CarrierID: 9, Messages:1 )");
  EXPECT_EQ(SchedulerSummaryLine(two, true),
            "Scheduler: TotalCarriers: 2 (CarrierID: 4, Messages:2 ) (CarrierID: 9, Messages:1 )");
}

struct TAllocationCase {
  const char* Name;
  std::map<uint8_t, int32_t> Devices;
  std::vector<TCarrierStatisticsRow> Rows;
  std::map<int32_t, int32_t> ExpectedChannels;  // carrier ID -> channels
  std::vector<int32_t> ExpectedNoDevice;
};

class SchedulerAllocationTest : public ::testing::TestWithParam<TAllocationCase> {};

TEST_P(SchedulerAllocationTest, ChannelsPerCarrier) {
  const TAllocationCase& c = GetParam();
  const TAllocation a = Allocate(c.Rows, TFakePool{c.Devices});
  EXPECT_EQ(Channels(a), c.ExpectedChannels);
  EXPECT_EQ(a.NoDeviceCarrierTypes, c.ExpectedNoDevice);
  EXPECT_TRUE(a.NoChannelClassCarrierTypes.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SchedulerAllocationTest,
    ::testing::Values(
        TAllocationCase{"SixtyTapMessagesThreeModems", {{1, 3}}, {Row(1, CT_TAP, 60, 10)}, {{1, 3}}, {}},
        TAllocationCase{"FewMessagesNeedOneChannel", {{1, 3}}, {Row(1, CT_TAP, 27, 10)}, {{1, 1}}, {}},
        TAllocationCase{"MoreChannelsNeededThanDevices", {{1, 2}}, {Row(1, CT_TAP, 100, 10)}, {{1, 2}}, {}},
        TAllocationCase{"TwoCarriersOneModemOnlyTheHeavier",
                        {{1, 1}}, {Row(1, CT_TAP, 5, 10), Row(2, CT_TAP, 5, 20)}, {{2, 1}}, {}},
        TAllocationCase{"TwoSmallCarriersTwoModemsOneEach",
                        {{1, 2}}, {Row(1, CT_TAP, 5, 10), Row(2, CT_TAP, 5, 20)}, {{1, 1}, {2, 1}}, {}},
        TAllocationCase{"SharesFollowWeights",
                        {{1, 4}},
                        {Row(1, CT_TAP, 30, 10), Row(2, CT_TAP, 30, 10), Row(3, CT_TAP, 40, 10)},
                        {{1, 1}, {2, 1}, {3, 2}}, {}},
        TAllocationCase{"LightCarriersBelowOneShareWaitForALaterPass",
                        {{1, 4}},
                        {Row(1, CT_TAP, 100, 1), Row(2, CT_TAP, 200, 1), Row(3, CT_TAP, 700, 1)},
                        {{3, 4}}, {}},
        TAllocationCase{"SmallCarriersFirstThenShares",
                        {{1, 3}},
                        {Row(1, CT_TAP, 5, 10), Row(2, CT_TAP, 100, 100), Row(3, CT_TAP, 100, 100)},
                        {{1, 1}, {2, 1}, {3, 1}}, {}},
        TAllocationCase{"AllWeightsZeroShareEvenly",
                        {{1, 4}}, {Row(1, CT_TAP, 60, 0), Row(2, CT_TAP, 60, 0)}, {{1, 2}, {2, 2}}, {}},
        TAllocationCase{"KindsAreAllocatedApart",
                        {{1, 1}, {4, 2}},
                        {Row(1, CT_TAP, 5, 10), Row(2, CT_SMTP, 5, 5), Row(3, CT_PACNET, 5, 1)},
                        {{1, 1}, {2, 1}}, {}},
        TAllocationCase{"NoDeviceForTheKindRejectsTheCarrierType",
                        {{1, 2}}, {Row(1, CT_GSM_SMS, 3, 10), Row(2, CT_TAP, 5, 1)}, {{2, 1}}, {CT_GSM_SMS}},
        TAllocationCase{"TwoTypesSharingAKindWithoutDevicesOnlyTheHeavierNow",
                        {}, {Row(1, CT_TAP, 3, 10), Row(2, CT_PACNET, 3, 20)}, {}, {CT_PACNET}},
        TAllocationCase{"UnknownCarrierTypesFormOneGroupWithoutDevices",
                        {{1, 1}}, {Row(1, 11, 1, 10), Row(2, -3, 1, 20), Row(3, CT_TAP, 1, 1)},
                        {{3, 1}}, {-3}}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST(SchedulerAllocationRulesTest, CarrierTypeWithoutChannelClassIsRejectedNotPlanned) {
  TFakePool pool{{{4, 2}}};
  pool.InputLimits.erase(CT_WCTP);
  const TAllocation a = Allocate(
      {Row(1, CT_WCTP, 50, 100), Row(2, CT_WCTP, 5, 100), Row(3, CT_SMTP, 5, 1)}, pool);
  EXPECT_EQ(a.NoChannelClassCarrierTypes, std::vector<int32_t>{CT_WCTP});
  // The unservable carriers take no devices from the others.
  EXPECT_EQ(Channels(a), (std::map<int32_t, int32_t>{{3, 1}}));
}

// A negative InputBufferLimit in Settings.ini once made a registered class look missing, and
// every message of its type was rejected with code 8.
TEST(SchedulerAllocationRulesTest, ARegisteredClassWithABadLimitIsStillPlanned) {
  for (const int32_t limit : {-5, 0}) {
    TFakePool pool{{{1, 2}}};
    pool.InputLimits[CT_TAP] = limit;
    const TAllocation a = Allocate({Row(1, CT_TAP, 30, 100)}, pool);
    EXPECT_TRUE(a.NoChannelClassCarrierTypes.empty()) << limit;
    EXPECT_EQ(Channels(a), (std::map<int32_t, int32_t>{{1, 2}})) << limit;
  }
}

TEST(SchedulerAllocationRulesTest, PlanNeverUsesMoreDevicesThanTheKindHas) {
  // Many carriers of mixed sizes and ages over a few devices of each kind.
  for (int32_t devices = 1; devices <= 6; ++devices) {
    std::vector<TCarrierStatisticsRow> rows;
    for (int32_t id = 1; id <= 12; ++id)
      rows.push_back(Row(id, id % 2 ? CT_TAP : CT_SMTP, (id * 37) % 90 + 1, (id * 13) % 50));
    const TAllocation a = Allocate(rows, TFakePool{{{1, devices}, {4, devices}}});
    std::map<uint8_t, int32_t> used;
    for (const auto& item : a.Plan) {
      EXPECT_GE(item.ChannelCount, 1) << "carrier " << item.CarrierID;
      used[item.DeviceKind] += item.ChannelCount;
    }
    for (const auto& [kind, count] : used) EXPECT_LE(count, devices) << "kind " << int(kind);
    EXPECT_FALSE(a.Plan.empty());
  }
}

TCarrierStatistics Planned(int32_t carrierID, uint8_t kind, int32_t channels) {
  TCarrierStatistics s;
  s.CarrierID = carrierID;
  s.DeviceKind = kind;
  s.ChannelCount = channels;
  return s;
}

TEST(SchedulerDevicesTest, HeldDevicesAreKeptAndFreeOnesAdded) {
  const std::vector<uint8_t> pool = {1, 1, 4, 1, 4};
  const auto devices = AssignDevices(pool, {Planned(1, 1, 3), Planned(2, 4, 1)}, {{3}, {}});
  EXPECT_EQ(devices, (std::vector<std::vector<int32_t>>{{3, 0, 1}, {2}}));
}

TEST(SchedulerDevicesTest, FewerChannelsDropTheLastHeldDevices) {
  const std::vector<uint8_t> pool = {1, 1, 1};
  const auto devices = AssignDevices(pool, {Planned(1, 1, 1)}, {{2, 0, 1}});
  EXPECT_EQ(devices, (std::vector<std::vector<int32_t>>{{2}}));
}

TEST(SchedulerDevicesTest, DeviceHeldByALaterCarrierIsNotGivenToAnEarlierOne) {
  const std::vector<uint8_t> pool = {1, 1, 1};
  const auto devices = AssignDevices(pool, {Planned(1, 1, 2), Planned(2, 1, 1)}, {{}, {0}});
  EXPECT_EQ(devices, (std::vector<std::vector<int32_t>>{{1, 2}, {0}}));
}

TEST(SchedulerDevicesTest, NotEnoughDevicesGivesFewer) {
  const std::vector<uint8_t> pool = {1, 4};
  const auto devices = AssignDevices(pool, {Planned(1, 1, 3), Planned(2, 1, 1)}, {{}, {}});
  EXPECT_EQ(devices, (std::vector<std::vector<int32_t>>{{0}, {}}));
}

} // namespace
} // namespace voxmit::test
