// tests/unit/OutboundTestSupport.h: the fixture of the deliverer's tests: a
// spool sandbox, its file manager and an SMTPOut over them. The name server is
// a dead loopback address, so relay selection falls back to the receiver
// domain's own address without any DNS traffic. One test thread at a time.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "SpoolTestSupport.h"
#include "smtpout/SMTPOut.h"
#include "spool/CFileMan.h"

class OutboundTest : public ::testing::Test {
 protected:
  // Makes the deliverer, which reads the settings: a test sets its own first.
  void MakeDeliverer(int port = 25) {
    m_Box.WithProgramPath();
    m_Box.SetText("DomainName", "fax.example.com");
    m_Box.SetText("DNSName", "127.0.2.53");
    m_Box.SetNumber("SmtpTxPort", static_cast<DWORD>(port));
    m_Files = std::make_unique<CFileMan>();
    m_Out = std::make_unique<SMTPOut>();
    m_Out->fileMan = m_Files.get();
  }

  SpoolSandbox m_Box;
  std::unique_ptr<CFileMan> m_Files;
  std::unique_ptr<SMTPOut> m_Out;
};
