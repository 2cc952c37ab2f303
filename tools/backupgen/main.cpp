// orbanix-gen: writes synthetic backups.
//
//   orbanix-gen demo ROOT
//   orbanix-gen backup [--era mbdb|db] [--current] [--binary-plist] [--families a,b,...] [--scale N]
//                      [--password-file FILE] FOLDER
#include <cstring>
#include <fstream>
#include <iostream>
#include <set>
#include <sstream>

#include "tools/backupgen/encrypt.h"
#include "tools/backupgen/families.h"

using namespace orbanix::gen;

namespace {

int Usage(int code) {
  (code == 0 ? std::cout : std::cerr)
      << "usage: orbanix-gen demo ROOT\n"
         "       orbanix-gen backup [--era mbdb|db] [--current] [--binary-plist] [--families LIST] [--scale N]\n"
         "                          [--password-file FILE] FOLDER\n"
         "  --password-file FILE  write an encrypted backup whose password is FILE's first line\n"
         "families:";
  for (const Family& f : Families()) (code == 0 ? std::cout : std::cerr) << ' ' << f.name;
  (code == 0 ? std::cout : std::cerr) << '\n';
  return code;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage(2);
  const std::string command = argv[1];
  if (command == "--help" || command == "-h") return Usage(0);
  try {
    if (command == "demo") {
      if (argc != 3) return Usage(2);
      std::string error;
      auto folders = WriteDemo(argv[2], &error);
      if (!error.empty()) {
        std::cerr << "orbanix-gen: " << error << '\n';
        return 1;
      }
      for (const auto& f : folders) std::cout << f.string() << '\n';
      return 0;
    }
    if (command == "backup") {
      Era era = Era::Mbdb;
      DeviceInfo device;
      FamilyOptions options;
      std::set<std::string> wanted;
      std::string folder;
      std::string passwordFile;
      bool current = false;
      for (int i = 2; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--era" && i + 1 < argc) {
          const std::string e = argv[++i];
          if (e == "mbdb") era = Era::Mbdb;
          else if (e == "db") era = Era::ManifestDb;
          else return Usage(2);
        } else if (a == "--current") {
          current = true;
        } else if (a == "--binary-plist") {
          device.binaryPlists = true;
        } else if (a == "--families" && i + 1 < argc) {
          std::stringstream list(argv[++i]);
          for (std::string name; std::getline(list, name, ',');) wanted.insert(name);
        } else if (a == "--scale" && i + 1 < argc) {
          options.scale = std::max(1, std::atoi(argv[++i]));
        } else if (a == "--password-file" && i + 1 < argc) {
          passwordFile = argv[++i];
        } else if (a == "--help") {
          return Usage(0);
        } else if (!a.empty() && a[0] != '-' && folder.empty()) {
          folder = a;
        } else {
          return Usage(2);
        }
      }
      if (folder.empty()) return Usage(2);
      BackupWriter writer(folder, era, device);
      if (!passwordFile.empty()) {
        std::ifstream in(passwordFile);
        EncryptionOptions encryption;
        if (!in || !std::getline(in, encryption.password)) {
          std::cerr << "orbanix-gen: cannot read " << passwordFile << '\n';
          return 1;
        }
        if (!encryption.password.empty() && encryption.password.back() == '\r') encryption.password.pop_back();
        writer.EncryptWith(encryption);
      }
      for (const Family& f : current ? CurrentFamilies() : Families()) {
        if (wanted.empty() || wanted.count(f.name)) f.add(writer, options);
      }
      std::string error;
      if (!writer.Finish(&error)) {
        std::cerr << "orbanix-gen: " << error << '\n';
        return 1;
      }
      std::cout << writer.folder().string() << '\n';
      return 0;
    }
  } catch (const std::exception& e) {
    std::cerr << "orbanix-gen: " << e.what() << '\n';
    return 1;
  }
  return Usage(2);
}
