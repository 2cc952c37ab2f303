// Hand-built database bytes for the cases a real library never writes:
// damaged headers, chosen free blocks, stale pointers, loops.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace orbanix::testing {

inline std::string Varint(uint64_t v) {
  if (v > 0x00FFFFFFFFFFFFFFull) {  // nine bytes: the last carries 8 bits
    std::string out(9, '\0');
    out[8] = static_cast<char>(v & 0xFF);
    v >>= 8;
    for (int i = 7; i >= 0; --i) {
      out[i] = static_cast<char>((v & 0x7F) | 0x80);
      v >>= 7;
    }
    return out;
  }
  std::string rev;
  rev.push_back(static_cast<char>(v & 0x7F));
  v >>= 7;
  while (v) {
    rev.push_back(static_cast<char>((v & 0x7F) | 0x80));
    v >>= 7;
  }
  return std::string(rev.rbegin(), rev.rend());
}

// A record from (serial type, body) pairs: header length, types, bodies.
inline std::string Record(const std::vector<std::pair<uint64_t, std::string>>& columns) {
  std::string types, bodies;
  for (const auto& [type, body] : columns) {
    types += Varint(type);
    bodies += body;
  }
  std::string header = Varint(types.size() + 1) + types;
  if (header.size() != types.size() + 1) header = Varint(types.size() + 2) + types;
  return header + bodies;
}

inline std::pair<uint64_t, std::string> Text(const std::string& s) { return {13 + 2 * s.size(), s}; }
inline std::pair<uint64_t, std::string> Int8(uint8_t v) { return {1, std::string(1, static_cast<char>(v))}; }
inline std::pair<uint64_t, std::string> Null() { return {0, ""}; }

inline std::string LeafCell(uint64_t rowid, const std::string& record) {
  return Varint(record.size()) + Varint(rowid) + record;
}

inline void Put16(std::string& b, size_t at, uint32_t v) {
  b[at] = static_cast<char>(v >> 8);
  b[at + 1] = static_cast<char>(v);
}
inline void Put32(std::string& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<char>(v >> (24 - 8 * i));
}

// A leaf table page (header at `header`: 100 on page 1) holding the cells
// packed at the end of the page, pointer array in the given order.
inline std::string LeafPage(uint32_t pageSize, const std::vector<std::string>& cells, uint32_t header = 0) {
  std::string page(pageSize, '\0');
  page[header] = 13;
  uint32_t end = pageSize;
  for (size_t i = 0; i < cells.size(); ++i) {
    end -= static_cast<uint32_t>(cells[i].size());
    page.replace(end, cells[i].size(), cells[i]);
    Put16(page, header + 8 + 2 * i, end);
  }
  Put16(page, header + 3, static_cast<uint32_t>(cells.size()));
  Put16(page, header + 5, cells.empty() ? pageSize : end);
  return page;
}

// The 100-byte database header over page 1.
inline void DatabaseHeader(std::string& page1, uint32_t pageSize, uint32_t pages, uint32_t firstTrunk = 0) {
  page1.replace(0, 16, std::string("SQLite format 3\0", 16));
  Put16(page1, 16, pageSize == 65536 ? 1 : pageSize);
  page1[18] = 1;
  page1[19] = 1;
  page1[21] = 64;
  page1[22] = 32;
  page1[23] = 32;
  Put32(page1, 28, pages);
  Put32(page1, 32, firstTrunk);
  Put32(page1, 44, 4);
  Put32(page1, 56, 1);
}

// A one-table database: page 1 holds the schema row of table `name` (root
// page 2), page 2 the given leaf page; extra pages appended.
inline std::string OneTableDatabase(uint32_t pageSize, const std::string& name, const std::string& columnsSql,
                                    const std::string& page2, const std::vector<std::string>& more = {}) {
  const std::string schema = Record({Text("table"), Text(name), Text(name), Int8(2),
                                     Text("CREATE TABLE " + name + "(" + columnsSql + ")")});
  std::string page1 = LeafPage(pageSize, {LeafCell(1, schema)}, 100);
  DatabaseHeader(page1, pageSize, static_cast<uint32_t>(2 + more.size()));
  std::string db = page1 + page2;
  for (const std::string& p : more) db += p;
  return db;
}

}  // namespace orbanix::testing
