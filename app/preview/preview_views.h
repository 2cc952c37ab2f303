// The preview views of the scan page working together: the category tree,
// the list of the open category, the preview panel with the media preview,
// the deleted-only filter, the statistics line and the "Recover" and
// "Print" commands. The controls are the page's own (found by their names
// in the page's form); CPreviewHost lays out a set of its own for tests
// and tools.
#pragma once

#include <QCheckBox>
#include <QFrame>
#include <QLabel>
#include <QListWidget>
#include <QObject>
#include <QPushButton>
#include <QTextEdit>
#include <QTreeWidget>
#include <array>
#include <filesystem>
#include <functional>
#include <memory>

#include "app/preview/preview_data.h"

namespace orbanix::preview {

class CFileTreeCtrl;
class CFileListCtrl;
class CPreviewPanel;
class CMediaPreview;

struct PreviewControls {
  QTreeWidget* nodeTree = nullptr;       // "NodeTree"
  QTreeWidget* dataList = nullptr;       // "DataList"
  QPushButton* backAppDir = nullptr;     // "BtnBackAppDir"
  QWidget* filterToolBar = nullptr;      // "FilterToolBar"
  QCheckBox* filter = nullptr;           // "OptOnOffFilter"
  QLabel* filterCount = nullptr;         // "LblFilterCount"
  QPushButton* print = nullptr;          // "BtnPrint"
  QCheckBox* previewSwitch = nullptr;    // "OptOnOffPreview"
  QFrame* previewPanel = nullptr;        // "PreviewLayout"
  QTextEdit* previewEdit = nullptr;      // "PreviewEdit"
  QListWidget* messagesList = nullptr;   // "MessagesList"
  QLabel* statistics = nullptr;          // "LblStatistics"
  QPushButton* recover = nullptr;        // "BtnRecovery"
  QCheckBox* jsonExport = nullptr;       // "ChkJsonExport": also write the JSON Lines files (may be absent)
  QWidget* window = nullptr;             // owner of the pop-up windows
};

// Finds the controls below `root` by their object names.
PreviewControls FindPreviewControls(QWidget* root);

class CPreviewViews : public QObject {
  Q_OBJECT
 public:
  explicit CPreviewViews(const PreviewControls& controls, QObject* parent = nullptr);
  ~CPreviewViews() override;

  // A new scan: its results (filled as its operations end), its source and
  // the categories ticked for it. With `buildTree` the tree is built here;
  // otherwise the owner's tree nodes are taken (by their category numbers).
  void Start(ScanResults* results, IPhoneRecoveryParse* source, const std::array<bool, kCategoryCount>& ticked,
             bool buildTree = true);
  // The operation of these categories has ended: their items join the
  // selection, the tree counts and the statistics follow.
  void CategoriesReady(const std::vector<int>& categories);
  void AllReady();
  // While a scan runs "Recover" stays disabled.
  void SetScanning(bool scanning);
  // Drops everything (leaving the page).
  void Reset();

  void OpenCategory(Category category);
  // Another list takes the data area (the chats of QQ or WeChat): no
  // category is open, the panel is emptied, and the deleted-only filter and
  // Print, which belong to a category, go.
  void CloseCategory();
  void Preview(Category category, const void* id);
  void SetFilter(bool on);
  // "Print": the ticked records of the open category in the print preview.
  void Print();
  // "Recover" into `folder` (already chosen): runs the recovery window.
  // 1 finished, 2 cancelled or not started.
  int Recover(const QString& folder);
  void RefreshStatistics();

  // Where the print page is written; the recovery's document templates;
  // the device name for document titles; the backup (no output inside it).
  void SetPrintFolder(std::filesystem::path folder) { printFolder_ = std::move(folder); }
  void SetTemplateFolder(std::filesystem::path folder) { templateFolder_ = std::move(folder); }
  void SetDeviceName(std::string name) { deviceName_ = std::move(name); }
  void SetBackupFolder(std::filesystem::path folder) { backupFolder_ = std::move(folder); }
  // Items kept outside the selection (the chats of QQ and WeChat): how
  // many are ticked, for "Recover", and how the recovery writes them.
  using ExtraRecovery = std::function<void(RecoveryProgress& progress, const std::filesystem::path& root)>;
  void SetExtraRecovery(int ticked, ExtraRecovery write) {
    extraTicked_ = ticked;
    extraRecovery_ = std::move(write);
    RefreshStatistics();
  }

  PreviewData& data() { return data_; }
  CFileTreeCtrl* tree() const { return tree_; }
  CFileListCtrl* list() const { return list_; }
  CPreviewPanel* panel() const { return panel_; }
  CMediaPreview* media() const { return media_; }
  const PreviewControls& controls() const { return c_; }
  bool HasOpenCategory() const { return open_; }

 signals:
  void categoryOpened(int category);

 private:
  void RefreshFilterCount();
  // A locked note is being opened: asks for the notes password and, when it
  // is right, opens this note and every other locked note it fits.
  void OfferUnlock(const NoteRecord& note);

  PreviewControls c_;
  PreviewData data_;
  CFileTreeCtrl* tree_;
  CFileListCtrl* list_;
  CPreviewPanel* panel_;
  CMediaPreview* media_;
  bool scanning_ = false;
  bool open_ = false;
  // The entry whose record the panel shows (a text preview), if any.
  const void* shown_ = nullptr;
  std::filesystem::path printFolder_;
  std::filesystem::path templateFolder_;
  std::filesystem::path backupFolder_;
  std::string deviceName_;
  int extraTicked_ = 0;
  ExtraRecovery extraRecovery_;
};

// A page of its own with every control of the preview views, laid out as
// on the scan page: the tree on the left, the toolbar, the list and the
// preview panel in the middle, the statistics line and "Recover" below.
class CPreviewHost : public QWidget {
  Q_OBJECT
 public:
  explicit CPreviewHost(QWidget* parent = nullptr);
  CPreviewViews* views() const { return views_; }
  const PreviewControls& controls() const { return controls_; }

 private:
  PreviewControls controls_;
  CPreviewViews* views_;
};

}  // namespace orbanix::preview
