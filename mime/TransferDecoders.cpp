// mime/TransferDecoders.cpp: transfer decoders. Output goes through a heap
// chunk that is digested and written whole, so the per-byte work is a table
// look-up and a store. One decoding run per thread.
#include "mime/TransferDecoders.h"

#include <cstring>
#include <memory>

#include "base/Md5.h"
#include "mime/Base64.h"
#include "mime/Decoder.h"
#include "platform/File.h"

namespace {

constexpr std::size_t kChunkSize = 64 * 1024;

// Bytes on their way to the output file and to the digest. `Put` bytes are
// written; in the split mode `Digest` bytes go to the digest only (the digest
// and the written data differ for quoted-printable and the identity copy).
class CDecodeSink {
 public:
  CDecodeSink(CStdioFile& out, bool digest, bool suppressCR)
      : m_Out(out), m_Digest(digest), m_SuppressCR(suppressCR), m_Chunk(new char[kChunkSize]) {}

  // Room for at least `n` more bytes.
  void Reserve(std::size_t n) {
    if (m_Used + n > kChunkSize) Flush();
  }
  char* Cursor() { return m_Chunk.get() + m_Used; }
  void Advance(std::size_t n) { m_Used += n; }

  void Put(char c) {
    if (m_Used == kChunkSize) Flush();
    m_Chunk[m_Used++] = c;
  }

  void PutRun(const char* data, std::size_t n) {
    while (n > 0) {
      if (m_Used == kChunkSize) Flush();
      const std::size_t take = n < kChunkSize - m_Used ? n : kChunkSize - m_Used;
      std::memcpy(m_Chunk.get() + m_Used, data, take);
      m_Used += take;
      data += take;
      n -= take;
    }
  }

  // Bytes that are both written and digested (base64).
  void Flush() {
    if (m_Used == 0) return;
    if (m_Digest) m_Md5.Update(m_Chunk.get(), m_Used);
    Write(m_Chunk.get(), m_Used);
    m_Used = 0;
  }

  CMd5& Md5() { return m_Md5; }

 private:
  void Write(const char* data, std::size_t n) {
    if (!m_SuppressCR) {
      m_Out.Write(data, n);
      return;
    }
    while (n > 0) {
      const char* cr = static_cast<const char*>(std::memchr(data, '\r', n));
      const std::size_t run = cr ? static_cast<std::size_t>(cr - data) : n;
      if (run > 0) m_Out.Write(data, run);
      if (cr == nullptr) break;
      data += run + 1;
      n -= run + 1;
    }
  }

  CStdioFile& m_Out;
  bool m_Digest;
  bool m_SuppressCR;
  std::unique_ptr<char[]> m_Chunk;
  std::size_t m_Used = 0;
  CMd5 m_Md5;
};

// The digest of a byte stream fed one byte at a time, batched.
class CDigestFeed {
 public:
  explicit CDigestFeed(bool on) : m_On(on) {}
  void Add(char c) {
    if (!m_On) return;
    if (m_Used == sizeof m_Buffer) Drain();
    m_Buffer[m_Used++] = c;
  }
  void Add(const char* data, std::size_t n) {
    if (!m_On) return;
    Drain();
    m_Md5.Update(data, n);
  }
  std::string Text() {
    Drain();
    return Md5FinalText(m_Md5);
  }

 private:
  void Drain() {
    if (m_Used > 0) m_Md5.Update(m_Buffer, m_Used);
    m_Used = 0;
  }
  bool m_On;
  char m_Buffer[4096];
  std::size_t m_Used = 0;
  CMd5 m_Md5;
};

inline bool IsBase64OrPad(int c) {
  return c == '=' || kBase64Value[static_cast<unsigned char>(c)] != kNotBase64;
}

// The base64 group reader: characters one at a time, stray ones skipped.
class CBase64State {
 public:
  explicit CBase64State(CDecodeSink& sink) : m_Sink(sink) {}

  bool AtGroupStart() const { return m_Have == 0 && !m_Done; }
  bool InsideGroup() const { return m_Have > 0; }

  void Feed(unsigned char c) {
    if (m_Done || !IsBase64OrPad(c)) return;  // after the padding everything is ignored
    m_Group[m_Have++] = static_cast<char>(c);
    if (m_Have < 4) return;
    m_Have = 0;
    if (m_Group[0] == '=' || m_Group[1] == '=') {
      m_Done = true;
      return;
    }
    const std::uint8_t v0 = kBase64Value[static_cast<unsigned char>(m_Group[0])];
    const std::uint8_t v1 = kBase64Value[static_cast<unsigned char>(m_Group[1])];
    m_Sink.Put(static_cast<char>((v0 << 2) | (v1 >> 4)));
    if (m_Group[2] == '=') {
      m_Done = true;
      return;
    }
    const std::uint8_t v2 = kBase64Value[static_cast<unsigned char>(m_Group[2])];
    m_Sink.Put(static_cast<char>(((v1 & 15) << 4) | ((v2 >> 2) & 15)));
    if (m_Group[3] == '=') {
      m_Done = true;
      return;
    }
    const std::uint8_t v3 = kBase64Value[static_cast<unsigned char>(m_Group[3])];
    m_Sink.Put(static_cast<char>(((v2 << 6) & 0xff) | v3));
  }

