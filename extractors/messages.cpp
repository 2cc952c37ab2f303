#include "extractors/messages.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <cstdlib>
#include <functional>
#include <iterator>
#include <limits>
#include <memory>
#include <optional>
#include <unordered_map>
#include <unordered_set>

#include "extractors/phone_numbers.h"
#include "extractors/typedstream.h"
#include "platform/parallel.h"
#include "platform/text.h"
#include "sqlite_pages/record.h"
#include "sqlite_pages/row_dump.h"
#include "sqlite_pages/values.h"

namespace orbanix {

namespace {

// A record header of 51 bytes or more belongs to a table wider than the 38
// columns of older phones.
constexpr uint32_t kWideHeaderLength = 51;
constexpr int kOldMessageColumns = 38;

// Parses a message row and learns the column count of the message table
// from live rows (recovered rows are parsed with it): into the reader, or
// into `learned` when given (a decoder that must leave the reader alone).
// `layOut` limits the live columns laid out (the count stays whole).
Status ParseMessageRecord(CDbFileReader& reader, const RowInput& input, ParsedRecord& r, int* learned = nullptr,
                          int layOut = std::numeric_limits<int>::max()) {
  if (input.headerless) return ParseHeaderlessRecord(reader, input, r);
  const Status st = ParseLiveRecord(reader, input, r, true, layOut);
  if (st == status::kOk && input.deleted == 0) {
    (learned ? *learned : reader.messageColumns) =
        r.headerLength < kWideHeaderLength ? kOldMessageColumns : r.ColumnCount();
  }
  return st;
}

// Validates UTF-8 and reports whether the text is clean: no zero byte and no
// U+FFFD. One pass; false for invalid sequences too.
bool IsCleanUtf8(const uint8_t* p, uint32_t n) {
  uint32_t i = 0;
  while (i < n) {
    // Eight ASCII bytes without a zero byte at a time (most message text).
    if (n - i >= 8) {
      uint64_t w;
      std::memcpy(&w, p + i, 8);
      constexpr uint64_t kLow = 0x0101010101010101ULL, kHigh = 0x8080808080808080ULL;
      if (((w | ((w - kLow) & ~w)) & kHigh) == 0) {
        i += 8;
        continue;
      }
    }
    const uint8_t b = p[i];
    if (b < 0x80) {
      if (b == 0) return false;
      ++i;
      continue;
    }
    uint32_t len, cp;
    if (b >= 0xC2 && b <= 0xDF) len = 2, cp = b & 0x1F;
    else if (b >= 0xE0 && b <= 0xEF) len = 3, cp = b & 0x0F;
    else if (b >= 0xF0 && b <= 0xF4) len = 4, cp = b & 0x07;
    else return false;
    if (n - i < len) return false;
    for (uint32_t k = 1; k < len; ++k) {
      if ((p[i + k] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (p[i + k] & 0x3F);
    }
    if ((len == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF) || cp == 0xFFFD)) ||
        (len == 4 && (cp < 0x10000 || cp > 0x10FFFF))) {
      return false;
    }
    i += len;
  }
  return true;
}

// The body of a message: column 2, or the archived string of column 8 when
// column 2 is NULL or empty. Returns false for a text that is not clean
// (invalid bytes, U+FFFD or a zero byte).
bool MessageText(const ParsedRecord& r, const MessageColumns& columns, std::string& text) {
  const int kTextColumn = columns.text, kAttributedBodyColumn = columns.attributedBody;
  text.clear();
  if (r.IsText(kTextColumn)) {
    const RecordColumn& col = r.columns[kTextColumn];
    if (r.encoding == TextEncoding::kUtf8) {
      // The bytes themselves, checked without building a copy first.
      if (!IsCleanUtf8(col.body, col.length)) return false;
      text.assign(reinterpret_cast<const char*>(col.body), col.length);
    } else {
      text = r.AsText(kTextColumn);
      if (HasReplacementOrZero(text)) return false;
    }
  }
  if (text.empty() && r.IsBlob(kAttributedBodyColumn)) {
    const RecordColumn& col = r.columns[kAttributedBodyColumn];
    std::string archived;
    if (ReadAttributedStringText(std::string_view(reinterpret_cast<const char*>(col.body), col.length), archived) &&
        !HasReplacementOrZero(archived)) {
      text = std::move(archived);
    }
  }
  return true;
}

bool IsOne(const ParsedRecord& r, int c) { return r.IsInteger(c) && r.AsInt64(c) == 1; }

bool NonZero(const ParsedRecord& r, int c) {
  return (r.IsInteger(c) && r.AsInt64(c) != 0) || (r.IsReal(c) && r.AsReal(c) != 0.0);
}

// A message's guid as a key (FNV-1a), for the reactions and replies that
// name it; 0 for none.
uint64_t GuidKey(std::string_view guid) {
  if (guid.empty()) return 0;
  uint64_t h = 1469598103934665603ULL;
  for (char c : guid) {
    h ^= static_cast<uint8_t>(c);
    h *= 1099511628211ULL;
  }
  return h ? h : 1;
}

uint64_t TextColumnKey(const ParsedRecord& r, int c, bool afterSlash) {
  if (c < 0 || !r.IsText(c)) return 0;
  const RecordColumn& col = r.columns[c];
  std::string_view text(reinterpret_cast<const char*>(col.body), col.length);
  // A reaction names the part of its message ("p:0/GUID") or its balloon
  // ("bp:GUID").
  if (afterSlash) {
    const size_t slash = text.rfind('/');
    if (slash != std::string_view::npos) {
      text.remove_prefix(slash + 1);
    } else if (text.substr(0, 3) == "bp:") {
      text.remove_prefix(3);
    }
  }
  return GuidKey(text);
}

bool IsReactionType(int64_t type) { return (type >= 2000 && type <= 2005) || (type >= 3000 && type <= 3005); }

// Message flags of current phones.
constexpr uint8_t kEdited = 1, kRetracted = 2;
constexpr char kUnsentText[] = "This message was unsent.";
// One message of the table as the scan keeps it until the joins are ready:
// compact, its date as a key (values.h), its conversation an index into the
// scan's list of handle ids.
struct PendingMessage {
  std::string text;
  int64_t rowId = 0;
  RecoveredFrom recoveredFrom;
  uint64_t dateKey = 0;
  uint64_t guidKey = 0;    // the message's own guid
  uint64_t targetKey = 0;  // a reaction: the message it points at; else the message a reply answers
  uint32_t conversation = 0;
  int16_t reaction = 0;    // associated_message_type of a reaction, else 0
  uint8_t deleted = 0;
  uint8_t fromMe = 0;
  uint8_t flags = 0;       // kEdited, kRetracted
};

// What a message row gives before the joins: the message and its handle id.
struct MessageFields {
  PendingMessage message;
  int64_t handleId = 0;
};

// Reads one message row. A live row without text may still carry an
// attachment (the scan decides after the join). A recovered row must look
// like a message: a text, its guid (column 1, never NULL in the table) and a
// date; bytes read out of step with a record give fragments that fail these.
// The largest rowid counts every row of the table, also one dropped for its
// text: recovered rows are numbered on from it.
Status ReadMessageRow(CDbFileReader& reader, const RowInput& input, ParsedRecord& r, LocalClock& clock,
                      const MessageColumns& col, MessageFields& m, int64_t* maxRowId, int* learnedColumns = nullptr) {
  if (const Status st = ParseMessageRecord(reader, input, r, learnedColumns, col.LayOut()); st != status::kOk) {
    return st;
  }
  if (r.ColumnCount() == 0) return status::kBadData;
  if (maxRowId && r.hasRowid && r.rowid > *maxRowId) *maxRowId = r.rowid;
  PendingMessage& message = m.message;
  if (!MessageText(r, col, message.text)) return status::kBadData;
  if (input.deleted != 0) {
    if (message.text.empty() || !r.IsText(col.guid) || r.SerialType(col.guid) == 13) return status::kBadData;
    if (!NonZero(r, col.date)) return status::kBadData;
  }
  message.deleted = static_cast<uint8_t>(input.deleted);
  message.recoveredFrom = RecoveredFromInput(input);
  message.rowId = r.hasRowid ? r.rowid : 0;
  message.dateKey = DateColumnKey(r, col.date, Epoch::kApple, &clock);
  message.fromMe = IsOne(r, col.fromMe) ? 1 : 0;
  m.handleId = r.IsInteger(col.handle) ? r.AsInt64(col.handle) : 0;
  // The guid tells copies of one message apart from other messages (and is
  // what reactions and replies point at).
  message.guidKey = TextColumnKey(r, col.guid, false);
  message.targetKey = 0;
  message.reaction = 0;
  message.flags = 0;
  if (col.associatedType >= 0 || col.dateEdited >= 0 || col.threadOriginator >= 0) {
    if (col.associatedType >= 0 && r.IsInteger(col.associatedType) && IsReactionType(r.AsInt64(col.associatedType))) {
      message.reaction = static_cast<int16_t>(r.AsInt64(col.associatedType));
      message.targetKey = TextColumnKey(r, col.associatedGuid, true);
    } else {
      message.targetKey = TextColumnKey(r, col.threadOriginator, false);
    }
    if (col.dateEdited >= 0 && NonZero(r, col.dateEdited)) message.flags |= kEdited;
    if (col.dateRetracted >= 0 && NonZero(r, col.dateRetracted)) message.flags |= kRetracted;
  }
  return status::kOk;
}

}  // namespace

std::string_view ReactionMark(int64_t type) {
  if (type >= 3000) type -= 1000;
  switch (type) {
    case 2000: return "\u2665";          // loved
    case 2001: return "\U0001F44D";      // liked
    case 2002: return "\U0001F44E";      // disliked
    case 2003: return "\U0001F602";      // laughed
    case 2004: return "\u203C";          // emphasized
    case 2005: return "?";               // questioned
    default: return {};
  }
}

std::string MessageDisplayText(const MessageRecord& m) {
  std::string text;
  if (!m.replyTo().empty()) text = "Reply to \u201C" + m.replyTo() + "\u201D\n";
  if (!m.text.empty()) {
    text += m.text;
  } else {
    // No text: the attachments' names, never an empty bubble.
    for (size_t i = 0; i < m.attachmentNames().size(); ++i) {
      const std::string& name = m.attachmentNames()[i];
      if (i) text += ", ";
      const size_t slash = name.find_last_of('/');
      text += slash == std::string::npos ? name : name.substr(slash + 1);
    }
    if (m.attachmentNames().empty() && !m.attachmentName.empty()) {
      const size_t slash = m.attachmentName.find_last_of('/');
      text += slash == std::string::npos ? m.attachmentName : m.attachmentName.substr(slash + 1);
    }
  }
  if (m.edited) text += " (Edited)";
  if (!m.reactions().empty()) text += "\n" + m.reactions();
  return text;
}

const std::string& MessageSender(const MessageRecord& m) {
  if (m.group) return m.senderName().empty() ? m.senderAddress() : m.senderName();
  return m.contactName.empty() ? m.address : m.contactName;
}

MessageColumns MessageColumns::From(const ColumnLookup& t) {
  const MessageColumns h = Historical();
  MessageColumns c;
  c.guid = t.Find("guid", h.guid);
  c.text = t.Find("text", h.text);
  c.handle = t.Find("handle_id", h.handle);
  c.attributedBody = t.Find("attributedBody", h.attributedBody);
  c.accountGuid = t.Find("account_guid", h.accountGuid);
  c.date = t.Find("date", h.date);
  c.dateRead = t.Find("date_read", h.dateRead);
  c.isFinished = t.Find("is_finished", h.isFinished);
  c.fromMe = t.Find("is_from_me", h.fromMe);
  c.isRead = t.Find("is_read", h.isRead);
  c.associatedGuid = t.Find("associated_message_guid");
  c.associatedType = t.Find("associated_message_type");
  c.dateEdited = t.Find("date_edited");
  c.dateRetracted = t.Find("date_retracted");
  c.threadOriginator = t.Find("thread_originator_guid");
  return c;
}

int MessageColumns::LayOut() const {
  return 1 + std::max({guid, text, handle, attributedBody, date, fromMe, associatedGuid, associatedType, dateEdited,
                       dateRetracted, threadOriginator});
}

RowDecoder MakeMessageRowDecoder(std::vector<MessageRecord>& sink, int64_t* maxRowId, const MessageColumns& columns) {
  struct State {
    ParsedRecord record;
    LocalClock clock;
    MessageFields fields;
  };
  auto state = std::make_shared<State>();
  return [&sink, maxRowId, state, columns](CDbFileReader& reader, const RowInput& input) -> Status {
    MessageFields& f = state->fields;
    if (const Status st = ReadMessageRow(reader, input, state->record, state->clock, columns, f, maxRowId);
        st != status::kOk) {
      return st;
    }
    MessageRecord& m = sink.emplace_back();
    m.deleted = f.message.deleted;
    m.recoveredFrom = f.message.recoveredFrom;
    m.fromMe = f.message.fromMe;
    m.rowId = f.message.rowId;
    m.handleId = f.handleId;
    m.date = LocalDate(f.message.dateKey);
    m.text = std::move(f.message.text);
    return status::kOk;
  };
}

RowDecoder MakeHandleRowDecoder(std::vector<HandleRecord>& sink, int idColumn) {
  auto record = std::make_shared<ParsedRecord>();
  return [&sink, record, idColumn](CDbFileReader& reader, const RowInput& input) -> Status {
    ParsedRecord& r = *record;
    if (const Status st = ParseRecord(reader, input, r); st != status::kOk) return st;
    if (!r.IsText(idColumn)) return status::kBadData;
    HandleRecord h;
    h.id = r.AsText(idColumn);
    if (h.id.empty()) return status::kBadData;
    h.deleted = input.deleted;
    h.rowId = r.hasRowid ? r.rowid : 0;
    sink.push_back(std::move(h));
    return status::kOk;
  };
}

RowDecoder MakeAttachmentRowDecoder(std::vector<AttachmentRecord>& sink, int fileNameColumn) {
  auto record = std::make_shared<ParsedRecord>();
  return [&sink, record, fileNameColumn](CDbFileReader& reader, const RowInput& input) -> Status {
    ParsedRecord& r = *record;
    if (const Status st = ParseRecord(reader, input, r); st != status::kOk) return st;
    if (!r.IsText(fileNameColumn)) return status::kBadData;
    AttachmentRecord a;
    a.fileName = r.AsText(fileNameColumn);
    if (a.fileName.empty()) return status::kBadData;
    a.deleted = input.deleted;
    a.rowId = r.hasRowid ? r.rowid : 0;
    sink.push_back(std::move(a));
    return status::kOk;
  };
}

RowDecoder MakeAttachmentLinkRowDecoder(std::vector<AttachmentLinkRecord>& sink, int messageColumn,
                                        int attachmentColumn) {
  auto record = std::make_shared<ParsedRecord>();
  return [&sink, record, messageColumn, attachmentColumn](CDbFileReader& reader, const RowInput& input) -> Status {
    ParsedRecord& r = *record;
    if (const Status st = ParseRecord(reader, input, r); st != status::kOk) return st;
    AttachmentLinkRecord link;
    link.deleted = input.deleted;
    link.messageId = r.IsInteger(messageColumn) ? r.AsInt64(messageColumn) : 0;
    link.attachmentId = r.IsInteger(attachmentColumn) ? r.AsInt64(attachmentColumn) : 0;
    sink.push_back(link);
    return status::kOk;
  };
}

void LinkAttachments(std::vector<AttachmentRecord>& attachments, const std::vector<AttachmentLinkRecord>& links) {
  std::unordered_map<int64_t, int64_t> firstLink;  // attachmentId -> messageId of its first link
  firstLink.reserve(links.size());
  for (const AttachmentLinkRecord& l : links) firstLink.emplace(l.attachmentId, l.messageId);
  for (AttachmentRecord& a : attachments) {
    auto it = firstLink.find(a.rowId);
    if (it != firstLink.end()) a.messageId = it->second;
  }
}

void MatchNumbersWrittenOtherwise(const std::vector<std::string>& numbers, const std::vector<std::string_view>& texts,
                                  std::vector<int64_t>& first) {
  std::optional<PhoneNumberIndex> index;
  for (size_t i = 0; i < numbers.size() && i < first.size(); ++i) {
    if (first[i] >= 0 || SignificantDigits(numbers[i]).empty()) continue;
    if (!index) index.emplace(texts);
    first[i] = index->FirstMatching(numbers[i]);
  }
}

std::vector<int64_t> FirstContaining(const std::vector<std::string>& patterns,
                                     const std::vector<std::string_view>& texts) {
  std::vector<int64_t> first(patterns.size(), -1);
  // Trie of the patterns; node 0 is the root.
  struct Node {
    std::vector<std::pair<uint8_t, int>> next;
    int fail = 0;
    int dict = -1;              // nearest node along the fail links that ends patterns
    std::vector<int> patterns;  // patterns ending here
  };
  std::vector<Node> nodes(1);
  auto child = [&](int n, uint8_t b) -> int {
    for (const auto& [byte, to] : nodes[n].next) {
      if (byte == b) return to;
    }
    return -1;
  };
  size_t pending = 0;
  for (size_t p = 0; p < patterns.size(); ++p) {
    if (patterns[p].empty()) continue;
    int n = 0;
    for (char ch : patterns[p]) {
      const uint8_t b = static_cast<uint8_t>(ch);
      int to = child(n, b);
      if (to < 0) {
        to = static_cast<int>(nodes.size());
        nodes[n].next.emplace_back(b, to);
        nodes.emplace_back();
      }
      n = to;
    }
    nodes[n].patterns.push_back(static_cast<int>(p));
    ++pending;
  }
  if (pending == 0) return first;
  // Fail links in breadth-first order.
  std::vector<int> queue;
  queue.reserve(nodes.size());
  for (const auto& edge : nodes[0].next) queue.push_back(edge.second);
  for (size_t qi = 0; qi < queue.size(); ++qi) {
    const int u = queue[qi];
    for (const auto& [b, v] : nodes[u].next) {
      int f = nodes[u].fail;
      int to = child(f, b);
      while (to < 0 && f != 0) {
        f = nodes[f].fail;
        to = child(f, b);
      }
      nodes[v].fail = (to >= 0 && to != v) ? to : 0;
      const int fv = nodes[v].fail;
      nodes[v].dict = !nodes[fv].patterns.empty() ? fv : nodes[fv].dict;
      queue.push_back(v);
    }
  }
  for (size_t t = 0; t < texts.size() && pending > 0; ++t) {
    int state = 0;
    for (char ch : texts[t]) {
      const uint8_t b = static_cast<uint8_t>(ch);
      int to = child(state, b);
      while (to < 0 && state != 0) {
        state = nodes[state].fail;
        to = child(state, b);
      }
      state = to >= 0 ? to : 0;
      for (int n = nodes[state].patterns.empty() ? nodes[state].dict : state; n > 0; n = nodes[n].dict) {
        for (int p : nodes[n].patterns) {
          if (first[p] < 0) {
            first[p] = static_cast<int64_t>(t);
            --pending;
          }
        }
      }
    }
  }
  return first;
}

namespace {

// The joins of one scan, prepared once for the handle ids in use: the
// address and contact name per handle id (the contact search runs once
// over the address book for all distinct addresses), the attachment name
// per message rowid. A message recovered without its rowid (0) cannot be
// told apart from any other such message, and an attachment without a link
// has message id 0: neither is joined.
class MessageJoin {
 public:
  MessageJoin(const std::vector<int64_t>& handleIdsInUse, const std::vector<HandleRecord>& handles,
              const std::vector<ContactRecord>& contacts, const std::vector<AttachmentRecord>& attachments) {
    attachmentNames_.reserve(attachments.size());
    for (const AttachmentRecord& a : attachments) {
      if (a.messageId == 0) continue;
      attachmentNames_[a.messageId].push_back(&a.fileName);
      // Most messages have no attachment: a bit per message id (ids are
      // rowids, dense) answers that without a look into the map.
      if (a.messageId > 0 && a.messageId < kMarkedIds) {
        if (static_cast<size_t>(a.messageId) >= hasAttachment_.size()) {
          hasAttachment_.resize(static_cast<size_t>(a.messageId) + 1, false);
        }
        hasAttachment_[static_cast<size_t>(a.messageId)] = true;
      }
    }
    std::unordered_map<int64_t, const std::string*> handleIds;
    handleIds.reserve(handles.size());
    for (const HandleRecord& h : handles) {
      if (h.rowId != 0) handleIds.emplace(h.rowId, &h.id);
    }
    std::unordered_map<std::string_view, size_t> addressIndex;
    std::vector<std::string> addresses;
    std::vector<size_t> partyAddress;  // parties -> index into addresses
    for (int64_t handleId : handleIdsInUse) {
      if (partyOf_.count(handleId)) continue;
      auto h = handleIds.find(handleId);
      if (h == handleIds.end()) continue;
      partyOf_.emplace(handleId, parties_.size());
      parties_.push_back({h->second, {}});
      auto [it, added] = addressIndex.emplace(*h->second, addresses.size());
      if (added) addresses.push_back(*h->second);
      partyAddress.push_back(it->second);
    }
    if (!addresses.empty() && !contacts.empty()) {
      std::vector<std::string_view> phoneTexts;
      phoneTexts.reserve(contacts.size());
      for (const ContactRecord& c : contacts) phoneTexts.emplace_back(c.phones);
      std::vector<int64_t> first = FirstContaining(addresses, phoneTexts);
      // A number the book writes another way (with or without the country
      // code, spaced): the same number by its significant digits.
      MatchNumbersWrittenOtherwise(addresses, phoneTexts, first);
      for (size_t p = 0; p < parties_.size(); ++p) {
        const int64_t c = first[partyAddress[p]];
        if (c >= 0) parties_[p].contactName = contacts[static_cast<size_t>(c)].name;
      }
    }
  }

