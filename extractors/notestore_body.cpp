#include "extractors/notestore_body.h"

#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <optional>

#include "notestore.pb.h"
#include "platform/text.h"

namespace orbanix {

namespace {

namespace pb = orbanix::notestore;

constexpr uint32_t kObjectReplacement = 0xFFFC;

// --- a bounded reader of the outer levels, for bodies the library refuses ---

// Reads a varint of at most 10 bytes within [pos, end); false when cut.
bool WireVarint(std::string_view in, size_t& pos, uint64_t& value) {
  value = 0;
  for (int shift = 0; shift < 64 && pos < in.size(); shift += 7) {
    const uint8_t b = static_cast<uint8_t>(in[pos++]);
    value |= static_cast<uint64_t>(b & 0x7F) << shift;
    if (!(b & 0x80)) return true;
  }
  return false;
}

// The bytes of field `wanted` (length-delimited) of the message `in`, cut
// to what is there when its length runs past the end; the last occurrence
// wins, as in the library. nullopt when the field is absent or the message
// cannot be walked up to it.
std::optional<std::string_view> WireField(std::string_view in, uint32_t wanted, bool* cut) {
  std::optional<std::string_view> found;
  size_t pos = 0;
  while (pos < in.size()) {
    uint64_t tag = 0;
    if (!WireVarint(in, pos, tag)) break;
    const uint32_t field = static_cast<uint32_t>(tag >> 3);
    const int type = static_cast<int>(tag & 7);
    uint64_t skip = 0;
    if (type == 0) {
      uint64_t ignored = 0;
      if (!WireVarint(in, pos, ignored)) break;
      continue;
    } else if (type == 1) {
      skip = 8;
    } else if (type == 5) {
      skip = 4;
    } else if (type == 2) {
      if (!WireVarint(in, pos, skip)) break;
      if (field == wanted) {
        const size_t have = in.size() - pos;
        if (skip > have) {
          if (cut) *cut = true;
          return in.substr(pos);  // the stream ends inside: take what is there
        }
        found = in.substr(pos, static_cast<size_t>(skip));
      }
    } else {
      break;  // groups and reserved types: nothing of ours lies behind them
    }
    if (skip > in.size() - pos) break;
    pos += static_cast<size_t>(skip);
  }
  return found;
}

// The note of a body the library refused: its text and the runs that are
// whole, each parsed by the library on its own bytes.
bool SalvageNote(std::string_view proto, pb::Note& note, bool& cut) {
  const auto document = WireField(proto, 2, &cut);
  if (!document) return false;
  const auto inner = WireField(*document, 3, &cut);
  if (!inner) return false;
  bool textCut = false;
  const auto text = WireField(*inner, 2, &textCut);
  if (!text) return false;
  if (textCut) cut = true;
  note.set_note_text(std::string(*text));
  // The runs: every complete field 5 that parses, in order, until the first
  // that does not.
  size_t pos = 0;
  while (pos < inner->size()) {
    uint64_t tag = 0;
    if (!WireVarint(*inner, pos, tag)) break;
    const uint32_t field = static_cast<uint32_t>(tag >> 3);
    const int type = static_cast<int>(tag & 7);
    uint64_t length = 0;
    if (type == 0) {
      if (!WireVarint(*inner, pos, length)) break;
      continue;
    }
    if (type == 1) length = 8;
    else if (type == 5) length = 4;
    else if (type == 2) {
      if (!WireVarint(*inner, pos, length)) break;
    } else {
      break;
    }
    if (length > inner->size() - pos) break;
    if (field == 5 && type == 2) {
      pb::AttributeRun run;
      if (!run.ParseFromArray(inner->data() + pos, static_cast<int>(length))) break;
      *note.add_attribute_run() = std::move(run);
    }
    pos += static_cast<size_t>(length);
  }
  return true;
}

// --- rendering ---

struct Character {
  uint32_t codePoint;
  size_t runIndex;  // index into the runs, or SIZE_MAX past the last run
};

// UTF-8 text to code points (invalid sequences U+FFFD), each with the run
// that covers it: runs count UTF-16 code units, so a character beyond the
// basic plane takes two.
std::vector<Character> MapCharacters(const std::string& utf8, const pb::Note& note) {
  const std::string valid = ValidUtf8(utf8);
  std::vector<Character> chars;
  chars.reserve(valid.size());
  size_t run = 0;
  uint64_t runEnd = note.attribute_run_size() > 0 ? note.attribute_run(0).length() : 0;
  uint64_t units = 0;
  const size_t runCount = static_cast<size_t>(note.attribute_run_size());
  for (size_t i = 0; i < valid.size();) {
    const uint8_t b = static_cast<uint8_t>(valid[i]);
    uint32_t cp = b;
    int extra = 0;
    if (b >= 0xF0) { cp = b & 0x07; extra = 3; }
    else if (b >= 0xE0) { cp = b & 0x0F; extra = 2; }
    else if (b >= 0xC0) { cp = b & 0x1F; extra = 1; }
    for (int k = 1; k <= extra && i + k < valid.size(); ++k) cp = (cp << 6) | (static_cast<uint8_t>(valid[i + k]) & 0x3F);
    i += 1 + extra;
    while (run < runCount && units >= runEnd) {
      ++run;
      if (run < runCount) runEnd += note.attribute_run(static_cast<int>(run)).length();
    }
    chars.push_back({cp, run < runCount ? run : SIZE_MAX});
    units += cp > 0xFFFF ? 2 : 1;
  }
  return chars;
}

std::string Lower(std::string s) {
  for (char& c : s) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return s;
}

std::string RenderNote(const pb::Note& note, const AttachmentNamer& namer, std::vector<NoteBodyAttachment>& attachments) {
  const std::vector<Character> chars = MapCharacters(note.note_text(), note);
  static const pb::AttributeRun kPlain;
  auto runOf = [&](size_t i) -> const pb::AttributeRun& {
    const size_t r = chars[i].runIndex;
    return r == SIZE_MAX ? kPlain : note.attribute_run(static_cast<int>(r));
  };

  std::string out;
  out.reserve(note.note_text().size() + 64);
  std::map<int, int> numbers;  // indent level -> last number of the list at that level
  size_t i = 0;
  bool firstParagraph = true;
  while (i < chars.size() || firstParagraph) {
    firstParagraph = false;
    size_t end = i;
    while (end < chars.size() && chars[end].codePoint != '\n') ++end;
    // A paragraph's style is that of its first character (its line feed
    // when it is empty).
    const pb::AttributeRun& head = i < chars.size() ? runOf(i) : kPlain;
    const pb::ParagraphStyle& style = head.paragraph_style();
    const int type = style.has_style_type() ? style.style_type() : -1;
    const int indent = std::clamp(style.indent_amount(), 0, 16);
    if (type != 102) {
      numbers.erase(numbers.upper_bound(indent - 1), numbers.end());
    } else {
      numbers.erase(numbers.upper_bound(indent), numbers.end());
    }
    const bool empty = end == i;
    if (!empty && (type == 100 || type == 101 || type == 102 || type == 103 || indent > 0)) {
      out.append(static_cast<size_t>(indent), '\t');
      if (type == 103) out += style.checklist().done() != 0 ? "☑ " : "☐ ";
      if (type == 100) out += "• ";
      if (type == 101) out += "- ";
      if (type == 102) out += std::to_string(++numbers[indent]) + ". ";
    }
    // The characters, run segment by run segment.
    size_t k = i;
    while (k < end) {
      const size_t segRun = chars[k].runIndex;
      size_t segEnd = k;
      while (segEnd < end && chars[segEnd].runIndex == segRun) ++segEnd;
      const pb::AttributeRun& run = runOf(k);
      std::string segment;
      for (size_t c = k; c < segEnd; ++c) {
        if (chars[c].codePoint == kObjectReplacement) {
          if (run.has_attachment_info()) {
            NoteBodyAttachment att{ValidUtf8(run.attachment_info().attachment_identifier()),
                                   ValidUtf8(run.attachment_info().type_uti())};
            std::string words = namer ? namer(att) : std::string();
            if (words.empty()) words = AttachmentKindText(att.uti);
            segment += words;
            attachments.push_back(std::move(att));
          }
          continue;  // an object character without its object: nothing to show
        }
        AppendUtf8(segment, chars[c].codePoint);
      }
      out += segment;
      if (run.has_link()) {
        const std::string link = ValidUtf8(run.link());
        if (!link.empty() && link != segment) out += " (" + link + ")";
      }
      k = segEnd;
    }
    if (end < chars.size()) out += '\n';
    i = end + 1;
    if (end >= chars.size()) break;
  }
  return out;
}

}  // namespace

InflateResult InflateNoteData(std::string_view compressed, std::string& out, size_t maxOut) {
  out.clear();
  const bool gzip = compressed.size() >= 2 && static_cast<uint8_t>(compressed[0]) == 0x1F &&
                    static_cast<uint8_t>(compressed[1]) == 0x8B;
  const bool zlibHeader = compressed.size() >= 2 && (static_cast<uint8_t>(compressed[0]) & 0x0F) == 8 &&
                          ((static_cast<uint8_t>(compressed[0]) << 8) | static_cast<uint8_t>(compressed[1])) % 31 == 0;
  if (!gzip && !zlibHeader) return InflateResult::kNotCompressed;

  z_stream zs{};
  if (inflateInit2(&zs, 15 + 32) != Z_OK) return InflateResult::kCut;  // 32: gzip or zlib by the header
  zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(compressed.data()));
  zs.avail_in = static_cast<uInt>(std::min<size_t>(compressed.size(), UINT32_MAX));
  char buffer[64 * 1024];
  InflateResult result = InflateResult::kCut;
  for (;;) {
    zs.next_out = reinterpret_cast<Bytef*>(buffer);
    zs.avail_out = sizeof buffer;
    const int rc = inflate(&zs, Z_NO_FLUSH);
    const size_t produced = sizeof buffer - zs.avail_out;
    if (out.size() + produced > maxOut) {
      out.append(buffer, maxOut - out.size());
      result = InflateResult::kTooLarge;
      break;
    }
    out.append(buffer, produced);
    if (rc == Z_STREAM_END) {
      result = InflateResult::kComplete;
      break;
    }
    if (rc != Z_OK) break;                           // damaged further on: keep what came before
    if (zs.avail_in == 0 && produced == 0) break;    // the input ends inside the stream
  }
  inflateEnd(&zs);
  return result;
}

