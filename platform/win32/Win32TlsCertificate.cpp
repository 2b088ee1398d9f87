// platform/win32/Win32TlsCertificate.cpp: the SMTP server's certificate and
// key for Schannel (see the header).
//
// A PEM key is imported into an RSA key container named after this process,
// in the service account's own key set: Schannel reads the key from there
// through the certificate's key-provider property. The container is emptied
// and deleted again with the certificate object, and one left behind by a
// process that had the same id is replaced.
//
// Threading: made once at the start; read only afterwards.
#include "platform/win32/Win32TlsCertificate.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/CertificateThumbprint.h"

namespace {

// PEM files larger than this are not certificates or keys of ours.
constexpr long kPemFileLimit = 1024 * 1024;
constexpr wchar_t kProvider[] = MS_ENH_RSA_AES_PROV_W;
constexpr DWORD kProviderType = PROV_RSA_AES;
constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

std::string Quoted(const char* what, const std::string& path) { return std::string(what) + " \"" + path + "\""; }

std::string Code(DWORD code) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08lx", static_cast<unsigned long>(code));
  return text;
}

bool ReadSmallFile(const std::string& path, std::string& text) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return false;
  text.clear();
  char chunk[4096];
  std::size_t got = 0;
  while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0 && static_cast<long>(text.size()) <= kPemFileLimit)
    text.append(chunk, got);
  const bool ok = std::ferror(file) == 0 && static_cast<long>(text.size()) <= kPemFileLimit;
  std::fclose(file);
  return ok;
}

// The DER bytes of the first PEM block labelled `label` in `text`; empty when
// there is none or its Base64 is broken.
std::vector<BYTE> PemBlock(const std::string& text, const std::string& label) {
  const std::string begin = "-----BEGIN " + label + "-----";
  const std::string end = "-----END " + label + "-----";
  const std::size_t start = text.find(begin);
  if (start == std::string::npos) return {};
  const std::size_t body = start + begin.size();
  const std::size_t stop = text.find(end, body);
  if (stop == std::string::npos) return {};
  const std::string base64 = text.substr(body, stop - body);
  DWORD size = 0;
  if (!CryptStringToBinaryA(base64.c_str(), static_cast<DWORD>(base64.size()), CRYPT_STRING_BASE64, nullptr, &size,
                            nullptr, nullptr) ||
      size == 0)
    return {};
  std::vector<BYTE> der(size);
  if (!CryptStringToBinaryA(base64.c_str(), static_cast<DWORD>(base64.size()), CRYPT_STRING_BASE64, der.data(),
                            &size, nullptr, nullptr))
    return {};
  der.resize(size);
  return der;
}

// One DER element of the bytes [at, end): its tag and where its contents lie.
struct DerElement {
  BYTE tag = 0;
  const BYTE* contents = nullptr;
  std::size_t length = 0;
};

bool ReadDer(const BYTE*& at, const BYTE* end, DerElement& element) {
  if (end - at < 2) return false;
  element.tag = *at++;
  std::size_t length = *at++;
  if (length & 0x80) {
    const std::size_t bytes = length & 0x7F;
    if (bytes == 0 || bytes > 3 || static_cast<std::size_t>(end - at) < bytes) return false;
    length = 0;
    for (std::size_t i = 0; i < bytes; ++i) length = (length << 8) | *at++;
  }
  if (static_cast<std::size_t>(end - at) < length) return false;
  element.contents = at;
  element.length = length;
  at += length;
  return true;
}