  // The other party of a conversation: the handle's address and the name
  // of the first contact whose phone text contains it.
  struct Party {
    const std::string* address = nullptr;
    std::string contactName;
  };
  // The party of a handle id; null when no handle has that rowid.
  const Party* PartyOf(int64_t handleId) const {
    auto p = partyOf_.find(handleId);
    return p == partyOf_.end() ? nullptr : &parties_[p->second];
  }

  // The file names of the attachments linked to the message rowid, in
  // table order; null when none.
  const std::vector<const std::string*>* AttachmentsOf(int64_t rowId) const {
    if (rowId == 0) return nullptr;
    if (rowId > 0 && rowId < kMarkedIds &&
        (static_cast<size_t>(rowId) >= hasAttachment_.size() || !hasAttachment_[static_cast<size_t>(rowId)])) {
      return nullptr;
    }
    auto a = attachmentNames_.find(rowId);
    return a == attachmentNames_.end() ? nullptr : &a->second;
  }
  // The file name of the first attachment linked to the message rowid; null
  // when none.
  const std::string* AttachmentOf(int64_t rowId) const {
    const std::vector<const std::string*>* all = AttachmentsOf(rowId);
    return all ? all->front() : nullptr;
  }

  void Apply(MessageRecord& m, const Party* party) const {
    m.address.clear();
    m.contactName.clear();
    m.attachmentName.clear();
    if (m.details) m.details->attachmentNames.clear();
    if (const auto* all = AttachmentsOf(m.rowId)) {
      m.attachmentName = *all->front();
      for (const std::string* name : *all) m.Detail().attachmentNames.push_back(*name);
    }
    if (party) {
      m.address = *party->address;
      m.contactName = party->contactName;
    }
  }

