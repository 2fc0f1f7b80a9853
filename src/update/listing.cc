// The manifest's list read once, in file order.
#include "update/listing.h"

#include "update/checksums.h"

namespace updater {
namespace {

const wchar_t kTerminator[] = L"slut";

using End = ManifestReader::FieldInfo::End;

}  // namespace

ManifestList::ManifestList(Platform& platform, ManifestReader& reader)
    : platform_(platform), reader_(reader) {}

std::optional<std::wstring> ManifestList::ReadVersion() { return reader_.readField(); }

std::optional<ManifestEntry> ManifestList::Next() {
  if (ended_) return std::nullopt;
  const std::optional<std::wstring> source = reader_.readField();
  if (!source) {
    ended_ = true;
    return std::nullopt;
  }
  // The terminator counts as soon as it is read, with or without a second
  // field after it, and also where the file ends right after it (a manifest
  // saved without a last line end), but not as a quote the file ended
  // before closing: that is the start of some longer field.
  if (TextEquals(platform_, *source, kTerminator) && !reader_.lastField().quoteOpen) {
    ended_ = terminated_ = true;
    return std::nullopt;
  }
  ManifestEntry entry;
  entry.source = *source;
  entry.sourceField = reader_.lastField();
  if (entry.sourceField.end != End::kFileEnd) {
    entry.destination = reader_.readField();
    if (entry.destination) entry.destinationField = reader_.lastField();
  }
  // A field the end of the file cut may be part of a longer name: the
  // entry is not used ("Sylkum.mde,Syl" must never create "Syl").
  if (!entry.destination || entry.destinationField.end == End::kFileEnd) {
    ended_ = true;
    cut_ = std::move(entry);
    return std::nullopt;
  }
  return entry;
}

Declarations ManifestList::ReadDeclarations(const std::wstring& productId,
                                            std::vector<StrayField>* stray) {
  Declarations declarations;
  if (!terminated_) return declarations;
  const std::wstring checksums = ChecksumFileName(productId);
  const std::wstring signature = SignatureFileName(productId);
  // A last field the end of the file cut may be the start of a declaration
  // still being written: it declares what it could become.
  const auto declares = [this](const std::wstring& field, const std::wstring& name) {
    return TextEquals(platform_, field, name) ||
           (reader_.lastField().end == End::kFileEnd && !field.empty() &&
            field.size() <= name.size() &&
            TextEquals(platform_, field, name.substr(0, field.size())));
  };
  while (const std::optional<std::wstring> field = reader_.readField()) {
    const bool declaresChecksums = declares(*field, checksums);
    const bool declaresSignature = declares(*field, signature);
    const bool declaresWhole = declares(*field, kWholeDeclaration);
    declarations.checksums = declarations.checksums || declaresChecksums || declaresSignature;
    declarations.signature = declarations.signature || declaresSignature;
    declarations.whole = declarations.whole || declaresWhole;
    if (!declaresChecksums && !declaresSignature && !declaresWhole && stray != nullptr) {
      stray->push_back({*field, reader_.lastField().line});
    }
  }
  return declarations;
}

}  // namespace updater