// The PKCS#1 RSAPrivateKey inside a PKCS#8 PrivateKeyInfo; empty when the
// key is not RSA or the structure is broken.
std::vector<BYTE> RsaKeyOfPkcs8(const std::vector<BYTE>& der, bool& notRsa) {
  static constexpr BYTE kRsaOid[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01};
  notRsa = false;
  const BYTE* at = der.data();
  DerElement info, version, algorithm, oid, key;
  if (!ReadDer(at, der.data() + der.size(), info) || info.tag != 0x30) return {};
  at = info.contents;
  const BYTE* end = info.contents + info.length;
  if (!ReadDer(at, end, version) || version.tag != 0x02 || !ReadDer(at, end, algorithm) || algorithm.tag != 0x30 ||
      !ReadDer(at, end, key) || key.tag != 0x04)
    return {};
  const BYTE* inner = algorithm.contents;
  if (!ReadDer(inner, algorithm.contents + algorithm.length, oid) || oid.tag != 0x06) return {};
  if (oid.length != sizeof kRsaOid || std::memcmp(oid.contents, kRsaOid, sizeof kRsaOid) != 0) {
    notRsa = true;
    return {};
  }
  return std::vector<BYTE>(key.contents, key.contents + key.length);
}

// The key of a PEM key file as a CryptoAPI PRIVATEKEYBLOB; empty with `error`.
std::vector<BYTE> PrivateKeyBlob(const std::string& text, std::string& error) {
  std::vector<BYTE> rsa = PemBlock(text, "RSA PRIVATE KEY");
  if (rsa.empty()) {
    const std::vector<BYTE> pkcs8 = PemBlock(text, "PRIVATE KEY");
    bool notRsa = false;
    if (!pkcs8.empty()) rsa = RsaKeyOfPkcs8(pkcs8, notRsa);
    if (notRsa) {
      error = "holds a key that is not RSA (this system takes RSA keys from files; use TlsCertificateThumbprint)";
      return {};
    }
  }
  if (rsa.empty()) {
    error = text.find("ENCRYPTED") != std::string::npos ? "holds an encrypted key, which is not taken"
                                                         : "holds no usable PEM key";
    return {};
  }
  BYTE* blob = nullptr;
  DWORD size = 0;
  if (!CryptDecodeObjectEx(kEncoding, PKCS_RSA_PRIVATE_KEY, rsa.data(), static_cast<DWORD>(rsa.size()),
                           CRYPT_DECODE_ALLOC_FLAG, nullptr, &blob, &size)) {
    error = "holds an RSA key that cannot be decoded (" + Code(GetLastError()) + ")";
    return {};
  }
  std::vector<BYTE> result(blob, blob + size);
  SecureZeroMemory(blob, size);
  LocalFree(blob);
  SecureZeroMemory(rsa.data(), rsa.size());
  return result;
}

void DeleteContainer(const std::wstring& name) {
  HCRYPTPROV gone = 0;
  CryptAcquireContextW(&gone, name.c_str(), kProvider, kProviderType, CRYPT_DELETEKEYSET);
}

}  // namespace

CServerCertificate::~CServerCertificate() {
  if (m_Certificate != nullptr) CertFreeCertificateContext(m_Certificate);
  if (!m_Container.empty()) DeleteContainer(m_Container);
}

bool CServerCertificate::FromMachineStore(const std::string& thumbprint, std::string& error) {
  Thumbprint hash{};
  if (!ParseThumbprint(thumbprint, hash)) {
    error = Quoted("TlsCertificateThumbprint", thumbprint) + " is not 40 hex digits";
    return false;
  }
  HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                                   CERT_SYSTEM_STORE_LOCAL_MACHINE | CERT_STORE_READONLY_FLAG |
                                       CERT_STORE_OPEN_EXISTING_FLAG,
                                   L"MY");
  if (store == nullptr) {
    // A machine that never had a certificate has no such store at all.
    error = Quoted("TlsCertificateThumbprint", thumbprint) + ": the machine's certificate store (LocalMachine\\My) " +
            "cannot be opened (" + Code(GetLastError()) + ")";
    return false;
  }
  CRYPT_HASH_BLOB blob{static_cast<DWORD>(hash.size()), hash.data()};
  m_Certificate = CertFindCertificateInStore(store, kEncoding, 0, CERT_FIND_SHA1_HASH, &blob, nullptr);
  CertCloseStore(store, 0);
  if (m_Certificate == nullptr) {
    error = Quoted("TlsCertificateThumbprint", thumbprint) + ": no such certificate in LocalMachine\\My";
    return false;
  }
  DWORD size = 0;
  if (!CertGetCertificateContextProperty(m_Certificate, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size)) {
    error = Quoted("TlsCertificateThumbprint", thumbprint) + ": the certificate has no private key";
    return false;
  }
  return true;
}