 private:
  static constexpr int64_t kMarkedIds = int64_t{1} << 26;
  std::unordered_map<int64_t, std::vector<const std::string*>> attachmentNames_;
  std::vector<bool> hasAttachment_;  // by message id below kMarkedIds
  std::unordered_map<int64_t, size_t> partyOf_;  // handleId -> index into parties_
  std::vector<Party> parties_;
};

// The pending messages in table order, in blocks (the store grows without
// copying what it holds). A store appended to another keeps its blocks, and
// with them the conversation numbers of its own tally: such a block names
// the mapping from those numbers to the ones of the store it joined.
class PendingMessages {
 public:
  using Mapping = std::shared_ptr<const std::vector<uint32_t>>;

  PendingMessage& Add() {
    // A block from another store keeps its own numbering: what this store
    // adds goes to a block of its own.
    if (blocks_.empty() || blocks_.back().count == kBlock || blocks_.back().conversations) {
      blocks_.push_back({std::make_unique<PendingMessage[]>(kBlock), 0, nullptr});
    }
    ++size_;
    Block& block = blocks_.back();
    return block.messages[block.count++];
  }
  size_t Size() const { return size_; }

  static constexpr size_t kBlock = 16384;

  size_t Blocks() const { return blocks_.size(); }

  // Appends the blocks of `later` after these, without moving a message;
  // `mapping` takes later's conversation numbers to this store's. `later`
  // is empty afterwards.
  void Splice(PendingMessages&& later, const std::vector<uint32_t>& mapping) {
    const auto shared = std::make_shared<const std::vector<uint32_t>>(mapping);
    Mapping before, both;  // the last mapping met in `later`, and it followed by `mapping`
    for (Block& block : later.blocks_) {
      if (!block.conversations) {
        block.conversations = shared;
      } else {
        // Numbered for a store appended to `later` before: both mappings.
        if (block.conversations != before) {
          before = block.conversations;
          std::vector<uint32_t> composed(before->size());
          for (size_t c = 0; c < composed.size(); ++c) composed[c] = mapping[(*before)[c]];
          both = std::make_shared<const std::vector<uint32_t>>(std::move(composed));
        }
        block.conversations = both;
      }
      blocks_.push_back(std::move(block));
    }
    size_ += later.size_;
    later.Clear();
  }