std::string AttachmentKindText(const std::string& uti) {
  const std::string t = Lower(uti);
  if (t == "com.apple.notes.table") return "[table]";
  if (t == "com.apple.notes.gallery") return "[Scan]";
  if (t == "com.adobe.pdf") return "[PDF]";
  if (t == "com.apple.paper" || t == "com.apple.drawing" || t == "com.apple.drawing.2" ||
      t.rfind("com.apple.paper.", 0) == 0) {
    return "[Drawing]";
  }
  if (t == "public.url") return "[Link]";
  if (t.rfind("com.apple.notes.inlinetextattachment", 0) == 0) return "";
  if (t == "public.jpeg" || t == "public.png" || t == "public.heic" || t == "public.tiff" || t == "com.compuserve.gif" ||
      t == "public.image") {
    return "[Picture]";
  }
  if (t.find("movie") != std::string::npos || t.find("mpeg-4") != std::string::npos) return "[Video]";
  if (t.find("audio") != std::string::npos || t == "com.apple.m4a-audio") return "[Audio]";
  if (t == "public.vcard") return "[Contact]";
  if (t == "com.apple.mapkit.map-item") return "[Map]";
  return "[Attachment]";
}

NoteBodyText RenderNoteProto(std::string_view proto, const AttachmentNamer& namer, bool cut) {
  NoteBodyText result;
  pb::NoteStoreProto root;
  pb::Note salvaged;
  const pb::Note* note = nullptr;
  if (proto.size() <= static_cast<size_t>(INT32_MAX) && root.ParseFromArray(proto.data(), static_cast<int>(proto.size())) &&
      root.has_document() && root.document().has_note()) {
    note = &root.document().note();
  } else {
    bool walkCut = false;
    if (!SalvageNote(proto, salvaged, walkCut)) {
      result.complete = false;
      result.problem = cut ? "the note's data is cut short before its text" : "the note's data is damaged";
      return result;
    }
    note = &salvaged;
    // A body the library refused is incomplete even when the walk met no
    // cut: something after the text is damaged.
    cut = true;
  }
  result.text = RenderNote(*note, namer, result.attachments);
  if (cut) {
    result.complete = false;
    result.problem = "the note's data is cut short";
    result.text += kNoteRestLost;
  }
  return result;
}

