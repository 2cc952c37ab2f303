// WhatsApp's chat store (ChatStorage.sqlite, a Core Data store) in the
// layouts that the app has used. The layouts are named by the column count
// of ZWAMESSAGE: 27, 28, 29 and 30 (older app versions, which also moved
// columns of ZWACHATSESSION and ZWAGROUPMEMBER), and kWhatsAppWideLayout for
// a current store with more columns in every table. Dates are reals counting
// seconds since 2001-01-01.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/backupgen/families.h"

namespace orbanix::gen {

inline constexpr int kWhatsAppWideLayout = 36;

struct GenWaChat {
  int64_t pk = 0;
  std::string jid;   // "<number>@s.whatsapp.net", groups "<id>@g.us"
  std::string name;
  bool deleted = false;
};

struct GenWaMember {
  int64_t pk = 0;
  int64_t chat = 0;
  std::string jid;
  std::string name;
  bool deleted = false;
};

struct GenWaMedia {
  int64_t pk = 0;
  int64_t message = 0;
  std::string localPath;  // empty: NULL (not downloaded)
};

struct GenWaMessage {
  int64_t pk = 0;
  int64_t chat = 0;         // ZCHATSESSION; 0 stores NULL
  int64_t lastSession = 0;  // ZLASTSESSION where the layout has it (defaults to chat)
  int64_t member = 0;       // ZGROUPMEMBER; 0 stores NULL
  int64_t media = 0;        // ZMEDIAITEM; 0 stores NULL
  bool fromMe = false;
  std::string text;         // empty: NULL
  int64_t unixDate = 0;
  double fraction = 0.0;
  bool deleted = false;
};

struct GenWaPushName {
  std::string jid;
  std::string name;
};

struct GenWhatsApp {
  int layout = 0;
  std::vector<GenWaPushName> pushNames;  // ZWAPROFILEPUSHNAME; none: no such table
  std::vector<GenWaChat> chats;
  std::vector<GenWaMember> members;
  std::vector<GenWaMedia> media;
  std::vector<GenWaMessage> messages;
};

// The column names of one table in one layout, in schema order.
std::vector<std::string> WhatsAppColumns(const std::string& table, int layout);

// The content of the family for a layout at this scale.
GenWhatsApp WhatsAppContent(int layout, const FamilyOptions& options);

// Writes ChatStorage.sqlite at `path`; rows marked deleted are inserted and
// deleted again. `emptyMessages` leaves ZWAMESSAGE without rows.
void BuildWhatsAppDb(const fs::path& path, const GenWhatsApp& content, bool emptyMessages = false);

// The family: the older era's backup holds a layout-30 store in the app's
// own domain, the newer one a wide store in the shared app-group domain,
// each with one downloaded picture.
void AddWhatsAppFamily(BackupWriter& writer, const FamilyOptions& options);

// A current store: the wide layout with group members known only by their
// push name (ZWAPROFILEPUSHNAME) or only by their number.
GenWhatsApp CurrentWhatsAppContent(const FamilyOptions& options);
void AddCurrentWhatsAppFamily(BackupWriter& writer, const FamilyOptions& options);

}  // namespace orbanix::gen