  // Hands the messages of the blocks [begin, end) to `f(message,
  // conversation)` in order, freeing each block after it (two threads may
  // drain different blocks).
  template <class F>
  void DrainBlocks(size_t begin, size_t end, F&& f) {
    for (size_t b = begin; b < end && b < blocks_.size(); ++b) {
      Block& block = blocks_[b];
      const std::vector<uint32_t>* mapping = block.conversations.get();
      for (size_t i = 0; i < block.count; ++i) {
        PendingMessage& m = block.messages[i];
        f(m, mapping ? (*mapping)[m.conversation] : m.conversation);
      }
      block.messages.reset();
    }
  }
  // Counts the messages of the blocks [begin, end) per conversation into
  // `counts`.
  void CountBlocks(size_t begin, size_t end, std::vector<uint32_t>& counts) const {
    for (size_t b = begin; b < end && b < blocks_.size(); ++b) {
      const Block& block = blocks_[b];
      const std::vector<uint32_t>* mapping = block.conversations.get();
      for (size_t i = 0; i < block.count; ++i) {
        const uint32_t c = block.messages[i].conversation;
        ++counts[mapping ? (*mapping)[c] : c];
      }
    }
  }
  void Clear() {
    blocks_.clear();
    size_ = 0;
  }

 private:
  struct Block {
    std::unique_ptr<PendingMessage[]> messages;
    size_t count = 0;       // filled from the start
    Mapping conversations;  // null: numbered for this store
  };
  std::vector<Block> blocks_;
  size_t size_ = 0;
};

// The pending messages in conversation order while the records are built:
// blocks of storage that the grouping fills at any position, each position
// once. Nothing is constructed beforehand, so a block's memory is first
// touched by the moves that fill it, on the thread that makes them, rather
// than by one thread before the grouping starts.
class PlacedMessages {
 public:
  static constexpr size_t kBlock = PendingMessages::kBlock;

  PlacedMessages() = default;
  PlacedMessages(const PlacedMessages&) = delete;
  PlacedMessages& operator=(const PlacedMessages&) = delete;
  ~PlacedMessages() {
    for (size_t b = 0; b < blocks_.size(); ++b) FreeBlock(b);
  }

  // Storage for `n` messages.
  void Reserve(size_t n) {
    for (size_t b = 0; b < blocks_.size(); ++b) FreeBlock(b);
    blocks_.clear();
    for (size_t b = 0; b * kBlock < n; ++b) blocks_.push_back(std::allocator<PendingMessage>().allocate(kBlock));
    placed_.assign(n, 0);
    size_ = n;
  }
  // Moves `m` to position i. Two threads may place at different positions.
  void Place(size_t i, PendingMessage&& m) {
    if (placed_[i]) {
      At(i) = std::move(m);
      return;
    }
    std::construct_at(&At(i), std::move(m));
    placed_[i] = 1;
  }
  // Default messages wherever nothing was placed, so that every position
  // can be read.
  void FillUnplaced() {
    for (size_t i = 0; i < size_; ++i) {
      if (!placed_[i]) Place(i, PendingMessage());
    }
  }
  PendingMessage& operator[](size_t i) { return At(i); }
  // Frees the block of positions [b * kBlock, (b + 1) * kBlock) once they
  // are no longer needed (two threads may free different blocks).
  void FreeBlock(size_t b) {
    PendingMessage* block = blocks_[b];
    if (!block) return;
    const size_t end = std::min(size_, (b + 1) * kBlock);
    for (size_t i = b * kBlock; i < end; ++i) {
      if (placed_[i]) std::destroy_at(&block[i - b * kBlock]);
    }
    std::allocator<PendingMessage>().deallocate(block, kBlock);
    blocks_[b] = nullptr;
  }

 private:
  PendingMessage& At(size_t i) { return blocks_[i / kBlock][i % kBlock]; }

  std::vector<PendingMessage*> blocks_;
  std::vector<uint8_t> placed_;  // 1 where a message was constructed
  size_t size_ = 0;
};

// A conversation as the table is read: its handle id, how many messages it
// has, and whether their date keys came in ascending order (the usual case:
// a phone stores messages as they come; recovered rows, read last, are the
// usual exception).
struct ConversationTally {
  int64_t handleId = 0;
  uint32_t count = 0;
  uint64_t lastKey = 0;
  bool inOrder = true;
};

// The chats of current phones: which messages sit in a group chat, and
// which in the phone's "Recently Deleted". Read beside the message table.
struct ChatTables {
  struct Chat {
    bool group = false;
    std::string displayName;
    std::vector<int64_t> members;  // handle ids, in table order
  };
  std::unordered_map<int64_t, Chat> chats;             // by chat rowid
  std::unordered_map<int64_t, int64_t> groupOfMessage;  // message rowid -> group chat rowid
  std::unordered_map<int64_t, int64_t> recoverable;     // message rowid -> chat rowid
  std::vector<std::string> unreadable;                  // tables that could not be read

  bool Empty() const { return groupOfMessage.empty() && recoverable.empty(); }