namespace {

// A table rebuilt from its replicated document. Every reference is an index
// checked against the list it points into; a reference that leads nowhere
// drops what hangs on it, never the table.
class TableReader {
 public:
  explicit TableReader(const pb::MergeableData& data) : data_(data) {
    for (const std::string& uuid : data.uuid_item()) uuids_.emplace(uuid, uuids_.size());
  }

  bool Read(std::string& text, std::string& problem) {
    const pb::MergeableEntry* root = nullptr;
    for (const pb::MergeableEntry& e : data_.entry()) {
      if (e.has_custom_map() && TypeName(e.custom_map().type()) == "com.apple.notes.ICTable") {
        root = &e;
        break;
      }
    }
    if (!root) {
      problem = "the table's data holds no table";
      return false;
    }
    const pb::MergeableEntry* cellColumns = nullptr;
    bool rightToLeft = false;
    for (const pb::MapEntry& m : root->custom_map().map_entry()) {
      const std::string key = KeyName(m.key());
      const pb::MergeableEntry* target = Entry(m.value());
      if (!target) continue;
      if (key == "crRows") Order(*target, rows_, rowCount_);
      else if (key == "crColumns") Order(*target, columns_, columnCount_);
      else if (key == "cellColumns") cellColumns = target;
      else if (key == "crTableColumnDirection") rightToLeft = Direction(*target) == "CRTableColumnDirectionRightToLeft";
    }
    if (rowCount_ == 0 || columnCount_ == 0) {
      problem = "the table's data has no rows or no columns";
      return false;
    }
    if (rowCount_ > kMaxNoteTableCells / columnCount_) {
      problem = "the table's data names more cells than any table has";
      return false;
    }
    std::vector<std::vector<std::string>> cells(rowCount_, std::vector<std::string>(columnCount_));
    if (cellColumns) {
      for (const pb::DictionaryElement& column : cellColumns->dictionary().element()) {
        const auto c = Index(columns_, column.key());
        const pb::MergeableEntry* byRow = Entry(column.value());
        if (!c || !byRow) continue;
        for (const pb::DictionaryElement& cell : byRow->dictionary().element()) {
          const auto r = Index(rows_, cell.key());
          const pb::MergeableEntry* content = Entry(cell.value());
          if (r && content && content->has_note()) cells[*r][*c] = CellText(content->note().note_text());
        }
      }
    }
    text.clear();
    for (std::vector<std::string>& row : cells) {
      if (rightToLeft) std::reverse(row.begin(), row.end());
      if (!text.empty()) text += '\n';
      for (size_t c = 0; c < row.size(); ++c) {
        if (c) text += '\t';
        text += row[c];
      }
    }
    return true;
  }

