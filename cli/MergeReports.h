#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace updater::cli {

// Reports of many sites in one: each path is a --report of one site's fleet, its
// site named by the report's folder (".../plant-07/report.json" is site plant-07).
struct MergedReports
{
    std::string fault;       // the first report refused, naming its file; else empty
    std::string json;        // the merged report
    std::string summary;     // per site and in total, and every device that failed
    bool allWritten = false; // every device succeeded or was already written
};

// Reads and merges the reports; nothing is contacted. Every device keeps its
// fields and gains "site"; each site and the whole count their devices as
// succeeded, already written, failed (any other outcome, a run left in progress
// included) or not reached (the run ended before its turn). A report that cannot
// be read, is no JSON or holds no device list, a device without name or
// outcome, and a site given twice are refused.
MergedReports mergeReports(const std::vector<std::string> &paths,
                           std::chrono::system_clock::time_point now);

// updater-cli --merge-reports REPORT... --report FILE: merges, writes FILE whole
// and prints the summary. Exit status 0 when every device succeeded or was
// already written, 1 otherwise, 2 when a report or the output was refused.
int runMergeReports(const std::vector<std::string> &paths, const std::string &output);

} // namespace updater::cli