  void Read(CDbFileReader& reader, const std::filesystem::path& smsDb) {
    const ColumnLookup chat = ColumnLookup::Load(smsDb, "chat");
    // Without a schema there is no telling a chat table of this shape: the
    // chats are an addition of current phones, read by name only.
    if (!chat.HasSchema()) return;
    constexpr int64_t kGroupStyle = 43;
    const int style = chat.Find("style"), displayName = chat.Find("display_name");
    ParsedRecord r;
    Status st = ScanTable(reader, "chat", [&](CDbFileReader& rd, const RowInput& in) -> Status {
      if (const Status parsed = ParseRecord(rd, in, r); parsed != status::kOk) return parsed;
      if (!r.hasRowid || in.deleted) return status::kBadData;
      Chat c;
      c.group = style >= 0 && r.IsInteger(style) && r.AsInt64(style) == kGroupStyle;
      if (displayName >= 0 && r.IsText(displayName)) {
        c.displayName = r.AsText(displayName);
        if (HasReplacementOrZero(c.displayName)) c.displayName.clear();
      }
      chats.emplace(r.rowid, std::move(c));
      return status::kOk;
    });
    if (st != status::kOk) unreadable.push_back("chat");
    // The two columns of a join table, by name.
    auto pairs = [&](const char* table, const char* first, const char* second, auto&& take) {
      const ColumnLookup t = ColumnLookup::Load(smsDb, table);
      if (!t.HasSchema()) return;
      const int a = t.Find(first), b = t.Find(second);
      if (a < 0 || b < 0) {
        unreadable.push_back(table);
        return;
      }
      const Status read = ScanTable(reader, table, [&](CDbFileReader& rd, const RowInput& in) -> Status {
        if (const Status parsed = ParseRecord(rd, in, r); parsed != status::kOk) return parsed;
        if (in.deleted || !r.IsInteger(a) || !r.IsInteger(b)) return status::kBadData;
        take(r.AsInt64(a), r.AsInt64(b));
        return status::kOk;
      });
      if (read != status::kOk) unreadable.push_back(table);
    };
    pairs("chat_handle_join", "chat_id", "handle_id", [&](int64_t chatId, int64_t handleId) {
      auto it = chats.find(chatId);
      if (it != chats.end() && it->second.group) it->second.members.push_back(handleId);
    });
    pairs("chat_message_join", "chat_id", "message_id", [&](int64_t chatId, int64_t messageId) {
      // A join row naming a chat that is not there leaves the message with
      // its handle.
      auto it = chats.find(chatId);
      if (it != chats.end() && it->second.group) groupOfMessage.emplace(messageId, chatId);
    });
    pairs("chat_recoverable_message_join", "chat_id", "message_id",
          [&](int64_t chatId, int64_t messageId) { recoverable.emplace(messageId, chatId); });
  }
};

// The tables the joins need besides the message table: the handles, the
// attachments with their links, and the address book's contacts. They are
// read with their own readers, so this can run beside the message table.
struct JoinTables {
  std::vector<HandleRecord> handles;
  std::vector<AttachmentRecord> attachments;
  std::vector<ContactRecord> contacts;
  ChatTables chats;

  // `stop` is looked at between the tables. Page read errors of single
  // tables leave fewer rows, not a failed scan; the contact names are a
  // bonus: without a readable address book they stay empty.
  void Read(const std::filesystem::path& smsDb, const std::filesystem::path& addressBook,
            const std::atomic<bool>& stop) {
    // The address book first, with a reader of its own: the message
    // database is being carved beside the message table, and its tables
    // here would wait for that carve at their first deleted row.
    {
      CDbFileReader book;
      if (book.Open(addressBook) == status::kOk) ReadAddressBook(book, addressBook, contacts);
    }
    if (stop) return;
    CDbFileReader reader;
    if (reader.Open(smsDb) != status::kOk) return;
    ScanTable(reader, "handle", MakeHandleRowDecoder(handles, ColumnLookup::Load(smsDb, "handle").Find("id", 1)));
    if (stop) return;
    ScanTable(reader, "attachment",
              MakeAttachmentRowDecoder(attachments, ColumnLookup::Load(smsDb, "attachment").Find("filename", 4)));
    if (stop) return;
    std::vector<AttachmentLinkRecord> links;
    const ColumnLookup linkColumns = ColumnLookup::Load(smsDb, "message_attachment_join");
    ScanTable(reader, "message_attachment_join",
              MakeAttachmentLinkRowDecoder(links, linkColumns.Find("message_id", 0),
                                           linkColumns.Find("attachment_id", 1)));
    LinkAttachments(attachments, links);
    if (stop) return;
    chats.Read(reader, smsDb);
  }
};

// Messages read into pending messages, counted per conversation.
struct MessageTable {
  PendingMessages pending;
  std::vector<ConversationTally> tallies;
  int64_t largestRowId = 0;

  void Add(MessageFields& fields) {
    const uint32_t c = ConversationOf(fields.handleId);
    ConversationTally& tally = tallies[c];
    ++tally.count;
    if (fields.message.dateKey < tally.lastKey) tally.inOrder = false;
    tally.lastKey = fields.message.dateKey;
    PendingMessage& p = pending.Add();
    p = std::move(fields.message);
    p.conversation = c;
  }

  // Appends the messages of `later` (read after these in table order),
  // taking over its store.
  void Append(MessageTable&& later) {
    largestRowId = std::max(largestRowId, later.largestRowId);
    std::vector<uint32_t> mapped(later.tallies.size());
    for (size_t c = 0; c < later.tallies.size(); ++c) {
      const ConversationTally& t = later.tallies[c];
      mapped[c] = ConversationOf(t.handleId);
      ConversationTally& into = tallies[mapped[c]];
      // Order across the two parts is left to the sort (a list in order
      // sorts to itself).
      into.inOrder = into.count == 0 && t.inOrder;
      into.count += t.count;
      into.lastKey = t.lastKey;
    }
    pending.Splice(std::move(later.pending), mapped);
    later.tallies.clear();
  }

 private:
  uint32_t ConversationOf(int64_t id) {
    uint32_t* slot;
    if (id >= 0 && id < kDirectHandles) {
      if (static_cast<size_t>(id) >= direct_.size()) direct_.resize(static_cast<size_t>(id) + 1, 0);
      slot = &direct_[static_cast<size_t>(id)];
    } else {
      slot = &others_[id];
    }
    if (*slot == 0) {
      tallies.push_back({id, 0, 0, true});
      *slot = static_cast<uint32_t>(tallies.size());
    }
    return *slot - 1;
  }

  // Handle ids are the handle table's rowids, small and dense: a direct
  // table finds a conversation without a hash map.
  static constexpr int64_t kDirectHandles = 1 << 16;
  std::vector<uint32_t> direct_;  // handle id -> conversation index + 1
  std::unordered_map<int64_t, uint32_t> others_;
};

// One decoder's state: its own record, clock and fields, so that two can
// run at once.
struct MessageDecoding {
  explicit MessageDecoding(const MessageColumns& c) : columns(c) {}
  const MessageColumns& columns;
  ParsedRecord record;
  LocalClock clock;
  MessageFields fields;
  int learnedColumns = -1;  // -1: no live row parsed

  RowDecoder Into(MessageTable& table, bool leaveReaderAlone) {
    return [this, &table, leaveReaderAlone](CDbFileReader& reader, const RowInput& input) -> Status {
      if (const Status st = ReadMessageRow(reader, input, record, clock, columns, fields, &table.largestRowId,
                                           leaveReaderAlone ? &learnedColumns : nullptr);
          st != status::kOk) {
        return st;
      }
      table.Add(fields);
      return status::kOk;
    };
  }
};

// Reads the message table, every stage in two halves at once: the first
// into `table`, the second into a table of its own appended to it.
Status ReadMessageTable(CDbFileReader& reader, MessageTable& table, const MessageColumns& columns) {
  MessageDecoding main(columns), first(columns), second(columns);
  MessageTable later;
  DecoderHalves halves;
  // The reader's count before a count learned ahead replaced it.
  std::optional<int> columnsBefore;
  halves.first = first.Into(table, true);
  halves.second = second.Into(later, true);
  halves.joined = [&](bool firstComplete) {
    // What one decoder would have left: the column count of the last live
    // row, and no row after a page it could not read.
    if (!firstComplete) later = MessageTable();
    if (firstComplete && second.learnedColumns >= 0) {
      reader.messageColumns = second.learnedColumns;
    } else if (first.learnedColumns >= 0) {
      reader.messageColumns = first.learnedColumns;
    } else if (columnsBefore) {
      reader.messageColumns = *columnsBefore;  // no live row told: as before
    }
    columnsBefore.reset();
    first.learnedColumns = second.learnedColumns = -1;
    table.Append(std::move(later));
    later = MessageTable();
  };
  // The in-tree search uses the column count of the last live row in table
  // order: the last cell of the last leaf that parses (most often the very
  // last one) gives it before the rows are read.
  int learnedAhead = -1;
  halves.learnAhead = [&](CDbFileReader& r, const PageCellMap& live) {
    constexpr int kPagesBack = 4;  // beyond: tell nothing, search on its own
    std::vector<uint8_t> page(r.pageSize);
    ParsedRecord record;
    int pages = 0;
    for (auto it = live.rbegin(); it != live.rend() && pages < kPagesBack; ++it, ++pages) {
      if (it->second.empty()) continue;
      if (r.ReadPage(it->first, page.data()) != status::kOk) return false;
      for (auto cell = it->second.rbegin(); cell != it->second.rend(); ++cell) {
        if (*cell >= r.usableSize) continue;
        RowInput in;
        in.record = page.data() + *cell;
        in.bytesToEnd = r.usableSize - *cell;
        in.pageIndex = it->first;
        in.offset = *cell;
        int learned = -1;
        if (ParseMessageRecord(r, in, record, &learned, columns.LayOut()) == status::kOk) {
          learnedAhead = learned;
          columnsBefore = r.messageColumns;
          r.messageColumns = learned;
          return true;
        }
      }
    }
    return false;
  };
  halves.learnedAheadHeld = [&](const CDbFileReader& r) { return r.messageColumns == learnedAhead; };
  MessageDecoding searchFirst(columns), searchSecond(columns);
  MessageTable foundFirst, foundSecond;
  halves.searchFirst = searchFirst.Into(foundFirst, true);
  halves.searchSecond = searchSecond.Into(foundSecond, true);
  halves.searchJoined = [&](bool firstComplete, bool keep) {
    if (keep) {
      table.Append(std::move(foundFirst));
      if (firstComplete) table.Append(std::move(foundSecond));
    }
    foundFirst = MessageTable();
    foundSecond = MessageTable();
  };
  ScanOptions options;
  options.halves = &halves;
  return ScanTable(reader, "message", main.Into(table, false), options);
}

// Builds the conversations' lists from the pending messages: each record
// once, in its place in a list of the conversation's exact size, dated,
// joined and in date order.
class ConversationBuilder {
 public:
  ConversationBuilder(const std::vector<ConversationTally>& tallies, bool tracking)
      : tallies_(tallies), tracking_(tracking) {
    first_.assign(tallies_.size() + 1, 0);
    for (size_t c = 0; c < tallies_.size(); ++c) first_[c + 1] = first_[c] + tallies_[c].count;
    lists_.resize(tallies_.size());
    if (tracking_) tracked_.resize(tallies_.size());
  }

