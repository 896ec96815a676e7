// Holds docs/protocol.md to the code: every example frame in it decodes with
// our codecs to what its table says, field by field, and encodes back to the
// same bytes; every message type, status code and archive kind is in its
// tables.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "client/reply_decoding.h"
#include "client/request_encoding.h"
#include "helper/frame_codec.h"

namespace {

using namespace ArchiveHelper;
using ArchiveMount::ArchiveKind;
using ArchiveMount::Error;
using Buffer = std::vector<unsigned char>;

// The names the document uses. There is no default case: a new enumerator
// does not build here until it is named, and then the tables test wants it
// documented.
const char* TypeName(MessageType type) {
    switch (type) {
        case MessageType::HelloRequest: return "HelloRequest";
        case MessageType::OpenRequest: return "OpenRequest";
        case MessageType::MaterializeRequest: return "MaterializeRequest";
        case MessageType::MaterializeAllRequest: return "MaterializeAllRequest";
        case MessageType::CloseRequest: return "CloseRequest";
        case MessageType::HelloReply: return "HelloReply";
        case MessageType::IndexReply: return "IndexReply";
        case MessageType::StatusReply: return "StatusReply";
        case MessageType::AbortHook: return "AbortHook";
        case MessageType::StallHook: return "StallHook";
        case MessageType::AllocateHook: return "AllocateHook";
    }
    return nullptr;
}

const char* StatusName(Error code) {
    switch (code) {
        case Error::Ok: return "Ok";
        case Error::OpenFailed: return "OpenFailed";
        case Error::NotRecognized: return "NotRecognized";
        case Error::SizeOverLimit: return "SizeOverLimit";
        case Error::TooManyEntries: return "TooManyEntries";
        case Error::PasswordProtected: return "PasswordProtected";
        case Error::MultiVolume: return "MultiVolume";
        case Error::SolidRar4: return "SolidRar4";
        case Error::NameRefused: return "NameRefused";
        case Error::Damaged: return "Damaged";
        case Error::ChangedSinceIndexed: return "ChangedSinceIndexed";
        case Error::MethodUnsupported: return "MethodUnsupported";
        case Error::NoSuchEntry: return "NoSuchEntry";
        case Error::HelperFailed: return "HelperFailed";
        case Error::HelperTimeout: return "HelperTimeout";
    }
    return nullptr;
}

const char* KindName(ArchiveKind kind) {
    switch (kind) {
        case ArchiveKind::Zip: return "Zip";
        case ArchiveKind::Rar: return "Rar";
        case ArchiveKind::Rar5: return "Rar5";
        case ArchiveKind::SevenZip: return "SevenZip";
        case ArchiveKind::Tar: return "Tar";
        case ArchiveKind::Raw: return "Raw";
        case ArchiveKind::Isz: return "Isz";
        case ArchiveKind::Iso9660: return "Iso9660";
    }
    return nullptr;
}

bool IsReply(MessageType type) {
    return type == MessageType::HelloReply || type == MessageType::IndexReply || type == MessageType::StatusReply;
}

std::vector<std::string> DocumentLines() {
    std::ifstream in(std::string(OMBREX_SOURCE_DIR) + "/docs/protocol.md");
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::string Trim(const std::string& text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// The trimmed cells of a table row; empty when the line is not one.
std::vector<std::string> Cells(const std::string& line) {
    const std::string row = Trim(line);
    if (row.size() < 2 || row.front() != '|' || row.back() != '|') return {};
    std::vector<std::string> cells;
    std::size_t start = 1;
    for (std::size_t bar = row.find('|', start); bar != std::string::npos; bar = row.find('|', start)) {
        cells.push_back(Trim(row.substr(start, bar - start)));
        start = bar + 1;
    }
    return cells;
}

std::optional<std::size_t> Decimal(const std::string& text) {
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos) return {};
    return std::stoul(text);
}

struct Row {
    int line = 0;
    std::vector<std::string> cells;
};

// The rows of the table whose header row starts with `header`, below its
// separator row.
std::vector<Row> Table(const std::vector<std::string>& lines, const std::vector<std::string>& header) {
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const auto cells = Cells(lines[i]);
        if (cells.size() < header.size() || !std::equal(header.begin(), header.end(), cells.begin())) continue;
        std::vector<Row> rows;
        for (std::size_t j = i + 2; j < lines.size() && !Cells(lines[j]).empty(); ++j) {
            rows.push_back({static_cast<int>(j + 1), Cells(lines[j])});
        }
        return rows;
    }
    return {};
}

// A ```frame NAME block and the table under it.
struct Example {
    std::string name;
    int line = 0;
    Buffer frame;
    std::vector<Row> rows;
    std::vector<std::string> problems;  // found while reading the document
};

std::vector<Example> Examples(const std::vector<std::string>& lines) {
    const std::string opening = "```frame ";
    std::vector<Example> examples;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].rfind(opening, 0) != 0) continue;
        Example example;
        example.name = Trim(lines[i].substr(opening.size()));
        example.line = static_cast<int>(i + 1);
        for (++i; i < lines.size() && lines[i] != "```"; ++i) {
            std::size_t at = 0;
            const std::string& text = lines[i];
            while ((at = text.find_first_not_of(' ', at)) != std::string::npos) {
                const std::size_t end = std::min(text.find(' ', at), text.size());
                const std::string token = text.substr(at, end - at);
                if (token.size() != 2 || token.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
                    example.problems.push_back("line " + std::to_string(i + 1) + ": '" + token + "' is not a hex byte");
                } else {
                    example.frame.push_back(static_cast<unsigned char>(std::stoul(token, nullptr, 16)));
                }
                at = end;
            }
        }
        std::size_t j = i + 1;
        while (j < lines.size() && Trim(lines[j]).empty()) ++j;
        const auto header = j < lines.size() ? Cells(lines[j]) : std::vector<std::string>{};
        if (header.size() < 4 || header[0] != "offset" || header[1] != "width" || header[2] != "field" ||
            header[3] != "value") {
            example.problems.push_back("no | offset | width | field | value | table under the block");
        } else {
            for (j += 2; j < lines.size() && !Cells(lines[j]).empty(); ++j) {
                example.rows.push_back({static_cast<int>(j + 1), Cells(lines[j])});
            }
        }
        examples.push_back(std::move(example));
    }
    return examples;
}

