// One payload file copied into place on its own: written beside its
// destination, then renamed over it.
#include "update/copy.h"

#include "update/staging.h"

namespace updater {

CopyError CopyIntoPlace(Platform& platform, const std::wstring& source,
                        const std::wstring& destination, const Sha256* expected) {
  RemoveLeftovers(platform, destination);
  std::wstring staged;
  const CopyError staging = StageFile(platform, source, destination, expected, &staged);
  if (staging != CopyError::kNone) return staging;
  const CopyError error = RenameRetrying(platform, staged, destination, true);
  if (error != CopyError::kNone) {
    platform.RemoveFile(staged);
    return error;
  }
  // The rename made durable with its folder; a folder that cannot be
  // flushed leaves the rename to the system's own time.
  platform.SyncFolder(FolderOf(destination));
  return CopyError::kNone;
}

}  // namespace updater
