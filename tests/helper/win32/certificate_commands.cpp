// tests/helper/win32/certificate_commands.cpp: puts a test-made certificate
// into a store of the local machine, as an administrator would with the
// certificate snap-in: `store-certificate My <file.pfx>` (certificate and
// private key, from a PKCS#12 file without password) or `store-certificate
// Root <file.pem>` (a CA the machine trusts). Prints the SHA-1 thumbprint.
// And a TLS client of the gateway's own channel, for a server the test runs.
// Single-threaded.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/Socket.h"
#include "platform/TlsChannel.h"
#include "platform/win32/Win32Api.h"
#include <wincrypt.h>

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

bool ReadAll(const char* path, std::vector<BYTE>& data) {
  std::ifstream file(path, std::ios::binary);
  data.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  return file.good() || file.eof();
}

PCCERT_CONTEXT FromPfx(std::vector<BYTE>& data, HCERTSTORE& pfx) {
  CRYPT_DATA_BLOB blob{static_cast<DWORD>(data.size()), data.data()};
  pfx = PFXImportCertStore(&blob, L"", 0);  // the key into this account's key set, where Schannel looks
  if (pfx == nullptr) return nullptr;
  PCCERT_CONTEXT found = nullptr;
  while ((found = CertEnumCertificatesInStore(pfx, found)) != nullptr) {
    DWORD size = 0;
    if (CertGetCertificateContextProperty(found, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size))
      return CertDuplicateCertificateContext(found);
  }
  return nullptr;
}

PCCERT_CONTEXT FromPem(const std::vector<BYTE>& data) {
  DWORD size = 0;
  const auto* text = reinterpret_cast<const char*>(data.data());
  if (!CryptStringToBinaryA(text, static_cast<DWORD>(data.size()), CRYPT_STRING_BASE64HEADER, nullptr, &size,
                            nullptr, nullptr))
    return nullptr;
  std::vector<BYTE> der(size);
  if (!CryptStringToBinaryA(text, static_cast<DWORD>(data.size()), CRYPT_STRING_BASE64HEADER, der.data(), &size,
                            nullptr, nullptr))
    return nullptr;
  return CertCreateCertificateContext(kEncoding, der.data(), size);
}

}  // namespace

int StoreCertificate(char** argv) {
  const bool personal = std::strcmp(argv[0], "My") == 0;
  std::vector<BYTE> data;
  if (!ReadAll(argv[1], data) || data.empty()) return std::fprintf(stderr, "cannot read %s\n", argv[1]), 2;
  HCERTSTORE pfx = nullptr;
  PCCERT_CONTEXT certificate = personal ? FromPfx(data, pfx) : FromPem(data);
  if (certificate == nullptr) return std::fprintf(stderr, "no certificate in %s: %lu\n", argv[1], GetLastError()), 3;
  const std::wstring name = personal ? L"MY" : L"ROOT";
  HCERTSTORE store =
      CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, name.c_str());
  const bool added =
      store != nullptr && CertAddCertificateContextToStore(store, certificate, CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
  BYTE hash[20];
  DWORD size = sizeof hash;
  const bool hashed = CertGetCertificateContextProperty(certificate, CERT_SHA1_HASH_PROP_ID, hash, &size);
  if (store != nullptr) CertCloseStore(store, 0);
  CertFreeCertificateContext(certificate);
  if (pfx != nullptr) CertCloseStore(pfx, 0);
  if (!added || !hashed) return std::fprintf(stderr, "cannot store: %lu\n", GetLastError()), 4;
  for (BYTE b : hash) std::printf("%02x", b);
  std::printf("\n");
  return 0;
}

// tls-client <port> <count> <verify 0|1> <host>: <count> TLS sessions with the
// server on 127.0.0.1:<port> through the gateway's own client channel, each
// sending "ping\n" and reading what comes back; prints "version=<v> ms=<mean
// handshake ms> echo=<first reply>" or "error=<why>" for the first that fails.
int TlsClient(char** argv) {
  SockStartup(kWinsockVersion);
  const int port = std::atoi(argv[0]);
  const int count = std::atoi(argv[1]);
  std::string error;
  std::unique_ptr<CTlsContext> context = CTlsContext::ForClient(std::strcmp(argv[2], "1") == 0, error);
  if (!context) return std::printf("error=%s\n", error.c_str()), 1;
  double total = 0;
  std::string version, echo;
  for (int i = 0; i < count; ++i) {
    SockAddrIn to{};
    to.family = AF_INET_CODE;
    to.port = HostToNet16(static_cast<std::uint16_t>(port));
    to.addr = InetAddr("127.0.0.1");
    const SOCKET s = SockCreate(AF_INET_CODE, 6);
    if (SockConnect(s, to) != 0) return std::printf("error=connect %lu\n", PlatformGetLastError()), 1;
    std::unique_ptr<CTlsChannel> channel = CTlsChannel::Make(*context, s, false, argv[3]);
    const auto start = std::chrono::steady_clock::now();
    const bool shaken = channel->Handshake(10000, error);
    total += std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    if (!shaken) return std::printf("error=%s\n", error.c_str()), SockClose(s), 1;
    version = channel->Version();
    char reply[256];
    const int got = channel->Send("ping\n", 5) == 5 ? channel->Receive(reply, sizeof reply - 1) : -1;
    if (i == 0 && got > 0) echo.assign(reply, static_cast<std::size_t>(got));
    channel->Shutdown();
    SockClose(s);
  }
  while (!echo.empty() && (echo.back() == '\n' || echo.back() == '\r')) echo.pop_back();
  std::printf("version=%s ms=%.1f echo=%s\n", version.c_str(), total / count, echo.c_str());
  return 0;
}
