#include "tools/backupgen/backup_writer.h"

#include <plist/plist.h>
#include <sqlite3.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <stdexcept>

#include "platform/digest.h"
#include "sources/plist.h"

namespace orbanix::gen {

namespace {

void PutU16(std::string& out, uint16_t v) {
  out.push_back(static_cast<char>(v >> 8));
  out.push_back(static_cast<char>(v));
}
void PutU32(std::string& out, uint32_t v) {
  for (int s = 24; s >= 0; s -= 8) out.push_back(static_cast<char>(v >> s));
}
void PutU64(std::string& out, uint64_t v) {
  for (int s = 56; s >= 0; s -= 8) out.push_back(static_cast<char>(v >> s));
}
// mbdb string: u16 length then bytes; 0xFFFF stands for "no value".
void PutString(std::string& out, const std::string& s, bool nullWhenEmpty) {
  if (s.empty() && nullWhenEmpty) {
    PutU16(out, 0xFFFF);
    return;
  }
  PutU16(out, static_cast<uint16_t>(s.size()));
  out += s;
}

bool WriteBytes(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

int32_t AppleSeconds(int64_t unixSeconds) { return static_cast<int32_t>(unixSeconds - kAppleEpochOffset); }

}  // namespace

BackupWriter::BackupWriter(fs::path folder, Era era, DeviceInfo device)
    : folder_(std::move(folder)), era_(era), device_(std::move(device)) {
  if (device_.udid.empty()) device_.udid = Sha1Hex(folder_.filename().string());
  fs::create_directories(folder_);
}

fs::path BackupWriter::StoredPath(const std::string& hashedName) const {
  if (era_ == Era::Mbdb) return folder_ / hashedName;
  return folder_ / hashedName.substr(0, 2) / hashedName;
}

StoredFile& BackupWriter::Record(const std::string& domain, const std::string& relativePath, uint16_t mode) {
  StoredFile f;
  f.domain = domain;
  f.relativePath = relativePath;
  f.mode = mode;
  f.hashedName = Sha1Hex(domain + "-" + relativePath);
  f.modified = device_.lastBackupUnix;
  files_.push_back(std::move(f));
  return files_.back();
}

fs::path BackupWriter::AddFile(const std::string& domain, const std::string& relativePath,
                               const std::string& bytes) {
  StoredFile& f = Record(domain, relativePath, 0100644);
  f.size = bytes.size();
  const fs::path target = StoredPath(f.hashedName);
  fs::create_directories(target.parent_path());
  if (!WriteBytes(target, bytes)) throw std::runtime_error("cannot write " + target.string());
  return target;
}

fs::path BackupWriter::AddFileFrom(const std::string& domain, const std::string& relativePath,
                                   const fs::path& source) {
  StoredFile& f = Record(domain, relativePath, 0100644);
  f.size = fs::file_size(source);
  const fs::path target = StoredPath(f.hashedName);
  fs::create_directories(target.parent_path());
  std::error_code ec;
  fs::rename(source, target, ec);
  if (ec) fs::copy_file(source, target, fs::copy_options::overwrite_existing);
  return target;
}

void BackupWriter::AddDirectory(const std::string& domain, const std::string& relativePath) {
  Record(domain, relativePath, 040755);
}

void BackupWriter::AddLink(const std::string& domain, const std::string& relativePath, const std::string& target) {
  Record(domain, relativePath, 0120755).linkTarget = target;
}

fs::path BackupWriter::ScratchPath(const std::string& name) {
  const fs::path scratch = folder_ / ".scratch";
  fs::create_directories(scratch);
  return scratch / name;
}

void BackupWriter::EncryptWith(EncryptionOptions options) { encryption_ = std::move(options); }

bool BackupWriter::EncryptStoredFiles(std::string* error) {
  const bool doubleDerivation = encryption_->derivation == KeyDerivation::Double ||
                                (encryption_->derivation == KeyDerivation::ByEra && era_ == Era::ManifestDb);
  keys_ = std::make_unique<BackupKeys>(*encryption_, doubleDerivation);
  const auto& plain = encryption_->plainHashedNames;
  std::map<std::string, std::string> done;  // a file listed twice is enciphered once
  for (StoredFile& f : files_) {
    if ((f.mode & 0xF000) != 0x8000) continue;
    if (std::find(plain.begin(), plain.end(), f.hashedName) != plain.end()) {
      f.encryptionKey.clear();
      continue;
    }
    if (auto it = done.find(f.hashedName); it != done.end()) {
      f.encryptionKey = it->second;
      continue;
    }
    const fs::path stored = StoredPath(f.hashedName);
    if (!fs::exists(stored)) continue;
    const std::string fileKey = RandomBytes(32);
    if (!EncryptFileInPlace(stored, fileKey, error)) return false;
    f.encryptionKey = keys_->WrapWithClass(f.protectionClass, fileKey);
    done[f.hashedName] = f.encryptionKey;
  }
  return true;
}

bool BackupWriter::Finish(std::string* error) {
  bool ok = !encryption_ || EncryptStoredFiles(error);
  ok = ok && (era_ == Era::Mbdb ? WriteMbdb(error) : WriteManifestDb(error));
  if (ok && encryption_ && era_ == Era::ManifestDb && encryption_->encryptManifestDb) {
    ok = EncryptFileInPlace(folder_ / "Manifest.db", keys_->ManifestDbKey(), error);
  }
  ok = ok && WritePlists(error);
  std::error_code ec;
  fs::remove_all(folder_ / ".scratch", ec);
  return ok;
}

bool BackupWriter::WriteMbdb(std::string* error) {
  std::string out("mbdb\x05\x00", 6);
  uint64_t inode = 1000;
  for (const StoredFile& f : files_) {
    PutString(out, f.domain, false);
    PutString(out, f.relativePath, true);
    PutString(out, f.linkTarget, true);
    PutString(out, "", true);  // data hash
    PutString(out, f.encryptionKey, true);
    PutU16(out, f.mode);
    PutU64(out, inode++);
    PutU32(out, 501);
    PutU32(out, 501);
    for (int i = 0; i < 3; ++i) PutU32(out, static_cast<uint32_t>(f.modified));
    PutU64(out, f.size);
    out.push_back(static_cast<char>(f.protectionClass));
    out.push_back(0);  // no properties
  }
  if (!WriteBytes(folder_ / "Manifest.mbdb", out)) {
    if (error) *error = "cannot write Manifest.mbdb";
    return false;
  }
  return true;
}

std::string ArchiveFileProperties(const StoredFile& file) {
  // $objects: [ "$null", MBFile dict, relative path, (encryption key dict,
  // key data), class description ]
  plist_t objects = plist_new_array();
  plist_array_append_item(objects, plist_new_string("$null"));
  plist_t mbfile = plist_new_dict();
  plist_array_append_item(objects, mbfile);
  plist_array_append_item(objects, plist_new_string(file.relativePath.c_str()));
  plist_dict_set_item(mbfile, "RelativePath", plist_new_uid(2));
  uint64_t classIndex = 3;
  if (!file.encryptionKey.empty()) {
    plist_t keyObject = plist_new_dict();
    plist_dict_set_item(keyObject, "NS.data", plist_new_data(file.encryptionKey.data(), file.encryptionKey.size()));
    plist_dict_set_item(keyObject, "$class", plist_new_uid(4));
    plist_array_append_item(objects, keyObject);
    plist_t dataClass = plist_new_dict();
    plist_dict_set_item(dataClass, "$classname", plist_new_string("NSMutableData"));
    plist_t chain = plist_new_array();
    plist_array_append_item(chain, plist_new_string("NSMutableData"));
    plist_array_append_item(chain, plist_new_string("NSData"));
    plist_array_append_item(chain, plist_new_string("NSObject"));
    plist_dict_set_item(dataClass, "$classes", chain);
    plist_array_append_item(objects, dataClass);
    plist_dict_set_item(mbfile, "EncryptionKey", plist_new_uid(3));
    classIndex = 5;
  }
  if (!file.linkTarget.empty()) {
    plist_array_append_item(objects, plist_new_string(file.linkTarget.c_str()));
    plist_dict_set_item(mbfile, "Target", plist_new_uid(classIndex));
    ++classIndex;
  }
  plist_t fileClass = plist_new_dict();
  plist_dict_set_item(fileClass, "$classname", plist_new_string("MBFile"));
  plist_t chain = plist_new_array();
  plist_array_append_item(chain, plist_new_string("MBFile"));
  plist_array_append_item(chain, plist_new_string("NSObject"));
  plist_dict_set_item(fileClass, "$classes", chain);
  plist_array_append_item(objects, fileClass);
  plist_dict_set_item(mbfile, "$class", plist_new_uid(classIndex));
  plist_dict_set_item(mbfile, "Size", plist_new_uint(file.size));
  plist_dict_set_item(mbfile, "Mode", plist_new_uint(file.mode));
  plist_dict_set_item(mbfile, "ProtectionClass", plist_new_uint(file.protectionClass));
  plist_dict_set_item(mbfile, "UserID", plist_new_uint(501));
  plist_dict_set_item(mbfile, "GroupID", plist_new_uint(501));
  plist_dict_set_item(mbfile, "LastModified", plist_new_uint(static_cast<uint64_t>(file.modified)));
  plist_dict_set_item(mbfile, "LastStatusChange", plist_new_uint(static_cast<uint64_t>(file.modified)));
  plist_dict_set_item(mbfile, "Birth", plist_new_uint(static_cast<uint64_t>(file.modified)));
  plist_dict_set_item(mbfile, "Flags", plist_new_uint(0));

  plist_t root = plist_new_dict();
  plist_dict_set_item(root, "$version", plist_new_uint(100000));
  plist_dict_set_item(root, "$archiver", plist_new_string("NSKeyedArchiver"));
  plist_t top = plist_new_dict();
  plist_dict_set_item(top, "root", plist_new_uid(1));
  plist_dict_set_item(root, "$top", top);
  plist_dict_set_item(root, "$objects", objects);
  char* bin = nullptr;
  uint32_t len = 0;
  plist_to_bin(root, &bin, &len);
  std::string out(bin ? bin : "", len);
  free(bin);
  plist_free(root);
  return out;
}

bool BackupWriter::WriteManifestDb(std::string* error) {
  const fs::path path = folder_ / "Manifest.db";
  fs::remove(path);
  sqlite3* db = nullptr;
  auto fail = [&](const std::string& what) {
    if (error) *error = "Manifest.db: " + what + (db ? std::string(": ") + sqlite3_errmsg(db) : "");
    if (db) sqlite3_close(db);
    return false;
  };
  if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) return fail("open");
  const char* schema =
      "PRAGMA journal_mode=OFF;"
      "CREATE TABLE Files (fileID TEXT PRIMARY KEY, domain TEXT, relativePath TEXT, flags INTEGER, file BLOB);"
      "CREATE INDEX FilesDomainIdx ON Files(domain);"
      "CREATE INDEX FilesRelativePathIdx ON Files(relativePath);"
      "CREATE INDEX FilesFlagsIdx ON Files(flags);"
      "CREATE TABLE Properties (key TEXT PRIMARY KEY, value BLOB);"
      "BEGIN;";
  if (sqlite3_exec(db, schema, nullptr, nullptr, nullptr) != SQLITE_OK) return fail("schema");
  sqlite3_stmt* insert = nullptr;
  if (sqlite3_prepare_v2(db, "INSERT OR REPLACE INTO Files VALUES (?,?,?,?,?)", -1, &insert, nullptr) != SQLITE_OK)
    return fail("prepare");
  for (const StoredFile& f : files_) {
    const int flags = (f.mode & 0xF000) == 0x4000 ? 2 : (f.mode & 0xF000) == 0xA000 ? 4 : 1;
    const std::string blob = ArchiveFileProperties(f);
    sqlite3_bind_text(insert, 1, f.hashedName.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(insert, 2, f.domain.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(insert, 3, f.relativePath.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int(insert, 4, flags);
    sqlite3_bind_blob(insert, 5, blob.data(), static_cast<int>(blob.size()), SQLITE_TRANSIENT);
    if (sqlite3_step(insert) != SQLITE_DONE) {
      sqlite3_finalize(insert);
      return fail("insert");
    }
    sqlite3_reset(insert);
  }
  sqlite3_finalize(insert);
  if (sqlite3_exec(db, "COMMIT;", nullptr, nullptr, nullptr) != SQLITE_OK) return fail("commit");
  sqlite3_close(db);
  return true;
}

bool WritePlistFile(const fs::path& path, void* plist, bool binary) {
  char* bytes = nullptr;
  uint32_t len = 0;
  if (binary) {
    plist_to_bin(static_cast<plist_t>(plist), &bytes, &len);
  } else {
    plist_to_xml(static_cast<plist_t>(plist), &bytes, &len);
  }
  const bool ok = bytes && WriteBytes(path, std::string(bytes, len));
  free(bytes);
  return ok;
}

bool BackupWriter::WritePlists(std::string* error) {
  const int32_t when = AppleSeconds(device_.lastBackupUnix);
  plist_t info = plist_new_dict();
  plist_dict_set_item(info, "Build Version", plist_new_string("13G36"));
  plist_dict_set_item(info, "Device Name", plist_new_string(device_.deviceName.c_str()));
  plist_dict_set_item(info, "Display Name", plist_new_string(device_.displayName.c_str()));
  plist_dict_set_item(info, "GUID", plist_new_string("---"));
  plist_dict_set_item(info, "Last Backup Date", plist_new_date(when, 0));
  plist_dict_set_item(info, "Phone Number", plist_new_string(device_.phoneNumber.c_str()));
  plist_dict_set_item(info, "Product Type", plist_new_string(device_.productType.c_str()));
  plist_dict_set_item(info, "Product Version", plist_new_string(device_.productVersion.c_str()));
  plist_dict_set_item(info, "Serial Number", plist_new_string(device_.serialNumber.c_str()));
  plist_dict_set_item(info, "Target Type", plist_new_string("Device"));
  plist_dict_set_item(info, "Unique Identifier", plist_new_string(device_.udid.c_str()));
  plist_dict_set_item(info, "iTunes Version", plist_new_string("12.5.1"));
  bool ok = WritePlistFile(folder_ / "Info.plist", info, device_.binaryPlists);
  plist_free(info);

  plist_t manifest = plist_new_dict();
  plist_dict_set_item(manifest, "Version", plist_new_string(era_ == Era::Mbdb ? "9.1" : "10.0"));
  plist_dict_set_item(manifest, "Date", plist_new_date(when, 0));
  plist_dict_set_item(manifest, "WasPasscodeSet", plist_new_bool(0));
  if (device_.writeIsEncrypted) plist_dict_set_item(manifest, "IsEncrypted", plist_new_bool(encryption_ ? 1 : 0));
  if (encryption_) {
    const std::string& bag = keys_->KeyBag();
    plist_dict_set_item(manifest, "BackupKeyBag", plist_new_data(bag.data(), bag.size()));
    if (era_ == Era::ManifestDb && encryption_->encryptManifestDb) {
      const std::string& field = keys_->ManifestKeyField();
      plist_dict_set_item(manifest, "ManifestKey", plist_new_data(field.data(), field.size()));
    }
  }
  plist_t lockdown = plist_new_dict();
  plist_dict_set_item(lockdown, "DeviceName", plist_new_string(device_.deviceName.c_str()));
  plist_dict_set_item(lockdown, "ProductVersion", plist_new_string(device_.productVersion.c_str()));
  plist_dict_set_item(lockdown, "ProductType", plist_new_string(device_.productType.c_str()));
  plist_dict_set_item(lockdown, "SerialNumber", plist_new_string(device_.serialNumber.c_str()));
  plist_dict_set_item(manifest, "Lockdown", lockdown);
  ok = ok && WritePlistFile(folder_ / "Manifest.plist", manifest, true);
  plist_free(manifest);

  plist_t statusPlist = plist_new_dict();
  plist_dict_set_item(statusPlist, "SnapshotState", plist_new_string("finished"));
  plist_dict_set_item(statusPlist, "IsFullBackup", plist_new_bool(0));
  plist_dict_set_item(statusPlist, "BackupState", plist_new_string("new"));
  plist_dict_set_item(statusPlist, "Date", plist_new_date(when, 0));
  plist_dict_set_item(statusPlist, "UUID", plist_new_string(device_.udid.c_str()));
  plist_dict_set_item(statusPlist, "Version", plist_new_string(era_ == Era::Mbdb ? "2.4" : "3.3"));
  ok = ok && WritePlistFile(folder_ / "Status.plist", statusPlist, true);
  plist_free(statusPlist);
  if (!ok && error) *error = "cannot write the property lists";
  return ok;
}

}  // namespace orbanix::gen