  // Moves the pending messages into conversation order (table order within
  // each), freeing the table-order store block by block as it empties: the
  // first half of the blocks here, the second beside it.
  void Group(PendingMessages& pending) {
    grouped_.Reserve(pending.Size());
    const size_t blocks = pending.Blocks(), split = blocks / 2;
    std::vector<uint32_t> nextFirst(first_.begin(), first_.end() - 1);
    RunBeside(
        [&] {
          // The second half's messages of a conversation are its last ones:
          // they start as many places before the next conversation as the
          // half holds of them.
          std::vector<uint32_t> nextSecond(tallies_.size(), 0);
          pending.CountBlocks(split, blocks, nextSecond);
          for (size_t c = 0; c < nextSecond.size(); ++c) nextSecond[c] = first_[c + 1] - nextSecond[c];
          pending.DrainBlocks(split, blocks, [&](PendingMessage& p, uint32_t c) {
            grouped_.Place(nextSecond[c]++, std::move(p));
          });
        },
        [&] {
          pending.DrainBlocks(0, split, [&](PendingMessage& p, uint32_t c) { grouped_.Place(nextFirst[c]++, std::move(p)); });
        });
    pending.Clear();
    grouped_.FillUnplaced();
  }

  // Builds every conversation on two threads, which take the conversations
  // one after the other as they come free. A block of pending messages is
  // freed as soon as every message in it has been built.
  void Build(const MessageJoin& join) {
    constexpr size_t kBlock = PlacedMessages::kBlock;
    const size_t total = first_.back();
    std::vector<std::atomic<size_t>> unbuilt((total + kBlock - 1) / kBlock);
    for (size_t b = 0; b < unbuilt.size(); ++b) unbuilt[b] = std::min(kBlock, total - b * kBlock);
    std::atomic<size_t> next{0};
    auto work = [&] {
      for (size_t c = next++; c < lists_.size(); c = next++) {
        BuildOne(join, c);
        for (size_t from = first_[c], to = first_[c + 1]; from < to;) {
          const size_t b = from / kBlock, end = std::min<size_t>(to, (b + 1) * kBlock);
          if (unbuilt[b].fetch_sub(end - from) == end - from) grouped_.FreeBlock(b);
          from = end;
        }
      }
    };
    RunBeside(work, work);
  }

  // Hands the lists over, appending to what the map holds already.
  void MoveInto(ConversationMap& conversations) {
    for (auto& [key, list] : groupLists_) {
      std::vector<MessageRecord>& target = conversations[key];
      std::move(list.begin(), list.end(), std::back_inserter(target));
    }
    groupLists_.clear();
    for (size_t c = 0; c < lists_.size(); ++c) {
      std::vector<MessageRecord>& list = lists_[c];
      if (list.empty()) continue;
      std::vector<MessageRecord>& target = conversations[tallies_[c].handleId];
      if (target.empty()) {
        target = std::move(list);
      } else {
        target.reserve(target.size() + list.size());
        std::move(list.begin(), list.end(), std::back_inserter(target));
        std::vector<MessageRecord>().swap(list);
      }
    }
  }

 private:
  void BuildOne(const MessageJoin& join, size_t c) {
    const ConversationTally& tally = tallies_[c];
    const uint32_t begin = first_[c], n = tally.count;
    // By date, stably: equal keys keep their table order (the position).
    std::vector<std::pair<uint64_t, uint32_t>> byDate;
    if (!tally.inOrder) {
      byDate.reserve(n);
      for (uint32_t k = 0; k < n; ++k) byDate.emplace_back(grouped_[begin + k].dateKey, begin + k);
      std::sort(byDate.begin(), byDate.end());
    }
    std::vector<MessageRecord>& list = lists_[c];
    list.reserve(n);
    const MessageJoin::Party* party = join.PartyOf(tally.handleId);
    // A message's guid is its own. A recovered record with the guid and the
    // text of a message still in the table is an older copy of that record
    // (left in free space when its page was rebuilt, its tail overwritten
    // since), not a message the user deleted. Recovered copies with one guid
    // and one text (found by two searches, one of them without the rowid, or
    // differing only in columns a message does not show) are one message,
    // shown once, by the copy that kept its rowid. A copy with another text
    // is an older version and stays.
    auto copyKey = [](const PendingMessage& p) {
      return p.guidKey ^ (std::hash<std::string>()(p.text) * 0x9E3779B97F4A7C15ULL);
    };
    std::unordered_set<uint64_t> liveCopies;             // guid and text of the live messages
    std::unordered_map<uint64_t, uint32_t> shownCopies;  // guid and text -> the recovered copy shown
    bool anyDeleted = false;
    for (uint32_t k = 0; k < n && !anyDeleted; ++k) anyDeleted = grouped_[begin + k].deleted != 0;
    for (uint32_t k = 0; k < n && anyDeleted; ++k) {
      const PendingMessage& p = grouped_[begin + k];
      if (!p.guidKey) continue;
      if (!p.deleted) {
        liveCopies.insert(copyKey(p));
        continue;
      }
      const auto [it, added] = shownCopies.try_emplace(copyKey(p), begin + k);
      if (!added && p.rowId != 0 && grouped_[it->second].rowId == 0) it->second = begin + k;
    }
    auto shown = [&](const PendingMessage& p) {
      if (!p.deleted || !p.guidKey || shownCopies.empty()) return true;
      const uint64_t key = copyKey(p);
      const auto copy = shownCopies.find(key);
      return !liveCopies.count(key) && (copy == shownCopies.end() || &grouped_[copy->second] == &p);
    };
    for (uint32_t k = 0; k < n; ++k) {
      PendingMessage& p = grouped_[byDate.empty() ? begin + k : byDate[k].second];
      if (!shown(p)) continue;
      const std::vector<const std::string*>* attachments = join.AttachmentsOf(p.rowId);
      // U+FFFC stands in the text where an attachment sits.
      if (attachments && OnlyAttachmentMarks(p.text)) p.text.clear();
      const bool unsent = (p.flags & kRetracted) || ((p.flags & kEdited) && p.text.empty());
      // A live message without text is kept for its attachment only.
      if (p.text.empty() && !attachments && !unsent) continue;
      const uint32_t index = static_cast<uint32_t>(list.size());
      MessageRecord& m = list.emplace_back();
      m.deleted = p.deleted;
      m.recoveredFrom = p.recoveredFrom;
      m.fromMe = p.fromMe;
      m.rowId = p.rowId;
      m.handleId = tally.handleId;
      m.date = LocalDate(p.dateKey);
      if (party) {
        m.address = *party->address;
        m.contactName = party->contactName;
      }
      m.text = std::move(p.text);
      if (attachments) {
        m.attachmentName = *attachments->front();
        for (const std::string* name : *attachments) m.Detail().attachmentNames.push_back(*name);
      }
      if (unsent) {
        m.unsent = true;
        m.text = kUnsentText;
      } else if (p.flags & kEdited) {
        m.edited = true;
      }
      if (tracking_) {
        Tracked& t = tracked_[c];
        t.guidKeys.push_back(p.guidKey);
        if (p.reaction != 0) {
          const std::string who = p.fromMe ? std::string("Me")
                                  : !m.contactName.empty() ? m.contactName
                                                           : m.address;
          t.reactions.push_back({p.targetKey, p.dateKey, index, p.reaction, who});
        } else if (p.targetKey != 0) {
          t.replies.push_back({p.targetKey, index});
        }
      }
    }
  }

