// orbanix-sqlitecorpus: the corpus of databases with deleted rows, and the
// figures of the carving over it.
//
//   orbanix-sqlitecorpus generate [--count N] [--seed S] DIR
//       writes N databases (seeds S, S+1, ...) and, beside each, its truth
//       file (JSON lines)
//   orbanix-sqlitecorpus report [--count N] [--seed S] [--mistakes]
//       builds the corpus in a temporary folder, carves every database and
//       prints recall per deletion kind, precision per source, live rows
//       reported (must be 0) and the time of the carving against the
//       live-row scan
//   orbanix-sqlitecorpus carve FILE
//       carves one database and prints every row found: table, source,
//       page, offset and values
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <string>

#include "platform/text.h"
#include "sqlite_pages/carver.h"
#include "sqlite_pages/db_file_reader.h"
#include "tools/sqlitecorpus/corpus.h"

using namespace orbanix;
using namespace orbanix::corpus;

namespace {

int Usage(int code) {
  (code ? std::cerr : std::cout) << "usage: orbanix-sqlitecorpus generate [--count N] [--seed S] DIR\n"
                                    "       orbanix-sqlitecorpus report [--count N] [--seed S] [--mistakes]\n"
                                    "       orbanix-sqlitecorpus carve FILE\n";
  return code;
}

int Report(uint64_t count, uint64_t seed, bool mistakes) {
  namespace fs = std::filesystem;
  const fs::path dir = fs::temp_directory_path() / ("orbanix_corpus_" + std::to_string(::getpid()));
  fs::create_directories(dir);
  Figures all;
  for (uint64_t i = 0; i < count; ++i) {
    const CorpusDb db = BuildCorpusDb(dir / Format("db%03llu.sqlite", static_cast<unsigned long long>(seed + i)), seed + i);
    const Figures f = MeasureCorpusDb(db);
    if (mistakes && (f.Recall() < 1 || f.exact < f.reported)) {
      std::printf("%s\n  recall %.3f, precision %.3f\n", db.description.c_str(), f.Recall(), f.Precision());
      for (const std::string& m : f.mistakes) std::printf("  wrong: %s\n", m.c_str());
      for (const std::string& m : f.misses) std::printf("  missed: %s\n", m.c_str());
    }
    all.Add(f);
  }
  fs::remove_all(dir);
  std::printf("%llu databases\n", static_cast<unsigned long long>(count));
  std::printf("%-14s %8s %10s %9s %7s %14s\n", "kind", "deleted", "surviving", "recalled", "recall", "recalled-lost");
  for (int k = 0; k < kKindCount; ++k) {
    const KindFigures& kf = all.kinds[k];
    std::printf("%-14s %8zu %10zu %9zu %7s %14zu\n", KindName(static_cast<DeletionKind>(k)), kf.deleted, kf.surviving,
                kf.recalledSurviving,
                kf.surviving ? Format("%.3f", static_cast<double>(kf.recalledSurviving) / kf.surviving).c_str() : "-",
                kf.recalledLost);
  }
  std::printf("%-24s %9s %7s %9s\n", "source", "reported", "exact", "precision");
  for (const auto& [name, s] : all.sources) {
    std::printf("%-24s %9zu %7zu %9.3f\n", name.c_str(), s.reported, s.exact,
                s.reported ? static_cast<double>(s.exact) / s.reported : 1.0);
  }
  std::printf("overall: recall %.4f (%zu of %zu surviving deleted rows), precision %.4f (%zu of %zu reported), "
              "live rows reported as deleted: %zu\n",
              all.Recall(), all.RecalledSurviving(), all.Surviving(), all.Precision(), all.exact, all.reported,
              all.liveReported);
  std::printf("time: carving %.3f s, live-row scan %.3f s, ratio %.2f\n", all.carveSeconds, all.liveSeconds,
              all.liveSeconds > 0 ? all.carveSeconds / all.liveSeconds : 0.0);
  return 0;
}

int Carve(const std::string& file) {
  CDbFileReader reader;
  if (reader.Open(file) != status::kOk) {
    std::cerr << "orbanix-sqlitecorpus: cannot open " << file << "\n";
    return 1;
  }
  std::vector<CarveTable> tables;
  LoadCarveTables(reader, file, tables);
  std::vector<CarvedRow> rows;
  CarveStats stats;
  CarveDeletedRows(reader, tables, rows, &stats);
  for (const CarvedRow& row : rows) {
    std::printf("%s %s page %u offset %u%s%s: %s\n", row.table >= 0 ? tables[row.table].name.c_str() : "(dropped)",
                RowSourceName(row.source), row.pageIndex + 1, row.offset, row.reconstructed ? " rebuilt" : "",
                row.hasRowid ? Format(" rowid %lld", static_cast<long long>(row.rowid)).c_str() : "",
                Describe(row.Values()).c_str());
  }
  std::printf("%zu rows; %zu pages searched, %zu candidates equal to live rows, %zu duplicates\n", rows.size(),
              stats.pagesSearched, stats.droppedAsLive, stats.duplicates);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage(2);
  const std::string command = argv[1];
  uint64_t count = 40, seed = 1;
  bool mistakes = false;
  std::string dir;
  for (int i = 2; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--count" && i + 1 < argc) {
      count = std::stoull(argv[++i]);
    } else if (a == "--seed" && i + 1 < argc) {
      seed = std::stoull(argv[++i]);
    } else if (a == "--mistakes") {
      mistakes = true;
    } else if (a == "--help" || a == "-h") {
      return Usage(0);
    } else if (!a.empty() && a[0] != '-' && dir.empty()) {
      dir = a;
    } else {
      return Usage(2);
    }
  }
  try {
    if (command == "report") return Report(count, seed, mistakes);
    if (command == "carve" && !dir.empty()) return Carve(dir);
    if (command == "generate" && !dir.empty()) {
      std::filesystem::create_directories(dir);
      for (uint64_t i = 0; i < count; ++i) {
        const auto path = std::filesystem::path(dir) / Format("db%03llu.sqlite", static_cast<unsigned long long>(seed + i));
        const CorpusDb db = BuildCorpusDb(path, seed + i);
        WriteTruth(db, path.string() + ".truth.jsonl");
        std::cout << db.description << "\n";
      }
      return 0;
    }
  } catch (const std::exception& e) {
    std::cerr << "orbanix-sqlitecorpus: " << e.what() << "\n";
    return 1;
  }
  return Usage(2);
}
