#include "extractors/chat_apps.h"

#include "platform/text_file.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <unordered_set>
#include <utility>

#include "platform/digest.h"
#include "platform/text.h"
#include "sqlite_pages/btree.h"
#include "sqlite_pages/columns.h"
#include "sqlite_pages/db_file_reader.h"
#include "sqlite_pages/deleted_rows.h"
#include "sqlite_pages/record.h"
#include "sqlite_pages/values.h"

namespace orbanix {

namespace {

bool Plausible(const std::string& text, int deleted) { return deleted == 0 || !HasReplacementOrZero(text); }

// The columns of one message table layout.
struct MessageColumns {
  int partner;  // -1: none to check
  int date, direction, text;
  int count;    // columns of the table
};
constexpr MessageColumns kQqColumns = {1, 2, 4, 6, 50};
constexpr MessageColumns kWeChatColumns = {-1, 3, 8, 4, 9};

// The columns of a message table by their names (the positions above where
// the schema cannot be read). Every message table of one store is made by
// the same statement, so the first table's schema stands for all of them.
MessageColumns QqColumns(const ColumnLookup& t) {
  MessageColumns c{t.Find("uin", kQqColumns.partner), t.Find("time", kQqColumns.date),
                   t.Find("flag", kQqColumns.direction), t.Find("content", kQqColumns.text), kQqColumns.count};
  if (t.HasSchema()) c.count = t.ColumnCount();
  // A table of another shape: read as the app has always laid it out.
  if (c.date < 0 || c.text < 0) return kQqColumns;
  return c;
}
MessageColumns WeChatColumns(const ColumnLookup& t) {
  MessageColumns c{-1, t.Find("CreateTime", kWeChatColumns.date), t.Find("Des", kWeChatColumns.direction),
                   t.Find("Message", kWeChatColumns.text), kWeChatColumns.count};
  if (t.HasSchema()) c.count = t.ColumnCount();
  if (c.date < 0 || c.text < 0) return kWeChatColumns;
  return c;
}

// Fills `m` from a parsed record in which column c of the table is parsed
// column c + offset. False when the row is not a message to list. `named`
// receives the partner number the row names (empty when it names none).
bool FillMessage(const ParsedRecord& rec, int offset, const MessageColumns& col, PeerChatRecord& m,
                 std::string& named) {
  named.clear();
  if (col.partner >= 0 && rec.IsText(col.partner + offset)) named = rec.AsText(col.partner + offset);
  m.rowId = static_cast<int>(rec.rowid);
  m.date = FormatDateColumn(rec, col.date + offset, Epoch::kUnix);
  const int direction = col.direction + offset;
  m.incoming = rec.IsInteger(direction) && rec.AsInt64(direction) == 0 ? 1 : 0;
  m.text = rec.IsText(col.text + offset) ? rec.AsText(col.text + offset) : std::string();
  return !m.text.empty() && Plausible(m.text, m.deleted);
}

// Decodes one message row into `m`; `named` as for FillMessage.
Status DecodeMessage(CDbFileReader& reader, const RowInput& input, const MessageColumns& col, ParsedRecord& rec,
                     PeerChatRecord& m, std::string& named) {
  m = PeerChatRecord{};
  m.deleted = input.deleted;
  m.recoveredFrom = RecoveredFromInput(input);
  const Status st = ParseRecord(reader, input, rec);
  if (st == status::kOk && FillMessage(rec, 0, col, m, named)) return status::kOk;
  if (!input.headerless || input.bytesToEnd == 0) return st == status::kOk ? status::kBadData : st;
  // A record found without its cell header is taken to start at column 0
  // when its first byte is 0 (the NULL of a rowid column 0) and at column 1
  // otherwise. WeChat's tables keep the rowid in column 1, so a record whose
  // column-0 type was overwritten starts with that 0, and one that kept it
  // starts with a non-zero type. Read the other way, the record is kept
  // only when it then holds a date and a clean text.
  const bool zeroFirst = input.record[0] == 0;
  const int count = zeroFirst ? col.count - 1 : col.count + 1;
  const int offset = zeroFirst ? -1 : 1;
  if (ParseHeaderlessRecord(reader, input, rec, count) != status::kOk) return status::kBadData;
  if (!FillMessage(rec, offset, col, m, named) || m.date.empty() || HasReplacementOrZero(m.text)) {
    return status::kBadData;
  }
  return status::kOk;
}

// Two messages keep their table order; more are sorted by date (stable).
void SortConversation(std::vector<PeerChatRecord>& messages) {
  if (messages.size() <= 2) return;
  std::stable_sort(messages.begin(), messages.end(), [](const PeerChatRecord& a, const PeerChatRecord& b) {
    return AsciiLower(a.date) < AsciiLower(b.date);
  });
}

// Recovered rows that repeat a live message (of any conversation: a
// free-list page may hold an old copy of a live table's page) or an earlier
// recovered one are dropped; they would show a live message again as
// deleted, or one deleted message in two chats.
class CopyFilter {
 public:
  void AddLive(const std::vector<PeerChatRecord>& messages) {
    for (const PeerChatRecord& m : messages) {
      if (!m.deleted) seen_.insert(Key(m));
    }
  }
  // Reserves a recovered message for its copy number `copy` (the count of
  // recovered messages before it in reading order): Filter keeps that copy
  // and drops the others. The first claim of a message holds.
  void Claim(const PeerChatRecord& m, size_t copy) {
    std::string key = Key(m);
    if (!seen_.count(key)) claimed_.emplace(std::move(key), copy);
  }
  // `copy` counts the recovered messages filtered so far, as for Claim.
  void Filter(std::vector<PeerChatRecord>& messages, size_t& copy) {
    std::vector<PeerChatRecord> kept;
    kept.reserve(messages.size());
    for (PeerChatRecord& m : messages) {
      if (m.deleted) {
        const size_t number = copy++;
        std::string key = Key(m);
        const auto claim = claimed_.find(key);
        if (claim != claimed_.end() && claim->second != number) continue;
        if (!seen_.insert(std::move(key)).second) continue;
      }
      kept.push_back(std::move(m));
    }
    messages = std::move(kept);
  }

