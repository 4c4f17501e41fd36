#include "server/StatusPage.h"

#include <algorithm>

namespace ulvarend::server {
namespace {

constexpr auto kSilentAfter = std::chrono::hours(24);

std::string shown(TimePoint time) {
    return time == TimePoint{} ? std::string("—") : formatRfc3339(time);
}

} // namespace

std::string escapeHtml(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\'':
            out += "&#39;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

std::string renderStatusPage(const std::vector<HouseholdSummary>& households,
                             const std::vector<DayCount>& days, std::int64_t quarantined,
                             const RequestCounts& counts, TimePoint now) {
    std::size_t silent = 0;
    for (const auto& row : households) {
        silent += now - row.lastReceived >= kSilentAfter ? 1 : 0;
    }
    std::string page;
    page.reserve(256 + households.size() * 320);
    page += "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
            "<title>Ulvarend collection status</title><style>"
            "body{font-family:sans-serif;margin:1.5em}"
            "table{border-collapse:collapse}td,th{padding:2px 8px;border-bottom:1px solid #ddd;"
            "text-align:left}td.n{text-align:right}tr.silent{background:#fdd}"
            ".chart{display:flex;align-items:flex-end;height:120px;gap:2px;margin:1em 0}"
            ".bar{background:#47a;width:14px}"
            "</style></head><body>\n<h1>Ulvarend collection status</h1>\n";
    page += "<p id=\"summary\">" + std::to_string(households.size()) + " households, " +
            std::to_string(silent) + " silent for 24 hours or more (marked). Page made at " +
            formatRfc3339(now) + ".</p>\n";
    std::int64_t highest = 1;
    for (const auto& day : days) {
        highest = std::max(highest, day.records);
    }
    page += "<h2>Records received per day</h2>\n<div class=\"chart\" id=\"chart\">";
    for (const auto& day : days) {
        const auto height = std::max<std::int64_t>(1, day.records * 100 / highest);
        page += "<div class=\"bar\" style=\"height:" + std::to_string(height) + "%\" title=\"" +
                escapeHtml(day.day) + ": " + std::to_string(day.records) + "\"></div>";
    }
    page += "</div>\n";
    if (!days.empty()) {
        page += "<p class=\"axis\">" + escapeHtml(days.front().day) + " to " +
                escapeHtml(days.back().day) + ", at most " + std::to_string(highest) +
                " a day</p>\n";
    }
    page += "<h2>Households</h2>\n<table id=\"households\"><thead><tr><th>Household</th>"
            "<th>Members seen</th><th>First record</th><th>Last record</th>"
            "<th>Last 24 hours</th><th>Last 7 days</th><th>Silent</th></tr></thead><tbody>\n";
    for (const auto& row : households) {
        const bool isSilent = now - row.lastReceived >= kSilentAfter;
        page += isSilent ? "<tr class=\"silent\">" : "<tr>";
        page += "<td>" + escapeHtml(row.household) + "</td><td class=\"n\">" +
                std::to_string(row.members) + "</td><td>" + shown(row.firstReceived) + "</td><td>" +
                shown(row.lastReceived) + "</td><td class=\"n\">" + std::to_string(row.lastDay) +
                "</td><td class=\"n\">" + std::to_string(row.lastWeek) + "</td><td>" +
                (isSilent ? "silent" : "") + "</td></tr>\n";
    }
    page +=
        "</tbody></table>\n<p id=\"counts\">Quarantined bodies: " + std::to_string(quarantined) +
        ". This process since it started: " + std::to_string(counts.stored) + " stored, " +
        std::to_string(counts.duplicates) + " duplicates, " + std::to_string(counts.invalid) +
        " invalid, " + std::to_string(counts.unauthorized) + " unauthorized, " +
        std::to_string(counts.unavailable) + " answered 503.</p>\n</body></html>\n";
    return page;
}

} // namespace ulvarend::server
