// Reader of the update manifest: comma- and line-separated fields of
// Windows-1252 text (the offered version, then source and destination
// pairs, then "slut"), read as Windows-1252 whatever the PC's code page.
//
// Syntax, field by field:
// - Fields are separated by a comma or by a line end.
// - Spaces and tabs before a field are skipped.
// - A field that begins with a double quote runs to the next double quote;
//   the quotes are not part of it, commas and line ends inside belong to it,
//   and anything between the closing quote and the next separator is dropped.
// - Any other field runs to the next comma or line end; trailing spaces and
//   tabs are dropped.
// - Two separators in a row, or an empty line, give an empty field.
//
// A manifest that starts with the UTF-8 byte-order mark (EF BB BF), which no
// Windows-1252 text starts with, is read as UTF-8 (an editor's "UTF-8 with
// BOM"); the mark is no part of the first field.
//
// Choices of our own:
// - A line end is CR LF, a lone LF or a lone CR; each counts as one line end,
//   so files saved with Unix or old Mac line ends read the same.
// - Tabs count as spaces around a field (editors put them there) and are
//   kept inside a field.
// - A Ctrl-Z byte (26), the old DOS end-of-file mark, ends the file.
// - A field that takes more than kMaxFieldBytes bytes of the file (blanks
//   before it and anything after a closing quote included) cannot be a
//   version or a file name: the manifest counts as ending there, so an
//   endless line costs bounded memory and time and ends the reading cleanly.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/platform.h"

namespace updater {

class ManifestReader {
 public:
  static constexpr std::size_t kMaxFieldBytes = 32768;

  explicit ManifestReader(Platform& platform);

  // Opens `path` for reading from its first field; false when it cannot be
  // opened.
  bool open(const std::wstring& path);

  // Opens `bytes` (kept by the caller while they are read) as if they were
  // the file's.
  void openBytes(const std::string& bytes);

  // Reads `file`, opened at its first byte.
  void openFile(std::unique_ptr<InputFile> file);

  // The next field, or no value once the file has no field left (also after
  // a read failure or an overlong field; a field that a read failure cut
  // short is not given).
  std::optional<std::wstring> readField();

  // True once a read of the open file has failed: what follows could not be
  // read, as against a file that simply ended.
  bool failed() const { return failed_; }

  // True when the open file starts with the UTF-8 byte-order mark and is
  // read as UTF-8.
  bool utf8() const { return utf8_; }

  // Where the last field given by readField stood, for those who explain a
  // manifest: the line it began on (counted from 1) and what ended it.
  struct FieldInfo {
    enum class End { kComma, kLineEnd, kFileEnd };
    std::size_t line = 0;
    End end = End::kFileEnd;
    bool quoteOpen = false;  // it began with a quote that the file ended before closing
  };
  const FieldInfo& lastField() const { return lastField_; }

  // Releases the file.
  void close();

 private:
  // Starts reading `file` from its first byte.
  void Begin(std::unique_ptr<InputFile> file);
  // Next byte of the file, or -1 at its end.
  int next();
  // Gives back the byte just taken, so that the next call to next() sees it.
  void unread(int byte);
  // Counts the lines of the byte `c` just read from the file.
  void countLine(int c);

  Platform& platform_;
  std::unique_ptr<InputFile> file_;
  char buffer_[4096];
  std::size_t pos_ = 0;
  std::size_t end_ = 0;
  int pushed_ = -2;  // a byte given back; -2 when none
  bool atEnd_ = false;
  bool failed_ = false;
  bool utf8_ = false;         // the file declared itself UTF-8 by its byte-order mark
  bool failPending_ = false;  // a read at the opening failed after the bytes held
  // Line bookkeeping: the line the next byte stands on, the line of the byte
  // last given out (and of the one given back), and the byte before it.
  std::size_t line_ = 1;
  std::size_t lastLine_ = 1;
  std::size_t pushedLine_ = 1;
  int previous_ = -1;
  FieldInfo lastField_;
};

}  // namespace updater