 private:
  using Positions = std::map<size_t, size_t>;  // UUID index -> row or column

  std::string TypeName(int32_t i) const {
    return i >= 0 && i < data_.type_item_size() ? data_.type_item(i) : std::string();
  }
  std::string KeyName(int32_t i) const {
    return i >= 0 && i < data_.key_item_size() ? data_.key_item(i) : std::string();
  }
  const pb::MergeableEntry* Entry(const pb::ObjectId& id) const {
    if (!id.has_object_index()) return nullptr;
    const int32_t i = id.object_index();
    return i >= 0 && i < data_.entry_size() ? &data_.entry(i) : nullptr;
  }
  // The UUID index a UUID object stands for (its first field's number).
  std::optional<size_t> UuidOf(const pb::ObjectId& id) const {
    const pb::MergeableEntry* e = Entry(id);
    if (!e || !e->has_custom_map() || e->custom_map().map_entry_size() == 0) return std::nullopt;
    const uint64_t u = e->custom_map().map_entry(0).value().unsigned_integer_value();
    if (u >= static_cast<uint64_t>(data_.uuid_item_size())) return std::nullopt;
    return static_cast<size_t>(u);
  }
  std::optional<size_t> Index(const Positions& positions, const pb::ObjectId& id) const {
    const auto u = UuidOf(id);
    if (!u) return std::nullopt;
    const auto it = positions.find(*u);
    return it == positions.end() ? std::nullopt : std::optional<size_t>(it->second);
  }

