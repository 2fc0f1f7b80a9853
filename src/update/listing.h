// The manifest's list read once, in file order: the offered version, the
// entries one at a time, whether "slut" ended the list, and what the
// manifest declares after it. The run, the payload check and updater-tool
// all read the list through this one reader, so they cannot disagree on
// where it ends or what it holds; nothing is kept but the entry at hand.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "manifest/manifest_reader.h"
#include "platform/platform.h"

namespace updater {

// One entry of the manifest's list.
struct ManifestEntry {
  std::wstring source;
  std::optional<std::wstring> destination;  // no value: the file ended first
  ManifestReader::FieldInfo sourceField;
  ManifestReader::FieldInfo destinationField;
};

// What a manifest says after "slut", where older updaters never read.
struct Declarations {
  bool checksums = false;  // it comes with its checksum file
  bool signature = false;  // it comes with a signature of that file
  bool whole = false;      // it lands whole or not at all
};

// The field after "slut" by which a manifest says that its update lands
// whole or not at all ("all or nothing").
constexpr wchar_t kWholeDeclaration[] = L"helt-eller-slet-ikke";

// A field after "slut" that declares nothing, for those who explain a
// manifest.
struct StrayField {
  std::wstring text;
  std::size_t line = 0;
};

class ManifestList {
 public:
  // Reads the list from `reader`, opened at the manifest's first byte.
  ManifestList(Platform& platform, ManifestReader& reader);

  // The offered version, the manifest's first field; no value when the
  // file has none. Read once, before the first entry.
  std::optional<std::wstring> ReadVersion();

  // The next entry; no value at the end of the list: at "slut"
  // (terminated()), or where the file ends, a read fails or a field is too
  // long before it. An entry whose last field the end of the file cut
  // (nothing after it, not even a line end) is not given: that field may be
  // half of the name the maker wrote (a manifest still being written), and
  // it is kept apart in cutEntry().
  std::optional<ManifestEntry> Next();

  // True once "slut" ended the list; only such a list is the whole one.
  bool terminated() const { return terminated_; }
  // True when the list ended because a read failed.
  bool readFailed() const { return reader_.failed(); }
  // The entry the end of the file cut short, if any.
  const std::optional<ManifestEntry>& cutEntry() const { return cut_; }

  // After "slut": reads the rest of the file for what it declares about the
  // files that come with the manifest of `productId`. Fields that declare
  // nothing are counted, and kept in `stray` when given.
  Declarations ReadDeclarations(const std::wstring& productId,
                                std::vector<StrayField>* stray = nullptr);

 private:
  Platform& platform_;
  ManifestReader& reader_;
  bool ended_ = false;
  bool terminated_ = false;
  std::optional<ManifestEntry> cut_;
};

}  // namespace updater
