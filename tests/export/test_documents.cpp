// Escaping, CSV quoting, durations, templates and the conversation
// documents.
#include <gtest/gtest.h>

#include "export/documents.h"
#include "export/templates.h"
#include "export/text_format.h"
#include "platform/text_file.h"
#include "tests/export/temp_folder.h"

namespace orbanix {
namespace {

constexpr const char* kBom = "\xEF\xBB\xBF";

TEST(TextForms, HtmlEscapeKeepsRecordsAsText) {
  EXPECT_EQ(HtmlEscape("<script>alert(1)</script>"), "&lt;script&gt;alert(1)&lt;/script&gt;");
  EXPECT_EQ(HtmlEscape("Tom & \"Jerry\" 'x'"), "Tom &amp; &quot;Jerry&quot; &#39;x&#39;");
  EXPECT_EQ(HtmlEscape("{|person|}"), "&#123;|person|}");
  EXPECT_EQ(HtmlEscape("Zoë"), "Zoë");
}

TEST(TextForms, CsvFieldsFollowRfc4180) {
  EXPECT_EQ(CsvField("plain"), "plain");
  EXPECT_EQ(CsvField("a,b"), "\"a,b\"");
  EXPECT_EQ(CsvField("say \"hi\""), "\"say \"\"hi\"\"\"");
  EXPECT_EQ(CsvField("two\nlines"), "\"two\nlines\"");
  EXPECT_EQ(CsvField(""), "");
  EXPECT_EQ(CsvLine({"Bob", "+49", "hello, world"}), "Bob,+49,\"hello, world\"\r\n");
}

TEST(TextForms, DurationsAndCallCells) {
  EXPECT_EQ(DurationText(0), "0 Sec");
  EXPECT_EQ(DurationText(59), "59 Sec");
  EXPECT_EQ(DurationText(60), "1 Min 0 Sec");
  EXPECT_EQ(DurationText(3725), "1 Hour 2 Min");
  EXPECT_EQ(CallDurationCell(0, true), "Missed");
  EXPECT_EQ(CallDurationCell(0, false), "Canceled");
  EXPECT_EQ(CallDurationCell(59, false), "59 Sec");
  EXPECT_EQ(SizeText(1023), "1023 Bytes");
  EXPECT_EQ(SizeText(-5), "-5 Bytes");
  EXPECT_EQ(SizeText(1536), "1.50 KB");
  EXPECT_EQ(SizeText(3 << 20), "3.00 MB");
}

TEST(Templates, SplitAtTheFirstContentMarkerAndTitleOnlyInTheHead) {
  DocumentTemplate t;
  ASSERT_TRUE(SplitTemplate("<h1>{|title|}</h1>{|title|}{|content|}<p>{|title|}{|content|}</p>", "Notes of <Ann>", t));
  EXPECT_EQ(t.head, "<h1>Notes of &lt;Ann&gt;</h1>Notes of &lt;Ann&gt;");
  EXPECT_EQ(t.tail, "<p>{|title|}{|content|}</p>");  // title after content stays; second marker is text
  EXPECT_FALSE(SplitTemplate("<p>no marker</p>", "x", t));
  // A title holding a marker is not searched again.
  ASSERT_TRUE(SplitTemplate("{|title|}|{|content|}", "{|title|}", t));
  EXPECT_EQ(t.head, "&#123;|title|}|");
}

TEST(Templates, PersonLineIsReplacedEverywhereInTheHeadAndEscaped) {
  DocumentTemplate t;
  ASSERT_TRUE(SplitTemplate("<b>{|person|}</b><i>{|person|}</i>{|content|}{|person|}", "", t));
  EXPECT_EQ(PersonHead(t, "Name: A&B, Phone: 1"), "<b>Name: A&amp;B, Phone: 1</b><i>Name: A&amp;B, Phone: 1</i>");
  // The call-history template has no person line: a marker there stays.
  ASSERT_TRUE(SplitTemplate("{|person|}{|content|}", "", t));
  EXPECT_EQ(t.head, "{|person|}");
}

TEST(Templates, LoadReportsTheMissingFileByName) {
  TempFolder dir;
  DocumentTemplates templates;
  std::string error;
  const Status st = templates.Load(dir.path(), "iPhone", error);
  EXPECT_EQ(st, ENOENT);
  EXPECT_NE(error.find("CallHistory.html"), std::string::npos) << error;
  for (const char* name : {"CallHistory.html", "Notes.html", "contacts.html", "Sms.html", "WhatsApp.html", "Calendar.html",
                           "Reminders.html", "Safari.html"}) {
    WriteAll(dir.path() / name, std::string(kBom) + "<title>{|title|}</title>{|content|}</html>");
  }
  WriteAll(dir.path() / "Sms.html", "no marker");
  EXPECT_EQ(templates.Load(dir.path(), "iPhone", error), status::kBadData);
  EXPECT_NE(error.find("Sms.html"), std::string::npos) << error;
  WriteAll(dir.path() / "Sms.html", "{|person|}{|content|}");
  ASSERT_EQ(templates.Load(dir.path(), "Ann's iPhone", error), 0) << error;
  EXPECT_EQ(templates.notes.head, std::string(kBom) + "<title>iPhone&#39;s Notes of Ann&#39;s iPhone</title>");
  EXPECT_EQ(templates.notes.tail, "</html>");
}

TEST(Utf8TextFile, BomCrLfAndOpenFailure) {
  TempFolder dir;
  Utf8TextFile file;
  ASSERT_EQ(file.Open(dir.path() / "a.txt"), 0);
  ASSERT_EQ(file.Write("one\ntwo\r"), 0);
  ASSERT_EQ(file.Write("\nthree\r\n"), 0);  // a CR LF split over two writes stays one line end
  ASSERT_EQ(file.Close(), 0);
  EXPECT_EQ(ReadAll(dir.path() / "a.txt"), std::string(kBom) + "one\r\ntwo\r\nthree\r\n");
  EXPECT_EQ(file.Open(dir.path() / "missing" / "a.txt"), ENOENT);
  EXPECT_EQ(file.Write("x"), status::kBadData);
}

std::vector<ConversationLine> ThreeMessages() {
  std::vector<ConversationLine> lines(3);
  lines[0] = {false, false, "2014-01-02 03:04:05", "Anna(A)", "Anna", "Hi, <b>you</b>", "Anna", "A", {}};
  lines[1] = {true, false, "2014-01-02 03:05:00", "Anna(A)", "Anna", "say \"yes\"\nplease", "", "", {}};
  lines[2] = {false, true, "2014-01-02 03:06:00", "Anna(A)", "Anna", "<script>alert(1)</script>", "Anna", "A", {}};
  lines[2].recoveredFrom = {7, 1020, RowSource::kStalePointer};
  return lines;
}

TEST(ConversationDocuments, TxtLinesAreRightAlignedWithBomAndCrLf) {
  TempFolder dir;
  auto lines = ThreeMessages();
  lines.resize(1);
  ASSERT_EQ(WriteConversationTxt(dir.path() / "sub" / "Anna(A).txt", lines), 0);
  EXPECT_EQ(ReadAll(dir.path() / "sub" / "Anna(A).txt"),
            std::string(kBom) + "      From: Anna(A)\r\n      Date: 2014-01-02 03:04:05\r\n   Content: Hi, <b>you</b>\r\n\r\n");
}

TEST(ConversationDocuments, CsvValuesWithCommasQuotesAndLineBreaksStayOneField) {
  TempFolder dir;
  ASSERT_EQ(WriteConversationCsv(dir.path() / "c.csv", ThreeMessages()), 0);
  EXPECT_EQ(ReadAll(dir.path() / "c.csv"),
            std::string(kBom) +
                "Chats,Name/Phone,Date,Type,Content,Recovered From,Page,Offset\r\n"
                "Anna,A,2014-01-02 03:04:05,Received,\"Hi, <b>you</b>\",,,\r\n"
                ",,2014-01-02 03:05:00,Send,\"say \"\"yes\"\"\r\nplease\",,,\r\n"
                "Anna,A,2014-01-02 03:06:00,Received,<script>alert(1)</script>,stale cell pointer,7,1020\r\n");
}

TEST(ConversationDocuments, TxtAndCsvOpenFailuresAreReported) {
  TempFolder dir;
  fs::create_directories(dir.path() / "taken.txt");  // a folder where the file should go
  EXPECT_NE(WriteConversationTxt(dir.path() / "taken.txt", ThreeMessages()), 0);
  fs::create_directories(dir.path() / "taken.csv");
  EXPECT_NE(WriteConversationCsv(dir.path() / "taken.csv", ThreeMessages()), 0);
}

struct Reports {
  std::vector<std::pair<int, Status>> calls;
  int stopAt = -1;  // answer 2 from this call on
  ReportFn fn() {
    return [this](int percent, Status st, const fs::path&) {
      calls.emplace_back(percent, st);
      return stopAt >= 0 && static_cast<int>(calls.size()) > stopAt ? 2 : 0;
    };
  }
};

TEST(ConversationDocuments, HtmlBlocksEscapeTextAndReport33_66_100) {
  TempFolder dir;
  Reports reports;
  bool stopped = false;
  const fs::path path = dir.path() / "Anna(A).html";
  ASSERT_EQ(WriteConversationHtml(path, "<head>", "</tail>", ThreeMessages(), reports.fn(), stopped), 0);
  EXPECT_FALSE(stopped);
  EXPECT_EQ(reports.calls, (std::vector<std::pair<int, Status>>{{33, 0}, {66, 0}, {100, 0}}));
  EXPECT_EQ(ReadAll(path),
            "<head>"
            "<div class=\"date\">Date: 2014-01-02 03:04:05 Anna:</div>\r\n"
            "<div class=\"recv_msg\">Hi, &lt;b&gt;you&lt;/b&gt;</div>\r\n"
            "<div class=\"date\">Date: 2014-01-02 03:05:00 Me:</div>\r\n"
            "<div class=\"send_msg\">say &quot;yes&quot;\nplease</div>\r\n"
            "<div class=\"date\">Date: 2014-01-02 03:06:00 Anna:</div>\r\n"
            "<div class=\"del_recv_msg\">&lt;script&gt;alert(1)&lt;/script&gt;</div>\r\n"
            "</tail>");
}

TEST(ConversationDocuments, HtmlOfOneOrNoMessageCompletesOnce) {
  TempFolder dir;
  bool stopped = false;
  Reports one;
  auto lines = ThreeMessages();
  lines.resize(1);
  lines[0].fromMe = true;
  lines[0].deleted = true;
  ASSERT_EQ(WriteConversationHtml(dir.path() / "one.html", "", "", lines, one.fn(), stopped), 0);
  EXPECT_EQ(one.calls, (std::vector<std::pair<int, Status>>{{100, 0}}));
  EXPECT_NE(ReadAll(dir.path() / "one.html").find("<div class=\"del_send_msg\">"), std::string::npos);
  Reports none;
  ASSERT_EQ(WriteConversationHtml(dir.path() / "none.html", "<h>", "<t>", {}, none.fn(), stopped), 0);
  EXPECT_EQ(none.calls, (std::vector<std::pair<int, Status>>{{100, 0}}));
  EXPECT_EQ(ReadAll(dir.path() / "none.html"), "<h><t>");
}

TEST(ConversationDocuments, HtmlCancelLeavesNoPartialFileAndOpenFailureIsOneCompletion) {
  TempFolder dir;
  bool stopped = false;
  Reports cancel;
  cancel.stopAt = 0;  // the first report is answered with 2
  EXPECT_EQ(WriteConversationHtml(dir.path() / "x.html", "h", "t", ThreeMessages(), cancel.fn(), stopped),
            status::kCancelled);
  EXPECT_TRUE(stopped);
  EXPECT_EQ(cancel.calls.size(), 1u);
  EXPECT_FALSE(fs::exists(dir.path() / "x.html"));

  Reports failed;
  fs::create_directories(dir.path() / "dir.html");
  const Status st = WriteConversationHtml(dir.path() / "dir.html", "h", "t", ThreeMessages(), failed.fn(), stopped);
  EXPECT_EQ(st, EISDIR);
  EXPECT_EQ(failed.calls, (std::vector<std::pair<int, Status>>{{100, EISDIR}}));
}

TEST(TableRows, CellsAreEscapedAndPhonesJoinedByBreaks) {
  EXPECT_EQ(PhonesCell("+1 555\n+1 556\n<3>"), "+1 555<br />+1 556<br />&lt;3&gt;");
  EXPECT_EQ(TableRow({TextCell("A&B"), PhonesCell("1\n2")}, false), "\t<tr><td>A&amp;B</td><td>1<br />2</td></tr>\r\n");
  EXPECT_EQ(TableRow({"x"}, true), "\t<tr class=\"deleted\"><td>x</td></tr>\r\n");
}

}  // namespace
}  // namespace orbanix
