// interpretHeaders on the header block of a typical collector answer: four compiles, four copies
// of the block and the searches. Run: build/bench/bin/header_interpretation_bench
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>

#include "http/header_interpretation.h"

namespace {

const std::wstring kTypicalHeaders =
    L"HTTP/1.1 200 OK\r\n"
    L"Date: Tue, 08 Dec 2026 18:00:00 GMT\r\n"
    L"Server: Apache/2.4.57 (Unix)\r\n"
    L"X-Powered-By: PHP/8.2.12\r\n"
    L"Cache-Control: no-store, no-cache, must-revalidate\r\n"
    L"Set-Cookie: PHPSESSID=5f2b8c1d9e0a4b7c; path=/\r\n"
    L"Set-Cookie: region=eu; expires=Wed, 09 Dec 2026 18:00:00 GMT\r\n"
    L"Content-Length: 27\r\n"
    L"Connection: close\r\n"
    L"Content-Type: text/html; charset=UTF-8\r\n"
    L"\r\n";

void InterpretTypicalHeaderBlock(benchmark::State& state)
{
    for (auto _ : state) {
        std::wstring charset;
        uint32_t expectedLength = 0;
        std::wstring location;
        std::wstring cookies;
        interpretHeaders(kTypicalHeaders, charset, expectedLength, location, cookies);
        benchmark::DoNotOptimize(cookies);
        benchmark::DoNotOptimize(expectedLength);
    }
}
BENCHMARK(InterpretTypicalHeaderBlock)->Unit(benchmark::kMicrosecond)->Repetitions(10)->ReportAggregatesOnly(true);

// A hostile answer: a megabyte of header lines, half of them "charset=" matches, half distinct
// cookies. Only the first 64 KiB are interpreted, each search in one pass over them.
void InterpretMegabyteOfHostileHeaders(benchmark::State& state)
{
    std::wstring headers = L"HTTP/1.1 200 OK\r\n";
    for (int n = 0; headers.size() < (1u << 20); ++n) {
        headers += n % 2 == 0 ? L"X-Type: text/html; charset=utf-8; charset=UTF-8\r\n"
                              : L"Set-Cookie: c" + std::to_wstring(n) + L"=" + std::to_wstring(n) + L"; path=/\r\n";
    }
    headers += L"\r\n";
    for (auto _ : state) {
        std::wstring charset;
        uint32_t expectedLength = 0;
        std::wstring location;
        std::wstring cookies;
        interpretHeaders(headers, charset, expectedLength, location, cookies);
        benchmark::DoNotOptimize(cookies);
    }
}
BENCHMARK(InterpretMegabyteOfHostileHeaders)->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);

void CheckBodyCompleteness(benchmark::State& state)
{
    const std::wstring body = L"<html><head><title>ok</title></head><body>" + std::wstring(2000, L'x') + L"</body></html>";
    for (auto _ : state) benchmark::DoNotOptimize(isBodyComplete(body));
}
BENCHMARK(CheckBodyCompleteness)->Unit(benchmark::kMicrosecond)->Repetitions(10)->ReportAggregatesOnly(true);

}  // namespace
