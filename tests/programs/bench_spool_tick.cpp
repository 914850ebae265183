// Times the upload worker's disk work for the benchmarks (scripts/bench), on the real file store
// under %LOCALAPPDATA% (a private folder each run): the journal of one tick with N reports queued
// (one segment written, flushed and renamed with write-through), the same with the spool already
// holding 1000, and the done mark of one sent report (a byte written and flushed). Prints one line
// per figure with the median of the runs.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "spool/spool_store.h"

namespace {

double nowMs()
{
    LARGE_INTEGER at;
    LARGE_INTEGER frequency;
    QueryPerformanceCounter(&at);
    QueryPerformanceFrequency(&frequency);
    return 1000.0 * static_cast<double>(at.QuadPart) / static_cast<double>(frequency.QuadPart);
}

std::vector<Report> reports(int from, int count)
{
    std::vector<Report> out;
    for (int n = from; n < from + count; ++n) {
        ReportId id = nextReportId();
        out.push_back(Report{id.hex(), "AppKey=bench&ActionName=bench_click&PCID=0123456789ABCDEF0123456789ABCDEF&"
                                       "Channel=bench&Param={%22actioncontent%22:%22" + std::to_string(n) + "%22}"});
    }
    return out;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv)
{
    const int runs = argc > 1 ? std::atoi(argv[1]) : 7;
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring root = std::wstring(temp) + L"tallyscope-tick-bench-" + std::to_wstring(GetCurrentProcessId());
    CreateDirectoryW(root.c_str(), nullptr);
    SetEnvironmentVariableW(L"LOCALAPPDATA", root.c_str());

    std::vector<double> empty1, empty1000, full1, full100, mark;
    for (int run = 0; run < runs; ++run) {
        const std::string key = "tick" + std::to_string(run);
        auto spool = openSpool(key.c_str());
        double at = nowMs();
        spool->append(reports(0, 1));
        empty1.push_back(nowMs() - at);
        at = nowMs();
        spool->append(reports(1, 999));
        empty1000.push_back(nowMs() - at);
        at = nowMs();
        spool->append(reports(1000, 1));
        full1.push_back(nowMs() - at);
        at = nowMs();
        spool->append(reports(1001, 100));
        full100.push_back(nowMs() - at);
        if (spool->claim()) {
            Report report;
            for (int n = 0; n < 200 && spool->peek(report); ++n) {
                at = nowMs();
                spool->markDone();
                mark.push_back(nowMs() - at);
            }
            spool->release();
        }
    }
    std::printf("journal of a tick, spool empty:      1 queued %8.3f ms   1000 queued %8.3f ms\n", median(empty1),
                median(empty1000));
    std::printf("journal of a tick, 1000 spooled:     1 queued %8.3f ms    100 queued %8.3f ms\n", median(full1),
                median(full100));
    std::printf("done mark of one sent report:                 %8.3f ms\n", median(mark));
    return 0;
}
