// Fuzzes the manifest reader with the input as the manifest's bytes.
//
// The fields must match a plain reading of the documented syntax done on the
// whole buffer at once, whatever sizes the file's reads come in, and a read
// failure must act as the end of the file at that point. No field may pass
// ManifestReader::kMaxFieldBytes, the reader must stop, and it must keep
// saying "no field" once it has said so.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fake_platform.h"
#include "fuzz_check.h"
#include "manifest/manifest_reader.h"

namespace updater {
namespace {

constexpr wchar_t kPath[] = L"C:\\Temp\\OrvakBK.ini";
constexpr std::size_t kNever = static_cast<std::size_t>(-1);

// How the bytes come out of Read.
enum class Pieces {
  kAsAsked,    // as many as asked for
  kOneByOne,   // a single byte per call
  kScattered,  // pseudo-random counts from 1 up to the count asked for
};

class SliceFile final : public InputFile {
 public:
  SliceFile(std::string_view data, Pieces pieces, std::size_t failAt, std::uint32_t seed)
      : data_(data), pieces_(pieces), failAt_(failAt), seed_(seed) {}

  std::ptrdiff_t Read(char* buffer, std::size_t size) override {
    FUZZ_CHECK(size > 0, "Read asked for no bytes");
    FUZZ_CHECK(!failed_, "Read called again after it failed");
    if (pos_ == failAt_) {
      failed_ = true;
      return -1;
    }
    std::size_t n = std::min({size, data_.size() - pos_, failAt_ - pos_});
    if (n > 0 && pieces_ == Pieces::kOneByOne) n = 1;
    if (n > 0 && pieces_ == Pieces::kScattered) {
      seed_ = seed_ * 1103515245u + 12345u;
      n = 1 + (seed_ >> 8) % n;
    }
    std::memcpy(buffer, data_.data() + pos_, n);
    pos_ += n;
    return static_cast<std::ptrdiff_t>(n);
  }

 private:
  std::string_view data_;
  Pieces pieces_;
  std::size_t failAt_;
  std::uint32_t seed_;
  std::size_t pos_ = 0;
  bool failed_ = false;
};

// The fake platform, with a manifest that hands out the fuzz input.
class SlicePlatform final : public testing::FakePlatform {
 public:
  std::unique_ptr<InputFile> OpenFile(const std::wstring&) override {
    return std::make_unique<SliceFile>(data, pieces, failAt, seed);
  }

