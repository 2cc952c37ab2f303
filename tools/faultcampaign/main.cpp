// orbanix-faultcampaign: damaged copies of generated backups of both eras,
// encrypted ones included, each scanned and recovered by the orbanix beside
// this program with a time limit. A case fails on a crash (a signal, a
// sanitizer report), a hang, a change to the backup, a write outside the
// output folder, a file left under a temporary name, or an exit code of 0
// without a warning when a file that a category needs was made unreadable.
// A damaged database of an unencrypted backup also goes through `orbanix
// sqlite`, which must fail when the file is cut, is no database, or has its
// first page zeroed.
//
//   orbanix-faultcampaign [--cases N] [--seed S] [--timeout SECONDS] [--work DIR] [--keep]
//
// Prints one line per failed run and the figures at the end; exit code 1
// when any run failed.
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/folders.h"
#include "platform/safe_file.h"
#include "sources/categories.h"
#include "sources/media_scan.h"
#include "sources/media_sniffer.h"
#include "sources/plist.h"
#include "tools/backupgen/encrypt.h"
#include "tools/backupgen/families.h"

extern char** environ;

namespace orbanix::campaign {
namespace {

constexpr const char* kPassword = "campaign password";
constexpr const char* kSentinel = "ORBANIX-CAMPAIGN-OUTSIDE-SENTINEL";

// What a stored file is to a scan.
enum class Role { kDatabase, kMedia, kManifest, kManifestPlist, kInfoPlist, kOther };

struct Target {
  std::string relative;  // inside the backup folder
  Role role = Role::kOther;
};

struct Base {
  std::string name;
  fs::path folder;
  bool encrypted = false;
  std::vector<Target> targets;
};

enum class Damage {
  kTruncate, kFlip, kZeroPage, kGarbage, kEmpty, kDirectory, kFifo, kSelfLink, kOutsideLink, kUnreadable,
  kDeepXml, kDeepBinary, kHugePlist,
  // The program's data folder cannot be searched; the output folder cannot
  // be written to; an old backup without Manifest.plist whose address book
  // is damaged (it must not be taken for an encrypted one).
  kDataFolderBlocked, kOutputReadOnly, kNoPlistDamagedBook,
  kKeyBagCut, kKeyBagFlip, kIterZero, kIterMax, kNoKeyBag, kManifestKeyCut,
};
constexpr int kDamageKinds = 22;
// The first kinds damage any file's bytes or replace it by another kind of
// file; the others are for property lists and key bags.
constexpr int kFileDamageKinds = 10;
const char* const kDamageNames[kDamageKinds] = {
    "truncate", "flip", "zero-page", "garbage", "empty", "directory", "fifo", "self-link", "outside-link",
    "unreadable", "deep-xml", "deep-binary", "huge-plist", "data-folder-blocked", "output-read-only",
    "no-plist-damaged-book", "keybag-cut", "keybag-flip", "iterations-0", "iterations-max", "no-keybag",
    "manifestkey-cut"};

bool ForPlists(Damage d) { return d == Damage::kDeepXml || d == Damage::kDeepBinary || d == Damage::kHugePlist; }
bool ForKeyBag(Damage d) { return d >= Damage::kKeyBagCut; }

std::string ReadAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteAll(const fs::path& p, const std::string& bytes) {
  std::ofstream(p, std::ios::binary | std::ios::trunc) << bytes;
}

// Every entry below a folder, links not followed: type, size and a digest
// of the bytes of each file, in one text to compare.
std::string Fingerprint(const fs::path& root) {
  std::map<std::string, std::string> entries;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root, fs::directory_options::skip_permission_denied, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    struct stat info {};
    if (::lstat(it->path().c_str(), &info) != 0) continue;
    std::string value = std::to_string(info.st_mode & S_IFMT) + ":" + std::to_string(info.st_size);
    if (S_ISREG(info.st_mode)) {
      const int fd = ::open(it->path().c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
      uint64_t hash = 1469598103934665603ull;
      char buffer[65536];
      ssize_t n;
      while (fd >= 0 && (n = ::read(fd, buffer, sizeof buffer)) > 0) {
        for (ssize_t i = 0; i < n; ++i) hash = (hash ^ static_cast<uint8_t>(buffer[i])) * 1099511628211ull;
      }
      if (fd >= 0) ::close(fd);
      value += ":" + std::to_string(hash);
    } else if (S_ISLNK(info.st_mode)) {
      value += ":" + fs::read_symlink(it->path(), ec).string();
    }
    entries[fs::relative(it->path(), root, ec).string()] = value;
  }
  std::string out;
  for (const auto& [k, v] : entries) out += k + "=" + v + "\n";
  return out;
}

Role RoleOf(const std::string& key) {
  for (const FixedDatabase* db : {&kAddressBookDb, &kMessagesDb, &kCallHistoryDb, &kOldCallHistoryDb, &kNotesDb}) {
    if (key == db->key) return Role::kDatabase;
  }
  if (key.find("ChatStorage.sqlite") != std::string::npos && !IsDatabaseSideFile(key)) return Role::kDatabase;
  const std::string_view name = LastComponent(key);
  const size_t dot = name.rfind('.');
  const bool mediaName =
      dot != std::string_view::npos && PreviewKindOf(std::string(name.substr(dot + 1))) != PreviewKind::None;
  if (mediaName && (PhotoAlbumOf(key) != PhotoAlbum::None || IsMessageAttachmentKey(key) || IsAppMediaKey(key))) {
    return Role::kMedia;
  }
  return Role::kOther;
}

bool MakeBase(const fs::path& root, const std::string& name, gen::Era era, bool encrypted, Base& base) {
  gen::BackupWriter writer(root / name, era);
  for (const gen::Family& f : gen::Families()) {
    if (std::string(f.name) == "chat_apps") continue;  // read only on request
    f.add(writer, gen::FamilyOptions{});
  }
  if (encrypted) {
    gen::EncryptionOptions options;
    options.password = kPassword;
    writer.EncryptWith(options);
  }
  std::string error;
  if (!writer.Finish(&error)) {
    std::cerr << "cannot generate " << name << ": " << error << "\n";
    return false;
  }
  base.name = name;
  base.folder = writer.folder();
  base.encrypted = encrypted;
  for (const gen::StoredFile& f : writer.files()) {
    if ((f.mode & 0xE000) != 0x8000) continue;
    const fs::path stored = writer.StoredPath(f.hashedName);
    base.targets.push_back({fs::relative(stored, base.folder).string(), RoleOf(f.domain + "-" + f.relativePath)});
  }
  for (const char* manifest : {"Manifest.mbdb", "Manifest.db"}) {
    if (fs::exists(base.folder / manifest)) base.targets.push_back({manifest, Role::kManifest});
  }
  base.targets.push_back({"Manifest.plist", Role::kManifestPlist});
  base.targets.push_back({"Info.plist", Role::kInfoPlist});
  return true;
}

// Manifest.plist with its key bag (or manifest key) damaged. `fatal` tells
// whether the damage must make deciphering impossible: a key bag cut inside
// its header (before the first class record), its iteration counts, a
// missing key bag, a cut manifest key. A cut among the class records or a
// flipped byte may leave every key the files need, and is not judged.
bool EditManifestPlist(const fs::path& path, Damage damage, std::mt19937& random, bool& fatal) {
  fatal = damage != Damage::kKeyBagFlip;
  PlistDoc doc = PlistDoc::Load(path);
  if (!doc) return false;
  plist_t root = doc.root();
  if (damage == Damage::kNoKeyBag) {
    plist_dict_remove_item(root, "BackupKeyBag");
  } else {
    const char* key = damage == Damage::kManifestKeyCut ? "ManifestKey" : "BackupKeyBag";
    auto bytes = PlistData(doc.Get(key));
    if (!bytes) return false;
    std::string bag = *bytes;
    switch (damage) {
      case Damage::kKeyBagCut:
      case Damage::kManifestKeyCut:
        bag.resize(random() % std::max<size_t>(1, bag.size()));
        if (damage == Damage::kKeyBagCut) {
          const size_t firstClass = bytes->find("CLAS");
          fatal = firstClass != std::string::npos && bag.size() < firstClass;
        }
        break;
      case Damage::kKeyBagFlip:
        for (int i = 0; i < 4 && !bag.empty(); ++i) bag[random() % bag.size()] ^= static_cast<char>(1 + random() % 255);
        break;
      case Damage::kIterZero:
      case Damage::kIterMax: {
        const size_t at = bag.find("ITER");
        if (at == std::string::npos || at + 12 > bag.size()) return false;
        const char value = damage == Damage::kIterZero ? '\0' : '\xFF';
        for (int i = 0; i < 4; ++i) bag[at + 8 + i] = value;
        break;
      }
      default:
        break;
    }
    plist_dict_set_item(root, key, plist_new_data(bag.data(), bag.size()));
  }
  char* out = nullptr;
  uint32_t length = 0;
  plist_to_bin(root, &out, &length);
  if (!out) return false;
  WriteAll(path, std::string(out, length));
  free(out);
  return true;
}

std::string DeepXml(size_t levels) {
  std::string out = "<?xml version=\"1.0\"?><plist version=\"1.0\">";
  out.reserve(levels * 15 + 64);
  for (size_t i = 0; i < levels; ++i) out += "<array>";
  for (size_t i = 0; i < levels; ++i) out += "</array>";
  return out + "</plist>";
}

std::string DeepBinary(uint32_t levels) {
  std::string out = "bplist00";
  std::vector<uint32_t> offsets;
  auto put = [&](uint64_t v, int size) {
    for (int i = size - 1; i >= 0; --i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
  };
  for (uint32_t i = 0; i < levels; ++i) {
    offsets.push_back(static_cast<uint32_t>(out.size()));
    if (i + 1 == levels) {
      out.push_back(static_cast<char>(0xA0));
    } else {
      out.push_back(static_cast<char>(0xA1));
      put(i + 1, 4);
    }
  }
  const uint64_t table = out.size();
  for (uint32_t o : offsets) put(o, 4);
  out.append(6, '\0');
  out.push_back(4);
  out.push_back(4);
  put(levels, 8);
  put(0, 8);
  put(table, 8);
  return out;
}

struct Applied {
  bool judged = false;      // a file a category needs was made unreadable: silence is a loss
  bool sqliteJudged = false;  // `orbanix sqlite` on the damaged database must exit 1
  bool asOtherUser = false;  // run as an unprivileged user (the file is unreadable to it)
  bool dataFolderBlocked = false;  // the data folder is made unsearchable before the runs
  bool outputReadOnly = false;     // the output folder exists and cannot be written to
  bool notEncrypted = false;       // no run may ask for a password or call the backup encrypted
  std::string what;
};

Applied Apply(const Base& base, const fs::path& folder, const Target& target, Damage damage, const fs::path& outside,
              std::mt19937& random) {
  Applied a;
  const fs::path file = folder / target.relative;
  a.what = std::string(kDamageNames[static_cast<int>(damage)]) + " " + target.relative;
  std::error_code ec;
  const std::string bytes = ReadAll(file);
  const size_t size = bytes.size();
  const bool needed = target.role == Role::kDatabase || target.role == Role::kMedia || target.role == Role::kManifest;
  const bool hard = damage == Damage::kGarbage || damage == Damage::kEmpty || damage == Damage::kDirectory ||
                    damage == Damage::kFifo || damage == Damage::kSelfLink || damage == Damage::kOutsideLink;
  switch (damage) {
    case Damage::kTruncate:
      fs::resize_file(file, size == 0 ? 0 : random() % size, ec);
      // A database or a manifest cut short always loses something; a media
      // file cut after its first bytes is still copied and not judged.
      a.judged = target.role == Role::kDatabase || target.role == Role::kManifest;
      break;
    case Damage::kFlip: {
      std::string changed = bytes;
      for (int i = 0; i < 8 && !changed.empty(); ++i) {
        changed[random() % changed.size()] ^= static_cast<char>(1 + random() % 255);
      }
      WriteAll(file, changed);
      break;
    }
    case Damage::kZeroPage: {
      std::string changed = bytes;
      const size_t pages = std::max<size_t>(1, size / 4096);
      const size_t page = random() % 2 == 0 ? 0 : random() % pages;
      for (size_t i = page * 4096; i < std::min(size, page * 4096 + 4096); ++i) changed[i] = '\0';
      WriteAll(file, changed);
      a.judged = page == 0 && target.role == Role::kDatabase && !base.encrypted;
      break;
    }
    case Damage::kGarbage: {
      std::string changed(size == 0 ? 4096 : size, '\0');
      for (char& c : changed) c = static_cast<char>(random());
      WriteAll(file, changed);
      break;
    }
    case Damage::kEmpty:
      WriteAll(file, "");
      break;
    case Damage::kDirectory:
      fs::remove(file, ec);
      fs::create_directories(file / "inner", ec);
      break;
    case Damage::kFifo:
      fs::remove(file, ec);
      ::mkfifo(file.c_str(), 0644);
      break;
    case Damage::kSelfLink:
      fs::remove(file, ec);
      fs::create_symlink(file.filename(), file, ec);
      break;
    case Damage::kOutsideLink: {
      // A copy of the real file outside the backup, marked, so that reading
      // through the link would show in the output.
      const fs::path elsewhere = outside / (base.name + "-" + fs::path(target.relative).filename().string());
      WriteAll(elsewhere, bytes + kSentinel);
      fs::remove(file, ec);
      fs::create_symlink(elsewhere, file, ec);
      break;
    }
    case Damage::kUnreadable:
      fs::permissions(file, fs::perms::none, ec);
      a.asOtherUser = ::geteuid() == 0;
      a.judged = needed;
      break;
    case Damage::kDeepXml:
      WriteAll(file, DeepXml(90000));
      break;
    case Damage::kDeepBinary:
      WriteAll(file, DeepBinary(90000));
      break;
    case Damage::kHugePlist:
      WriteAll(file, "<?xml version=\"1.0\"?><plist version=\"1.0\"><string>" + std::string(20u << 20, 'a') +
                         "</string></plist>");
      break;
    case Damage::kDataFolderBlocked:
      a.what = kDamageNames[static_cast<int>(damage)];
      a.dataFolderBlocked = true;
      a.asOtherUser = ::geteuid() == 0;
      break;
    case Damage::kOutputReadOnly:
      a.what = kDamageNames[static_cast<int>(damage)];
      a.outputReadOnly = true;
      a.asOtherUser = ::geteuid() == 0;
      break;
    case Damage::kNoPlistDamagedBook: {
      fs::remove(folder / "Manifest.plist", ec);
      const fs::path book = ResolveStoredPath(folder, kAddressBookDb.hashedName);
      std::string garbage(ReadAll(book).size(), '\0');
      for (char& c : garbage) c = static_cast<char>(random());
      WriteAll(book, garbage);
      a.what = std::string(kDamageNames[static_cast<int>(damage)]) + " " + kAddressBookDb.hashedName;
      a.judged = true;
      a.notEncrypted = true;
      break;
    }
    default:
      // Nothing can be deciphered after this: an error, never silence. (A
      // backup without the field, as older ones have no manifest key, is
      // left as it is.)
      bool fatal = false;
      const bool edited = EditManifestPlist(file, damage, random, fatal);
      a.judged = edited && fatal;
      if (!edited) a.what += " (not applicable)";
      break;
  }
  if (hard && needed) a.judged = true;
  // `orbanix sqlite` is given the stored database itself: any cut, a zeroed
  // first page, and every file that is no database must make it fail. (A
  // link given on its command line is followed: the user named it.)
  if (target.role == Role::kDatabase && !base.encrypted) {
    a.sqliteJudged = (damage == Damage::kTruncate && fs::file_size(file, ec) < size) ||
                     (damage == Damage::kZeroPage && a.judged) || damage == Damage::kGarbage ||
                     damage == Damage::kEmpty || damage == Damage::kDirectory || damage == Damage::kFifo ||
                     damage == Damage::kSelfLink || damage == Damage::kUnreadable;
  }
  // Random bytes in place of a media file shorter than a media header are
  // not told from a tiny image of an unknown kind: not judged.
  if (damage == Damage::kGarbage && target.role == Role::kMedia && size < 512) a.judged = false;
  // Without its Manifest.plist an encrypted backup cannot be deciphered.
  if (base.encrypted && target.role == Role::kManifestPlist && damage != Damage::kFlip && !ForKeyBag(damage) &&
      !a.dataFolderBlocked && !a.outputReadOnly) {
    a.judged = true;
  }
  return a;
}

struct Outcome {
  bool notRun = false;
  bool timedOut = false;
  bool crashed = false;
  int exitCode = -1;
  std::string err;
};

Outcome Run(const std::vector<std::string>& args, const fs::path& scratch, const std::string& name, int timeoutSeconds,
            uid_t user, gid_t group) {
  const fs::path out = scratch / (name + ".out"), err = scratch / (name + ".err");
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    const std::string v = *e;
    if (v.rfind("XDG_DATA_HOME=", 0) == 0 || v.rfind("HOME=", 0) == 0 || v.rfind("ASAN_OPTIONS=", 0) == 0 ||
        v.rfind("UBSAN_OPTIONS=", 0) == 0) {
      continue;
    }
    env.push_back(v);
  }
  env.push_back("XDG_DATA_HOME=" + (scratch / "xdg").string());
  env.push_back("HOME=" + (scratch / "home").string());
  env.push_back("ASAN_OPTIONS=exitcode=99:detect_leaks=0");
  env.push_back("UBSAN_OPTIONS=exitcode=98:print_stacktrace=1");
  std::vector<char*> argv, envp;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);

