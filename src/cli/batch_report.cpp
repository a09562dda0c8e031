#include "cli/batch_report.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "cli/json.h"
#include "platform/atomic_file.h"

namespace kestrel::cli {
namespace {

std::string field(const std::string& json, const char* key) {
    return json_field(json, key).value_or("");
}

std::int64_t number(const std::string& json, const char* key) {
    const std::string v = field(json, key);
    return v.empty() || v == "null" ? 0 : std::atoll(v.c_str());
}

std::string csv_cell(const std::string& s) {
    if (s.find_first_of(",\"\n") == std::string::npos) return s;
    std::string out = "\"";
    for (char c : s)
        out += c == '"' ? std::string("\"\"") : std::string(1, c);
    return out + "\"";
}

}  // namespace

void make_report_line(BatchUnit& u) {
    const std::string& j = u.result_json;
    const bool ok = u.ok();
    if (u.error.empty() && !ok) {
        u.error = field(j, "error");
        if (u.error.empty())
            u.error =
                "kestrelctl ended without a result (exit " + std::to_string(u.exit_code) + ")";
    }
    JsonObject o;
    o.add("label", u.plan->label)
        .add("device", u.plan->device->text())
        .add("result", ok ? "ok" : "failed")
        .add("mac", field(j, "mac"))
        .add("mac_before", field(j, "mac_before"))
        .add("flash_id", field(j, "flash_id"))
        .add("image_sha256", field(j, "image_sha256"))
        .add("pages_programmed", number(j, "pages_programmed"))
        .add("pages_verified", number(j, "pages_verified"))
        .add("seconds", u.seconds)
        .add("exchanges", number(j, "exchanges"))
        .add("faults_recovered", number(j, "faults_recovered"))
        .add("exit_code", u.exit_code)
        .add("error", ok ? std::string() : u.error);
    if (!u.mac.empty()) o.add("mac_assigned", u.mac);
    u.report_line = o.str();
}

Status write_summary(const std::string& path, const std::vector<BatchUnit>& units) {
    std::ostringstream csv;
    csv << "label,device,result,mac,exit_code,seconds,error\n";
    for (const auto& u : units) {
        if (!u.done) continue;
        char secs[32];
        std::snprintf(secs, sizeof secs, "%.1f", u.seconds);
        csv << csv_cell(u.plan->label) << ',' << u.plan->device->text() << ','
            << (u.ok() ? "ok" : "failed") << ',' << field(u.result_json, "mac") << ','
            << u.exit_code << ',' << secs << ',' << csv_cell(u.ok() ? "" : u.error) << '\n';
    }
    const std::string body = csv.str();
    AtomicFile file(path);
    if (file.ok() &&
        file.write({reinterpret_cast<const std::uint8_t*>(body.data()), body.size()}) &&
        file.commit()) {
        return {};
    }
    return Status::failure(StatusCode::FileError,
                           file.error().empty() ? "can't write \"" + path + "\"" : file.error());
}

}  // namespace kestrel::cli