  // Whole groups of four plain base64 characters from run[i..n); returns the
  // index where the careful way has to take over.
  std::size_t FeedFast(const char* run, std::size_t i, std::size_t n) {
    const auto* in = reinterpret_cast<const unsigned char*>(run);
    while (n - i >= 4) {
      // Room for every whole group of the run (at most one chunk's worth).
      std::size_t groups = (n - i) / 4;
      if (groups > kChunkSize / 3) groups = kChunkSize / 3;
      m_Sink.Reserve(groups * 3);
      char* const start = m_Sink.Cursor();
      char* o = start;
      const std::size_t stop = i + groups * 4;
      while (i < stop) {
        const std::uint32_t v0 = kBase64Value[in[i]];
        const std::uint32_t v1 = kBase64Value[in[i + 1]];
        const std::uint32_t v2 = kBase64Value[in[i + 2]];
        const std::uint32_t v3 = kBase64Value[in[i + 3]];
        if ((v0 | v1 | v2 | v3) & 0x40) break;  // padding or a stray byte: the careful way
        const std::uint32_t bits = (v0 << 18) | (v1 << 12) | (v2 << 6) | v3;
        o[0] = static_cast<char>(bits >> 16);
        o[1] = static_cast<char>(bits >> 8);
        o[2] = static_cast<char>(bits);
        o += 3;
        i += 4;
      }
      m_Sink.Advance(static_cast<std::size_t>(o - start));
      if (i < stop) break;
    }
    return i;
  }

 private:
  CDecodeSink& m_Sink;
  char m_Group[4] = {};
  int m_Have = 0;
  bool m_Done = false;
};

// The quoted-printable reader: "=" and two hexadecimal digits, soft line breaks.
class CQuotedPrintableState {
 public:
  CQuotedPrintableState(CDecodeSink& sink, CDigestFeed& digest) : m_Sink(sink), m_Digest(digest) {}

  void Feed(unsigned char c) {
    switch (m_State) {
      case kText:
        if (c == '=') {
          m_State = kEquals;
          return;
        }
        m_Sink.Put(static_cast<char>(c));
        if (c == '\n') m_Digest.Add('\r');
        m_Digest.Add(static_cast<char>(c));
        return;
      case kEquals:
        if (c == '\n') {
          m_State = kText;  // soft line break
          return;
        }
        m_First = c;
        m_State = kEqualsHex;
        return;
      case kEqualsHex:
        Escape(kHexValue[c]);
        return;
    }
  }

  void End() {
    // "=" and one character at the end: the second counts as no hex digit.
    if (m_State == kEqualsHex) Escape(kNotHex);
    m_State = kText;
  }

  bool Plain() const { return m_State == kText; }

 private:
  void Escape(std::uint8_t low) {
    const char byte = static_cast<char>(((kHexValue[m_First] << 4) | low) & 0xff);
    if (byte != '\r') m_Sink.Put(byte);  // an encoded CR is never written
    m_Digest.Add(byte);
    m_State = kText;
  }

  enum State { kText, kEquals, kEqualsHex };
  CDecodeSink& m_Sink;
  CDigestFeed& m_Digest;
  State m_State = kText;
  unsigned char m_First = 0;
};

// Feeds everything left in the reader to `state`, a byte at a time except
// where `fastPath(run, i, n)` takes bytes of a run in bulk (it returns where
// it stopped, `i` when it takes none).
template <class State, class FastPath>
void FeedAll(PartReader& reader, State& state, FastPath fastPath) {
  for (;;) {
    const char* run;
    const std::size_t n = PartTakeRun(reader, &run, static_cast<std::size_t>(-1));
    if (n == 0) {
      const int c = PartGetChar(reader);
      if (c < 0) return;
      state.Feed(static_cast<unsigned char>(c));
      continue;
    }
    for (std::size_t i = 0; i < n;) {
      i = fastPath(run, i, n);
      if (i < n) state.Feed(static_cast<unsigned char>(run[i++]));
    }
  }
}

}  // namespace

void DecodeBase64(PartReader& reader, CStdioFile& out, std::string* digestOut, int suppressCR) {
  CDecodeSink sink(out, digestOut != nullptr, suppressCR == 1);
  CBase64State state(sink);
  FeedAll(reader, state, [&state](const char* run, std::size_t i, std::size_t n) {
    return state.AtGroupStart() ? state.FeedFast(run, i, n) : i;
  });
  sink.Flush();
  if (state.InsideGroup()) Warn("Premature EOF");
  if (digestOut) *digestOut = Md5FinalText(sink.Md5());
}

void DecodeQuotedPrintable(PartReader& reader, CStdioFile& out, std::string* digestOut) {
  CDecodeSink sink(out, false, false);
  CDigestFeed digest(digestOut != nullptr);
  CQuotedPrintableState state(sink, digest);
  FeedAll(reader, state, [&](const char* run, std::size_t i, std::size_t n) {
    if (!state.Plain()) return i;
    // Literal bytes up to the next "=" pass unchanged.
    const char* eq = static_cast<const char*>(std::memchr(run + i, '=', n - i));
    const std::size_t literal = eq ? static_cast<std::size_t>(eq - (run + i)) : n - i;
    sink.PutRun(run + i, literal);
    digest.Add(run + i, literal);
    return i + literal;
  });
  state.End();
  sink.Flush();
  if (digestOut) *digestOut = digest.Text();
}

void CopyPart(PartReader& reader, CStdioFile& out, std::string* digestOut) {
  CDecodeSink sink(out, false, false);
  CDigestFeed digest(digestOut != nullptr);
  for (;;) {
    const char* run;
    const std::size_t n = PartTakeRun(reader, &run, static_cast<std::size_t>(-1));
    if (n > 0) {
      sink.PutRun(run, n);
      digest.Add(run, n);
      continue;
    }
    const int c = PartGetChar(reader);
    if (c < 0) break;
    sink.Put(static_cast<char>(c));
    if (c == '\n') digest.Add('\r');
    digest.Add(static_cast<char>(c));
  }
  sink.Flush();
  if (digestOut) *digestOut = digest.Text();
}