 public:
  // What the records of current phones add after they are built: reactions
  // moved onto the messages they point at, replies naming the message they
  // answer, the messages of "Recently Deleted" marked, and the messages of
  // group chats moved into conversations of their own.
  void Finish(const MessageJoin& join, const ChatTables& chats) {
    if (tracking_) ApplyReactionsAndReplies();
    if (!chats.Empty()) Regroup(join, chats);
  }

 private:
  struct Reaction {
    uint64_t target = 0;
    uint64_t dateKey = 0;
    uint32_t index = 0;  // of the reaction's own record in its list
    int16_t type = 0;
    std::string who;
  };
  struct Reply {
    uint64_t target = 0;
    uint32_t index = 0;
  };
  // Per conversation, filled by the thread that builds it.
  struct Tracked {
    std::vector<uint64_t> guidKeys;  // of each record of the list
    std::vector<Reaction> reactions;
    std::vector<Reply> replies;
  };

  static bool OnlyAttachmentMarks(std::string_view text) {
    static constexpr std::string_view kMark = "\xEF\xBF\xBC";
    for (size_t i = 0; i < text.size();) {
      if (text.substr(i, kMark.size()) == kMark) {
        i += kMark.size();
      } else if (text[i] == ' ' || text[i] == '\n') {
        ++i;
      } else {
        return false;
      }
    }
    return true;
  }

  void ApplyReactionsAndReplies() {
    std::unordered_map<uint64_t, std::pair<uint32_t, uint32_t>> targets;  // guid key -> (list, index)
    std::vector<std::pair<uint32_t, const Reaction*>> reactions;
    for (size_t c = 0; c < tracked_.size(); ++c) {
      for (const Reaction& r : tracked_[c].reactions) {
        if (r.target) targets.emplace(r.target, std::pair<uint32_t, uint32_t>(UINT32_MAX, 0));
        reactions.emplace_back(static_cast<uint32_t>(c), &r);
      }
      for (const Reply& r : tracked_[c].replies) targets.emplace(r.target, std::pair<uint32_t, uint32_t>(UINT32_MAX, 0));
    }
    if (targets.empty()) return;
    for (size_t c = 0; c < tracked_.size(); ++c) {
      const std::vector<uint64_t>& keys = tracked_[c].guidKeys;
      for (size_t i = 0; i < keys.size(); ++i) {
        auto it = keys[i] ? targets.find(keys[i]) : targets.end();
        if (it != targets.end() && it->second.first == UINT32_MAX) it->second = {static_cast<uint32_t>(c), static_cast<uint32_t>(i)};
      }
    }
    auto find = [&](uint64_t key) -> MessageRecord* {
      auto it = targets.find(key);
      if (it == targets.end() || it->second.first == UINT32_MAX) return nullptr;
      return &lists_[it->second.first][it->second.second];
    };
    // In the order they were made, so that a removal takes back what was added.
    std::stable_sort(reactions.begin(), reactions.end(),
                     [](const auto& a, const auto& b) { return a.second->dateKey < b.second->dateKey; });
    std::map<MessageRecord*, std::vector<std::pair<std::string_view, std::string>>> marks;
    std::vector<std::vector<uint32_t>> drop(lists_.size());
    for (const auto& [c, r] : reactions) {
      MessageRecord* target = find(r->target);
      // A reaction to a message that is not there stays a message of its own.
      if (!target) continue;
      drop[c].push_back(r->index);
      std::vector<std::pair<std::string_view, std::string>>& on = marks[target];
      const std::string_view mark = ReactionMark(r->type);
      if (r->type >= 3000) {
        std::erase_if(on, [&](const auto& e) { return e.first == mark && e.second == r->who; });
      } else {
        on.emplace_back(mark, r->who);
      }
    }
    for (auto& [target, on] : marks) {
      for (const auto& [mark, who] : on) {
        std::string& all = target->Detail().reactions;
        if (!all.empty()) all += ", ";
        all += std::string(mark) + " " + who;
      }
    }
    for (size_t c = 0; c < tracked_.size(); ++c) {
      for (const Reply& r : tracked_[c].replies) {
        const MessageRecord* target = find(r.target);
        if (!target) continue;
        lists_[c][r.index].Detail().replyTo = Excerpt(target->text);
      }
    }
    // The reactions that found their message leave the lists last, so that
    // the indices above held.
    for (size_t c = 0; c < drop.size(); ++c) {
      if (drop[c].empty()) continue;
      std::sort(drop[c].begin(), drop[c].end());
      std::vector<MessageRecord>& list = lists_[c];
      size_t out = 0, d = 0;
      for (size_t i = 0; i < list.size(); ++i) {
        if (d < drop[c].size() && drop[c][d] == i) {
          ++d;
          continue;
        }
        if (out != i) list[out] = std::move(list[i]);
        ++out;
      }
      list.resize(out);
    }
  }

  // The first 60 characters of a text (whole UTF-8 sequences), with "…"
  // when cut.
  static std::string Excerpt(const std::string& text) {
    constexpr size_t kCharacters = 60;
    size_t i = 0, n = 0;
    while (i < text.size() && n < kCharacters) {
      const uint8_t b = static_cast<uint8_t>(text[i]);
      i += b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
      ++n;
    }
    if (i >= text.size()) return text;
    return text.substr(0, i) + "\u2026";
  }

  void Regroup(const MessageJoin& join, const ChatTables& chats) {
    std::map<int64_t, std::vector<MessageRecord>> groups;  // by chat rowid
    for (std::vector<MessageRecord>& list : lists_) {
      size_t out = 0;
      for (size_t i = 0; i < list.size(); ++i) {
        MessageRecord& m = list[i];
        int64_t chat = 0;
        if (m.rowId != 0) {
          if (auto r = chats.recoverable.find(m.rowId); r != chats.recoverable.end()) {
            // In "Recently Deleted": shown as deleted, in its chat.
            m.deleted = 1;
            m.recentlyDeleted = true;
            auto c = chats.chats.find(r->second);
            if (c != chats.chats.end() && c->second.group) chat = r->second;
          } else if (auto g = chats.groupOfMessage.find(m.rowId); g != chats.groupOfMessage.end()) {
            chat = g->second;
          }
        }
        if (chat == 0) {
          if (out != i) list[out] = std::move(m);
          ++out;
          continue;
        }
        m.group = true;
        m.Detail().senderName = m.contactName.empty() ? m.address : m.contactName;
        m.Detail().senderAddress = m.address;
        m.Detail().senderHandleId = m.handleId;
        groups[chat].push_back(std::move(m));
      }
      list.resize(out);
    }
    for (auto& [chatId, list] : groups) {
      const ChatTables::Chat& chat = chats.chats.at(chatId);
      std::string label = chat.displayName, addresses;
      std::string names;
      for (int64_t member : chat.members) {
        const MessageJoin::Party* party = join.PartyOf(member);
        if (!party) continue;
        if (!addresses.empty()) addresses += ", ";
        addresses += *party->address;
        if (!names.empty()) names += ", ";
        names += party->contactName.empty() ? *party->address : party->contactName;
      }
      if (label.empty()) label = names;
      const int64_t key = GroupConversationKey(chatId);
      for (MessageRecord& m : list) {
        m.handleId = key;
        m.contactName = label;
        m.address = addresses;
      }
      std::stable_sort(list.begin(), list.end(),
                       [](const MessageRecord& a, const MessageRecord& b) { return a.date < b.date; });
      groupLists_.emplace_back(key, std::move(list));
    }
  }

