// tests/helper/win32/certificate_commands.cpp: puts a test-made certificate
// into a store of the local machine, as an administrator would with the
// certificate snap-in: `store-certificate My <file.pfx>` (certificate and
// private key, from a PKCS#12 file without password) or `store-certificate
// Root <file.pem>` (a CA the machine trusts). Prints the SHA-1 thumbprint.
// Single-threaded.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/win32/Win32Api.h"
#include <wincrypt.h>

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

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
  std::ifstream file(argv[1], std::ios::binary);
  std::vector<BYTE> data{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
  if (data.empty()) return std::fprintf(stderr, "cannot read %s\n", argv[1]), 2;
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
