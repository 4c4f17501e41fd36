#include "server/CsvExport.h"

#include <filesystem>
#include <fstream>

namespace ulvarend::server {

std::string csvField(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) {
        return text;
    }
    std::string out = "\"";
    for (const char c : text) {
        out += c == '"' ? std::string("\"\"") : std::string(1, c);
    }
    return out + "\"";
}

namespace {

void writeLine(std::ofstream& out, const ExportRow& fields) {
    std::string line;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (i > 0) {
            line += ',';
        }
        line += csvField(fields[i]);
    }
    line += "\r\n";
    out << line;
}

bool exportOne(RecordStore& store, UsageType type, TimePoint from, TimePoint to,
               const std::filesystem::path& file, std::string* whyNot) {
    const auto partial = std::filesystem::path(file.string() + ".partial");
    {
        std::ofstream out(partial, std::ios::binary | std::ios::trunc);
        if (!out) {
            *whyNot = "cannot write " + partial.string();
            return false;
        }
        writeLine(out, exportColumns(type));
        try {
            store.exportRecords(type, from, to, [&](const ExportRow& row) { writeLine(out, row); });
        } catch (...) {
            out.close();
            std::filesystem::remove(partial);
            throw;
        }
        out.flush();
        if (!out) {
            *whyNot = "cannot write " + partial.string();
            std::filesystem::remove(partial);
            return false;
        }
    }
    std::error_code error;
    std::filesystem::rename(partial, file, error);
    if (error) {
        *whyNot = "cannot rename " + partial.string() + ": " + error.message();
        return false;
    }
    return true;
}

} // namespace

bool exportCsv(RecordStore& store, TimePoint from, TimePoint to, const std::string& directory,
               std::string* whyNot) {
    std::string ignored;
    std::string& why = whyNot != nullptr ? *whyNot : ignored;
    std::error_code error;
    std::filesystem::create_directories(directory, error);
    if (error) {
        why = "cannot make " + directory + ": " + error.message();
        return false;
    }
    const std::filesystem::path folder(directory);
    return exportOne(store, UsageType::app, from, to, folder / "app_usages.csv", &why) &&
           exportOne(store, UsageType::device, from, to, folder / "device_usages.csv", &why);
}

} // namespace ulvarend::server
