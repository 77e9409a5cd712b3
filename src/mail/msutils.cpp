// The time-out counter, the block-wise line reader, the temporary file stream, number parsing.
#include "mail/msutils.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

#include "store/FileIO.h"

namespace norva {

int32_t StrToInt(const std::string& text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  if (i == text.size()) throw EConvertError("'" + text + "' is not a valid integer value");
  int64_t value = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9' || value > int64_t(INT32_MAX) + 1)
      throw EConvertError("'" + text + "' is not a valid integer value");
    value = value * 10 + (text[i] - '0');
  }
  if (negative) value = -value;
  if (value < INT32_MIN || value > INT32_MAX)
    throw EConvertError("'" + text + "' is not a valid integer value");
  return int32_t(value);
}

int32_t StrToIntDef(const std::string& text, int32_t fallback) {
  try {
    return StrToInt(text);
  } catch (const EConvertError&) {
    return fallback;
  }
}

std::string RemoveDotStuffing(std::string_view block) {
  std::string message;
  message.reserve(block.size());
  for (size_t pos = 0; pos < block.size();) {
    size_t lf = block.find('\n', pos);
    size_t end = lf == std::string_view::npos ? block.size() : lf + 1;
    std::string_view line = block.substr(pos, end - pos);
    if (line == ".\r\n" || line == ".\n" || line == ".") break;  // the terminating line
    if (line.front() == '.') line.remove_prefix(1);
    message += line;
    pos = end;
  }
  return message;
}

TStringList SplitLines(const std::string& text) {
  TStringList lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t lf = text.find('\n', start);
    size_t end = lf == std::string::npos ? text.size() : lf;
    size_t stop = end;
    if (lf != std::string::npos && stop > start && text[stop - 1] == '\r') --stop;
    lines.emplace_back(text, start, stop - start);
    if (lf == std::string::npos) break;
    start = lf + 1;
  }
  return lines;
}

// ---- TTimeCounter ----

void TTimeCounter::Start() {
  deadline_ = std::chrono::steady_clock::now() + std::chrono::seconds(std::max(TimeOut, 1));
  running_ = true;
}

bool TTimeCounter::Expired() {
  if (running_ && std::chrono::steady_clock::now() >= deadline_) expired_ = true;
  return expired_;
}

int64_t TTimeCounter::RemainingMs() {
  if (!running_) return 0;
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline_ - std::chrono::steady_clock::now());
  return std::max<int64_t>(0, left.count());
}

int32_t TTimeCounter::Remaining() {
  return int32_t((RemainingMs() + 999) / 1000);
}

// ---- TLineStream ----

const std::string TLineStream::kEndMarker(4, '\xFF');

void TLineStream::Reset() {
  LineIndex = -1;
  Lines.clear();
  EndOfStream = false;
  LastBlock = false;
  SetPosition(0);
}

void TLineStream::ReadLine(std::string& line) {
  ++LineIndex;
  if (LineIndex < int32_t(Lines.size())) {
    line = Lines[size_t(LineIndex)];
    return;
  }
  if (LastBlock) {
    line = kEndMarker;
    EndOfStream = true;
    return;
  }
  // The next block, cut after its last LF so that a line is never split between blocks. A line
  // longer than a block is read on until its LF (or the end) instead of being lost.
  std::string block;
  for (;;) {
    std::string chunk(BlockSize, '\0');
    chunk.resize(size_t(Read(chunk.data(), int64_t(chunk.size()))));
    LastBlock = chunk.size() < BlockSize;
    block += chunk;
    if (LastBlock || chunk.find('\n') != std::string::npos) break;
  }
  if (!LastBlock) {
    size_t lf = block.rfind('\n');
    Seek(-int64_t(block.size() - lf - 1), TSeekOrigin::soCurrent);
    block.resize(lf + 1);
  }
  Lines = SplitLines(block);
  LineIndex = 0;
  if (Lines.empty()) {
    line = kEndMarker;
    EndOfStream = true;
  } else {
    line = Lines[0];
  }
}

// ---- TTempFileStream ----

namespace {
std::pair<std::string, int> CreateTemp() {
  std::string name;
  int fd = fileio::CreateUnique(fileio::TempDirectory(), "ms", name);
  if (fd < 0)
    throw EStreamError("Cannot create a temporary file in " + fileio::TempDirectory(), errno);
  return {name, fd};
}
}  // namespace

TTempFileStream::TTempFileStream() : TTempFileStream(CreateTemp()) {}

TTempFileStream::TTempFileStream(std::pair<std::string, int> file)
    : TFileStream(file.first, file.second) {}

TTempFileStream::~TTempFileStream() {
  try {
    Close();
  } catch (...) {
  }
  fileio::Unlink(FileName());
}

}  // namespace norva
