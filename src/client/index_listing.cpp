#include "client/index_listing.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <vector>

#include "platform/platform.h"

namespace HelperClient {

using ArchiveMount::ArchiveKind;
using ArchiveMount::Entry;

const char* KindName(ArchiveKind kind) {
    switch (kind) {
        case ArchiveKind::Zip: return "zip";
        case ArchiveKind::Rar: return "rar";
        case ArchiveKind::Rar5: return "rar5";
        case ArchiveKind::SevenZip: return "7z";
        case ArchiveKind::Tar: return "tar";
        case ArchiveKind::Raw: return "raw";
        case ArchiveKind::Isz: return "isz";
        case ArchiveKind::Iso9660: return "iso9660";
    }
    return "unknown";
}

std::string FormatTime(std::int64_t seconds) {
    const std::time_t value = static_cast<std::time_t>(seconds);
    std::tm parts{};
    char text[32];
    if (!platform::LocalTime(value, parts) || std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts) == 0) {
        return std::to_string(seconds);
    }
    return text;
}

namespace {

std::string Crc(const Entry& entry) {
    if (!entry.has_crc) return "-";
    char text[9];
    std::snprintf(text, sizeof text, "%08x", static_cast<unsigned>(entry.crc));
    return text;
}

void Pad(std::string& line, const std::string& cell, std::size_t width, bool right) {
    const std::string fill(width > cell.size() ? width - cell.size() : 0, ' ');
    line += right ? fill + cell : cell + fill;
}

void AppendJsonString(std::string& out, const std::string& text) {
    out += '"';
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20 || byte == 0x7F) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", byte);
            out += escape;
        } else {
            out += c;
        }
    }
    out += '"';
}

}  // namespace

std::string FormatIndexTable(const ArchiveHelper::IndexSummary& index) {
    const std::vector<std::string> header = {"ORDINAL", "DOS PATH", "SIZE", "TIME", "CRC", "PATH"};
    std::vector<std::vector<std::string>> rows;
    rows.reserve(index.entries.size());
    for (const Entry& entry : index.entries) {
        rows.push_back({entry.ordinal < 0 ? "-" : std::to_string(entry.ordinal), entry.dos_path,
                        entry.is_dir ? "<DIR>" : std::to_string(entry.size), FormatTime(entry.mtime), Crc(entry),
                        entry.path});
    }
    std::vector<std::size_t> widths;
    for (const auto& cell : header) widths.push_back(cell.size());
    for (const auto& row : rows) {
        for (std::size_t column = 0; column < row.size(); ++column) {
            widths[column] = std::max(widths[column], row[column].size());
        }
    }
    std::string out;
    auto add = [&](const std::vector<std::string>& row) {
        std::string line;
        for (std::size_t column = 0; column < row.size(); ++column) {
            if (column + 1 == row.size()) {
                line += row[column];  // the last column is never padded
            } else {
                Pad(line, row[column], widths[column], column == 0 || column == 2);
                line += "  ";
            }
        }
        out += line;
        out += '\n';
    };
    add(header);
    for (const auto& row : rows) add(row);
    return out;
}

std::string FormatIndexJson(const ArchiveHelper::IndexSummary& index) {
    std::string out = "{\"kind\":";
    AppendJsonString(out, KindName(index.kind));
    out += ",\"declared_total\":" + std::to_string(index.declared_total);
    out += ",\"archive_size\":" + std::to_string(index.archive_size);
    out += ",\"fingerprint\":";
    AppendJsonString(out, index.fingerprint);
    out += ",\"identity\":{\"size\":" + std::to_string(index.identity.size) +
           ",\"mtime\":" + std::to_string(index.identity.mtime) + "}";
    out += ",\"entries\":[";
    for (std::size_t i = 0; i < index.entries.size(); ++i) {
        const Entry& entry = index.entries[i];
        out += i == 0 ? "\n" : ",\n";
        out += "{\"ordinal\":" + std::to_string(entry.ordinal) + ",\"path\":";
        AppendJsonString(out, entry.path);
        out += ",\"dos_path\":";
        AppendJsonString(out, entry.dos_path);
        out += std::string(",\"is_dir\":") + (entry.is_dir ? "true" : "false");
        out += ",\"size\":" + std::to_string(entry.size) + ",\"mtime\":" + std::to_string(entry.mtime);
        out += ",\"crc\":" + (entry.has_crc ? "\"" + Crc(entry) + "\"" : std::string("null"));
        out += ",\"nested_zip_offset\":" +
               (entry.nested_zip_offset < 0 ? std::string("null") : std::to_string(entry.nested_zip_offset));
        out += "}";
    }
    out += "]}\n";
    return out;
}

std::string FormatIndexInfo(const ArchiveHelper::IndexSummary& index) {
    const auto directories = std::count_if(index.entries.begin(), index.entries.end(),
                                           [](const Entry& entry) { return entry.is_dir; });
    const auto files = static_cast<long long>(index.entries.size()) - directories;
    std::string out;
    out += std::string("kind: ") + KindName(index.kind) + "\n";
    out += "declared total: " + std::to_string(index.declared_total) + " bytes\n";
    out += "archive size: " + std::to_string(index.archive_size) + " bytes\n";
    out += "fingerprint: " + index.fingerprint + "\n";
    out += "identity: " + std::to_string(index.identity.size) + " bytes, modified " +
           FormatTime(index.identity.mtime) + "\n";
    out += "entries: " + std::to_string(index.entries.size()) + " (" + std::to_string(files) + " files, " +
           std::to_string(directories) + " directories)\n";
    return out;
}

}  // namespace HelperClient