struct Field {
    std::string name;
    std::size_t width;
    std::string value;
};

// A decoded message as the document's tables show it, in wire order.
class Layout {
public:
    void Add(std::string name, std::size_t width, std::string value) {
        fields.push_back({std::move(name), width, std::move(value)});
    }
    void Number(std::string name, std::size_t width, long long value) {
        Add(std::move(name), width, std::to_string(value));
    }
    void Unsigned(std::string name, std::size_t width, unsigned long long value) {
        Add(std::move(name), width, std::to_string(value));
    }
    void Hex32(std::string name, std::uint32_t value) {
        char text[16];
        std::snprintf(text, sizeof text, "0x%08X", value);
        Add(std::move(name), 4, text);
    }
    void Text(const std::string& name, const std::string& text) {
        Unsigned(name + " length", 4, text.size());
        if (!text.empty()) Add(name, text.size(), "`" + text + "`");
    }

    std::vector<Field> fields;
};

void LayOutIndex(const IndexSummary& index, Layout& layout) {
    const char* kind = KindName(index.kind);
    layout.Add("kind", 1, std::to_string(static_cast<int>(index.kind)) + " " + (kind ? kind : "?"));
    layout.Number("kind_flag", 1, index.kind_flag);
    layout.Number("declared_total", 8, index.declared_total);
    layout.Unsigned("archive_size", 8, index.archive_size);
    layout.Text("fingerprint", index.fingerprint);
    layout.Unsigned("identity size", 8, index.identity.size);
    layout.Number("identity mtime", 8, index.identity.mtime);
    layout.Unsigned("entry count", 4, index.entries.size());
    for (std::size_t i = 0; i < index.entries.size(); ++i) {
        const ArchiveMount::Entry& entry = index.entries[i];
        const std::string prefix = "entry " + std::to_string(i) + " ";
        layout.Number(prefix + "ordinal", 4, entry.ordinal);
        layout.Text(prefix + "path", entry.path);
        layout.Text(prefix + "dos_path", entry.dos_path);
        layout.Number(prefix + "is_dir", 1, entry.is_dir);
        layout.Number(prefix + "size", 8, entry.size);
        layout.Number(prefix + "mtime", 8, entry.mtime);
        layout.Number(prefix + "has_crc", 1, entry.has_crc);
        layout.Hex32(prefix + "crc", entry.crc);
        layout.Number(prefix + "nested_zip_offset", 8, entry.nested_zip_offset);
    }
}