 private:
  std::map<std::string, size_t> claimed_;
  static std::string Key(const PeerChatRecord& m) { return std::to_string(m.incoming) + m.date + '\x1f' + m.text; }
  std::set<std::string> seen_;
};

// Messages found, in reading order, under their conversation's key; one key
// may come several times (its own table, then rows of it found elsewhere).
using Conversations = std::vector<std::pair<std::string, std::vector<PeerChatRecord>>>;

// The conversations read into the map: recovered copies of live rows and
// repeats of recovered ones dropped (across conversations, the first copy
// read kept: a page that moved from one table to another keeps the other
// table's old rows), the parts of one key joined and sorted, and each
// conversation with messages stored under its key, replacing what the map
// held under it.
void StoreConversations(Conversations& conversations, PeerChatMap& chats) {
  CopyFilter copies;
  for (const auto& [key, messages] : conversations) copies.AddLive(messages);
  // A free block in a live page of a table is a cell freed while the page
  // was that table's; the other places of a page (stale pointers, the
  // space behind the cells) may still hold what an earlier owner of the
  // page left. Of copies of one message found in two chats' pages, one in a
  // free block goes first.
  size_t copy = 0;
  for (const auto& [key, messages] : conversations) {
    for (const PeerChatRecord& m : messages) {
      if (!m.deleted) continue;
      if (m.recoveredFrom.source == RowSource::kFreeblock) copies.Claim(m, copy);
      ++copy;
    }
  }
  PeerChatMap joined;
  copy = 0;
  for (auto& [key, messages] : conversations) {
    copies.Filter(messages, copy);
    std::vector<PeerChatRecord>& into = joined[key];
    into.insert(into.end(), std::make_move_iterator(messages.begin()), std::make_move_iterator(messages.end()));
  }
  for (auto& [key, messages] : joined) {
    SortConversation(messages);
    if (!messages.empty()) chats[key] = std::move(messages);
  }
}

int Report(const ExtractorProgress& progress, size_t done, size_t total) {
  if (!progress) return 0;
  return progress(total == 0 ? 100 : static_cast<int>(10 + 90 * done / total));
}

// Where a found row lay: on a free-list page (or a page of a dropped table)
// nothing ties it to the table whose scan met it. Every message table of a
// store has the same columns, so the carver gives a free page to whichever
// of them it tried first.
bool OnFreedPage(RowSource source) {
  return source == RowSource::kFreelistCell || source == RowSource::kFreelistCandidate ||
         source == RowSource::kFreelistDroppedTable;
}

// Where the columns of a message table (`shape`) lie in the rows of a
// dropped table (`dropped`), by name, ASCII case ignored: one position per
// column of `shape`. Empty when a column of `shape` is not one of the
// dropped table's: its rows are another table's, however many columns it
// has.
std::vector<int> ColumnsByName(const TableSchema& dropped, const TableSchema& shape) {
  std::vector<int> at;
  for (const std::string& name : shape.columnNames) {
    int found = -1;
    for (size_t c = 0; c < dropped.columnNames.size() && found < 0; ++c) {
      if (EqualsIgnoreAsciiCase(dropped.columnNames[c], name)) found = static_cast<int>(c);
    }
    if (found < 0) return {};
    at.push_back(found);
  }
  return at;
}

// The messages of freed pages, read once for all conversations of a store,
// each under the conversation it names (QQ: its partner number column) or
// else under "Unknown".
class FreedMessages {
 public:
  FreedMessages(const MessageColumns& columns, Conversations& found) : col_(columns), found_(found) {}

