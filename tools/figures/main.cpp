// orbanix-figures: recovery figures of the synthetic backups' families.
//
//   orbanix-figures [--era mbdb|db] [--current] [--scale N] [--families LIST] [--verbose] [--work DIR]
//
// For each family: the deleted rows the generator wrote, those whose bytes
// are still in the file, those the category's scan delivers, the deliveries
// of a row beyond its first, the delivered deleted items that show part of a
// deleted row and nothing false (partly: a person's name whose numbers could
// not be joined to it, or the numbers without the name), the delivered
// deleted items that are no deleted row (phantoms), and the live rows
// delivered of those expected. Without
// --era both eras are measured. --verbose lists the surviving rows not
// delivered and what each phantom showed. Exit status 0 when every family
// was measured, 1 when one could not be, 2 on a usage error.
#include <unistd.h>

#include <cstdlib>
#include <iostream>
#include <sstream>

#include "tools/figures/figures.h"

using namespace orbanix::figures;

namespace {

int Usage(int code) {
  (code == 0 ? std::cout : std::cerr)
      << "usage: orbanix-figures [--era mbdb|db] [--current] [--scale N] [--families LIST] [--verbose] [--work DIR]\n"
         "families: contacts calls notes messages whatsapp qq wechat\n";
  return code;
}

}  // namespace

int main(int argc, char** argv) {
  RunOptions base;
  std::vector<Era> eras = {Era::kMbdb, Era::kManifestDb};
  bool verbose = false;
  fs::path work;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--era" && i + 1 < argc) {
      const std::string e = argv[++i];
      if (e == "mbdb") eras = {Era::kMbdb};
      else if (e == "db") eras = {Era::kManifestDb};
      else return Usage(2);
    } else if (a == "--current") {
      base.current = true;
    } else if (a == "--scale" && i + 1 < argc) {
      base.scale = std::max(1, std::atoi(argv[++i]));
    } else if (a == "--families" && i + 1 < argc) {
      std::stringstream list(argv[++i]);
      for (std::string name; std::getline(list, name, ',');) {
        bool known = false;
        for (const std::string& f : FamilyNames()) known |= f == name;
        if (!known) {
          std::cerr << "orbanix-figures: no family " << name << '\n';
          return Usage(2);
        }
        base.families.insert(name);
      }
    } else if (a == "--verbose") {
      verbose = true;
    } else if (a == "--work" && i + 1 < argc) {
      work = argv[++i];
    } else if (a == "--help" || a == "-h") {
      return Usage(0);
    } else {
      return Usage(2);
    }
  }
  const bool ownWork = work.empty();
  if (ownWork) work = fs::temp_directory_path() / ("orbanix-figures-" + std::to_string(getpid()));
  int status = 0;
  bool header = false;
  for (Era era : eras) {
    RunOptions options = base;
    options.era = era;
    const std::string name = base.current ? (era == Era::kMbdb ? "mbdb+" : "db+") : (era == Era::kMbdb ? "mbdb" : "db");
    options.workDir = work / name;
    try {
      const std::vector<Figures> figures = Run(options);
      std::string table = FormatTable(figures, name);
      if (header) table.erase(0, table.find('\n') + 1);
      header = true;
      std::cout << table;
      if (verbose) {
        for (const Figures& f : figures) {
          for (const std::string& m : f.missed) std::cout << "  " << f.store << " missed: " << m << '\n';
          for (const std::string& p : f.phantomItems) std::cout << "  " << f.store << " phantom: " << p << '\n';
          for (const std::string& p : f.partlyItems) std::cout << "  " << f.store << " in part: " << p << '\n';
          for (const std::string& l : f.liveMissed) std::cout << "  " << f.store << " live row missed: " << l << '\n';
        }
      }
    } catch (const std::exception& e) {
      std::cerr << "orbanix-figures: " << name << ": " << e.what() << '\n';
      status = 1;
    }
  }
  if (ownWork) {
    std::error_code ec;
    fs::remove_all(work, ec);
  }
  return status;
}
