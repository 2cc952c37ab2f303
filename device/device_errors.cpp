#include "device/device_errors.h"

namespace orbanix::device {

namespace {

struct FailureTexts {
  const char* text;
  const char* english;
};

FailureTexts TextsOf(DeviceFailure failure) {
  switch (failure) {
    case DeviceFailure::kConnect: return {"连接失败", "cannot connect to the iPhone"};
    case DeviceFailure::kPairing: return {"配对失败", "the iPhone is not paired with this computer (unlock it and trust this computer)"};
    case DeviceFailure::kStartSession: return {"开始会话失败", "cannot start a session with the iPhone"};
    case DeviceFailure::kNotConnected: return {"未连接到iPhone", "no iPhone is connected"};
    case DeviceFailure::kStartFileService: return {"开始AFC文件服务失败", "the iPhone's file service cannot be started"};
    case DeviceFailure::kStopSession: return {"关闭会话失败", "cannot end the session with the iPhone"};
    case DeviceFailure::kOpenAfc: return {"连接AFC文件系统服务失败", "cannot open the iPhone's file service"};
    case DeviceFailure::kCloseAfc: return {"断开AFC文件系统服务失败", "cannot close the iPhone's file service"};
    case DeviceFailure::kFileInfoOpen: return {"准备查询该文件信息时失败: ", "cannot ask for the information of: "};
    case DeviceFailure::kFileInfoRead: return {"查询该文件信息时失败: ", "cannot read the information of: "};
    case DeviceFailure::kDirectoryOpen: return {"打开该目录信息失败: ", "cannot open the folder: "};
    case DeviceFailure::kDirectoryRead: return {"读取该目录信息失败: ", "cannot read the folder: "};
    case DeviceFailure::kFileOpen: return {"打开文件失败", "cannot open a file on the iPhone"};
    case DeviceFailure::kFileRead: return {"读取文件出错", "a file read on the iPhone failed"};
    case DeviceFailure::kReadDirectory: return {"尝试读取目录", "a folder was read as a file"};
    case DeviceFailure::kNoService: return {"", "no file service of the iPhone could be started"};
  }
  return {"", ""};
}

bool CarriesPath(DeviceFailure failure) {
  switch (failure) {
    case DeviceFailure::kFileInfoOpen:
    case DeviceFailure::kFileInfoRead:
    case DeviceFailure::kDirectoryOpen:
    case DeviceFailure::kDirectoryRead: return true;
    default: return false;
  }
}

}  // namespace

const char* FailureText(DeviceFailure failure) { return TextsOf(failure).text; }
const char* FailureEnglish(DeviceFailure failure) { return TextsOf(failure).english; }

DeviceError::DeviceError(DeviceFailure failure, const std::string& path)
    : std::runtime_error(std::string(FailureText(failure)) + (CarriesPath(failure) ? path : std::string())),
      failure_(failure),
      path_(path) {}

std::string DeviceError::English() const {
  return std::string(FailureEnglish(failure_)) + (CarriesPath(failure_) ? path_ : std::string());
}

}  // namespace orbanix::device