  // The display order (the array's UUIDs), then the UUIDs the cells use
  // for each of them.
  void Order(const pb::MergeableEntry& e, Positions& positions, size_t& count) const {
    positions.clear();
    count = 0;
    const pb::OrderedSetOrdering& ordering = e.ordered_set().ordering();
    for (const pb::OrderedSetItem& item : ordering.array().attachment()) {
      const auto it = uuids_.find(item.uuid());
      if (it == uuids_.end() || positions.count(it->second)) continue;
      positions[it->second] = count++;
    }
    for (const pb::DictionaryElement& el : ordering.contents().element()) {
      const auto from = UuidOf(el.key());
      const auto to = UuidOf(el.value());
      if (!from || !to) continue;
      const auto it = positions.find(*from);
      if (it != positions.end()) positions.emplace(*to, it->second);
    }
  }

  std::string Direction(const pb::MergeableEntry& e) const {
    if (e.has_register_latest() && e.register_latest().contents().has_string_value()) {
      return e.register_latest().contents().string_value();
    }
    for (const pb::MapEntry& m : e.custom_map().map_entry()) {
      if (m.value().has_string_value()) return m.value().string_value();
    }
    return {};
  }

  static std::string CellText(const std::string& raw) {
    std::string text;
    for (const char ch : ValidUtf8(raw)) text += ch == '\n' || ch == '\t' || ch == '\r' ? ' ' : ch;
    // Object characters stand for nothing a line of text can show.
    for (size_t at; (at = text.find("\xEF\xBF\xBC")) != std::string::npos;) text.erase(at, 3);
    return text;
  }

  const pb::MergeableData& data_;
  std::map<std::string, size_t> uuids_;
  Positions rows_, columns_;
  size_t rowCount_ = 0, columnCount_ = 0;
};

}  // namespace

std::string DecodeNoteTable(std::string_view zdata, std::string* problem) {
  std::string why;
  std::string text;
  std::string proto;
  const InflateResult inflated = InflateNoteData(zdata, proto);
  pb::MergeableDataProto root;
  if (inflated != InflateResult::kComplete) {
    why = zdata.empty() ? "the table has no data" : "the table's data is not a complete compressed stream";
  } else if (proto.size() > static_cast<size_t>(INT32_MAX) ||
             !root.ParseFromArray(proto.data(), static_cast<int>(proto.size()))) {
    why = "the table's data is damaged";
  } else {
    TableReader reader(root.object().data());
    if (!reader.Read(text, why)) text.clear();
  }
  if (problem) *problem = why;
  return text;
}

NoteBodyText DecodeNoteBody(std::string_view zdata, const AttachmentNamer& namer) {
  std::string proto;
  const InflateResult inflated = InflateNoteData(zdata, proto);
  if (inflated == InflateResult::kNotCompressed) {
    NoteBodyText result;
    result.complete = false;
    result.problem = zdata.empty() ? "the note has no data" : "the note's data is not a compressed note body";
    return result;
  }
  NoteBodyText result = RenderNoteProto(proto, namer, inflated != InflateResult::kComplete);
  if (inflated == InflateResult::kTooLarge) result.problem = "the note's data is larger than any note";
  return result;
}

}  // namespace orbanix
