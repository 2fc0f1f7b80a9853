// Reading the update manifest field by field.
#include "manifest/manifest_reader.h"

#include <algorithm>
#include <cstring>

#include "platform/text.h"

namespace updater {
namespace {

constexpr int kEnd = -1;
constexpr int kEndOfFileMark = 26;  // Ctrl-Z

bool IsBlank(int c) { return c == ' ' || c == '\t'; }
bool IsLineEnd(int c) { return c == '\r' || c == '\n'; }

}  // namespace

ManifestReader::ManifestReader(Platform& platform) : platform_(platform) {}

namespace {

// Bytes in memory, read as a file.
class BytesFile final : public InputFile {
 public:
  explicit BytesFile(const std::string& bytes) : bytes_(bytes) {}
  std::ptrdiff_t Read(char* buffer, std::size_t size) override {
    const std::size_t n = std::min(size, bytes_.size() - pos_);
    std::memcpy(buffer, bytes_.data() + pos_, n);
    pos_ += n;
    return static_cast<std::ptrdiff_t>(n);
  }

 private:
  const std::string& bytes_;
  std::size_t pos_ = 0;
};

}  // namespace

void ManifestReader::openBytes(const std::string& bytes) {
  close();
  Begin(std::make_unique<BytesFile>(bytes));
}

void ManifestReader::openFile(std::unique_ptr<InputFile> file) {
  close();
  Begin(std::move(file));
}

bool ManifestReader::open(const std::wstring& path) {
  close();
  std::unique_ptr<InputFile> file = platform_.OpenFile(path);
  if (file == nullptr) return false;
  Begin(std::move(file));
  return true;
}

void ManifestReader::Begin(std::unique_ptr<InputFile> file) {
  file_ = std::move(file);
  // The first bytes tell whether the file declares itself UTF-8.
  while (end_ < 3) {
    const std::ptrdiff_t got = file_->Read(buffer_ + end_, sizeof buffer_ - end_);
    if (got == 0) break;
    if (got < 0) {
      // The file ends where the read failed, after what came before it.
      failPending_ = true;
      break;
    }
    end_ += static_cast<std::size_t>(got);
  }
  if (end_ >= 3 && buffer_[0] == '\xEF' && buffer_[1] == '\xBB' && buffer_[2] == '\xBF') {
    utf8_ = true;
    pos_ = 3;
  }
}

void ManifestReader::close() {
  file_.reset();
  pos_ = end_ = 0;
  pushed_ = -2;
  atEnd_ = false;
  failed_ = false;
  utf8_ = false;
  failPending_ = false;
  line_ = lastLine_ = pushedLine_ = 1;
  previous_ = -1;
  lastField_ = FieldInfo();
}

void ManifestReader::countLine(int c) {
  lastLine_ = line_;
  if (c == '\r') {
    ++line_;
  } else if (c == '\n') {
    if (previous_ == '\r') {
      lastLine_ = line_ - 1;  // the LF of a CR LF ends the CR's line
    } else {
      ++line_;
    }
  }
  previous_ = c;
}

int ManifestReader::next() {
  if (pushed_ != -2) {
    const int c = pushed_;
    pushed_ = -2;
    lastLine_ = pushedLine_;
    return c;
  }
  if (atEnd_ || !file_) return kEnd;
  if (pos_ == end_) {
    const std::ptrdiff_t got = failPending_ ? -1 : file_->Read(buffer_, sizeof buffer_);
    if (got <= 0) {
      atEnd_ = true;
      failed_ = got < 0;
      countLine(kEnd);
      return kEnd;
    }
    pos_ = 0;
    end_ = static_cast<std::size_t>(got);
  }
  const int c = static_cast<unsigned char>(buffer_[pos_++]);
  if (c == kEndOfFileMark) {
    atEnd_ = true;
    countLine(kEnd);
    return kEnd;
  }
  countLine(c);
  return c;
}

void ManifestReader::unread(int byte) {
  pushed_ = byte;
  pushedLine_ = lastLine_;
}

std::optional<std::wstring> ManifestReader::readField() {
  // Everything this field takes from the file up to its separator counts
  // against the limit: blanks before it, its quotes and what follows a
  // closing quote as much as its text, so that no run of bytes makes the
  // reader go through a huge file. The separator itself is the one take more.
  std::size_t taken = 0;
  bool overlong = false;
  auto take = [this, &taken, &overlong]() {
    if (++taken > kMaxFieldBytes + 1) {
      overlong = true;
      atEnd_ = true;
      return kEnd;
    }
    return next();
  };

  int c = take();
  while (IsBlank(c)) c = take();
  if (c == kEnd) return std::nullopt;
  lastField_.line = lastLine_;

  std::string bytes;
  const bool quoted = c == '"';
  bool closed = false;
  if (quoted) {
    for (c = take(); c != '"' && c != kEnd; c = take()) bytes.push_back(static_cast<char>(c));
    closed = c == '"';
    // Whatever stands between the closing quote and the separator is dropped.
    if (closed) {
      for (c = take(); c != ',' && !IsLineEnd(c) && c != kEnd; c = take()) {
      }
    }
  } else {
    for (; c != ',' && !IsLineEnd(c) && c != kEnd; c = take())
      bytes.push_back(static_cast<char>(c));
    while (!bytes.empty() && IsBlank(static_cast<unsigned char>(bytes.back()))) bytes.pop_back();
  }
  // A field cut short by a failed read is not the field the file holds: a
  // shortened destination name would put a file where none belongs.
  if (overlong || failed_) return std::nullopt;
  lastField_.end = c == ','       ? FieldInfo::End::kComma
                   : IsLineEnd(c) ? FieldInfo::End::kLineEnd
                                  : FieldInfo::End::kFileEnd;
  lastField_.quoteOpen = quoted && !closed;
  // A CR followed by LF is one line end.
  if (c == '\r') {
    const int after = next();
    if (after != '\n' && after != kEnd) unread(after);
  }
  // A manifest is written in Windows-1252, whatever code page the PC that
  // reads it has (a PC set to UTF-8 would read "hjælp" as "hj?lp"), unless
  // it declared itself UTF-8.
  return utf8_ ? DecodeUtf8(bytes) : DecodeWindows1252(bytes);
}

}  // namespace updater
