// Failures of the device services.
//
// The services raise a DeviceError carrying one of the fixed message texts
// below (the path is appended to the texts that end with ": "); the data
// source catches them at its operation boundary and turns them into a
// status. The texts are the services' own and are shown as they are; each
// has an English rendering for the command line.
#pragma once

#include <cerrno>
#include <stdexcept>
#include <string>

#include "platform/status.h"

namespace orbanix::device {

// The status of an operation that lost its phone (or never had one):
// ENODEV, "No such device".
inline constexpr Status kNoDevice = ENODEV;

enum class DeviceFailure {
  kConnect,          // "连接失败"
  kPairing,          // "配对失败"
  kStartSession,     // "开始会话失败"
  kNotConnected,     // "未连接到iPhone"
  kStartFileService, // "开始AFC文件服务失败"
  kStopSession,      // "关闭会话失败"
  kOpenAfc,          // "连接AFC文件系统服务失败"
  kCloseAfc,         // "断开AFC文件系统服务失败"
  kFileInfoOpen,     // "准备查询该文件信息时失败: " + path
  kFileInfoRead,     // "查询该文件信息时失败: " + path
  kDirectoryOpen,    // "打开该目录信息失败: " + path
  kDirectoryRead,    // "读取该目录信息失败: " + path
  kFileOpen,         // "打开文件失败"
  kFileRead,         // "读取文件出错"
  kReadDirectory,    // "尝试读取目录"
  kNoService,        // "" (no file service could be started on a reopening)
};

// The fixed text of a failure, as the services show it.
const char* FailureText(DeviceFailure failure);
// The same in English.
const char* FailureEnglish(DeviceFailure failure);

class DeviceError : public std::runtime_error {
 public:
  explicit DeviceError(DeviceFailure failure, const std::string& path = {});
  DeviceFailure failure() const { return failure_; }
  const std::string& path() const { return path_; }
  // The English text, with the path where the message carries one.
  std::string English() const;

 private:
  DeviceFailure failure_;
  std::string path_;
};

}  // namespace orbanix::device
