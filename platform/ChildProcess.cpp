// platform/ChildProcess.cpp: the part of CChildProcess that both backends
// share: cutting the child's output into lines. The backends read
// (ReadOutput). One thread per CChildProcess, as the header says.
#include <algorithm>
#include <chrono>

#include "platform/Process.h"

bool CChildProcess::ReadLine(std::string& line, int milliseconds) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
  for (;;) {
    const std::size_t lf = m_Pending.find('\n');
    if (lf != std::string::npos) {
      line = m_Pending.substr(0, lf);
      m_Pending.erase(0, lf + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      return true;
    }
    if (m_Out < 0) return false;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    char chunk[4096];
    const long n = ReadOutput(chunk, sizeof chunk, static_cast<int>(std::max<decltype(left)>(left, 0)));
    if (n <= 0) return false;
    m_Pending.append(chunk, static_cast<std::size_t>(n));
  }
}
