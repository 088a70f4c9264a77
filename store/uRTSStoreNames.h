// The names of a till's store, in one place: the files and folders below a
// till directory that the library writes and the tools read back. A header of
// constants only, so that every layer may name them without linking anything.
//
// Suffixes: .srtc counters, .srth header cache, .srtv VAT map cache, .srtd a
// document for the server, .srtj a journal copy of closed counters, .srtm the
// last closing's comparison with the server.
#pragma once

namespace qx {

inline constexpr char kRTSActualCountersName[] = "QX_counters.actual.srtc";
inline constexpr char kRTSPreviousCountersName[] = "QX_counters.previous.srtc";
inline constexpr char kRTSHeadersCacheName[] = "headers.srth";
inline constexpr char kRTSVatMapCacheName[] = "vatmap.srtv";
// What the last closing found when it compared the day with the server's
// totals: a text file, first line "zRep=<n>", then "queued=<n>" (documents
// not yet delivered when the server was asked), then one line per difference.
inline constexpr char kRTSComparisonName[] = "QX_comparison.srtm";

inline constexpr char kRTSQueueFolder[] = "Queue";
inline constexpr char kRTSProcessedFolder[] = "Processed";
inline constexpr char kRTSErrorsFolder[] = "Errors";
inline constexpr char kRTSJournalFolder[] = "Journal";
// The folder of the logs below a data root; never a till.
inline constexpr char kRTSLogFolder[] = "LogFiles";

inline constexpr char kRTSDocumentSuffix[] = ".srtd";
inline constexpr char kRTSJournalSuffix[] = ".srtj";
// A queue document the delivery thread set aside because a document of its
// name was queued or delivered before: "<name>_duplicate.err" or
// "<name>_duplicate_<n>.err".
inline constexpr char kRTSSetAsideMark[] = "_duplicate";
inline constexpr char kRTSSetAsideSuffix[] = ".err";
// Beside a refused document in Errors/<date>/: support has dealt with it.
inline constexpr char kRTSResolvedSuffix[] = ".resolved";

}  // namespace qx
