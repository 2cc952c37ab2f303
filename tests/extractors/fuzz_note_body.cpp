// Fuzz target: note bodies of the current Notes app, both as stored
// (compressed) and as the inflated protocol buffer, and embedded tables'
// data (the input taken as the inflated document). Every input must give a
// result whose text is valid UTF-8, and an incomplete result must say why.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "extractors/notestore_body.h"
#include "platform/text.h"
#include "tools/backupgen/family_notestore.h"

namespace {

void Check(const orbanix::NoteBodyText& body) {
  if (orbanix::ValidUtf8(body.text) != body.text) std::abort();
  if (!body.complete && body.problem.empty()) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const auto namer = [](const orbanix::NoteBodyAttachment& a) { return a.identifier.empty() ? std::string() : "[" + a.identifier + "]"; };
  Check(orbanix::DecodeNoteBody(bytes, namer));
  Check(orbanix::RenderNoteProto(bytes, namer));
  Check(orbanix::RenderNoteProto(bytes, {}, true));
  std::string problem;
  for (const std::string& table : {orbanix::DecodeNoteTable(bytes, &problem),
                                   orbanix::DecodeNoteTable(orbanix::gen::Gzip(std::string(bytes)), &problem)}) {
    if (orbanix::ValidUtf8(table) != table) std::abort();
  }
  return 0;
}

extern "C" void OrbanixFuzzSeeds(std::vector<std::string>* seeds) {
  for (const orbanix::gen::GenStoreNote& n : orbanix::gen::NoteStoreRows({})) {
    if (n.text.size() > 2000) continue;
    const std::string proto = orbanix::gen::EncodeNoteProto(n.text, n.runs);
    seeds->push_back(proto);
    seeds->push_back(orbanix::gen::Gzip(proto));
  }
  seeds->push_back(orbanix::gen::EncodeTableProto(orbanix::gen::GenNoteTableCells()));
  seeds->push_back(orbanix::gen::EncodeTableProto({{"a", "b"}, {"", "d"}}, true));
}