  const pid_t pid = ::fork();
  if (pid == 0) {
    ::setpgid(0, 0);
    const int in = ::open("/dev/null", O_RDONLY);
    const int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(in, 0);
    ::dup2(o, 1);
    ::dup2(e, 2);
    // 126: this run cannot be made (another user may not reach the
    // program); it is skipped, not counted.
    if (::chdir(scratch.c_str()) != 0) _exit(126);
    if (user != 0 && (::setgid(group) != 0 || ::setuid(user) != 0)) _exit(126);
    ::execve(argv[0], argv.data(), envp.data());
    _exit(126);
  }
  Outcome o;
  int status = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
  for (;;) {
    const pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid) break;
    if (std::chrono::steady_clock::now() > deadline) {
      o.timedOut = true;
      ::kill(-pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  o.err = ReadAll(err);
  if (!o.timedOut) {
    if (WIFSIGNALED(status)) o.crashed = true;
    if (WIFEXITED(status)) o.exitCode = WEXITSTATUS(status);
    if (o.exitCode == 98 || o.exitCode == 99) o.crashed = true;
    o.notRun = o.exitCode == 126;
  }
  if (o.err.find("Sanitizer") != std::string::npos || o.err.find("runtime error:") != std::string::npos) {
    o.crashed = true;
  }
  return o;
}

// Hands a folder tree to another user (for the runs as that user).
void GiveTo(const fs::path& root, uid_t user, gid_t group) {
  std::error_code ec;
  ::lchown(root.c_str(), user, group);
  for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    ::lchown(it->path().c_str(), user, group);
  }
}

int Main(int argc, char** argv) {
  int cases = 300, timeoutSeconds = 60;
  uint32_t seed = 1;
  fs::path work;
  bool keep = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--cases" && i + 1 < argc) cases = std::atoi(argv[++i]);
    else if (a == "--seed" && i + 1 < argc) seed = static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 10));
    else if (a == "--timeout" && i + 1 < argc) timeoutSeconds = std::atoi(argv[++i]);
    else if (a == "--work" && i + 1 < argc) work = argv[++i];
    else if (a == "--keep") keep = true;
    else {
      std::cerr << "usage: orbanix-faultcampaign [--cases N] [--seed S] [--timeout SECONDS] [--work DIR] [--keep]\n";
      return 2;
    }
  }
  const fs::path program = ProgramFolder() / "orbanix";
  if (!fs::exists(program)) {
    std::cerr << "orbanix-faultcampaign: " << program << " is missing\n";
    return 1;
  }
  if (work.empty()) work = fs::temp_directory_path() / ("orbanix-campaign-" + std::to_string(::getpid()));
  std::error_code ec;
  // The work folder is emptied first, so a folder given by --work is taken only
  // when it is empty or was made by an earlier campaign (it holds the mark).
  const fs::path mark = work / ".orbanix-campaign";
  if (fs::exists(work, ec) && !fs::is_empty(work, ec) && !fs::exists(mark, ec)) {
    std::cerr << "orbanix-faultcampaign: " << work << " is not empty and was not made by a campaign\n";
    return 2;
  }
  fs::remove_all(work, ec);
  fs::create_directories(work / "bases");
  WriteAll(mark, "");
  fs::create_directories(work / "outside");
  fs::permissions(work, fs::perms::all, ec);  // an unprivileged run reaches its case folders
  WriteAll(work / "outside" / "secret.txt", kSentinel);
  WriteAll(work / "password", std::string(kPassword) + "\n");

  std::vector<Base> bases(4);
  if (!MakeBase(work / "bases", "old", gen::Era::Mbdb, false, bases[0]) ||
      !MakeBase(work / "bases", "new", gen::Era::ManifestDb, false, bases[1]) ||
      !MakeBase(work / "bases", "old-encrypted", gen::Era::Mbdb, true, bases[2]) ||
      !MakeBase(work / "bases", "new-encrypted", gen::Era::ManifestDb, true, bases[3])) {
    return 1;
  }
  uid_t nobody = 0;
  gid_t nogroup = 0;
  if (const passwd* pw = ::getpwnam("nobody")) {
    nobody = pw->pw_uid;
    nogroup = pw->pw_gid;
  }

  std::mt19937 random(seed);
  int runs = 0, crashes = 0, hangs = 0, silent = 0, outsideWrites = 0, backupChanges = 0, leftovers = 0,
      skipped = 0;
  auto fail = [&](int index, const std::string& what, const std::string& damage, const std::string& detail) {
    std::cout << "case " << index << " (" << damage << "): " << what << (detail.empty() ? "" : ": " + detail)
              << std::endl;
  };
  const auto started = std::chrono::steady_clock::now();
  for (int index = 0; index < cases; ++index) {
    // The first cases go through every kind of damage on every base, on a
    // file each kind means the most for; then every damage of a file's
    // bytes or kind on each base's manifest; later ones are drawn at
    // random.
    const bool systematic = index < 4 * kDamageKinds;
    const int manifestCase = index - 4 * kDamageKinds;
    const bool onManifest = !systematic && manifestCase < 4 * kFileDamageKinds;
    const Base& base = bases[systematic    ? index / kDamageKinds
                             : onManifest ? manifestCase / kFileDamageKinds
                                          : random() % bases.size()];
    Damage damage = static_cast<Damage>(systematic    ? index % kDamageKinds
                                        : onManifest ? manifestCase % kFileDamageKinds
                                                     : random() % kDamageKinds);
    if (ForKeyBag(damage) && !base.encrypted) damage = Damage::kGarbage;
    if (damage == Damage::kNoPlistDamagedBook && (base.encrypted || base.name != "old")) damage = Damage::kTruncate;
    std::vector<const Target*> fits;
    for (const Target& t : base.targets) {
      const bool plist = t.role == Role::kManifestPlist || t.role == Role::kInfoPlist;
      if (ForKeyBag(damage) ? t.role == Role::kManifestPlist : ForPlists(damage) ? plist : true) fits.push_back(&t);
    }
    if (onManifest) {
      std::vector<const Target*> manifests;
      for (const Target* t : fits) {
        if (t->role == Role::kManifest) manifests.push_back(t);
      }
      fits = manifests;
    } else if (systematic && !ForPlists(damage) && !ForKeyBag(damage)) {
      std::vector<const Target*> needed;
      for (const Target* t : fits) {
        if (t->role == Role::kDatabase || t->role == Role::kMedia || t->role == Role::kManifest) needed.push_back(t);
      }
      if (!needed.empty()) fits = needed;
    }
    if (fits.empty()) {
      ++skipped;
      continue;
    }
    const Target& target = *fits[random() % fits.size()];
    const bool needsOtherUser =
        damage == Damage::kUnreadable || damage == Damage::kDataFolderBlocked || damage == Damage::kOutputReadOnly;
    if (needsOtherUser && ::geteuid() == 0 && nobody == 0) {
      ++skipped;
      std::cout << "case " << index << " (" << kDamageNames[static_cast<int>(damage)] << " " << target.relative
                << "): skipped: running as root and there is no user \"nobody\" to be refused as\n";
      continue;
    }

    const fs::path scratch = work / ("case-" + std::to_string(index));
    const fs::path backup = scratch / base.name;
    fs::create_directories(scratch / "xdg");
    fs::create_directories(scratch / "home");
    fs::copy(base.folder, backup, fs::copy_options::recursive, ec);
    const Applied applied = Apply(base, backup, target, damage, work / "outside", random);
    const std::string label = base.name + ": " + applied.what;
    uid_t user = 0;
    gid_t group = 0;
    if (applied.asOtherUser) {
      user = nobody;
      group = nogroup;
      GiveTo(scratch, user, group);
      fs::copy_file(work / "password", scratch / "password", ec);
      GiveTo(scratch / "password", user, group);
    }
    const fs::path password = applied.asOtherUser ? scratch / "password" : work / "password";
    if (applied.outputReadOnly) {
      fs::create_directories(scratch / "recovered", ec);
      fs::permissions(scratch / "recovered", fs::perms::owner_read | fs::perms::owner_exec |
                                                 fs::perms::group_read | fs::perms::group_exec |
                                                 fs::perms::others_read | fs::perms::others_exec, ec);
    }
    if (applied.dataFolderBlocked) fs::permissions(scratch / "xdg", fs::perms::none, ec);
    const std::string before = Fingerprint(backup);
    const std::string outsideBefore = Fingerprint(work / "outside");

    const fs::path output = scratch / "recovered";
    std::vector<std::vector<std::string>> commands = {
        {program.string(), "scan", "--json", "--password-file", password.string(), backup.string()},
        {program.string(), "recover", "--password-file", password.string(), backup.string(), output.string()},
    };
    // A database of an unencrypted backup also goes through the page
    // reader's own command.
    if (target.role == Role::kDatabase && !base.encrypted) {
      commands.push_back({program.string(), "sqlite", (backup / target.relative).string()});
    }
    bool caseFailed = false;
    for (size_t c = 0; c < commands.size(); ++c) {
      const std::string name = c == 0 ? "scan" : c == 1 ? "recover" : "sqlite";
      const bool judged = c < 2 ? applied.judged : applied.sqliteJudged;
      const Outcome o = Run(commands[c], scratch, name, timeoutSeconds, user, group);
      if (o.notRun) {
        ++skipped;
        std::cout << "case " << index << " (" << label << "): " << name
                  << " skipped: the program cannot be run as the other user\n";
        continue;
      }
      ++runs;
      if (o.timedOut) {
        ++hangs;
        caseFailed = true;
        fail(index, name + " did not end within " + std::to_string(timeoutSeconds) + " s", label, "");
      } else if (o.crashed) {
        ++crashes;
        caseFailed = true;
        fail(index, name + " crashed", label, o.err.substr(0, 2000));
      } else if (c < 2 && judged && o.exitCode == 0 && o.err.find("warning:") == std::string::npos) {
        ++silent;
        caseFailed = true;
        fail(index, name + " exited 0 without a warning", label, "");
      } else if (c == 1 && applied.outputReadOnly && o.exitCode == 0) {
        ++silent;
        caseFailed = true;
        fail(index, name + " exited 0 although the output folder cannot be written to", label, "");
      } else if (applied.notEncrypted && (o.err.find("backup password") != std::string::npos ||
                                          o.err.find("is encrypted") != std::string::npos ||
                                          o.err.find("deciphered") != std::string::npos)) {
        ++silent;
        caseFailed = true;
        fail(index, name + " took a damaged database for encryption", label, o.err.substr(0, 500));
      } else if (c == 2 && judged && o.exitCode == 0) {
        ++silent;
        caseFailed = true;
        fail(index, name + " exited 0 on a damaged database", label, o.err.substr(0, 500));
      }
    }
    if (Fingerprint(work / "outside") != outsideBefore) {
      ++outsideWrites;
      caseFailed = true;
      fail(index, "the folder outside the backup was changed", label, "");
    }
    if (Fingerprint(backup) != before) {
      ++backupChanges;
      caseFailed = true;
      fail(index, "the backup was changed", label, "");
    }
    // Nothing written beside the case's own folders, nothing read through a
    // link into the output, nothing left under a temporary name.
    for (const auto& e : fs::directory_iterator(scratch, ec)) {
      const std::string n = e.path().filename().string();
      if (n != base.name && n != "recovered" && n != "xdg" && n != "home" && n != "password" &&
          n.find(".out") == std::string::npos && n.find(".err") == std::string::npos) {
        ++outsideWrites;
        caseFailed = true;
        fail(index, "a file was written outside the output folder", label, n);
      }
    }
    for (auto it = fs::recursive_directory_iterator(output, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
      if (IsTemporaryOutputName(it->path().filename().string())) {
        ++leftovers;
        caseFailed = true;
        fail(index, "a temporary file was left", label, it->path().string());
      } else if (it->is_regular_file() && ReadAll(it->path()).find(kSentinel) != std::string::npos) {
        ++outsideWrites;
        caseFailed = true;
        fail(index, "a file outside the backup was read into the output", label, it->path().string());
      }
    }
    if (!keep && !caseFailed) fs::remove_all(scratch, ec);
    // A long campaign tells its figures so far every hundred cases.
    if ((index + 1) % 100 == 0 && index + 1 < cases) {
      std::printf("after %d cases: runs %d, crashes %d, hangs %d, silent losses %d, writes outside %d, "
                  "backup changes %d, temporary files left %d, skipped %d (%.0f s)\n",
                  index + 1, runs, crashes, hangs, silent, outsideWrites, backupChanges, leftovers, skipped,
                  std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
    }
    std::fflush(stdout);
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::printf("runs %d, crashes %d, hangs %d, silent losses %d, writes outside %d, backup changes %d, "
              "temporary files left %d, skipped %d (%d cases, seed %u, %.0f s)\n",
              runs, crashes, hangs, silent, outsideWrites, backupChanges, leftovers, skipped, cases, seed, seconds);
  const bool clean = crashes + hangs + silent + outsideWrites + backupChanges + leftovers == 0;
  if (!keep && clean) fs::remove_all(work, ec);
  return clean ? 0 : 1;
}

}  // namespace
}  // namespace orbanix::campaign

int main(int argc, char** argv) { return orbanix::campaign::Main(argc, argv); }
