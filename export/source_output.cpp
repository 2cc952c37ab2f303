#include "export/source_output.h"

namespace orbanix {

namespace {

// The source's plain-function copy callback, forwarded to the writer's report.
int ForwardReport(void* user, int percent, Status status, const std::filesystem::path& destination) {
  return (*static_cast<const ReportFn*>(user))(percent, status, destination);
}

}  // namespace

RecoveryOutputSource OutputSourceOf(IPhoneRecoveryParse& source) {
  RecoveryOutputSource out;
  IPhoneRecoveryParse* s = &source;
  out.copyFile = [s](const fs::path& from, const fs::path& to, const ReportFn& report) {
    return s->CopyFile(from, to, ForwardReport, const_cast<ReportFn*>(&report));
  };
  out.dumpMessageRows = [s](const fs::path& output, const MessageRowFilter& keep) {
    return s->DumpMessageRows(output, keep);
  };
  out.dumpContactRows = [s](const fs::path& output, const ContactRowFilter& keep) {
    return s->DumpContactRows(output, keep);
  };
  return out;
}

}  // namespace orbanix
