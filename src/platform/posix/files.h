// The file operations of the POSIX platform: finding, reading and hashing
// files (files.cc), and changing them (file_changes.cc).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/handles.h"

namespace updater {
namespace posix {

// A file OpenFile opened for reading; its descriptor serves a copy made
// inside the system.
class PosixInputFile final : public InputFile {
 public:
  explicit PosixInputFile(int fd) : fd_(fd) {}
  std::ptrdiff_t Read(char* buffer, std::size_t size) override;
  bool Stamp(FileStamp* stamp) override;
  int fd() const { return fd_.get(); }

 private:
  Fd fd_;
};

// The file operations of Platform, with the meaning platform.h gives them,
// on paths written with "\" and matched without regard to letter case.
FindResult FindFileName(const std::wstring& path);
FolderPlace LocateFolder(const std::wstring& path);
std::unique_ptr<InputFile> OpenFile(const std::wstring& path);
bool HashFile(const std::wstring& path, Sha256* digest);
CopyError CreateNewFile(const std::wstring& path, const std::wstring& like,
                        std::unique_ptr<OutputFile>* file);
CopyError RenameFile(const std::wstring& from, const std::wstring& to, bool replace);
CopyError SyncFolder(const std::wstring& path);
CopyError RemoveFile(const std::wstring& path);
CopyError MakeFolder(const std::wstring& path);
CopyError RemoveFolder(const std::wstring& path);
bool FreeSpace(const std::wstring& path, std::uint64_t* bytes);
PathType TypeOf(const std::wstring& path);
bool ListFiles(const std::wstring& pattern, std::vector<std::wstring>* names);
std::unique_ptr<Sha256Stream> StartSha256();

}  // namespace posix
}  // namespace updater