  // Decodes a row met on a freed page and files it.
  Status Add(CDbFileReader& reader, const RowInput& input, ParsedRecord& rec, bool needDate) {
    PeerChatRecord m;
    std::string named;
    const Status st = DecodeMessage(reader, input, col_, rec, m, named);
    if (st != status::kOk) return st;
    if (needDate && m.date.empty()) return status::kBadData;
    File(named, std::move(m));
    return status::kOk;
  }

  // Files a message under the conversation `named` (unknown when empty).
  void File(const std::string& named, PeerChatRecord m) {
    const std::string key = named.empty() || !Plausible(named, 1) ? kUnknownConversation : named;
    auto at = index_.find(key);
    if (at == index_.end()) {
      at = index_.emplace(key, byKey_.size()).first;
      byKey_.emplace_back(key, std::vector<PeerChatRecord>());
    }
    byKey_[at->second].second.push_back(std::move(m));
  }

  // The rows the carver found on freed pages whose record has the message
  // tables' columns: those it gave to one of `tables` (a guess among equal
  // schemas), and those of tables that no longer exist.
  // A row of a table that is gone is matched by the columns of its own
  // CREATE statement where that survives (`byName`, from ColumnsByName per
  // dropped table), else by its column count alone.
  void AddCarved(CDbFileReader& reader, const CarvedFile& carved, const std::set<std::string>& tables,
                 const TableSchema& shape, const std::vector<std::vector<int>>& byName, ParsedRecord& rec) {
    for (const CarvedRow& row : carved.rows) {
      if (!OnFreedPage(row.source)) continue;
      const bool named = row.table < 0 && row.droppedTable >= 0 && row.droppedTable < static_cast<int>(byName.size());
      if (row.table >= 0 ? !tables.count(carved.tables[row.table].name)
                         : named ? byName[row.droppedTable].empty()
                                 : row.ColumnCount() != shape.columnCount) {
        continue;
      }
      GenericRow values = row.Row();
      if (named) {
        // The values in the message tables' order of columns.
        std::vector<SqlValue> laidOut(byName[row.droppedTable].size(), nullptr);
        for (size_t c = 0; c < laidOut.size(); ++c) {
          const size_t from = static_cast<size_t>(byName[row.droppedTable][c]);
          if (from < values.values.size()) laidOut[c] = std::move(values.values[from]);
        }
        values.values = std::move(laidOut);
      }
      const std::vector<uint8_t> cell = BuildCell(values, shape.rowidAliasColumn, reader.encoding);
      RowInput in;
      in.record = cell.data();
      in.bytesToEnd = static_cast<uint32_t>(cell.size());
      in.nextCellExtent = in.bytesToEnd;
      in.wholePayload = true;
      in.rowidLost = !row.hasRowid;
      in.deleted = 1;
      in.pageIndex = row.pageIndex;
      in.offset = row.offset;
      in.source = row.source;
      // A record of a table that is gone matched by its column count alone
      // must hold a date too.
      Add(reader, in, rec, row.table < 0 && !named);
    }
  }