bool CServerCertificate::FromPemFiles(const std::string& certificateFile, const std::string& keyFile,
                                      std::string& error) {
  std::string text;
  if (!ReadSmallFile(certificateFile, text)) {
    error = Quoted("TlsCertificateFile", certificateFile) + " cannot be read (or is over 1 MB)";
    return false;
  }
  const std::vector<BYTE> der = PemBlock(text, "CERTIFICATE");
  // X509_ASN_ENCODING alone: the PKCS#7 flag means nothing for a certificate,
  // and wine's Schannel refuses a server certificate that carries it.
  if (!der.empty())
    m_Certificate = CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()));
  if (m_Certificate == nullptr) {
    error = Quoted("TlsCertificateFile", certificateFile) + " holds no usable PEM certificate";
    return false;
  }
  if (!ReadSmallFile(keyFile, text)) {
    error = Quoted("TlsKeyFile", keyFile) + " cannot be read (or is over 1 MB)";
    return false;
  }
  std::string why;
  std::vector<BYTE> blob = PrivateKeyBlob(text, why);
  SecureZeroMemory(text.data(), text.size());
  if (blob.empty()) {
    error = Quoted("TlsKeyFile", keyFile) + " " + why;
    return false;
  }

  m_Container = L"cvsmtpgw-tls-" + std::to_wstring(GetCurrentProcessId());
  DeleteContainer(m_Container);
  HCRYPTPROV provider = 0;
  HCRYPTKEY key = 0;
  if (!CryptAcquireContextW(&provider, m_Container.c_str(), kProvider, kProviderType, CRYPT_NEWKEYSET)) {
    error = Quoted("TlsKeyFile", keyFile) + ": no key container can be made (" + Code(GetLastError()) + ")";
    m_Container.clear();
    return false;
  }
  const bool imported = CryptImportKey(provider, blob.data(), static_cast<DWORD>(blob.size()), 0, 0, &key) != FALSE;
  const DWORD importError = GetLastError();
  SecureZeroMemory(blob.data(), blob.size());
  if (key != 0) CryptDestroyKey(key);
  // The key must be the certificate's: compare the public halves.
  bool matches = false;
  DWORD size = 0;
  if (imported && CryptExportPublicKeyInfo(provider, AT_KEYEXCHANGE, kEncoding, nullptr, &size)) {
    std::vector<BYTE> info(size);
    auto* publicKey = reinterpret_cast<CERT_PUBLIC_KEY_INFO*>(info.data());
    matches = CryptExportPublicKeyInfo(provider, AT_KEYEXCHANGE, kEncoding, publicKey, &size) &&
              CertComparePublicKeyInfo(kEncoding, publicKey, &m_Certificate->pCertInfo->SubjectPublicKeyInfo);
  }
  CryptReleaseContext(provider, 0);
  if (!imported) {
    error = Quoted("TlsKeyFile", keyFile) + ": the key cannot be imported (" + Code(importError) + ")";
    return false;
  }
  if (!matches) {
    error = Quoted("TlsKeyFile", keyFile) + " is not the key of the certificate";
    return false;
  }
  CRYPT_KEY_PROV_INFO where{};
  where.pwszContainerName = m_Container.data();
  where.pwszProvName = const_cast<wchar_t*>(kProvider);
  where.dwProvType = kProviderType;
  where.dwKeySpec = AT_KEYEXCHANGE;
  if (!CertSetCertificateContextProperty(m_Certificate, CERT_KEY_PROV_INFO_PROP_ID, 0, &where)) {
    error = Quoted("TlsKeyFile", keyFile) + ": the key cannot be tied to the certificate (" +
            Code(GetLastError()) + ")";
    return false;
  }
  return true;
}
