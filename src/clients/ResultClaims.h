#pragma once
// Claims of send results before they are reported. A confirmation thread hands in the
// SentMessages IDs it is about to report; each is claimed (SendConfirmed set) only where it was
// still unclaimed, so of two claims of one row (two sessions of one GUID overlapping for a
// moment) exactly one gets it. The claim is one write job: the write gate commits it together
// with whatever else the server writes at that moment (the claims of other sessions among
// them), and rolls it back alone when it fails, so one claim the database refuses costs the
// others nothing. A claim whose write fails gets nothing (all false) and its rows stay for the
// next pass.
//
// Threads: any; the caller's own connection (TDMData::ThreadSession).

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
