#include <gtest/gtest.h>

#include <string>

#include "sources/plist.h"

namespace orbanix {
namespace {

void Put(std::string& out, uint64_t v, int size) {
  for (int i = size - 1; i >= 0; --i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

// A binary list of `levels` arrays, each holding the next (the last one
// empty); `loop` makes the innermost array hold the outermost instead.
std::string NestedBinary(uint32_t levels, bool loop = false) {
  std::string out = "bplist00";
  std::vector<uint64_t> offsets;
  for (uint32_t i = 0; i < levels; ++i) {
    offsets.push_back(out.size());
    const bool last = i + 1 == levels;
    if (last && !loop) {
      out.push_back(static_cast<char>(0xA0));
    } else {
      out.push_back(static_cast<char>(0xA1));
      Put(out, last ? 0 : i + 1, 4);
    }
  }
  const uint64_t table = out.size();
  for (uint64_t o : offsets) Put(out, o, 4);
  out.append(6, '\0');
  out.push_back(4);  // offset size
  out.push_back(4);  // reference size
  Put(out, levels, 8);
  Put(out, 0, 8);  // top object
  Put(out, table, 8);
  return out;
}

std::string NestedXml(size_t levels, const char* tag = "array") {
  std::string open = std::string("<") + tag + ">", close = std::string("</") + tag + ">";
  std::string out = "<?xml version=\"1.0\"?><plist version=\"1.0\">";
  for (size_t i = 0; i < levels; ++i) out += open;
  for (size_t i = 0; i < levels; ++i) out += close;
  return out + "</plist>";
}

TEST(PlistDepth, DeepListsAreRefusedBeforeTheParserSeesThem) {
  // A depth the parser would overflow its stack on: refused with a reason.
  for (const std::string& bytes : {NestedXml(90000), NestedXml(90000, "dict"), NestedBinary(90000)}) {
    std::string why;
    EXPECT_FALSE(PlistNestingWithin(bytes, kMaxPlistDepth, &why));
    EXPECT_EQ(why, "nested more than 512 levels deep");
    std::string error;
    EXPECT_FALSE(PlistDoc::Parse(bytes, &error));
    EXPECT_EQ(error, why);
  }
  // At the limit, both kinds are parsed.
  for (const std::string& bytes : {NestedXml(kMaxPlistDepth), NestedBinary(kMaxPlistDepth)}) {
    EXPECT_TRUE(PlistNestingWithin(bytes));
    EXPECT_TRUE(PlistDoc::Parse(bytes));
  }
  EXPECT_FALSE(PlistNestingWithin(NestedXml(kMaxPlistDepth + 1)));
  EXPECT_FALSE(PlistNestingWithin(NestedBinary(kMaxPlistDepth + 2)));
  // Self-closing and look-alike tags do not nest.
  std::string flat = "<plist><array>";
  for (int i = 0; i < 2000; ++i) flat += "<dict/><dictionary><arrayish>";
  EXPECT_TRUE(PlistNestingWithin(flat + "</array></plist>"));
}

TEST(PlistDepth, DamagedBinaryStructureIsRefused) {
  std::string why;
  EXPECT_FALSE(PlistNestingWithin(NestedBinary(5, true), kMaxPlistDepth, &why));
  EXPECT_EQ(why, "a binary property list whose objects contain themselves");
  std::string cut = NestedBinary(5);
  EXPECT_FALSE(PlistNestingWithin(cut.substr(0, 20)));
  std::string badTable = NestedBinary(5);
  badTable[badTable.size() - 1] = static_cast<char>(0xFF);  // the offset table beyond the trailer
  EXPECT_FALSE(PlistNestingWithin(badTable));
  std::string badRef = NestedBinary(3);
  badRef[8 + 1 + 3] = 9;  // the first array refers to object 9 of 3
  EXPECT_FALSE(PlistNestingWithin(badRef, kMaxPlistDepth, &why));
  EXPECT_EQ(why, "a binary property list refers to an object it does not hold");
  EXPECT_FALSE(PlistDoc::Parse(badRef));
}

}  // namespace
}  // namespace orbanix
