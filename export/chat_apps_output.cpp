#include "export/chat_apps_output.h"

#include <system_error>

#include "export/names.h"

namespace orbanix {

const char* ChatAppFolder(ChatApp app) { return app == ChatApp::kQQ ? "QQ" : "WeChat"; }

std::vector<ChatAppJob> ChatAppJobs(ChatApp app, const ChatAccountMap& accounts, bool deletedOnly) {
  std::vector<ChatAppJob> jobs;
  for (const auto& [account, chats] : accounts) {
    for (const auto& [chat, messages] : chats) {
      if (deletedOnly) {
        bool recovered = false;
        for (const PeerChatRecord& m : messages) recovered = recovered || m.deleted != 0;
        if (!recovered) continue;
      }
      jobs.push_back({app, account, chat});
    }
  }
  return jobs;
}

namespace {

struct Forward {
  RecoveryProgress* progress;
  bool completed = false;
};

int ForwardReport(void* user, int percent, Status status, const std::filesystem::path& destination) {
  auto* f = static_cast<Forward*>(user);
  if (percent >= 100) f->completed = true;
  return f->progress->Report(percent, status, destination);
}

}  // namespace

Status WriteChatApps(IPhoneRecoveryParse& source, const std::vector<ChatAppJob>& jobs,
                     const std::filesystem::path& outputRoot, RecoveryProgress& progress) {
  progress.AddToTotal(static_cast<int>(jobs.size()));
  Status first = status::kOk;
  for (const ChatAppJob& job : jobs) {
    if (progress.Cancelled()) return status::kCancelled;
    const std::filesystem::path folder =
        outputRoot / ChatAppFolder(job.app) / SanitizeName(job.account.empty() ? std::string("Unknown") : job.account);
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    std::filesystem::path file;
    Status st = ec ? static_cast<Status>(ec.value()) : status::kOk;
    if (st == status::kOk) st = UniqueOutputPath(folder / (SanitizeName(job.chat) + ".txt"), file);
    if (st == status::kOk && !IsInsideFolder(outputRoot, file)) st = status::kBadData;
    Forward forward{&progress};
    if (st == status::kOk) {
      st = job.app == ChatApp::kQQ ? source.ExportQQChat(job.account, job.chat, file, &ForwardReport, &forward)
                                   : source.ExportWeChatChat(job.account, job.chat, file, &ForwardReport, &forward);
    }
    if (progress.Cancelled()) return status::kCancelled;
    // Every chat completes once, also an empty one (which reports nothing)
    // and one that could not even be started.
    if (!forward.completed) {
      if (progress.Report(100, st, file.empty() ? folder / job.chat : file) != 0) return status::kCancelled;
    }
    if (st != status::kOk && first == status::kOk) first = st;
  }
  return first;
}

}  // namespace orbanix