// Decodes a payload with our codecs, lays the message out and encodes it
// again; false when the payload does not decode.
bool Describe(MessageType type, Bytes payload, Layout& layout, Buffer& again) {
    switch (type) {
        case MessageType::HelloRequest:
        case MessageType::CloseRequest:
            again.clear();
            return payload.empty();
        case MessageType::OpenRequest: {
            OpenRequest request;
            if (!DecodeOpenRequest(payload, request)) return false;
            layout.Text("path", request.path);
            layout.Number("max_entries", 8, request.limits.max_entries);
            layout.Number("max_total_bytes", 8, request.limits.max_total_bytes);
            layout.Number("max_member_bytes", 8, request.limits.max_member_bytes);
            layout.Number("descriptor_passing", 1, request.descriptor_passing);
            layout.Unsigned("os_handle", 8, request.os_handle);
            layout.Number("window_offset", 8, request.window_offset);
            layout.Number("window_length", 8, request.window_length);
            again = HelperClient::EncodeOpenRequest(request);
            return true;
        }
        case MessageType::MaterializeRequest: {
            MaterializeRequest request;
            if (!DecodeMaterializeRequest(payload, request)) return false;
            layout.Number("ordinal", 4, request.ordinal);
            layout.Text("path", request.path);
            again = HelperClient::EncodeMaterializeRequest(static_cast<std::uint32_t>(request.ordinal), request.path);
            return true;
        }
        case MessageType::MaterializeAllRequest: {
            MaterializeAllRequest request;
            if (!DecodeMaterializeAllRequest(payload, request)) return false;
            layout.Text("path", request.path);
            again = HelperClient::EncodeMaterializeAllRequest(request.path);
            return true;
        }
        case MessageType::HelloReply: {
            HelloReply reply;
            if (!HelperClient::DecodeHelloReply(payload, reply)) return false;
            layout.Unsigned("protocol_version", 2, reply.protocol_version);
            layout.Unsigned("library_version", 4, reply.library_version);
            layout.Text("library_details", reply.library_details);
            again = EncodeHelloReply(reply.protocol_version, reply.library_version, reply.library_details);
            return true;
        }
        case MessageType::IndexReply: {
            IndexSummary index;
            if (!HelperClient::DecodeIndexReply(payload, index)) return false;
            LayOutIndex(index, layout);
            again = EncodeIndexReply(index);
            return true;
        }
        case MessageType::StatusReply: {
            StatusReply reply;
            if (!HelperClient::DecodeStatusReply(payload, reply)) return false;
            const char* name = StatusName(reply.code);
            layout.Add("code", 1, std::to_string(static_cast<int>(reply.code)) + " " + (name ? name : "?"));
            layout.Text("message", reply.message);
            again = EncodeStatusReply(reply.code, reply.message);
            return true;
        }
        case MessageType::AbortHook:
        case MessageType::StallHook:
        case MessageType::AllocateHook: {
            std::uint32_t value = 0;
            if (!DecodeHookRequest(payload, value)) return false;
            layout.Unsigned("value", 4, value);
            again = HelperClient::EncodeHookRequest(value);
            return true;
        }
    }
    return false;
}

