// One payload file copied into place.
#include "update/copy.h"

namespace updater {

CopyError CopyIntoPlace(Platform& platform, const std::wstring& source,
                        const std::wstring& destination, const Sha256* expected) {
  std::wstring staged;
  const CopyError staging = platform.StageCopy(source, destination, expected, &staged);
  if (staging != CopyError::kNone) return staging;
  CopyError error = platform.ReplaceWithStaged(staged, destination);
  for (int retry = 0; retry < kBusyRetries && error == CopyError::kInUse; ++retry) {
    platform.Sleep(kBusyRetryPauseMs);
    error = platform.ReplaceWithStaged(staged, destination);
  }
  if (error != CopyError::kNone) platform.DiscardStaged(staged);
  return error;
}

}  // namespace updater