  const std::vector<ConversationTally>& tallies_;
  std::vector<uint32_t> first_;  // position of each conversation's first message in grouped_
  PlacedMessages grouped_;       // the pending messages in conversation order
  std::vector<std::vector<MessageRecord>> lists_;
  bool tracking_ = false;        // the table has the columns of reactions, edits or replies
  std::vector<Tracked> tracked_;
  std::vector<std::pair<int64_t, std::vector<MessageRecord>>> groupLists_;
};

}  // namespace

void JoinMessages(std::vector<MessageRecord>& messages, const std::vector<HandleRecord>& handles,
                  const std::vector<ContactRecord>& contacts, const std::vector<AttachmentRecord>& attachments) {
  std::vector<int64_t> inUse;
  inUse.reserve(messages.size());
  for (const MessageRecord& m : messages) inUse.push_back(m.handleId);
  const MessageJoin join(inUse, handles, contacts, attachments);
  for (MessageRecord& m : messages) join.Apply(m, join.PartyOf(m.handleId));
}

Status ScanMessages(const std::filesystem::path& smsDb, const std::filesystem::path& addressBook,
                    ConversationMap& conversations, int64_t& maxRowId, const ScanProgress& progress,
                    ProblemLog* problems) {
  CDbFileReader reader;
  Status result = reader.Open(smsDb);
  int cancel = 0;
  if (result == status::kOk) {
    // The message table is read into compact pending messages while the
    // tables of the joins are read beside it; then each record is built
    // once, the conversations split between two threads.
    MessageTable table;
    JoinTables joinTables;
    const MessageColumns columns = MessageColumns::From(ColumnLookup::Load(smsDb, "message"));
    // The joins are prepared beside the message table too, for every handle
    // of the handle table (the messages name no other).
    std::optional<MessageJoin> join;
    std::atomic<bool> stop{false};
    RunBeside([&] {
                joinTables.Read(smsDb, addressBook, stop);
                if (stop) return;
                std::vector<int64_t> handleIds;
                handleIds.reserve(joinTables.handles.size());
                for (const HandleRecord& h : joinTables.handles) handleIds.push_back(h.rowId);
                join.emplace(handleIds, joinTables.handles, joinTables.contacts, joinTables.attachments);
              },
              [&] {
                ReadMessageTable(reader, table, columns);
                // A stop asked for here ends the reading beside at its next
                // table.
                cancel = progress.Report(1, 5);
                if (cancel != 0) stop = true;
              });
    maxRowId = table.largestRowId;
    // Steps stop as soon as the callback answers non-zero; what was read is
    // then dropped and the map stays unchanged.
    for (int denominator : {4, 3, 2}) {
      if (cancel != 0) break;
      cancel = progress.Report(1, denominator);
    }
    if (cancel == 0) {
      if (!join) join.emplace(std::vector<int64_t>(), joinTables.handles, joinTables.contacts, joinTables.attachments);
      const bool tracking = columns.associatedType >= 0 || columns.dateEdited >= 0 || columns.threadOriginator >= 0;
      ConversationBuilder builder(table.tallies, tracking);
      builder.Group(table.pending);
      builder.Build(*join);
      builder.Finish(*join, joinTables.chats);
      builder.MoveInto(conversations);
      if (problems) {
        for (const std::string& table : joinTables.chats.unreadable) {
          problems->Add("messages", smsDb.string(), "table \"" + table + "\" could not be read whole",
                        "messages stay with their handles where it would name their chat");
        }
        if (columns.text < 0 && columns.attributedBody < 0) {
          problems->Add("messages", smsDb.string(), "the message table has no text column", {}, true);
        }
      }
    }
  }
  // The final report; a cancel answered before wins, then a database that
  // could not be opened, then the answer to this report.
  const int answer = progress.Report(1, 1);
  if (cancel != 0) return cancel;
  if (result != status::kOk) return result;
  return answer;
}

Status DumpMessageRows(const std::filesystem::path& smsDb, const std::filesystem::path& output, int64_t startRowId,
                       const MessageRowFilter& keep) {
  CDbFileReader reader;
  const Status opened = reader.Open(smsDb);
  if (opened != status::kOk) return opened;
  DumpFile file;
  if (const Status st = file.Open(output); st != status::kOk) return st;
  reader.rowCounter = static_cast<uint64_t>(std::max<int64_t>(startRowId, 0));
  const int64_t nowApple = AppleSecondsNow();
  Status writeError = status::kOk;
  ParsedRecord r;
  DumpLine line;
  const MessageColumns col = MessageColumns::From(ColumnLookup::Load(smsDb, "message"));
  ScanTable(reader, "message", [&](CDbFileReader& rd, const RowInput& input) -> Status {
    if (writeError != status::kOk) return writeError;
    if (const Status st = ParseMessageRecord(rd, input, r); st != status::kOk) return st;
    if (r.ColumnCount() == 0) return status::kBadData;
    if (r.IsText(col.text)) {
      const std::string text = r.AsText(col.text);
      if (!text.empty() && HasReplacementOrZero(text)) return status::kBadData;
    }
    const bool recovered = input.deleted != 0;
    // Recovered rows are numbered on from the live ones, also those whose
    // rowid survived: the rows are written back beside the live ones.
    const int64_t rowNumber = r.hasRowid && !recovered ? r.rowid : static_cast<int64_t>(++rd.rowCounter);
    int64_t newDate = 0;
    bool fromMe = false;
    if (recovered) {
      // The account guid must look like one: 36 characters from '-' to 'z'.
      const std::string account = r.IsText(col.accountGuid) ? r.AsText(col.accountGuid) : std::string();
      if (account.size() != 36 ||
          !std::all_of(account.begin(), account.end(), [](char c) { return c >= '-' && c <= 'z'; })) {
        return status::kBadData;
      }
      const bool nanoseconds = r.IsInteger(col.date) && std::llabs(r.AsInt64(col.date)) > 100000000000LL;
      newDate = nanoseconds ? nowApple * 1000000000LL : nowApple;
      fromMe = IsOne(r, col.fromMe);
    }
    // Left out after its number is taken, so the rows written keep the
    // numbers of a whole dump.
    if (keep && !keep(MessageRowKey{r.IsInteger(col.handle) ? r.AsInt64(col.handle) : 0, r.hasRowid ? r.rowid : 0})) {
      return status::kOk;
    }
    line.Clear();
    const int columns = std::max(r.ColumnCount(), rd.messageColumns);
    for (int c = 0; c < columns; ++c) {
      if (c == 0 && (r.firstColumn > 0 || r.IsNull(0))) {
        line.AddInteger(rowNumber);
      } else if (recovered && c == col.guid) {
        line.AddText(Format("27B99F78-F6F0-475F-8BA1-%012llX", static_cast<unsigned long long>(rowNumber)));
      } else if (recovered && c == col.isFinished) {
        line.AddInteger(1);
      } else if (recovered && c == col.date) {
        line.AddInteger(newDate);
      } else if (recovered && c == col.dateRead) {
        line.AddInteger(fromMe ? 0 : newDate);
      } else if (recovered && c == col.isRead) {
        line.AddInteger(fromMe ? 0 : 1);
      } else if (r.IsText(c)) {
        line.AddText(r.AsText(c));
      } else {
        line.AddColumn(r, c);
      }
    }
    writeError = file.Write(line.Finish());
    return writeError;
  });
  const Status closed = file.Close();
  return writeError != status::kOk ? writeError : closed;
}

}  // namespace orbanix
