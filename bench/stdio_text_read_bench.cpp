// bench/stdio_text_read_bench.cpp: how fast CStdioFile delivers a big CR LF
// text file in text mode (the MIME decoder's input path), next to the C
// library's own buffered reads of the same file without translation.
//
// Usage: stdio_text_read_bench [megabytes]   (default 20; file in $TMP)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/File.h"
#include "platform/System.h"

namespace {
using Clock = std::chrono::steady_clock;

double Rate(std::size_t bytes, Clock::duration elapsed) {
  const double seconds = std::chrono::duration<double>(elapsed).count();
  return seconds > 0 ? static_cast<double>(bytes) / seconds / 1e6 : 0;
}
}  // namespace

int main(int argc, char** argv) {
  const long megabytes = argc > 1 ? std::atol(argv[1]) : 20;
  if (megabytes <= 0 || megabytes > 2000) return 2;
  const std::string path = TempDirectory() + "/cvsmtpgw-bench-" + std::to_string(std::rand()) + ".txt";
  {
    // Base64 body lines of 76 characters with CR LF, as in a mail attachment.
    std::string line;
    for (int i = 0; i < 76; ++i)
      line.push_back("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"[i % 64]);
    line += "\r\n";
    CStdioFile out = CStdioFile::Open(path, "wb");
    for (std::size_t written = 0; written < static_cast<std::size_t>(megabytes) * 1000000;
         written += line.size())
      out.Write(line.data(), line.size());
    if (!out.Close()) return 1;
  }
  const std::size_t size = static_cast<std::size_t>(FileSizeByName(path));
  char buffer[1024];
  std::size_t total = 0;

  auto start = Clock::now();
  CStdioFile text = CStdioFile::Open(path, "r");
  for (std::size_t n; (n = text.Read(buffer, sizeof buffer)) > 0;) total += n;
  const double readRate = Rate(size, Clock::now() - start);

  start = Clock::now();
  text.Rewind();
  std::size_t chars = 0;
  while (text.GetChar() >= 0) ++chars;
  const double charRate = Rate(size, Clock::now() - start);

  start = Clock::now();
  std::FILE* peer = std::fopen(path.c_str(), "rb");
  std::size_t peerTotal = 0;
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, peer)) > 0;) peerTotal += n;
  std::fclose(peer);
  const double peerRate = Rate(size, Clock::now() - start);

  start = Clock::now();
  peer = std::fopen(path.c_str(), "rb");
  std::size_t peerChars = 0;
  while (std::getc(peer) != EOF) ++peerChars;
  std::fclose(peer);
  const double peerCharRate = Rate(size, Clock::now() - start);
  FileDelete(path);

  std::printf("file: %zu bytes, %zu after CR LF translation\n", size, total);
  std::printf("CStdioFile text Read(1024):  %8.1f MB/s   | C library fread(1024) binary: %8.1f MB/s\n",
              readRate, peerRate);
  std::printf("CStdioFile text GetChar:     %8.1f MB/s   | C library getc binary:        %8.1f MB/s\n",
              charRate, peerCharRate);
  return total == chars && peerTotal == size && peerChars == size ? 0 : 1;
}
