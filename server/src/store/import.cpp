#include "store/import.h"

#include <openssl/evp.h>

#include <algorithm>
#include <climits>
#include <map>

#include "core/days.h"
#include "core/report_decoding.h"
#include "core/report_id.h"

namespace tallyscope::server {

namespace {

// Reads one CSV record (RFC 4180: quoted fields, "" inside quotes, line breaks inside quotes).
// Returns false at the end of input. `lines` advances by the physical lines read.
bool readRecord(std::istream& in, std::vector<std::string>& fields, std::int64_t& lines) {
    fields.clear();
    int c = in.get();
    if (c == EOF) return false;
    std::string field;
    bool quoted = false, any = false;
    for (;; c = in.get()) {
        if (c == EOF) break;
        any = true;
        if (quoted) {
            if (c == '"') {
                if (in.peek() == '"') {
                    in.get();
                    field += '"';
                } else {
                    quoted = false;
                }
            } else {
                if (c == '\n') ++lines;
                field += static_cast<char>(c);
            }
            continue;
        }
        if (c == '"' && field.empty()) {
            quoted = true;
        } else if (c == ',') {
            fields.push_back(std::move(field));
            field.clear();
        } else if (c == '\n') {
            ++lines;
            break;
        } else if (c == '\r' && in.peek() == '\n') {
            // the \n ends the record
        } else {
            field += static_cast<char>(c);
        }
    }
    fields.push_back(std::move(field));
    return any;
}

// A row without a report id gets one derived from what identifies it in the file: its arrival,
// its body and how many rows before it in the same millisecond had the same body (the export
// writes rows in arrival order, so equal rows are neighbours). Running the import again, after an
// interruption or by mistake, then finds every such row already stored, while two equal reports
// of one millisecond stay two.
std::string derivedReportId(std::int64_t arrivedMs, std::int64_t sameBefore, const std::string& body) {
    const std::string text = "import:" + std::to_string(arrivedMs) + ":" + std::to_string(sameBefore) + ":" + body;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(text.data(), text.size(), digest, &length, EVP_sha256(), nullptr) != 1 || length < kReportIdBytes)
        throw StoreError("import: no SHA-256 digest available");
    return reportIdFromBytes(std::string_view(reinterpret_cast<const char*>(digest), kReportIdBytes));
}

int digits(const std::string& s, std::size_t at, std::size_t n) {
    int v = 0;
    for (std::size_t i = at; i < at + n; ++i) {
        if (i >= s.size() || s[i] < '0' || s[i] > '9') return -1;
        v = v * 10 + (s[i] - '0');
    }
    return v;
}

}  // namespace

std::optional<std::int64_t> parseUtcTimestamp(const std::string& s) {
    if (s.size() < 20 || s[10] != 'T' || s[13] != ':' || s[16] != ':' || s.back() != 'Z') return std::nullopt;
    auto day = ReportingDays::parse(s.substr(0, 10));
    const int h = digits(s, 11, 2), m = digits(s, 14, 2), sec = digits(s, 17, 2);
    if (!day || h < 0 || h > 23 || m < 0 || m > 59 || sec < 0 || sec > 60) return std::nullopt;
    std::int64_t ms = 0;
    if (s.size() > 20) {
        if (s[19] != '.' || s.size() > 30) return std::nullopt;
        std::string frac = s.substr(20, s.size() - 21);
        if (frac.empty()) return std::nullopt;
        frac.resize(3, '0');
        ms = digits(frac, 0, 3);
        if (ms < 0) return std::nullopt;
    }
    return ((static_cast<std::int64_t>(*day) * 24 + h) * 60 + m) * 60000 + sec * 1000 + ms;
}

ImportResult importCsv(Store& store, std::istream& in, TextDecoder& decoder, std::size_t batchSize,
                       const std::function<void(std::int64_t)>& progress) {
    ImportResult result;
    std::vector<std::string> fields;
    std::int64_t line = 1;
    if (!readRecord(in, fields, line)) throw StoreError("import: the file is empty");
    if (!fields.empty() && fields[0].rfind("\xEF\xBB\xBF", 0) == 0) fields[0].erase(0, 3);
    std::size_t arrivedAt = fields.size(), bodyAt = fields.size(), idAt = fields.size();
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (fields[i] == "arrived") arrivedAt = i;
        if (fields[i] == "body") bodyAt = i;
        if (fields[i] == "report_id") idAt = i;
    }
    if (arrivedAt == fields.size() || bodyAt == fields.size())
        throw StoreError("import: the header row has no \"arrived\" or no \"body\" column");

    auto problem = [&](std::int64_t at, const std::string& why) {
        ++result.skipped;
        if (result.problems.size() < 10) result.problems.push_back("line " + std::to_string(at) + ": " + why);
    };
    std::vector<Report> batch;
    batch.reserve(batchSize);
    auto flush = [&] {
        if (batch.empty()) return;
        const AppendResult outcome = store.append(batch);
        result.imported += static_cast<std::int64_t>(outcome.stored);
        result.repeats += static_cast<std::int64_t>(outcome.repeats);
        batch.clear();
        if (progress) progress(result.imported);
    };
    std::int64_t lastArrived = INT64_MIN;
    std::map<std::string, std::int64_t> bodiesThisMs;  // bodies seen at lastArrived, and how often
    for (;;) {
        const std::int64_t at = line;
        if (!readRecord(in, fields, line)) break;
        if (fields.size() == 1 && fields[0].empty()) continue;  // a blank line
        if (fields.size() <= std::max(arrivedAt, bodyAt)) {
            problem(at, "fewer columns than the header");
            continue;
        }
        auto arrived = parseUtcTimestamp(fields[arrivedAt]);
        if (!arrived) {
            problem(at, "arrived is not a UTC time like 2026-12-08T21:33:49Z");
            continue;
        }
        DecodedBody decoded = decodeReportBody(fields[bodyAt], decoder);
        if (!decoded.report) {
            problem(at, decoded.reason);
            continue;
        }
        decoded.report->arrivedMs = *arrived;
        if (idAt < fields.size()) {
            // The id keeps a report single however often the file is imported.
            if (!fields[idAt].empty() && !isReportId(fields[idAt])) {
                problem(at, "report_id is not 32 lowercase hex digits");
                continue;
            }
            decoded.report->reportId = fields[idAt];
        }
        if (decoded.report->reportId.empty()) {
            if (*arrived != lastArrived) {
                lastArrived = *arrived;
                bodiesThisMs.clear();
            }
            decoded.report->reportId = derivedReportId(*arrived, bodiesThisMs[fields[bodyAt]]++, decoded.report->body);
        }
        batch.push_back(std::move(*decoded.report));
        if (batch.size() >= batchSize) flush();
    }
    flush();
    return result;
}

bool DerivedIdRecognizer::derived(const Report& report) {
    if (report.reportId.empty()) return false;
    if (report.arrivedMs != lastArrived_) {
        lastArrived_ = report.arrivedMs;
        bodiesThisMs_.clear();
    }
    // Import counts equal bodies of one millisecond among the rows it gave an id; the same count
    // here, in the same order, meets the same ids.
    std::int64_t& before = bodiesThisMs_[report.body];
    if (derivedReportId(report.arrivedMs, before, report.body) != report.reportId) return false;
    ++before;
    return true;
}

}  // namespace tallyscope::server