// Everything wrong with an example; empty when the block, its table and the
// codecs agree.
std::vector<std::string> Problems(const Example& example) {
    std::vector<std::string> problems = example.problems;
    const Buffer& frame = example.frame;
    const bool reply = frame.size() > 6 && IsReply(static_cast<MessageType>(frame[6]));
    FrameHeader header;
    if (!ParseFrameHeader(frame, reply ? kMaxIndexReplyPayload : kMaxRequestPayload, header)) {
        problems.push_back("the frame header does not parse");
        return problems;
    }
    if (header.length != frame.size() - kFrameHeaderSize) {
        problems.push_back("the header announces " + std::to_string(header.length) + " payload bytes, the block has " +
                           std::to_string(frame.size() - kFrameHeaderSize));
        return problems;
    }
    Layout layout;
    layout.Add("magic", 4, "0x48414D4F");
    layout.Unsigned("version", 2, kProtocolVersion);
    layout.Add("type", 1, std::to_string(static_cast<int>(header.type)) + " " + TypeName(header.type));
    layout.Unsigned("reserved", 1, frame[7]);
    layout.Unsigned("payload length", 4, header.length);
    Buffer again;
    if (!Describe(header.type, Bytes(frame).subspan(kFrameHeaderSize), layout, again)) {
        problems.push_back("the payload does not decode as a " + std::string(TypeName(header.type)));
        return problems;
    }
    if (EncodeFrame(header.type, again) != frame) problems.push_back("encoding the decoded message gives other bytes");

    std::size_t offset = 0;
    const std::size_t count = std::max(layout.fields.size(), example.rows.size());
    for (std::size_t i = 0; i < count; ++i) {
        if (i >= example.rows.size()) {
            problems.push_back("the table lacks '" + layout.fields[i].name + "' at offset " + std::to_string(offset));
            break;
        }
        const Row& row = example.rows[i];
        const std::string where = "line " + std::to_string(row.line) + ": ";
        if (i >= layout.fields.size()) {
            problems.push_back(where + "a row past the end of the message");
            break;
        }
        const Field& field = layout.fields[i];
        const auto& cells = row.cells;
        if (cells.size() < 4) {
            problems.push_back(where + "fewer than four cells");
            continue;
        }
        if (Decimal(cells[0]) != offset) problems.push_back(where + "offset " + cells[0] + ", wanted " + std::to_string(offset));
        if (Decimal(cells[1]) != field.width)
            problems.push_back(where + "width " + cells[1] + ", wanted " + std::to_string(field.width));
        if (cells[2] != field.name) problems.push_back(where + "field '" + cells[2] + "', wanted '" + field.name + "'");
        if (cells[3] != field.value) problems.push_back(where + "value '" + cells[3] + "', decoded '" + field.value + "'");
        offset += field.width;
    }
    return problems;
}

std::string Joined(const std::vector<std::string>& problems) {
    std::string text;
    for (const auto& problem : problems) text += "\n  " + problem;
    return text;
}

TEST(ProtocolDocument, EveryExampleDecodesToItsTableAndEncodesBackToItsBytes) {
    const auto examples = Examples(DocumentLines());
    ASSERT_FALSE(examples.empty()) << "no ```frame blocks in docs/protocol.md";
    std::set<std::string> names;
    for (const Example& example : examples) {
        EXPECT_TRUE(names.insert(example.name).second) << "two examples named " << example.name;
        const auto problems = Problems(example);
        EXPECT_TRUE(problems.empty()) << "example '" << example.name << "' (line " << example.line << ")"
                                      << Joined(problems);
    }
}

