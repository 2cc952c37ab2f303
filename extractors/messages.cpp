#include "extractors/messages.h"

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <iterator>
#include <memory>
#include <numeric>
#include <unordered_map>

#include "extractors/typedstream.h"
#include "platform/text.h"
#include "sqlite_pages/record.h"
#include "sqlite_pages/row_dump.h"
#include "sqlite_pages/values.h"

namespace orbanix {

namespace {

constexpr int kTextColumn = 2;
constexpr int kHandleColumn = 5;
constexpr int kAttributedBodyColumn = 8;
constexpr int kDateColumn = 15;
constexpr int kFromMeColumn = 21;

// A record header of 51 bytes or more belongs to a table wider than the 38
// columns of older phones.
constexpr uint32_t kWideHeaderLength = 51;
constexpr int kOldMessageColumns = 38;

// Parses a message row and teaches the reader the column count of the
// message table from live rows (recovered rows are parsed with it).
Status ParseMessageRecord(CDbFileReader& reader, const RowInput& input, ParsedRecord& r) {
  if (input.headerless) return ParseHeaderlessRecord(reader, input, r);
  const Status st = ParseLiveRecord(reader, input, r);
  if (st == status::kOk && input.deleted == 0) {
    reader.messageColumns = r.headerLength < kWideHeaderLength ? kOldMessageColumns : r.ColumnCount();
  }
  return st;
}

// A text column as UTF-8: the bytes themselves when they are valid UTF-8 in
// a UTF-8 database (checked without building a copy), else the validated
// text with U+FFFD for the bad bytes.
bool IsValidUtf8(const uint8_t* p, uint32_t n) {
  uint32_t i = 0;
  while (i < n) {
    const uint8_t b = p[i];
    if (b < 0x80) {
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
    if ((len == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF))) {
      return false;
    }
    i += len;
  }
  return true;
}

std::string ColumnText(const ParsedRecord& r, int c) {
  if (r.encoding == TextEncoding::kUtf8 && r.IsText(c)) {
    const RecordColumn& col = r.columns[c];
    if (IsValidUtf8(col.body, col.length)) return std::string(reinterpret_cast<const char*>(col.body), col.length);
  }
  return r.AsText(c);
}

// The body of a message: column 2, or the archived string of column 8 when
// column 2 is NULL or empty. Returns false for a text that is not clean.
bool MessageText(const ParsedRecord& r, std::string& text) {
  text.clear();
  if (r.IsText(kTextColumn)) {
    text = ColumnText(r, kTextColumn);
    if (!text.empty() && HasReplacementOrZero(text)) return false;
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

}  // namespace

RowDecoder MakeMessageRowDecoder(std::function<void(MessageRecord&&)> sink, int64_t* maxRowId) {
  auto record = std::make_shared<ParsedRecord>();
  return [sink = std::move(sink), maxRowId, record](CDbFileReader& reader, const RowInput& input) -> Status {
    ParsedRecord& r = *record;
    if (const Status st = ParseMessageRecord(reader, input, r); st != status::kOk) return st;
    if (r.ColumnCount() == 0) return status::kBadData;
    // The largest rowid counts every row of the table, also one dropped for
    // its text: recovered rows are numbered on from it.
    if (maxRowId && r.hasRowid && r.rowid > *maxRowId) *maxRowId = r.rowid;
    MessageRecord m;
    if (!MessageText(r, m.text)) return status::kBadData;
    // A live row without text may still carry an attachment (the scan decides
    // after the join). A recovered row must look like a message: a text, its
    // guid (column 1, never NULL in the table) and a date; bytes read out of
    // step with a record give fragments that fail these.
    if (input.deleted != 0) {
      if (m.text.empty() || !r.IsText(1) || r.SerialType(1) == 13) return status::kBadData;
      const bool dated = (r.IsInteger(kDateColumn) && r.AsInt64(kDateColumn) != 0) ||
                         (r.IsReal(kDateColumn) && r.AsReal(kDateColumn) != 0.0);
      if (!dated) return status::kBadData;
    }
    m.deleted = input.deleted;
    m.rowId = r.hasRowid ? r.rowid : 0;
    m.handleId = r.IsInteger(kHandleColumn) ? r.AsInt64(kHandleColumn) : 0;
    m.date = FormatDateColumn(r, kDateColumn, Epoch::kApple);
    m.fromMe = IsOne(r, kFromMeColumn) ? 1 : 0;
    sink(std::move(m));
    return status::kOk;
  };
}

RowDecoder MakeMessageRowDecoder(std::vector<MessageRecord>& sink, int64_t* maxRowId) {
  return MakeMessageRowDecoder([&sink](MessageRecord&& m) { sink.push_back(std::move(m)); }, maxRowId);
}

RowDecoder MakeHandleRowDecoder(std::vector<HandleRecord>& sink) {
  auto record = std::make_shared<ParsedRecord>();
  return [&sink, record](CDbFileReader& reader, const RowInput& input) -> Status {
    ParsedRecord& r = *record;
    if (const Status st = ParseRecord(reader, input, r); st != status::kOk) return st;
    if (!r.IsText(1)) return status::kBadData;
    HandleRecord h;
    h.id = r.AsText(1);
    if (h.id.empty()) return status::kBadData;
    h.deleted = input.deleted;
    h.rowId = r.hasRowid ? r.rowid : 0;
    sink.push_back(std::move(h));
    return status::kOk;
  };
}

RowDecoder MakeAttachmentRowDecoder(std::vector<AttachmentRecord>& sink) {
  auto record = std::make_shared<ParsedRecord>();
  return [&sink, record](CDbFileReader& reader, const RowInput& input) -> Status {
    ParsedRecord& r = *record;
    if (const Status st = ParseRecord(reader, input, r); st != status::kOk) return st;
    if (!r.IsText(4)) return status::kBadData;
    AttachmentRecord a;
    a.fileName = r.AsText(4);
    if (a.fileName.empty()) return status::kBadData;
    a.deleted = input.deleted;
    a.rowId = r.hasRowid ? r.rowid : 0;
    sink.push_back(std::move(a));
    return status::kOk;
  };
}

RowDecoder MakeAttachmentLinkRowDecoder(std::vector<AttachmentLinkRecord>& sink) {
  auto record = std::make_shared<ParsedRecord>();
  return [&sink, record](CDbFileReader& reader, const RowInput& input) -> Status {
    ParsedRecord& r = *record;
    if (const Status st = ParseRecord(reader, input, r); st != status::kOk) return st;
    AttachmentLinkRecord link;
    link.deleted = input.deleted;
    link.messageId = r.IsInteger(0) ? r.AsInt64(0) : 0;
    link.attachmentId = r.IsInteger(1) ? r.AsInt64(1) : 0;
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
      attachmentNames_.emplace(a.messageId, &a.fileName);
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
      const std::vector<int64_t> first = FirstContaining(addresses, phoneTexts);
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

  void Apply(MessageRecord& m, const Party* party) const {
    m.address.clear();
    m.contactName.clear();
    m.attachmentName.clear();
    const bool marked = m.rowId > 0 && m.rowId < kMarkedIds;
    if (m.rowId != 0 && (!marked || (static_cast<size_t>(m.rowId) < hasAttachment_.size() &&
                                     hasAttachment_[static_cast<size_t>(m.rowId)]))) {
      auto a = attachmentNames_.find(m.rowId);
      if (a != attachmentNames_.end()) m.attachmentName = *a->second;
    }
    if (party) {
      m.address = *party->address;
      m.contactName = party->contactName;
    }
  }

 private:
  static constexpr int64_t kMarkedIds = int64_t{1} << 26;
  std::unordered_map<int64_t, const std::string*> attachmentNames_;
  std::vector<bool> hasAttachment_;  // by message id below kMarkedIds
  std::unordered_map<int64_t, size_t> partyOf_;  // handleId -> index into parties_
  std::vector<Party> parties_;
};

// A number that orders date texts exactly as the texts compare: the 14
// digits of "YYYY-MM-DD HH:MM:SS" (the only form dates are written in),
// 0 for no date. False for any other text, whose list is then sorted by
// the texts themselves.
bool DateSortKey(const std::string& date, uint64_t& key) {
  key = 0;
  if (date.empty()) return true;
  static constexpr char kShape[] = "dddd-dd-dd dd:dd:dd";
  if (date.size() != sizeof kShape - 1) return false;
  for (size_t i = 0; i < date.size(); ++i) {
    const char c = date[i];
    if (kShape[i] == 'd') {
      if (c < '0' || c > '9') return false;
      key = key * 10 + static_cast<uint64_t>(c - '0');
    } else if (c != kShape[i]) {
      return false;
    }
  }
  key += 1;  // every date after "no date"
  return true;
}

// The messages of one conversation as the scan collects them, with the
// date keys computed while each record's date text is at hand.
struct Collected {
  std::vector<MessageRecord> messages;
  std::vector<uint64_t> keys;
  bool numeric = true;  // every date had the usual form: the keys order them

  void Add(MessageRecord&& m) {
    uint64_t key = 0;
    numeric = DateSortKey(m.date, key) && numeric;
    // Growth by half the size rather than doubling: a scan of a large
    // database holds all of its messages, and doubling leaves up to half of
    // that memory reserved and unused.
    if (messages.size() == messages.capacity()) messages.reserve(messages.size() + messages.size() / 2 + 8);
    messages.push_back(std::move(m));
    keys.push_back(key);
  }
};

// Sorts the collected messages by date text, stably. Messages read in date
// order (the usual case: a phone stores them as they come) are handed on as
// they are, without a second buffer; others are moved once into a vector of
// exactly their number.
std::vector<MessageRecord> SortedByDate(Collected& c) {
  const size_t n = c.messages.size();
  if (c.numeric && std::is_sorted(c.keys.begin(), c.keys.end())) return std::move(c.messages);
  std::vector<MessageRecord> out;
  out.reserve(n);
  std::vector<uint32_t> order(n);
  std::iota(order.begin(), order.end(), 0u);
  if (c.numeric) {
    std::stable_sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) { return c.keys[a] < c.keys[b]; });
  } else {
    std::stable_sort(order.begin(), order.end(),
                     [&](uint32_t a, uint32_t b) { return c.messages[a].date < c.messages[b].date; });
  }
  for (uint32_t i : order) out.push_back(std::move(c.messages[i]));
  return out;
}

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
                    ConversationMap& conversations, int64_t& maxRowId, const ScanProgress& progress) {
  CDbFileReader reader;
  Status result = reader.Open(smsDb);
  int cancel = 0;
  // The messages are grouped by handle id as they are read, in table
  // order: a conversation's list is what the scan hands over, and no second
  // copy of all messages is ever held.
  std::unordered_map<int64_t, Collected> found;
  std::vector<HandleRecord> handles;
  std::vector<AttachmentRecord> attachments;
  std::vector<AttachmentLinkRecord> links;
  if (result == status::kOk) {
    // Steps stop as soon as the callback answers non-zero; what was read is
    // then dropped and the map stays unchanged.
    int64_t largest = 0;
    // Handle ids are the handle table's rowids, small and dense: a direct
    // table finds a conversation without walking the hash map's buckets
    // (the map's elements stay where they are when it grows).
    constexpr int64_t kDirectHandles = 1 << 16;
    std::vector<Collected*> direct;
    result = ScanTable(reader, "message", MakeMessageRowDecoder([&](MessageRecord&& m) {
                         const int64_t id = m.handleId;
                         if (id < 0 || id >= kDirectHandles) {
                           found[id].Add(std::move(m));
                           return;
                         }
                         if (static_cast<size_t>(id) >= direct.size()) direct.resize(static_cast<size_t>(id) + 1, nullptr);
                         Collected*& slot = direct[static_cast<size_t>(id)];
                         if (!slot) slot = &found[id];
                         slot->Add(std::move(m));
                       }, &largest));
    maxRowId = largest;
    cancel = progress.Report(1, 5);
    if (cancel == 0) {
      result = ScanTable(reader, "handle", MakeHandleRowDecoder(handles));
      cancel = progress.Report(1, 4);
    }
    if (cancel == 0) {
      result = ScanTable(reader, "attachment", MakeAttachmentRowDecoder(attachments));
      cancel = progress.Report(1, 3);
    }
    if (cancel == 0) {
      result = ScanTable(reader, "message_attachment_join", MakeAttachmentLinkRowDecoder(links));
      cancel = progress.Report(1, 2);
    }
    if (cancel == 0) {
      LinkAttachments(attachments, links);
      // The contact names are a bonus: without a readable address book the
      // conversations are delivered without them.
      std::vector<ContactRecord> contacts;
      if (reader.Open(addressBook) == status::kOk) ReadContactRows(reader, contacts);
      std::vector<int64_t> inUse;
      inUse.reserve(found.size());
      for (const auto& [handleId, list] : found) inUse.push_back(handleId);
      const MessageJoin join(inUse, handles, contacts, attachments);
      for (auto& [handleId, collected] : found) {
        const MessageJoin::Party* party = join.PartyOf(handleId);
        // A live message without text is kept for its attachment only.
        size_t kept = 0;
        for (size_t i = 0; i < collected.messages.size(); ++i) {
          MessageRecord& m = collected.messages[i];
          join.Apply(m, party);
          if (m.text.empty() && m.attachmentName.empty()) continue;
          if (kept != i) {
            collected.messages[kept] = std::move(m);
            collected.keys[kept] = collected.keys[i];
          }
          ++kept;
        }
        collected.messages.resize(kept);
        collected.keys.resize(kept);
        if (kept == 0) continue;
        std::vector<MessageRecord> sorted = SortedByDate(collected);
        // The emptied lists are freed at once: at most one conversation is
        // held twice at any time.
        std::vector<MessageRecord>().swap(collected.messages);
        std::vector<uint64_t>().swap(collected.keys);
        std::vector<MessageRecord>& target = conversations[handleId];
        if (target.empty()) {
          target = std::move(sorted);
        } else {
          target.reserve(target.size() + sorted.size());
          std::move(sorted.begin(), sorted.end(), std::back_inserter(target));
        }
      }
      // Page read errors of single tables leave fewer rows, not a failed scan.
      result = status::kOk;
    }
  }
  // The final report; a cancel answered before wins, then a database that
  // could not be opened, then the answer to this report.
  const int answer = progress.Report(1, 1);
  if (cancel != 0) return cancel;
  if (result != status::kOk) return result;
  return answer;
}

Status DumpMessageRows(const std::filesystem::path& smsDb, const std::filesystem::path& output, int64_t startRowId) {
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
  ScanTable(reader, "message", [&](CDbFileReader& rd, const RowInput& input) -> Status {
    if (writeError != status::kOk) return writeError;
    if (const Status st = ParseMessageRecord(rd, input, r); st != status::kOk) return st;
    if (r.ColumnCount() == 0) return status::kBadData;
    if (r.IsText(kTextColumn)) {
      const std::string text = r.AsText(kTextColumn);
      if (!text.empty() && HasReplacementOrZero(text)) return status::kBadData;
    }
    const bool recovered = input.deleted != 0;
    const int64_t rowNumber = r.hasRowid ? r.rowid : static_cast<int64_t>(++rd.rowCounter);
    int64_t newDate = 0;
    bool fromMe = false;
    if (recovered) {
      // The account guid must look like one: 36 characters from '-' to 'z'.
      const std::string account = r.IsText(13) ? r.AsText(13) : std::string();
      if (account.size() != 36 ||
          !std::all_of(account.begin(), account.end(), [](char c) { return c >= '-' && c <= 'z'; })) {
        return status::kBadData;
      }
      const bool nanoseconds = r.IsInteger(kDateColumn) && std::llabs(r.AsInt64(kDateColumn)) > 100000000000LL;
      newDate = nanoseconds ? nowApple * 1000000000LL : nowApple;
      fromMe = IsOne(r, kFromMeColumn);
    }
    line.Clear();
    const int columns = std::max(r.ColumnCount(), rd.messageColumns);
    for (int c = 0; c < columns; ++c) {
      if (c == 0 && (r.firstColumn > 0 || r.IsNull(0))) {
        line.AddInteger(rowNumber);
      } else if (recovered && c == 1) {
        line.AddText(Format("27B99F78-F6F0-475F-8BA1-%012llX", static_cast<unsigned long long>(rowNumber)));
      } else if (recovered && c == 19) {
        line.AddInteger(1);
      } else if (recovered && c == kDateColumn) {
        line.AddInteger(newDate);
      } else if (recovered && c == 16) {
        line.AddInteger(fromMe ? 0 : newDate);
      } else if (recovered && c == 26) {
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
