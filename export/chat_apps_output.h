// Writing the chats of QQ and WeChat into the recovery folder.
//
// Each one-to-one chat becomes one UTF-8 text file, through the data
// source's own chat export, at
//   <output>/QQ/<account>/<chat>.txt      <output>/WeChat/<account>/<chat>.txt
// with account and chat names sanitised and made unique. The files count in
// the run's progress like every other output: one completion each, a
// failure listed with its reason.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "export/progress.h"
#include "sources/recovery_source.h"

namespace orbanix {

enum class ChatApp { kQQ, kWeChat };

// One chat to write.
struct ChatAppJob {
  ChatApp app = ChatApp::kQQ;
  std::string account;
  std::string chat;
};

// Every chat of the given accounts, in account then chat order; with
// `deletedOnly`, only the chats holding a recovered message.
std::vector<ChatAppJob> ChatAppJobs(ChatApp app, const ChatAccountMap& accounts, bool deletedOnly = false);

// "QQ" / "WeChat": the folder of an application under the output folder.
const char* ChatAppFolder(ChatApp app);

// Writes `jobs` under `outputRoot`, adding them to the run's total first.
// Returns 0, kCancelled when the run was cancelled, or the first failure
// (the other chats are still written).
Status WriteChatApps(IPhoneRecoveryParse& source, const std::vector<ChatAppJob>& jobs,
                     const std::filesystem::path& outputRoot, RecoveryProgress& progress);

}  // namespace orbanix