  // Appends what was filed to `found_`.
  void Flush() {
    for (auto& entry : byKey_) found_.push_back(std::move(entry));
    byKey_.clear();
    index_.clear();
  }

 private:
  const MessageColumns& col_;
  Conversations& found_;
  std::map<std::string, size_t> index_;
  Conversations byKey_;
};

// Reads one message table of a store: its live rows and the deleted rows in
// its own pages under `key`. A row there that names another partner (a page
// the table took over from another, or a table kept under a name that ends
// in no partner number, "tb_c2cMsg_10001_old") goes to that partner's
// conversation; rows of freed pages are left to FreedMessages.
//
// `lastRowid` is the largest rowid the table ever gave (its AUTOINCREMENT
// sequence; 0 when unknown): a recovered row with a larger one was never
// the table's, whatever page it lay on (a page another table freed keeps
// that table's rows in the space its new owner has not used). Such a row,
// naming no partner, goes to no conversation ("Unknown").
void ReadMessageTable(CDbFileReader& reader, const std::string& table, const std::string& key,
                      const MessageColumns& col, ParsedRecord& rec, FreedMessages& freed, Conversations& found,
                      int64_t lastRowid = 0) {
  ScanOptions ownPagesOnly;
  ownPagesOnly.freePageStage = false;
  std::vector<PeerChatRecord> messages;
  std::vector<PeerChatRecord> beyond;  // recovered rows with a rowid beyond lastRowid
  int64_t largestLive = 0;
  ScanTable(
      reader, table,
      [&](CDbFileReader& r, const RowInput& in) {
        if (in.deleted && OnFreedPage(in.source)) return status::kOk;
        PeerChatRecord m;
        std::string named;
        const Status st = DecodeMessage(r, in, col, rec, m, named);
        if (st != status::kOk) return st;
        if (!m.deleted) largestLive = std::max<int64_t>(largestLive, m.rowId);
        if (!key.empty() && !named.empty() && named != key) {
          freed.File(named, std::move(m));
        } else if (lastRowid > 0 && m.deleted && m.rowId > lastRowid) {
          beyond.push_back(std::move(m));
        } else {
          messages.push_back(std::move(m));
        }
        return status::kOk;
      },
      ownPagesOnly);
  // A sequence below a live row's rowid is not the table's (a damaged
  // file): the live rows bound what the table gave instead.
  for (PeerChatRecord& m : beyond) {
    if (m.rowId > largestLive) {
      freed.File(std::string(), std::move(m));
    } else {
      messages.push_back(std::move(m));
    }
  }
  found.emplace_back(key, std::move(messages));
}

// The AUTOINCREMENT sequences of a database's tables (sqlite_sequence: the
// largest rowid each table ever gave), from its live rows.
std::map<std::string, int64_t> TableSequences(CDbFileReader& reader) {
  std::map<std::string, int64_t> sequences;
  ParsedRecord rec;
  ScanOptions liveOnly;
  liveOnly.recoverInTree = liveOnly.freePageStage = liveOnly.carve = false;
  ScanTable(
      reader, "sqlite_sequence",
      [&](CDbFileReader& r, const RowInput& in) {
        if (ParseRecord(r, in, rec) != status::kOk || !rec.IsText(0) || !rec.IsInteger(1)) return status::kBadData;
        sequences[rec.AsText(0)] = rec.AsInt64(1);
        return status::kOk;
      },
      liveOnly);
  return sequences;
}

// After the tables: the freed pages, read once. The carver's rows first
// (checked against the declared types), then what the free-list search
// finds under `freeStageName` (a name of no table that has the message
// tables' column count), joined by StoreConversations.
void ReadFreedPages(CDbFileReader& reader, const std::set<std::string>& tables, const std::string& freeStageName,
                    const std::optional<TableSchema>& shape, ParsedRecord& rec, FreedMessages& freed) {
  // The pages of dropped tables whose own statement names other columns
  // than the message tables': their rows are no messages, whatever their
  // column count.
  std::unordered_set<uint32_t> otherTables;
  if (shape) {
    if (const std::shared_ptr<const CarvedFile> carved = CarvedFileFor(reader)) {
      std::vector<std::vector<int>> byName;
      if (!shape->columnNames.empty()) {
        for (const CarveTable& dropped : carved->droppedTables) byName.push_back(ColumnsByName(dropped.schema, *shape));
      }
      for (const auto& [page, dropped] : carved->droppedTablePages) {
        if (dropped >= 0 && dropped < static_cast<int>(byName.size()) && byName[dropped].empty()) {
          otherTables.insert(page);
        }
      }
      freed.AddCarved(reader, *carved, tables, *shape, byName, rec);
    }
  }
  ScanOptions freePagesOnly;
  freePagesOnly.recoverInTree = false;
  ScanTable(
      reader, freeStageName,
      [&](CDbFileReader& r, const RowInput& in) {
        if (otherTables.count(in.pageIndex)) return status::kBadData;
        return freed.Add(r, in, rec, false);
      },
      freePagesOnly);
  freed.Flush();
}

std::optional<TableSchema> SchemaOf(const std::filesystem::path& db, const std::string& table) {
  TableSchema schema;
  if (LoadTableSchema(db, table, schema) != status::kOk || schema.columnCount == 0) return std::nullopt;
  return schema;
}

}  // namespace

std::string QqPartnerOf(const std::string& tableName) {
  const size_t underscore = tableName.rfind('_');
  return underscore == std::string::npos ? std::string() : tableName.substr(underscore + 1);
}

std::string WeChatTableOf(const std::string& userName) { return "Chat_" + Md5Hex(userName); }

Status ScanQQ(const std::filesystem::path& qqDb, PeerChatMap& chats, const ExtractorProgress& progress) {
  CDbFileReader reader;
  const Status opened = reader.Open(qqDb);
  if (opened != status::kOk) return opened;
  ParsedRecord rec;
  std::vector<std::string> tables;
  const Status directory = ScanTable(reader, "tb_c2cTables", [&](CDbFileReader& r, const RowInput& in) {
    const Status st = ParseRecord(r, in, rec);
    if (st != status::kOk) return st;
    if (!rec.IsText(0)) return status::kBadData;
    std::string name = rec.AsText(0);
    if (name.empty() || !Plausible(name, in.deleted)) return status::kBadData;
    tables.push_back(std::move(name));
    return status::kOk;
  });
  // A failure late in the table's scan (its free-list pages, say) keeps the
  // directory rows already read.
  if (directory != status::kOk && tables.empty()) return directory;
  if (progress && progress(10) != 0) return status::kCancelled;

  Conversations found;
  std::set<std::string> read;
  std::optional<MessageColumns> columns;
  std::optional<TableSchema> shape;
  MessageColumns col = kQqColumns;
  FreedMessages freed(col, found);
  for (size_t i = 0; i < tables.size(); ++i) {
    const std::string& table = tables[i];
    // A table listed twice (a recovered copy of its directory row) is read once.
    if (!read.insert(table).second) continue;
    if (!columns) {
      const ColumnLookup lookup = ColumnLookup::Load(qqDb, table);
      if (lookup.HasSchema()) {
        columns = QqColumns(lookup);
        col = *columns;
        shape = SchemaOf(qqDb, table);
      }
    }
    ReadMessageTable(reader, table, QqPartnerOf(table), col, rec, freed, found);
    if (Report(progress, i + 1, tables.size() + 1) != 0) return status::kCancelled;
  }
  // Rows of dropped partners' tables and of pages freed from any table
  // name their partner in their own column.
  ReadFreedPages(reader, read, "tb_c2cMsg_FreePageNumber", shape, rec, freed);
  if (progress && progress(100) != 0) return status::kCancelled;
  StoreConversations(found, chats);
  return status::kOk;
}

Status ScanWeChat(const std::filesystem::path& mmDb, PeerChatMap& chats, const ExtractorProgress& progress) {
  CDbFileReader reader;
  const Status opened = reader.Open(mmDb);
  if (opened != status::kOk) return opened;
  ParsedRecord rec;
  std::vector<std::string> friends;
  const ColumnLookup friendColumns = ColumnLookup::Load(mmDb, "Friend");
  const int userColumn = friendColumns.Find("UsrName", 1), nickColumn = friendColumns.Find("NickName", 2);
  const Status friendTable = ScanTable(reader, "Friend", [&](CDbFileReader& r, const RowInput& in) {
    const Status st = ParseRecord(r, in, rec);
    if (st != status::kOk) return st;
    std::string user = rec.IsText(userColumn) ? rec.AsText(userColumn) : std::string();
    if (!Plausible(user + (rec.IsText(nickColumn) ? rec.AsText(nickColumn) : std::string()), in.deleted)) {
      return status::kBadData;
    }
    friends.push_back(std::move(user));
    return status::kOk;
  });
  if (friendTable != status::kOk && friends.empty()) return friendTable;
  if (progress && progress(10) != 0) return status::kCancelled;

  Conversations found;
  std::set<std::string> read, tables;
  std::optional<MessageColumns> columns;
  std::optional<TableSchema> shape;
  MessageColumns col = kWeChatColumns;
  FreedMessages freed(col, found);
  const std::map<std::string, int64_t> sequences = TableSequences(reader);
  for (size_t i = 0; i < friends.size(); ++i) {
    const std::string& user = friends[i];
    if (user.empty() || !read.insert(user).second) continue;
    const std::string table = WeChatTableOf(user);
    tables.insert(table);
    if (!columns) {
      const ColumnLookup lookup = ColumnLookup::Load(mmDb, table);
      if (lookup.HasSchema()) {
        columns = WeChatColumns(lookup);
        col = *columns;
        shape = SchemaOf(mmDb, table);
      }
    }
    const auto sequence = sequences.find(table);
    ReadMessageTable(reader, table, user, col, rec, freed, found,
                     sequence == sequences.end() ? 0 : std::max<int64_t>(sequence->second, 1));
    if (Report(progress, i + 1, friends.size() + 1) != 0) return status::kCancelled;
  }
  // The messages of freed pages do not name their chat: they are listed
  // under "Unknown". The free-list search runs under a name that matches no
  // table but starts with "Chat_", for the chat tables' column count.
  ReadFreedPages(reader, tables, "Chat_FreePageNumber", shape, rec, freed);
  if (progress && progress(100) != 0) return status::kCancelled;
  StoreConversations(found, chats);
  return status::kOk;
}

std::string PeerSpeaker(const PeerChatRecord& message, const std::string& conversation) {
  return message.incoming ? conversation : std::string("Me");
}

std::vector<ChatTextEntry> PeerChatText(const std::vector<PeerChatRecord>& messages, const std::string& conversation) {
  std::vector<ChatTextEntry> entries;
  entries.reserve(messages.size());
  for (const PeerChatRecord& m : messages) entries.push_back({m.date, PeerSpeaker(m, conversation), m.text});
  return entries;
}

Status ExportChatText(const std::filesystem::path& output, const std::vector<ChatTextEntry>& entries,
                      const ChatExportReport& report) {
  auto fail = [&](Status error) {
    if (report) report(100, error, output);
    return error;
  };
  std::error_code ec;
  if (output.has_parent_path()) std::filesystem::create_directories(output.parent_path(), ec);
  // The one writer of the user's text files: UTF-8 with a byte-order mark,
  // CR LF line ends, flushed after every message.
  Utf8TextFile file;
  if (const Status opened = file.Open(output); opened != status::kOk) return fail(opened);
  for (size_t i = 0; i < entries.size(); ++i) {
    const ChatTextEntry& e = entries[i];
    if (const Status written = file.Write(e.time + " " + e.speaker + ":\n    " + e.text + "\n\n");
        written != status::kOk) {
      return fail(written);
    }
    if (report) {
      const int answer = report(static_cast<int>((i + 1) * 100 / entries.size()), status::kOk, output);
      if (answer != 0) return answer;
    }
  }
  const Status closed = file.Close();
  return closed > 0 ? fail(closed) : closed;
}

}  // namespace orbanix
