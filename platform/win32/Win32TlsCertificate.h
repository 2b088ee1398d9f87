// platform/win32/Win32TlsCertificate.h: the SMTP server's certificate for
// Schannel, with its private key where Schannel finds it: either one of the
// machine store (LocalMachine\My, named by its SHA-1 thumbprint) or one made
// from a PEM certificate file and a PEM RSA key file, whose key goes into a
// key container of this process's own that the certificate names (Schannel
// takes keys only from containers, never from memory).
//
// Threading: made once at the start; read only afterwards.
#pragma once

#include <string>

#include "platform/win32/Win32Api.h"
#include <wincrypt.h>

class CServerCertificate {
 public:
  CServerCertificate() = default;
  ~CServerCertificate();
  CServerCertificate(const CServerCertificate&) = delete;
  CServerCertificate& operator=(const CServerCertificate&) = delete;

  // The certificate of the machine store whose thumbprint is `thumbprint`
  // (40 hex digits, blanks allowed). False with `error` when there is none,
  // or it has no private key.
  bool FromMachineStore(const std::string& thumbprint, std::string& error);
  // The first certificate of the PEM file `certificateFile` with the key of
  // `keyFile` (PKCS#8 or PKCS#1 RSA, not encrypted). False with `error`
  // saying which file and why.
  bool FromPemFiles(const std::string& certificateFile, const std::string& keyFile, std::string& error);

  PCCERT_CONTEXT Get() const { return m_Certificate; }

 private:
  PCCERT_CONTEXT m_Certificate = nullptr;
  std::wstring m_Container;  // the key container this object made; deleted with it
};
