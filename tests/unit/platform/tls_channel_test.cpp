// A server certificate named by a thumbprint that cannot be used is refused
// with the setting named, on either backend: on Windows because the machine
// store has no such certificate, elsewhere because there is no such store.
#include "platform/TlsChannel.h"

#include <gtest/gtest.h>

TEST(TlsContext, AThumbprintThatNamesNoUsableCertificateIsRefusedBySettingName) {
  for (const char* thumbprint : {"00000000000000000000000000000000000000aa", "not hex at all"}) {
    std::string error;
    EXPECT_EQ(CTlsContext::ForServer("", "", thumbprint, error), nullptr) << thumbprint;
    EXPECT_NE(error.find("TlsCertificateThumbprint"), std::string::npos) << error;
  }
}