TEST(ProtocolDocument, ShowsHelloOpenIndexMaterializeAndBothKindsOfStatus) {
    std::set<std::string> shown;
    for (const Example& example : Examples(DocumentLines())) {
        FrameHeader header;
        if (!ParseFrameHeader(example.frame, kMaxIndexReplyPayload, header)) continue;
        std::string what = TypeName(header.type);
        if (header.type == MessageType::StatusReply && example.frame.size() > kFrameHeaderSize) {
            what += example.frame[kFrameHeaderSize] == 0 ? " Ok" : " failure";
        }
        IndexSummary index;
        if (header.type == MessageType::IndexReply &&
            HelperClient::DecodeIndexReply(Bytes(example.frame).subspan(kFrameHeaderSize), index) &&
            !index.entries.empty()) {
            what += " with entries";
        }
        shown.insert(what);
    }
    for (const char* wanted : {"HelloRequest", "HelloReply", "OpenRequest", "IndexReply with entries",
                               "MaterializeRequest", "StatusReply Ok", "StatusReply failure"}) {
        EXPECT_TRUE(shown.count(wanted)) << "docs/protocol.md shows no " << wanted << " example";
    }
}

// Every value of the enum (as its name function knows them) has a row in the
// table with the same code and name, and every row is such a value. `text`,
// when given, gives what the third cell must hold.
template <typename Enum>
void ExpectTableLists(const std::vector<Row>& rows, const char* (*name)(Enum), const char* what,
                      std::string (*text)(Enum) = nullptr) {
    ASSERT_FALSE(rows.empty()) << "docs/protocol.md has no table of " << what;
    std::map<int, const Row*> by_code;
    for (const Row& row : rows) {
        const auto code = Decimal(row.cells[0]);
        EXPECT_TRUE(code && *code < 256) << "line " << row.line << ": '" << row.cells[0] << "' is not a code";
        if (code && *code < 256) by_code[static_cast<int>(*code)] = &row;
    }
    for (int code = 0; code < 256; ++code) {
        const char* known = name(static_cast<Enum>(code));
        const auto found = by_code.find(code);
        if (known == nullptr) {
            if (found != by_code.end()) ADD_FAILURE() << "line " << found->second->line << ": no " << what << " " << code;
            continue;
        }
        if (found == by_code.end()) {
            ADD_FAILURE() << what << " " << code << " (" << known << ") is not documented";
            continue;
        }
        const Row& row = *found->second;
        EXPECT_EQ(row.cells.size() > 1 ? row.cells[1] : "", known) << "line " << row.line;
        if (text != nullptr) {
            EXPECT_EQ(row.cells.size() > 2 ? row.cells[2] : "?", text(static_cast<Enum>(code)))
                << "line " << row.line << ": the description text of " << known;
        }
    }
}

// As the status table shows it: in backticks, or nothing for Ok.
std::string QuotedErrorText(Error code) {
    const std::string text = ArchiveMount::ErrorText(code);
    return text.empty() ? "" : "`" + text + "`";
}

TEST(ProtocolDocument, TablesListEveryMessageTypeStatusCodeAndArchiveKind) {
    const auto lines = DocumentLines();
    ExpectTableLists(Table(lines, {"code", "message type"}), TypeName, "message type");
    ExpectTableLists(Table(lines, {"code", "status", "description text"}), StatusName, "status code",
                     QuotedErrorText);
    ExpectTableLists(Table(lines, {"kind", "name"}), KindName, "archive kind");
}

// The checks themselves: drift in a number, in the bytes or in a length is
// each caught by a different one.
TEST(ProtocolDocument, ChecksCatchAnExampleThatDriftedFromTheCode) {
    const auto examples = Examples(DocumentLines());
    const auto index = std::find_if(examples.begin(), examples.end(), [](const Example& example) {
        return example.frame.size() > 6 && example.frame[6] == static_cast<unsigned char>(MessageType::IndexReply);
    });
    ASSERT_NE(index, examples.end());
    ASSERT_TRUE(Problems(*index).empty());

    Example size_changed = *index;  // declared_total: decodes and encodes back, but the table says otherwise
    size_changed.frame[kFrameHeaderSize + 2] ^= 0x01;
    EXPECT_FALSE(Problems(size_changed).empty());

    Example reserved_set = *index;  // ignored by the parser, but never written by our encoder
    reserved_set.frame[7] = 0x5A;
    EXPECT_FALSE(Problems(reserved_set).empty());

    Example cut = *index;  // a byte short of what the header announces
    cut.frame.pop_back();
    EXPECT_FALSE(Problems(cut).empty());
}

}  // namespace
