#include "export/documents.h"

#include <cerrno>
#include <cstdio>
#include <system_error>

#include "export/text_format.h"
#include "platform/folders.h"
#include "platform/safe_file.h"
#include "platform/text.h"
#include "platform/text_file.h"

namespace orbanix {

namespace {

Status Errno() { return errno != 0 ? errno : EIO; }

Status PrepareFolder(const fs::path& path) {
  return path.has_parent_path() ? CreateFolderTree(path.parent_path()) : status::kOk;
}

std::string Caption(const char* caption, std::string_view value) {
  return Format("%10s: ", caption) + std::string(value) + "\n";
}

}  // namespace

Status WriteConversationTxt(const fs::path& path, const std::vector<ConversationLine>& lines) {
  Status st = PrepareFolder(path);
  if (st != status::kOk) return st;
  Utf8TextFile file;
  st = file.Open(path);
  if (st != status::kOk) return st;
  for (const ConversationLine& line : lines) {
    const std::string entry = Caption(line.fromMe ? "To" : "From", line.label) + Caption("Date", line.date) +
                              Caption("Content", line.text) + "\n";
    st = file.Write(entry);
    if (st != status::kOk) return st;
  }
  return file.Close();
}

RecoveredFromCells RecoveredFromCsv(const RecoveredFrom& from) {
  if (!from.Known()) return {};
  return {RecoveredFromLabel(from.source), std::to_string(from.page), std::to_string(from.offset)};
}

Status WriteConversationCsv(const fs::path& path, const std::vector<ConversationLine>& lines) {
  Status st = PrepareFolder(path);
  if (st != status::kOk) return st;
  Utf8TextFile file;
  st = file.Open(path);
  if (st != status::kOk) return st;
  st = file.Write("Chats,Name/Phone,Date,Type,Content,Recovered From,Page,Offset\n");
  for (const ConversationLine& line : lines) {
    if (st != status::kOk) return st;
    const RecoveredFromCells from = RecoveredFromCsv(line.recoveredFrom);
    st = file.Write(CsvLine({line.csvName, line.csvAddress, line.date, line.fromMe ? "Send" : "Received", line.text,
                             from.source, from.page, from.offset}));
  }
  if (st != status::kOk) return st;
  return file.Close();
}

std::string MessageBlock(const ConversationLine& line) {
  std::string block = "<div class=\"date\">Date: " + HtmlEscape(line.date) + " " +
                      (line.fromMe ? std::string("Me") : HtmlEscape(line.sender)) + ":</div>\r\n";
  const char* cls = line.fromMe ? (line.deleted ? "del_send_msg" : "send_msg")
                                : (line.deleted ? "del_recv_msg" : "recv_msg");
  block += "<div class=\"" + std::string(cls) + "\">" + HtmlEscape(line.text) + "</div>\r\n";
  return block;
}

Status WriteConversationHtml(const fs::path& path, std::string_view head, std::string_view tail,
                             const std::vector<ConversationLine>& lines, const ReportFn& report,
                             bool& stopped) {
  stopped = false;
  Status st = PrepareFolder(path);
  // Written under a temporary name, renamed when whole.
  OutputFile out;
  std::FILE* file = nullptr;
  if (st == status::kOk) st = out.Open(path);
  if (st == status::kOk && !(file = out.stream())) st = Errno();
  if (st != status::kOk) {
    report(100, st, path);
    return st;
  }

  std::string body;
  const uint64_t n = lines.size();
  for (uint64_t i = 0; i < n; ++i) {
    body += MessageBlock(lines[i]);
    const int percent = static_cast<int>(((i + 1) * 100) / n);
    if (percent < 100 && report(percent, status::kOk, path) != 0) {
      stopped = true;
      break;
    }
  }
  if (stopped) return status::kCancelled;  // the temporary file goes with `out`

  errno = 0;
  for (std::string_view part : {head, std::string_view(body), tail}) {
    if (st == status::kOk && std::fwrite(part.data(), 1, part.size(), file) != part.size()) st = Errno();
  }
  if (st == status::kOk) st = out.Commit();
  if (report(100, st, path) != 0) stopped = true;
  return st;
}

std::string TableRow(const std::vector<std::string>& cellsHtml, bool deleted) {
  std::string row = deleted ? "\t<tr class=\"deleted\">" : "\t<tr>";
  for (const std::string& cell : cellsHtml) row += "<td>" + cell + "</td>";
  row += "</tr>\r\n";
  return row;
}

std::string PhonesCell(std::string_view phones) {
  std::string cell;
  size_t start = 0;
  while (true) {
    const size_t nl = phones.find('\n', start);
    cell += HtmlEscape(phones.substr(start, nl == std::string_view::npos ? std::string_view::npos : nl - start));
    if (nl == std::string_view::npos) break;
    cell += "<br />";
    start = nl + 1;
  }
  return cell;
}

std::string TextCell(std::string_view text) { return HtmlEscape(text); }

Status WriteBinaryFile(const fs::path& path, std::initializer_list<std::string_view> parts) {
  Status st = PrepareFolder(path);
  if (st != status::kOk) return st;
  OutputFile out;
  if ((st = out.Open(path)) != status::kOk) return st;
  errno = 0;
  std::FILE* file = out.stream();
  if (!file) return Errno();
  for (std::string_view part : parts) {
    if (st == status::kOk && std::fwrite(part.data(), 1, part.size(), file) != part.size()) st = Errno();
  }
  return st == status::kOk ? out.Commit() : st;  // a failed one leaves nothing behind
}

}  // namespace orbanix
