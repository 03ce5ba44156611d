#pragma once
// /api/v1/history: a unit's history as the store kept it, decoded through
// its children's descriptions, as JSON or CSV, a page at a time.
//
//   unit    the unit's data id (required)
//   from    the range's start: RFC 3339 UTC ("2026-12-09T16:00:00Z") or Unix
//           seconds; default: a day before `to`
//   to      the range's end, not included; default: now
//   fields  names of fields, comma-separated (default: every field)
//   format  json (default) or csv
//   limit   rows a page, 1..10000 (default 1000)
//   after   where the previous page ended (its "next" says it)
//
// A page past its limit names the next one: "next" in JSON, a Link header
// (rel="next") for both. Anything else is a 400 with the reason.

#include <chrono>
#include <map>
#include <string>

#include "gateway/core/history_reader.h"
#include "gateway/core/site_state.h"

namespace korv_host {

struct HistoryReply {
  unsigned status = 200;
  std::string body;
  bool csv = false;
  std::string next;  // the next page's path and query; empty when none
};

// The answer to `args`, the request's query arguments (a name given twice
// is refused before), read through `reader`.
HistoryReply HistoryApi(const SiteState::Snapshot& snapshot, HistoryReader& reader,
                        const std::map<std::string, std::string>& args,
                        std::chrono::system_clock::time_point now);

}  // namespace korv_host
