// tests/unit/start_gateway_test.cpp: the start-up steps and the port settings.
#include "host/StartGateway.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "LoopbackSockets.h"
#include "SpoolTestSupport.h"
#include "host/CService.h"
#include "host/Ports.h"
#include "spool/CFileMan.h"

namespace {

TEST(StartGateway, LogSwitchesFirstThenTheFileManagerThenTheFlags) {
  SpoolSandbox box;
  box.SetText("DomainName", "gw.example");
  box.SetText("logfile", box.Root() + "primary.log");
  box.SetNumber("FileNameUseAtt", 1);
  const int port = loopback::FreePort();
  box.SetNumber("SmtpRxPort", static_cast<DWORD>(port));
  CService service;
  StartGateway(&service);
  ASSERT_NE(TheFileMan(), nullptr);
  EXPECT_EQ(box.Number("FileNameUseAtt"), 0u);
  // The log was on before the file manager read its settings; the server listens on SmtpRxPort.
  EXPECT_NE(box.PrimaryLog().find("Domain Name: gw.example"), std::string::npos);
  ASSERT_NE(service.m_SMTPIN, nullptr);
  EXPECT_NE(box.PrimaryLog().find("SMTPIn listening to port " + std::to_string(port)), std::string::npos);
  // The outbound deliverer comes last and runs.
  ASSERT_NE(service.m_SMTPOUT, nullptr);
  WaitUntil([&box] { return box.Logged("SMTPOut- SMTPMainThread() begin."); }, 5);
  EXPECT_LT(box.PrimaryLog().find("SMTPIn listening to port"),
            box.PrimaryLog().find("SMTPOut- SMTPMainThread() begin."));
}

TEST(Ports, DefaultIs25AndValuesPassUnchecked) {
  SpoolSandbox box;
  EXPECT_EQ(GetSmtpRxPort(), 25);  // no key at all
  box.SetNumber("SmtpTxPort", 70000);
  EXPECT_EQ(GetSmtpTxPort(), 70000);
  box.SetText("SmtpTxPort", "a text longer than 4 bytes");
  EXPECT_EQ(GetSmtpTxPort(), 25);
}

}  // namespace