  std::string_view data;
  Pieces pieces = Pieces::kAsAsked;
  std::size_t failAt = kNever;
  std::uint32_t seed = 1;
};

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// The fields of `data`, read the plain way: the whole buffer at once.
std::vector<std::string> ExpectedFields(std::string_view data) {
  data = data.substr(0, data.find('\x1A'));  // Ctrl-Z ends the file
  const std::size_t n = data.size();
  auto separatorFrom = [data, n](std::size_t from) {
    return std::min(data.find_first_of(",\r\n", from), n);
  };
  std::vector<std::string> fields;
  std::size_t i = 0;
  for (;;) {
    // Everything from here to the separator is the field's share of the
    // file: blanks before it, quotes and what follows a closing quote too.
    const std::size_t start = i;
    while (i < n && IsBlank(data[i])) ++i;
    if (i == n) break;
    std::string field;
    if (data[i] == '"') {
      const std::size_t close = std::min(data.find('"', i + 1), n);
      field = data.substr(i + 1, close - i - 1);
      i = close == n ? n : separatorFrom(close + 1);
    } else {
      const std::size_t end = separatorFrom(i);
      field = data.substr(i, end - i);
      while (!field.empty() && IsBlank(field.back())) field.pop_back();
      i = end;
    }
    if (i - start > ManifestReader::kMaxFieldBytes) break;
    fields.push_back(field);
    if (i < n) i += data[i] == '\r' && i + 1 < n && data[i + 1] == '\n' ? 2 : 1;
  }
  return fields;
}

// Every field the reader gives, checking the limits on the way.
std::vector<std::wstring> ReadAll(ManifestReader& reader, std::size_t inputSize) {
  std::vector<std::wstring> fields;
  while (std::optional<std::wstring> field = reader.readField()) {
    FUZZ_CHECK(field->size() <= ManifestReader::kMaxFieldBytes, "field over the limit");
    fields.push_back(std::move(*field));
    // Every field but the last takes at least its separator from the file.
    FUZZ_CHECK(fields.size() <= inputSize + 1, "more fields than bytes: the reader loops");
  }
  for (int again = 0; again < 2; ++again) {
    FUZZ_CHECK(!reader.readField().has_value(), "a field after the end");
  }
  return fields;
}

// The fields as text: Windows-1252, or UTF-8 after the UTF-8 byte-order
// mark, which is no part of the first field.
std::vector<std::wstring> Expected(SlicePlatform& platform, std::string_view data) {
  const bool utf8 = data.substr(0, 3) == "\xEF\xBB\xBF";
  std::vector<std::wstring> fields;
  for (const std::string& field : ExpectedFields(utf8 ? data.substr(3) : data)) {
    fields.push_back(utf8 ? DecodeUtf8(field) : platform.AnsiToText(field));
  }
  return fields;
}

// `data` with the byte at a position chosen by `hash` repeated to within a
// few bytes of the field limit, on either side of it: inputs that long are
// out of the fuzzer's reach, and the limit is where a reader goes wrong. A
// separator would make thousands of empty fields instead, so an "x" stands
// in for it.
std::string Stretched(std::string_view data, std::uint32_t hash) {
  const std::size_t pos = hash % data.size();
  const std::size_t count = ManifestReader::kMaxFieldBytes - 4 + (hash >> 8) % 9;
  const char c = data[pos];
  const bool separator = c == ',' || c == '\r' || c == '\n' || c == '\x1A';
  std::string stretched(data.substr(0, pos));
  stretched.append(count, separator ? 'x' : c);
  stretched.append(data.substr(pos));
  return stretched;
}

// Reads `data` with the reader in pieces of `pieces` and compares with the
// plain reading.
void CheckAgainstSyntax(SlicePlatform& platform, ManifestReader& reader, std::string_view data,
                        Pieces pieces) {
  platform.data = data;
  platform.pieces = pieces;
  FUZZ_CHECK(reader.open(kPath), "open failed");
  FUZZ_CHECK(ReadAll(reader, data.size()) == Expected(platform, data),
             "fields differ from the syntax");
}

void FuzzOne(std::string_view data) {
  std::uint32_t hash = 2166136261u;
  for (char b : data) hash = (hash ^ static_cast<unsigned char>(b)) * 16777619u;

  SlicePlatform platform;
  platform.data = data;
  platform.seed = hash;
  const std::vector<std::wstring> expected = Expected(platform, data);

  ManifestReader reader(platform);
  for (Pieces pieces : {Pieces::kAsAsked, Pieces::kOneByOne, Pieces::kScattered}) {
    platform.pieces = pieces;
    // Read twice with the same reader: the second opening starts afresh.
    for (int pass = 0; pass < 2; ++pass) {
      FUZZ_CHECK(reader.open(kPath), "open failed");
      FUZZ_CHECK(ReadAll(reader, data.size()) == expected, "fields differ from the syntax");
    }
    reader.close();
  }

  // A read failure ends the file where it happens, and the field it cuts
  // short is not given: every field given is the file's own.
  platform.pieces = Pieces::kScattered;
  platform.failAt = hash % (data.size() + 1);
  FUZZ_CHECK(reader.open(kPath), "open failed");
  const std::vector<std::wstring> cut = ReadAll(reader, data.size());
  const std::vector<std::wstring> upTo = Expected(platform, data.substr(0, platform.failAt));
  FUZZ_CHECK(cut.size() <= expected.size() && std::equal(cut.begin(), cut.end(), expected.begin()),
             "a read failure gave a field the file does not hold");
  FUZZ_CHECK(cut.size() + 1 >= upTo.size(), "a read failure lost fields read before it");

  // Opening again mid-way also starts afresh.
  platform.failAt = kNever;
  FUZZ_CHECK(reader.open(kPath), "open failed");
  reader.readField();
  FUZZ_CHECK(reader.open(kPath), "open failed");
  FUZZ_CHECK(ReadAll(reader, data.size()) == expected, "a reopened reader kept old state");

  // A stretched reading costs as much as a hundred short ones: one input in
  // four gets it, read in one way of two.
  if (!data.empty() && hash % 4 == 0) {
    CheckAgainstSyntax(platform, reader, Stretched(data, hash >> 2),
                       hash & 4 ? Pieces::kScattered : Pieces::kAsAsked);
  }
}

}  // namespace
}  // namespace updater

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  updater::FuzzOne(std::string_view(reinterpret_cast<const char*>(data), size));
  return 0;
}
