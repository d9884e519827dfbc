#pragma once
// Claims of send results written together for all sessions. A confirmation thread hands in
// the SentMessages IDs it is about to report and waits. The first caller that finds no group
// being written for its database leads: it takes its own claim and every claim queued for the
// same database meanwhile, writes them in one transaction (one turn at the write gate, one
// fsync) and tells each caller which of its rows it claimed. Callers that came while it wrote
// wait, and the first of them leads the next group. Sixteen sessions claiming a few rows each
// then cost one transaction instead of sixteen.
//
// A row is claimed (SendConfirmed set) only where it was still unclaimed, so of two claims of
// one row (two sessions of one GUID overlapping for a moment) exactly one gets it, whether
// they fall in one group or not. When the group's transaction fails each claim of it is
// written on its own, so one claim the database refuses costs the others nothing; a claim
// whose own write fails gets nothing (all false) and its rows stay for the next pass.
//
// Threads: any. The leader writes on its own connection (TDMData::ThreadSession); the internal
// mutex guards only the queue and is never held across database work.

#include <cstdint>
#include <vector>

namespace voxmit {

class TDMData;

class TResultClaims {
public:
  // Claims ids; per id whether this call claimed it (false when already claimed or when the
  // write failed). Never throws for a database failure: it is logged.
  static std::vector<bool> Claim(TDMData& data, const std::vector<int32_t>& ids);
};

} // namespace voxmit
